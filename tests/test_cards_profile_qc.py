"""The phenotype-profiling and quality-control cards: trees, callbacks and host services."""

import math

import numpy as np
import pandas as pd
import pytest
from dash.dependencies import Input, State
from scipy.stats import spearmanr

from support import by_id, callback, children, kinds, make_app
from veltrana.plugins import callbacks, layout
from veltrana.analyses import profiling


@pytest.fixture(autouse=True)
def configured_paths(fresh_paths):
    callbacks.MyPath(fresh_paths)


# ---- the cards ----------------------------------------------------------------------------

def test_profile_card_tree():
    row = layout.build_profile_card()
    assert (row.id, row.className) == ("profile-component", "row")
    # The distribution card's id has an underscore; pages address it so.
    assert [k.id for k in children(row)] == ["profile-control", "profile-distr_card", "profile-corr-card"]
    assert {k.className for k in children(row)} == {"four columns"}
    control = children(row)[0]
    assert kinds(control) == ["H5", "Br", "P", "Dropdown", "Br", "Br", "Loading"]
    assert children(control)[0].children == "Phenotype Profiling Analysis"
    picker = by_id(control, "profile-phenotype-dropdown")
    assert picker.options == [] and picker.value == "" and getattr(picker, "multi", None) is None
    assert by_id(control, "loading-output-phenotype-distribution") is not None
    for card, caption, graph_id in ((children(row)[1], "Distribution", "profile-distr-fig"),
                                    (children(row)[2], "Correlation", "profile-corr-fig")):
        assert children(card)[0].children == caption
        assert children(card)[1].style == {"border": "2px black solid"}
        assert by_id(card, graph_id).figure == layout.build_default_fig(height=500)


def test_qc_card_tree():
    row = layout.build_qc_card()
    assert (row.id, row.className) == ("qc-card", "row")
    assert [k.id for k in children(row)] == ["qc-control-card", "qc-corr-card", "qc-cv-card"]
    control = children(row)[0]
    assert kinds(control) == ["H5", "P", "Dropdown", "Br", "P", "Dropdown", "Br", "Loading"]
    assert [children(control)[i].children for i in (0, 1, 4)] == [
        "Expression Quality Control", "Select data source", "Select QC or target samples"]
    source, samples = by_id(control, "qc-data-source-dropdown"), by_id(control, "qc-samples-dropdown")
    assert (source.value, getattr(source, "multi", None)) == ("", None)
    assert (samples.value, samples.multi, samples.options) == ("", True, [])
    assert by_id(control, "loading-qc").children.id == "loading-output-qc"
    for card, caption, graph_id in ((children(row)[1], "Correlation Matrix", "qc-corr-fig"),
                                    (children(row)[2], "Histogram (CV)", "qc-cv-fig")):
        assert children(card)[0].children == caption
        assert by_id(card, graph_id).figure == layout.build_default_fig(height=400)


# ---- callbacks (host replaced) ---------------------------------------------------------------

def test_profile_callbacks_pass_through(fresh_paths, monkeypatch):
    app = make_app(fresh_paths)
    monkeypatch.setattr(callbacks, "update_profile_phenotypes", lambda p: ("OPTS", "VALUE"))
    monkeypatch.setattr(callbacks, "update_profile_distr", lambda ph, p: ("DISTR", ph))
    monkeypatch.setattr(callbacks, "update_numeric_phenotype_inter", lambda p: "/numeric.txt")
    monkeypatch.setattr(callbacks, "update_phenotype_corr_inter", lambda p: None)
    assert callback(app, "profile-phenotype-dropdown.options")(fresh_paths) == ("OPTS", "VALUE")
    assert callback(app, "profile-distr-fig.figure")("Age", fresh_paths) == (("DISTR", "Age"), "")
    assert callback(app, "numeric-info-inter.data")(fresh_paths) == "/numeric.txt"
    assert callback(app, "profile-corr-inter.data")(fresh_paths) is None


def test_corr_figure_needs_an_existing_file(fresh_paths, monkeypatch, tmp_path):
    draw = callback(make_app(fresh_paths), "profile-corr-fig.figure")
    monkeypatch.setattr(callbacks, "update_phenotype_corr_fig", lambda p: ("HEATMAP", p))
    monkeypatch.setattr(callbacks, "build_default_fig", lambda **k: ("PLACEHOLDER", k))
    for missing in (None, float("nan"), "", str(tmp_path / "absent.txt"), ["not", "a", "path"]):
        assert draw(missing) == ("PLACEHOLDER", {"height": 500})
    written = tmp_path / "corr.txt"
    written.write_text("x")
    assert draw(str(written)) == ("HEATMAP", str(written))


def test_qc_callbacks_hand_values_and_lists_to_the_host(fresh_paths, monkeypatch):
    app = make_app(fresh_paths)
    seen = {}
    monkeypatch.setattr(callbacks, "update_qc_data_source", lambda p: seen.setdefault("source", p) and ("O", "V"))
    assert callback(app, "qc-data-source-dropdown.options")(fresh_paths, ["ignored"]) == ("O", "V")
    assert seen["source"] is fresh_paths
    monkeypatch.setattr(callbacks, "update_qc_samples", lambda s, p: ([s], [s]))
    assert callback(app, "qc-samples-dropdown.options")("Protein", fresh_paths) == (["Protein"], ["Protein"])

    def figures(args, inputs, states):
        seen["figures"] = (args, inputs, states)
        return ["CORR", "CV"]

    monkeypatch.setattr(callbacks, "update_qc_figures", figures)
    draw = callback(app, "qc-corr-fig.figure")
    assert draw("Protein", ["S001"], fresh_paths) == ("CORR", "CV", "")
    args, inputs, states = seen["figures"]
    assert args == ("Protein", ["S001"], fresh_paths)
    assert [(type(d), d.component_id, d.component_property) for d in inputs + states] == [
        (Input, "qc-data-source-dropdown", "value"), (Input, "qc-samples-dropdown", "value"),
        (State, "Paths", "data")]
    assert callbacks.build_default_kwargs(inputs, states, args)["qc-samples-dropdown"] == ["S001"]
    monkeypatch.setattr(callbacks, "update_qc_figures", lambda *a: ("ONLY ONE",))
    with pytest.raises(ValueError, match="update_qc_figures"):
        draw("Protein", ["S001"], fresh_paths)


