"""WebGL for large scatters: the host helper, and the services and callbacks that send the
QC matrix, the volcano and the association scatter through it."""

import json
import os

import numpy as np
import pandas as pd
import plotly.graph_objects as go
import pytest
from dash.dependencies import Input, State

from support import by_name, write_summary
from veltrana.study import demo
from veltrana.plugins import callbacks, vistro
from veltrana.analyses import figures
from veltrana.analyses.figures import SHARED_ARRAYS, WEBGL_THRESHOLD, prefer_webgl


def styled_figure(points):
    """Two marker traces with per-point colours, sizes and hover texts over a line, as the
    volcano draws them, and a bar chart that WebGL does not concern."""
    rng = np.random.default_rng(0)
    x, y = rng.normal(size=points), rng.random(points)
    fig = go.Figure([
        go.Scatter(x=[-2, 2], y=[1, 1], mode="lines", line={"color": "grey", "dash": "dot"}, showlegend=False,
                   cliponaxis=False),
        go.Scatter(x=x, y=y, mode="markers", name="Up", text=[f"F{i}" for i in range(points)],
                   hoverinfo="text", opacity=0.7, marker={"color": rng.random(points), "size": 10,
                                                          "colorscale": "Viridis"}),
        go.Bar(x=["a", "b"], y=[1, 2]),
    ])
    fig.update_layout(title="volcano", height=400)
    return fig


def test_small_figures_stay_svg():
    fig = styled_figure(WEBGL_THRESHOLD - 2)  # the line's two points count too
    assert prefer_webgl(fig) is fig
    assert [t.type for t in prefer_webgl(styled_figure(50), threshold=52).data] == ["scatter", "scatter", "bar"]
    assert [t.type for t in prefer_webgl(styled_figure(50), threshold=51).data] == ["scattergl", "scattergl", "bar"]


def test_large_scatters_switch_to_webgl_with_the_same_look():
    fig = styled_figure(WEBGL_THRESHOLD)
    before = fig.to_plotly_json()
    gl = prefer_webgl(fig)
    assert fig.to_plotly_json() == before  # the given figure is untouched
    assert [t.type for t in gl.data] == ["scattergl", "scattergl", "bar"]
    line, markers = gl.data[0], gl.data[1]
    assert (line.mode, line.line.color, line.line.dash, line.showlegend) == ("lines", "grey", "dot", False)
    old = fig.data[1]
    assert (markers.name, markers.mode, markers.hoverinfo, markers.opacity) == ("Up", "markers", "text", 0.7)
    assert list(markers.text) == list(old.text)
    np.testing.assert_array_equal(markers.x, old.x)
    np.testing.assert_array_equal(markers.marker.color, old.marker.color)
    assert (markers.marker.size, markers.marker.colorscale) == (10, old.marker.colorscale)
    assert gl.layout == fig.layout and gl.data[2] == fig.data[2]


def test_webgl_figure_is_the_fully_checked_one_and_checks_what_comes_after():
    fig = styled_figure(WEBGL_THRESHOLD)
    fig.data[1].hovertext = [f"H{i}" for i in range(WEBGL_THRESHOLD)]  # hover lists move over unchecked
    fig.data[1].x = fig.data[1].x.tolist()
    gl = prefer_webgl(fig)
    checked = go.Figure([go.Scattergl(figures._numeric_arrays(t), skip_invalid=True) if t.type == "scatter" else t
                         for t in fig.data], layout=fig.layout)
    assert json.loads(gl.to_json()) == json.loads(checked.to_json())
    with pytest.raises(ValueError):
        gl.update_traces(marker_size="large")
    with pytest.raises(ValueError):
        gl.update_layout(height="tall")
    # The arrays moved over unchecked are checked alike by both trace types.
    for key in SHARED_ARRAYS:
        ours, twins = go.Scatter()._get_validator(key), go.Scattergl()._get_validator(key)
        assert type(ours) is type(twins)
        assert {k: v for k, v in vars(ours).items() if k != "parent_name"} == \
            {k: v for k, v in vars(twins).items() if k != "parent_name"}


def test_qc_matrix_of_many_features_is_webgl(tmp_path):
    paths = demo.write_demo(str(tmp_path / "data"), n_samples=6, n_proteins=1500, n_glycoforms=20)
    callbacks.MyPath(paths)
    corr, _ = callbacks.update_qc_figures(("Protein", ["S001", "S002", "S003"], paths),
                                          [Input("qc-data-source-dropdown", "value"),
                                           Input("qc-samples-dropdown", "value")], [State("Paths", "data")])
    kinds = [t.type for t in corr.data]
    assert kinds.count("scattergl") == 3 and "scatter" not in kinds and kinds.count("histogram") == 3


def test_volcano_and_association_scatter_go_through_the_helper(fresh_paths, monkeypatch):
    sent = []
    monkeypatch.setattr(callbacks, "prefer_webgl", lambda fig: sent.append(fig) or "webgl")
    cbs = by_name(vistro.build_app(fresh_paths))

    rng = np.random.default_rng(1)
    table = pd.DataFrame({"Log2FC(median)": rng.normal(size=30), "-Log10(FDR)": rng.random(30) * 4,
                          "Significance": rng.choice(["S-U", "U", "S-D", "D"], 30)},
                         index=[f"F{i}" for i in range(30)])
    diff = os.path.join(fresh_paths["out_dir"], "diff.txt")
    table.to_csv(diff, sep="\t")
    assert cbs["update_diff_volcano"](1, write_summary(fresh_paths, [["Protein", diff]]), "Protein",
                                      fresh_paths) == ("webgl", "")
    assert [t.type for t in sent[-1].data].count("scatter") >= 4

    correlation = os.path.join(fresh_paths["out_dir"], "corr.txt")
    pd.DataFrame({"Feature": ["F1", "F2"], "Correlation": [0.5, -0.2], "P-value": [0.01, 0.3]}).to_csv(
        correlation, sep="\t")
    result = os.path.join(fresh_paths["out_dir"], "assoc.txt")
    pd.DataFrame({"CorrelationPath": [correlation], "Phenotype": ["Age(Numerical)"]}).to_csv(result, sep="\t")
    # The scatter is titled after the switch: the helper's figure is the one shown.
    monkeypatch.setattr(callbacks, "prefer_webgl", lambda fig: sent.append(fig) or fig)
    fig, _, options, _ = cbs["update_association_figure_1"](1, result, fresh_paths)
    assert fig is sent[-1] and fig.data[0].type == "scatter" and len(options) == 2
