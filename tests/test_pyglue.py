"""The vocabulary the native modules share: membership and blank-value tests, the
placeholder figure, the figure sizes and the named-argument zip, seen through the
functions that use them."""

import os

import pandas as pd
import pytest

from veltrana.plugins import callbacks, layout, plotweave, vistro


def by_name(app):
    return {v["callback"].__wrapped__.__name__: v["callback"].__wrapped__ for v in app.callback_map.values()}


@pytest.fixture
def cbs(fresh_paths):
    return by_name(vistro.build_app(fresh_paths))


class Unequal:
    """A value whose comparison fails, as a hostile or broken value's would."""

    def __eq__(self, other):
        raise ArithmeticError("no comparison")

    __hash__ = object.__hash__


@pytest.mark.parametrize("name, extra", [("update_target_groups", ()), ("update_assoc_target_groups", (None,))])
@pytest.mark.parametrize("phenotype", [["Pathological_Status"], ["a", "b"], {"a": 1}])
def test_a_phenotype_that_is_no_name_is_a_type_error(cbs, fresh_paths, name, extra, phenotype):
    args = (phenotype,) + ((fresh_paths,) if extra else ())
    with pytest.raises(TypeError, match="unhashable"):
        cbs[name](*args)


def test_an_error_in_a_membership_test_propagates_as_itself(cbs, fresh_paths):
    options = [{"label": "Protein", "value": "Protein"}]
    with pytest.raises(ArithmeticError, match="no comparison"):
        cbs["update_annotation_table"](Unequal(), options, fresh_paths)
    frame = pd.DataFrame({"S1": [1.0]}, index=["F1"])
    with pytest.raises(TypeError, match="unhashable"):
        plotweave.boxplot(frame, ["F1"], ["S1"], [], "A", "B")


def test_every_placeholder_is_the_same_figure():
    height = 321
    host = callbacks.build_default_fig(height=height).to_plotly_json()
    assert layout.build_default_fig(height).to_plotly_json() == host
    assert plotweave.build_default_fig(height).to_plotly_json() == host
    assert {k: v for k, v in host["layout"].items() if k != "template"} == {"margin": {"l": 20, "r": 20, "t": 20, "b": 20}, "paper_bgcolor": "LightSteelBlue",
                              "height": height}
    # The differential card's volcano and box placeholders keep plotly's own height.
    card = layout.build_diff_volcano_card()
    graph = card.children[-1].children[0]
    unsized = graph.figure.to_plotly_json()["layout"]
    assert "height" not in unsized and unsized["margin"] == host["layout"]["margin"]
    assert unsized["paper_bgcolor"] == "LightSteelBlue"
    # A feature the frame lacks draws the placeholder at the asked height.
    frame = pd.DataFrame({"S1": [1.0]}, index=["F1"])
    assert plotweave.boxplot(frame, "F9", ["S1"], [], "A", "B", figure_height=height).to_plotly_json() == host


def test_figures_beside_controls_are_100_pixels_lower(cbs, fresh_paths):
    full = layout.default_figure_height
    assert layout.build_preproc_figure_card().children[1].children[1].figure.layout.height == full - 100
    assert plotweave.qc_cv_hist_plot(pd.DataFrame(), []).layout.height == plotweave.default_figure_height - 100
    fig, _ = cbs["update_diff_volcano"](0, None, None, fresh_paths)
    assert fig.layout.height == vistro.default_figure_height - 100


@pytest.mark.parametrize("blank", [None, "", float("nan"), []])
def test_a_run_waits_for_every_choice(cbs, fresh_paths, monkeypatch, blank):
    ran = []
    monkeypatch.setattr(callbacks, "update_feature_clustering_inter", lambda *a: ran.append(a) or "x")
    os.makedirs(fresh_paths["out_dir"], exist_ok=True)
    options = [{"label": "Protein", "value": "Protein"}]
    assert cbs["update_feature_clustering_inter"](1, options, 3, blank, "Pathological_Status", fresh_paths) == (
        "", [], "", "")
    assert cbs["update_feature_clustering_inter"](1, options, 3, ["Protein"], blank, fresh_paths)[1:] == (
        [], "", "")
    assert ran == []
    cbs["update_feature_clustering_inter"](1, options, 3, ["Protein"], "Pathological_Status", fresh_paths)
    # The run receives the arguments named by component id, inputs before states: the
    # source picker's value (a state) replaces its options (an input) under the same id.
    (kwargs, _), = ran
    assert kwargs == {"run-feature-clustering-button": 1, "clustering-number-input": 3, "clustering-source-dropdown": ["Protein"],
                      "clustering-phenotype-dropdown": "Pathological_Status", "Paths": fresh_paths}
