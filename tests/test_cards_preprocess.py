"""The preprocessing card: its tree, its three callbacks, and the host services behind them."""

import json
import os
from pathlib import Path

import numpy as np
import pandas as pd
import pytest
from dash import dcc, html

from support import by_id, callback, children, in_threads, kinds, make_app
from veltrana.plugins import callbacks, layout
from veltrana.serve import limits
from veltrana.analyses import matrices, preprocessing

SETTINGS_OUT = ["preprocess-transform-dropdown.value"]


def options(*values):
    return [{"label": v, "value": v} for v in values]


# ---- the card -----------------------------------------------------------------------------

def test_control_card_tree():
    card = layout.build_preproc_control_card()
    assert (card.id, card.className) == ("preproc-control-card", "four columns")
    assert kinds(card) == ["H5", "P", "Dropdown", "Br", "Div", "Br", "Button", "Br", "Loading"]
    h5, label, source, _, grid, _, button, _, busy = children(card)
    assert (h5.children, label.children) == ("Preprocess", "Data Source")
    assert (source.id, source.options, source.value) == ("preprocess-source-dropdown", [], "NA")
    assert (button.id, button.children, button.n_clicks) == ("preprocess-button", "Refresh Preprocess", 0)
    assert busy.id == "loading-preprocess-distribution" and busy.type == "default"
    assert busy.children.id == "loading-output-preprocess-distribution"

    left, right = children(grid)
    assert grid.className == "row" and left.className == right.className == "six columns"
    assert [getattr(k, "children", None) for k in children(left)][::3] == ["1. Transform", "3. Max Missing ratio (%)"]
    assert [getattr(k, "children", None) for k in children(right)][::3] == ["2. Normalization", "4. Imputation"]
    ratio = children(left)[4]
    assert (ratio.id, ratio.type, ratio.value) == ("preprocess-max-miss-ratio-input", "number", "50")
    expected = {"preprocess-transform-dropdown": ["NA", "Log2"],
                "preprocess-normalization-dropdown": ["NA", "MedianNorm"],
                "preprocess-imputation-dropdown": ["NA", "GlobalMin", "SampleMin", "FeatureMin"]}
    for dropdown_id, values in expected.items():
        dropdown = by_id(card, dropdown_id)
        assert dropdown.options == options(*values) and dropdown.value == "NA"
        assert getattr(dropdown, "multi", None) is None


def test_figure_card_and_row():
    row = layout.build_preprocess_card()
    assert (row.id, row.className) == ("preproc-card", "row")
    assert [k.id for k in children(row)] == ["preproc-control-card", "preproc-figure-card"]
    figure_card = children(row)[1]
    assert figure_card.className == "eight columns" and children(figure_card)[0].children == "Sample distribution"
    frame = children(figure_card)[1]
    assert frame.style == {"border": "2px black solid"}
    busy, graph = children(frame)
    assert (busy.id, busy.type, busy.children.id) == ("loading-preprocess-figure", "circle",
                                                      "loading-output-preprocess-figure")
    assert graph.id == "preprocess-figure" and graph.figure == layout.build_default_fig(height=400)


# ---- the callbacks' own logic (host replaced) ----------------------------------------------

def test_init_passes_host_pair_and_rejects_other_shapes(fresh_paths, monkeypatch):
    init = callback(make_app(fresh_paths), "preprocess-source-dropdown.options")
    monkeypatch.setattr(callbacks, "init_preprocess_data", lambda p: (options("A"), "A"))
    assert init(fresh_paths) == (options("A"), "A", "")
    monkeypatch.setattr(callbacks, "init_preprocess_data", lambda p: (options("A"), "A", "extra"))
    with pytest.raises(ValueError, match="init_preprocess_data.*expected exactly 2"):
        init(fresh_paths)


