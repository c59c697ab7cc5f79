"""plotweave's import-time bindings, the placeholder figure, the heatmap and the image figure."""

import base64
import shutil
import textwrap

import numpy as np
import plotly.graph_objects as go
import pytest

from support import run_python
from veltrana.plugins import defaults, pca1, plotweave, toolkit

PNG_BYTES = b"\x89PNG\r\n\x1a\n" + bytes(range(256)) * 3


def layout_of(fig):
    layout = fig.to_dict()["layout"]
    layout.pop("template", None)
    return layout


def test_import_binds_libraries_and_host_names():
    import plotly.subplots
    import scipy.stats
    import sklearn.linear_model
    import sklearn.metrics

    assert plotweave.go is go and plotweave.np is np
    assert plotweave.make_subplots is plotly.subplots.make_subplots
    assert plotweave.pearsonr is scipy.stats.pearsonr and plotweave.spearmanr is scipy.stats.spearmanr
    # Imported for callers even though no figure uses them.
    assert plotweave.roc_auc_score is sklearn.metrics.roc_auc_score
    assert plotweave.LogisticRegression is sklearn.linear_model.LogisticRegression
    assert plotweave.pca_standalone is pca1.pca_standalone
    assert plotweave.calc_cv_values is toolkit.calc_cv_values
    for name in ("default_phenotype", "default_figure_height", "sample_dir", "external_stylesheets"):
        assert getattr(plotweave, name) == getattr(defaults, name)
    for name in ("re", "sys", "os", "pd", "px", "base64", "train_test_split", "roc_curve"):
        assert hasattr(plotweave, name)


def _package(root, *, pca=True, toolkit_rel=True, defaults_rel=True):
    """A package `hostpkg` holding the built plotweave and the chosen host modules, with top-level
    `toolkit`, `defaults` and `pca1` beside it that say where they come from."""
    pkg = root / "hostpkg"
    pkg.mkdir()
    (pkg / "__init__.py").write_text("")
    shutil.copy(plotweave.__file__, pkg)
    defaults_src = textwrap.dedent("""
        default_phenotype, default_figure_height = "Status", {height}
        sample_dir, external_stylesheets = "{where}", []
    """)
    cv_src = "def calc_cv_values(frame, columns=None):\n    return '{where}'\n"
    pca_src = "def pca_standalone(frame):\n    return '{where}'\n"
    for name, src, wanted in (("defaults", defaults_src, defaults_rel), ("toolkit", cv_src, toolkit_rel),
                              ("pca1", pca_src, pca)):
        (root / f"{name}.py").write_text(src.format(where="top", height=600))
        if wanted:
            (pkg / f"{name}.py").write_text(src.format(where="package", height=700))
    return root


PROBE = textwrap.dedent("""
    import hostpkg.plotweave as p
    print(p.calc_cv_values(None), p.sample_dir, p.default_figure_height, p.pca_standalone(None))
""")


@pytest.mark.parametrize("missing, expected", [
    ({}, "package package 700 package"),
    ({"toolkit_rel": False}, "top package 700 package"),
    ({"defaults_rel": False}, "package top 600 package"),
])
def test_host_modules_resolve_relative_first_then_top_level(tmp_path, missing, expected):
    root = _package(tmp_path, **missing)
    out = run_python(PROBE, cwd=root)
    assert out.returncode == 0, out.stderr
    assert out.stdout.split() == expected.split()


def test_missing_pca_module_fails_the_import_despite_a_top_level_one(tmp_path):
    root = _package(tmp_path, pca=False)
    out = run_python(PROBE, cwd=root)
    assert out.returncode != 0 and "ImportError" in out.stderr and "pca1" in out.stderr


def test_default_height_is_fixed_at_import_but_qc_heights_follow_the_host(tmp_path):
    code = textwrap.dedent("""
        from veltrana.plugins import defaults
        defaults.default_figure_height = 640
        from veltrana.plugins import plotweave as p
        p.default_figure_height = 900
        print(p.build_default_fig().layout.height, p.qc_cv_hist_plot(None, []).layout.height)
    """)
    out = run_python(code, cwd=tmp_path)
    assert out.returncode == 0, out.stderr
    assert out.stdout.split() == ["640", "800"]