# ---- profiling on demo data --------------------------------------------------------------------

def test_phenotype_list_preselects_the_default(fresh_paths):
    opts, value = callbacks.update_profile_phenotypes(fresh_paths)
    info = callbacks.read_info_file(fresh_paths["info"])
    assert [o["value"] for o in opts] == list(info.columns) and value == "Pathological_Status"


def test_distribution_counts_categories_and_bins_numbers(fresh_paths):
    info = callbacks.read_info_file(fresh_paths["info"])
    (bar,) = callbacks.update_profile_distr("Pathological_Status", fresh_paths).data
    assert dict(zip(bar.x, bar.y)) == info["Pathological_Status"].value_counts().to_dict()
    (hist,) = callbacks.update_profile_distr("Tumor_Size(Numerical)", fresh_paths).data
    assert hist.type == "histogram" and len(hist.x) == info["Tumor_Size(Numerical)"].notna().sum()
    assert callbacks.update_profile_distr(None, fresh_paths).layout.paper_bgcolor == "LightSteelBlue"
    with pytest.raises(ValueError, match="unknown phenotype"):
        callbacks.update_profile_distr("Nope", fresh_paths)


def test_distribution_counts_only_present_values(fresh_paths, monkeypatch):
    info = callbacks.read_info_file(fresh_paths["info"])
    info.loc[info.index[:3], "Pathological_Status"] = np.nan
    monkeypatch.setattr(profiling, "read_info_file", lambda path: info)
    fig = callbacks.update_profile_distr("Pathological_Status", fresh_paths)
    assert "nan" not in list(fig.data[0].x) and "NA" not in list(fig.data[0].x)
    assert fig.layout.title.text == f"Pathological_Status (n = {len(info) - 3}, 3 missing)"


def test_numerical_table_and_spearman_correlation(fresh_paths):
    info = callbacks.read_info_file(fresh_paths["info"])
    numeric_path = callbacks.update_numeric_phenotype_inter(fresh_paths)
    assert isinstance(numeric_path, str) and numeric_path.startswith(fresh_paths["out_dir"])
    numeric = callbacks.read_info_file(numeric_path)
    assert list(numeric.columns) == [c for c in info.columns if "(Numerical" in c]
    assert list(numeric.index) == list(info.index)

    corr_path = callbacks.update_phenotype_corr_inter(fresh_paths)
    corr = callbacks.read_result_path(corr_path)
    both = info[["Age(Numerical)", "Tumor_Size(Numerical)"]].dropna()
    expected = spearmanr(both.iloc[:, 0], both.iloc[:, 1]).statistic
    assert corr.loc["Age(Numerical)", "Tumor_Size(Numerical)"] == pytest.approx(expected)
    assert np.allclose(np.diag(corr.to_numpy()), 1.0)
    (heat,) = callbacks.update_phenotype_corr_fig(corr_path).data
    assert list(heat.x) == list(corr.columns) and (heat.zmin, heat.zmax) == (-1, 1)


def test_correlation_needs_two_numerical_phenotypes(fresh_paths):
    info = pd.read_csv(fresh_paths["info"], sep="\t", index_col=0)
    info[[c for c in info.columns if "(Numerical" not in c] + ["Age(Numerical)"]].to_csv(
        fresh_paths["info"], sep="\t")
    assert callbacks.update_phenotype_corr_inter(fresh_paths) is None


# ---- quality control on demo data -----------------------------------------------------------------

def test_samples_of_a_source_with_a_small_selection(fresh_paths):
    assert callbacks.update_qc_data_source(fresh_paths) == (
        [{"label": "Protein", "value": "Protein"}, {"label": "Glycoform", "value": "Glycoform"}], "Protein")
    opts, chosen = callbacks.update_qc_samples("Glycoform", fresh_paths)
    assert len(opts) == 24 and chosen == ["S001", "S002"]  # a pair to start
    assert callbacks.update_qc_samples(None, fresh_paths) == ([], [])
    with pytest.raises(ValueError, match="unknown data source"):
        callbacks.update_qc_samples("Lipid", fresh_paths)


def _qc(fresh_paths, source, samples):
    inputs = [Input("qc-data-source-dropdown", "value"), Input("qc-samples-dropdown", "value")]
    return callbacks.update_qc_figures((source, samples, fresh_paths), inputs, [State("Paths", "data")])


def test_nothing_selected_gives_placeholders(fresh_paths):
    for samples in ("", None, []):
        corr, cv = _qc(fresh_paths, "Protein", samples)
        assert corr.layout.height == cv.layout.height == 400
        assert corr.layout.paper_bgcolor == "LightSteelBlue"


def test_qc_figures_of_selected_samples(fresh_paths):
    corr, cv = _qc(fresh_paths, "Protein", ["S002", "S005", "S007"])
    assert [t.type for t in corr.data].count("histogram") == 3
    assert [t.type for t in corr.data].count("scatter") == 3
    assert len(cv.data) >= 1
    with pytest.raises(ValueError, match="S999"):
        _qc(fresh_paths, "Protein", ["S001", "S999"])