def test_parameters_fall_back_on_any_host_failure(fresh_paths, monkeypatch):
    params = callback(make_app(fresh_paths), "preprocess-transform-dropdown.value")
    seen = []
    monkeypatch.setattr(callbacks, "update_preprocess_parameters",
                        lambda source, paths: seen.append((source, paths)) or ("Log2", 20, "MedianNorm", "SampleMin"))
    assert params("Protein", fresh_paths) == ("Log2", 20, "MedianNorm", "SampleMin")
    assert seen == [("Protein", fresh_paths)]
    for error in (ValueError("unknown"), KeyError("x"), RuntimeError("boom")):
        def fail(source, paths, error=error):
            raise error
        monkeypatch.setattr(callbacks, "update_preprocess_parameters", fail)
        result = params(None, fresh_paths)
        assert result == ("NA", 50, "NA", "NA") and type(result[1]) is int


def test_figure_callback_argument_order_and_placeholder(fresh_paths, monkeypatch):
    draw = callback(make_app(fresh_paths), "preprocess-figure.figure")
    calls = []
    monkeypatch.setattr(callbacks, "update_preprocess_figure", lambda *a: calls.append(a) or "FIG")
    monkeypatch.setattr(callbacks, "build_default_fig", lambda *a, **k: ("PLACEHOLDER", a, k))
    assert draw(0, "Protein", fresh_paths, "Log2", "20", "MedianNorm", "GlobalMin") == ("FIG", "")
    assert calls == [(fresh_paths, "Protein", "Log2", "20", "MedianNorm", "GlobalMin")]
    assert draw(-1, "Protein", fresh_paths, "NA", 50, "NA", "NA") == (("PLACEHOLDER", (), {}), "")
    with pytest.raises(TypeError):  # a click count that does not compare is not silently ignored
        draw(None, "Protein", fresh_paths, "NA", 50, "NA", "NA")


# ---- the host services on demo data ---------------------------------------------------------

@pytest.fixture(autouse=True)
def configured_paths(fresh_paths):
    """The server's configuration: a "Paths" value is accepted once a MyPath was made of it."""
    callbacks.MyPath(fresh_paths)

def test_init_preprocesses_every_source(fresh_paths):
    opts, value = callbacks.init_preprocess_data(fresh_paths)
    assert opts == options("Protein", "Glycoform") and value == "Protein"
    my_path = callbacks.MyPath(fresh_paths)
    for source in ("Protein", "Glycoform"):
        matrix = callbacks.read_expr_path(my_path.get_preprocess_path(source))
        raw = callbacks.read_raw_expression(my_path.get_expr_path(source))
        assert list(matrix.index) == list(raw.index)  # samples as rows, in file order
        assert set(matrix.columns) <= set(raw.columns) and matrix.shape[1] > 0.5 * raw.shape[1]


def test_run_stores_settings_and_draws_one_box_per_sample(fresh_paths):
    app = make_app(fresh_paths)
    draw = callback(app, "preprocess-figure.figure")
    params = callback(app, "preprocess-transform-dropdown.value")
    fig, busy = draw(1, "Glycoform", fresh_paths, "NA", 20, "MedianNorm", "FeatureMin")
    assert busy == ""
    my_path = callbacks.MyPath(fresh_paths)
    matrix = callbacks.read_expr_path(my_path.get_preprocess_path("Glycoform"))
    raw = callbacks.read_raw_expression(my_path.get_expr_path("Glycoform"))
    assert not matrix.isna().any().any()  # imputed
    assert (raw.isna().mean() <= 0.2).sum() == matrix.shape[1]  # filtered at 20 %
    assert matrix.median(axis=1).abs().max() < 0.5  # centred before imputation
    (box,) = fig.data
    assert list(box.x) == list(raw.index)
    assert list(box.median) == pytest.approx(matrix.median(axis=1).tolist())
    assert list(box.q1) == pytest.approx(matrix.quantile(0.25, axis=1).tolist())
    assert params("Glycoform", fresh_paths) == ("NA", 20, "MedianNorm", "FeatureMin")
    assert params("Protein", fresh_paths) == ("NA", 50, "NA", "NA")  # the other source keeps its own
    with open(my_path.get_preprocess_settings_path("Glycoform")) as fh:
        assert json.load(fh)["Imputation"] == "FeatureMin"