def test_placeholder_figure():
    fig = plotweave.build_default_fig()
    assert fig.data == ()
    assert layout_of(fig) == {"margin": {"l": 20, "r": 20, "t": 20, "b": 20},
                              "paper_bgcolor": "LightSteelBlue", "height": defaults.default_figure_height}
    assert plotweave.build_default_fig(300).layout.height == 300
    assert plotweave.build_default_fig(height=250).layout.height == 250


@pytest.fixture
def png(tmp_path):
    path = tmp_path / "picture.png"
    path.write_bytes(PNG_BYTES)
    return str(path)


def test_image_fills_a_scaled_frame_with_the_file_as_png(png):
    fig = plotweave.show_image(png)
    layout = layout_of(fig)
    assert layout["xaxis"] == {"visible": False, "range": [0, 400]}
    assert layout["yaxis"] == {"visible": False, "range": [0, 300], "scaleanchor": "x"}
    assert layout["margin"] == {"l": 0, "r": 0, "t": 0, "b": 0}
    (image,) = layout["images"]
    prefix = "data:image/png;base64,"
    assert image["source"].startswith(prefix)
    assert base64.b64decode(image["source"][len(prefix):]) == PNG_BYTES
    assert (image["x"], image["y"], image["sizex"], image["sizey"]) == (0, 300, 400, 300)
    assert (image["xref"], image["yref"], image["layer"], image["sizing"]) == ("x", "y", "below", "stretch")
    (pin,) = fig.data
    assert (list(pin.x), list(pin.y), pin.mode, pin.marker.opacity) == ([0, 400], [0, 300], "markers", 0)

    big = plotweave.show_image(png, img_width=1000, img_height=500, scale_factor=1)
    assert list(big.layout.xaxis.range) == [0, 1000] and list(big.layout.yaxis.range) == [0, 500]


def test_image_of_a_missing_file_raises_the_file_error(tmp_path):
    with pytest.raises(FileNotFoundError):
        plotweave.show_image(str(tmp_path / "absent.png"))


def test_heatmap_draws_matrix_and_both_label_bars(monkeypatch):
    monkeypatch.setattr(plotweave, "default_figure_height", 620)
    samples, features = ["s1", "s2", "s3"], ["f1", "f2"]
    fig = plotweave.heatmap_plot(np.arange(6.0).reshape(2, 3) - 3, samples, features, [[0, 1, 1]],
                                 [[0], [1]], [["a", "b", "b"]], [["x"], ["y"]])
    matrix, sample_bar, feature_bar = fig.data
    assert matrix.colorscale == go.Heatmap(colorscale="Balance").colorscale
    assert (matrix.zmin, matrix.zmax) == (-2, 2)
    assert list(matrix.x) == samples and list(matrix.y) == features
    assert (sample_bar.xaxis, sample_bar.yaxis, sample_bar.showscale, sample_bar.hoverinfo) == ("x2", "y2", False, "text")
    assert (feature_bar.xaxis, feature_bar.yaxis, feature_bar.showscale) == ("x3", "y3", False)
    assert list(feature_bar.y) == features
    layout = layout_of(fig)
    domains = {name: layout[name]["domain"] for name in ("xaxis", "yaxis", "xaxis2", "yaxis2", "xaxis3", "yaxis3")}
    assert domains == {"xaxis": [0.1, 1], "yaxis": [0, 0.9], "xaxis2": [0.1, 1], "yaxis2": [0.9, 1],
                       "xaxis3": [0, 0.1], "yaxis3": [0, 0.9]}
    assert not any(layout[name]["showticklabels"] for name in domains)
    assert layout["xaxis"]["title"] == {"text": "Samples"}
    assert (layout["height"], layout["clickmode"], layout["showlegend"]) == (620, "event+select", False)
    assert layout["paper_bgcolor"] == layout["plot_bgcolor"] == "White"