def _nan_box_stats(values):
    """The boxes as numpy states them: nanpercentile quartiles, whiskers the extreme values
    within 1.5 IQR."""
    q1, median, q3 = np.nanpercentile(values, [25, 50, 75], axis=1)
    low, high = (q1 - 1.5 * (q3 - q1))[:, None], (q3 + 1.5 * (q3 - q1))[:, None]
    return {"q1": q1, "median": median, "q3": q3,
            "lowerfence": np.nanmin(np.where(values >= low, values, np.nan), axis=1),
            "upperfence": np.nanmax(np.where(values <= high, values, np.nan), axis=1)}


@pytest.mark.filterwarnings("ignore::RuntimeWarning")
@pytest.mark.parametrize("features", [1, 2, 3, 4, 7, 40, 333, 5000])  # 5000: the selection samples its bracket
def test_box_statistics_equal_numpys_to_the_bit(features):
    rng = np.random.default_rng(features)
    values = rng.standard_t(3, size=(60, features)) * 3.7
    values[rng.random(values.shape) < 0.3] = np.nan
    values[0] = np.nan            # a sample without values
    values[1] = 2.5               # all ties
    values[2, :] = np.round(values[2, :])  # some ties
    matrix = pd.DataFrame(values)
    before = matrix.copy()
    ours, numpys = preprocessing._box_stats(matrix), _nan_box_stats(values)
    for name in numpys:
        np.testing.assert_array_equal(ours[name], numpys[name], err_msg=name)
    pd.testing.assert_frame_equal(matrix, before)


@pytest.mark.filterwarnings("ignore::RuntimeWarning")
def test_many_samples_are_drawn_as_bands_holding_every_samples_extremes(monkeypatch):
    monkeypatch.setitem(limits._values, "figure_samples", 30)
    rng = np.random.default_rng(5)
    values = rng.normal(size=(450, 50)) + rng.normal(size=(450, 1))
    values[7] = np.nan
    values[11] *= 25  # a typical median but a wide spread: its whiskers must widen its band
    matrix = pd.DataFrame(values, index=[f"{i:05d}" for i in range(450)])
    fig = preprocessing.distribution_figure(matrix, "P: 450 samples, 50 features")
    assert "summarised over 449 samples" in fig.layout.title.text and "1 without values" in fig.layout.title.text
    assert [t.type for t in fig.data] == ["scatter"] * 6
    stats = _nan_box_stats(values)
    for (low, high), (lowest, highest) in zip([("lowerfence", "upperfence"), ("q1", "q3"), ("median", "median")],
                                             zip(fig.data[::2], fig.data[1::2])):
        assert min(lowest.y) == np.nanmin(stats[low]) and max(highest.y) == np.nanmax(stats[high])
        assert all(a <= b for a, b in zip(lowest.y, highest.y))
    assert max(fig.data[1].y) == stats["upperfence"][11]
    medians = fig.data[4].y  # the runs follow the samples ordered by median
    assert list(medians) == sorted(medians) and len(medians) == 200
    monkeypatch.setitem(limits._values, "figure_samples", 450)
    (box,) = preprocessing.distribution_figure(matrix, "P").data
    assert box.type == "box" and len(box.x) == 450


def test_a_reload_gets_the_figure_of_the_unchanged_stored_matrix(fresh_paths, monkeypatch):
    callbacks.init_preprocess_data(fresh_paths)
    first = callbacks.update_preprocess_figure(fresh_paths, "Protein", "NA", 50, "NA", "NA")
    with monkeypatch.context() as m:
        m.setattr(preprocessing, "run_preprocess", lambda *a: pytest.fail("the stored matrix was read again"))
        assert callbacks.update_preprocess_figure(fresh_paths, "Protein", "NA", "50", "NA", "NA") is first
    centred = callbacks.update_preprocess_figure(fresh_paths, "Protein", "NA", 50, "MedianNorm", "NA")
    assert centred is not first and max(abs(m) for m in centred.data[0].median) < 1e-12
    again = callbacks.update_preprocess_figure(fresh_paths, "Protein", "NA", 50, "NA", "NA")  # a new matrix file
    assert again is not first and list(again.data[0].median) == list(first.data[0].median)


@pytest.mark.parametrize("settings, message", [
    (("NA", -5, "NA", "NA"), "from 0 to 100"),
    (("NA", None, "NA", "NA"), "from 0 to 100"),
    (("NA", "lots", "NA", "NA"), "from 0 to 100"),
    (("log2", 50, "NA", "NA"), "Transformation"),
    (("NA", 50, "NA", None), "Imputation"),
])
def test_bad_settings_are_refused_and_keep_the_stored_matrix(fresh_paths, settings, message):
    callbacks.init_preprocess_data(fresh_paths)
    my_path = callbacks.MyPath(fresh_paths)
    before = Path(my_path.get_preprocess_path("Protein")).read_bytes()
    with pytest.raises(ValueError, match=message):
        callbacks.update_preprocess_figure(fresh_paths, "Protein", *settings)
    assert Path(my_path.get_preprocess_path("Protein")).read_bytes() == before
    assert callbacks.update_preprocess_parameters("Protein", fresh_paths) == ("NA", 50, "NA", "NA")


def test_settings_that_drop_every_feature_write_nothing(fresh_paths):
    raw_path = callbacks.MyPath(fresh_paths).get_expr_path("Protein")
    raw = pd.read_csv(raw_path, sep="\t", index_col=0)
    for i in range(len(raw)):  # every feature now misses a value (no sample misses them all)
        raw.iloc[i, i % raw.shape[1]] = float("nan")
    raw.to_csv(raw_path, sep="\t")
    with pytest.raises(ValueError, match="keep no feature"):
        callbacks.update_preprocess_figure(fresh_paths, "Protein", "NA", 0, "NA", "NA")
    assert not os.path.exists(callbacks.MyPath(fresh_paths).get_preprocess_path("Protein"))


def test_unknown_source_or_forged_paths_read_nothing(fresh_paths, monkeypatch):
    def no_reading(*a, **k):
        raise AssertionError("nothing may be read")

    monkeypatch.setattr(matrices, "read_raw_expression", no_reading)
    forged = dict(fresh_paths, info="/etc/passwd")
    for call in (lambda: callbacks.update_preprocess_figure(fresh_paths, "NA", "NA", 50, "NA", "NA"),
                 lambda: callbacks.update_preprocess_figure(fresh_paths, None, "NA", 50, "NA", "NA"),
                 lambda: callbacks.update_preprocess_figure(forged, "Protein", "NA", 50, "NA", "NA"),
                 lambda: callbacks.update_preprocess_parameters("../Protein", fresh_paths),
                 lambda: callbacks.init_preprocess_data(forged)):
        with pytest.raises(ValueError):
            call()


def test_concurrent_first_reads_preprocess_once(fresh_paths, monkeypatch):
    my_path = callbacks.MyPath(fresh_paths)
    runs = []
    real = matrices.read_raw_expression
    monkeypatch.setattr(matrices, "read_raw_expression", lambda p: runs.append(p) or real(p))
    shapes = []
    errors = in_threads(lambda: shapes.append(matrices.preprocessed_matrix(my_path, "Protein").shape), 6)
    assert errors == [] and len(runs) == 1 and len(set(shapes)) == 1
    assert [f for f in os.listdir(my_path.get_preprocess_dir()) if f.endswith(".tmp")] == []
