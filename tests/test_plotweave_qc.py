"""The quality-control figures: the sample correlation matrix and the CV histogram."""

import warnings

import numpy as np
import pandas as pd
import pytest

from veltrana.plugins import plotweave, toolkit

from qc_reference import qc_corr_matrix_reference, same


def frame(values, samples=None):
    values = np.asarray(values, dtype=float)
    samples = samples or [f"S{i + 1}" for i in range(values.shape[0])]
    return pd.DataFrame(values, index=samples, columns=[f"F{j + 1}" for j in range(values.shape[1])])


def noisy(n, m, seed, missing=0.15):
    rng = np.random.default_rng(seed)
    values = rng.normal(size=m) + rng.normal(0, 0.5, size=(n, m))
    values[rng.random(values.shape) < missing] = np.nan
    values[0, np.isnan(values).all(axis=0)] = 0.5  # no feature is missing everywhere
    return frame(values)


@pytest.mark.parametrize("n, m, order", [(1, 20, None), (2, 30, None), (4, 60, [3, 0, 2, 1]), (7, 25, None)])
def test_matrix_equals_the_step_by_step_construction(n, m, order):
    data = noisy(n, m, seed=n)
    samples = list(data.index) if order is None else [data.index[k] for k in order]
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        expected = qc_corr_matrix_reference(data, samples, plotweave.default_figure_height)
        fig = plotweave.qc_corr_matrix_plot(data, samples)
    assert same(expected.to_dict(), fig.to_dict()) is None
    # Subplot addressing and the grid description work as on a make_subplots figure.
    assert fig._grid_ref == expected._grid_ref and fig._grid_str == expected._grid_str


@pytest.fixture
def three():
    """Three samples whose values span 0 to 10."""
    return frame([[0, 2, 4, 6, 8, 10], [1, 2, 3, 5, 7, 9], [10, 8, 6, 4, 2, 0]])


def test_three_samples_panels_ranges_and_labels(three):
    fig = plotweave.qc_corr_matrix_plot(three, ["S1", "S2", "S3"])
    kinds = [(t.type, t.xaxis, t.yaxis) for t in fig.data]
    assert kinds == [("histogram", "x", "y"), ("histogram", "x5", "y5"), ("histogram", "x9", "y9"),
                     ("scatter", "x2", "y2"), ("scatter", "x3", "y3"), ("scatter", "x6", "y6")]
    assert all(t.marker.line.color == "white" and t.marker.line.width == 1 for t in fig.data[:3])
    assert all(t.marker.line.width is None and t.marker.size == 1 for t in fig.data[3:])
    # The x axis of panel (1, 2) carries sample 1, its y axis sample 2.
    assert list(fig.data[3].x) == list(three.loc["S1"]) and list(fig.data[3].y) == list(three.loc["S2"])

    notes = [(a.xref, a.yref, a.x, a.y, a.text) for a in fig.layout.annotations]
    assert notes == [("x2", "y2", 5, 9.5, "Corr:0.99"), ("x3", "y3", 5, 9.5, "Corr:-1.00"),
                     ("x6", "y6", 5, 9.5, "Corr:-0.99")]

    layout = fig.layout
    for k in range(1, 10):
        xaxis, yaxis = layout[f"xaxis{k if k > 1 else ''}"], layout[f"yaxis{k if k > 1 else ''}"]
        row, col = divmod(k - 1, 3)
        drawn = col >= row
        assert (tuple(xaxis.range) if drawn else None) == ((-0.5, 10.5) if drawn else xaxis.range)
        assert xaxis.showline is (True if drawn else None)
        if col > row:
            assert tuple(yaxis.range) == (-0.5, 10.5)
    assert [layout[f"xaxis{k}"].title.text for k in ("", 5, 9)] == ["S1", "S2", "S3"]
    assert layout.yaxis5.title.text == "Percentage" and layout.yaxis5.range is None
    assert (layout.height, layout.showlegend, layout.clickmode) == (plotweave.default_figure_height - 100,
                                                                     False, "event+select")


def test_single_sample_and_no_sample():
    fig = plotweave.qc_corr_matrix_plot(frame([[1, 2, 3]]), ["S1"])
    assert [t.type for t in fig.data] == ["histogram"] and fig.layout.annotations == ()
    assert fig.layout.xaxis.title.text == "S1"
    assert plotweave.qc_corr_matrix_plot(frame([[1, 2, 3]]), []) is None


def test_correlation_skips_missing_pairs_and_draws_full_vectors():
    data = frame([[1, 2, np.nan, 4, 5], [1, 2, 3, 4, 5]])
    data.iloc[0, 2] = np.nan
    fig = plotweave.qc_corr_matrix_plot(data, ["S1", "S2"])
    assert fig.layout.annotations[0].text == "Corr:1.00"
    assert len(fig.data[2].x) == 5 and np.isnan(fig.data[2].x[2])


@pytest.mark.parametrize("kind", ["rows", "columns", "whole numbers", "whole numbers only"])
def test_feature_missing_everywhere_leaves_ranges_intact(kind):
    """The common range spans every value of the frame however its numbers lie in memory."""
    data = frame([[0, 10, np.nan], [5, 6, np.nan]])
    if kind == "columns":
        data = pd.DataFrame(np.asfortranarray(data.to_numpy()), index=data.index, columns=data.columns)
    elif kind == "whole numbers":
        data["F1"] = data["F1"].astype(int)
    elif kind == "whole numbers only":
        data = data[["F1", "F2"]].astype(int)
    fig = plotweave.qc_corr_matrix_plot(data, ["S1", "S2"])
    assert tuple(fig.layout.xaxis.range) == (-0.5, 10.5)
    assert fig.layout.annotations[0].y == 9.5


def test_duplicate_sample_rows_use_the_first_and_the_frame_is_untouched():
    data = frame([[1, 2, 3], [3, 1, 2], [9, 9, 9]], samples=["A", "B", "A"])
    before = data.copy()
    fig = plotweave.qc_corr_matrix_plot(data, ["A", "B"])
    assert list(fig.data[0].x) == [1, 2, 3]
    pd.testing.assert_frame_equal(data, before)


def test_bad_samples_and_too_few_pairs_raise():
    with pytest.raises(IndexError):
        plotweave.qc_corr_matrix_plot(frame([[1, 2, 3], [2, 3, 4]]), ["S1", "nobody"])
    with pytest.raises(ValueError):
        plotweave.qc_corr_matrix_plot(frame([[1, np.nan, 3], [np.nan, 3, np.nan]]), ["S1", "S2"])


def test_returned_matrix_behaves_like_any_figure(three):
    fig = plotweave.qc_corr_matrix_plot(three, ["S1", "S2", "S3"])
    with pytest.raises(ValueError):
        fig.update_layout(height="tall")
    with pytest.raises(ValueError):
        fig.update_xaxes(range="wide", row=1, col=2)
    fig.add_scatter(x=[1], y=[1], row=3, col=1)
    assert (fig.data[-1].xaxis, fig.data[-1].yaxis) == ("x7", "y7")


@pytest.fixture
def expression():
    """Samples as rows, five features; F5 is constant, F1 holds the log2 ratios 0, 1, 2 over S1-S3."""
    return frame([[0, 2, 4, -1, 3], [2, 2, 8, 1, 3], [1, 5, 6, 0, 3], [9, 9, 9, 9, 9]])


def test_cv_histogram_gets_the_per_feature_cv_over_chosen_samples(expression, monkeypatch):
    calls = []
    monkeypatch.setattr(plotweave, "histogram", lambda values, **kw: calls.append((values, kw)) or "fig")
    samples = ["S1", "S2", "S3"]
    expected = toolkit.calc_cv_values(expression.T, columns=samples)
    # The features-as-rows frame calc_cv_values takes, and the samples-as-rows frame of the matrix.
    for data in (expression.T, expression):
        before = data.copy()
        assert plotweave.qc_cv_hist_plot(data, samples) == "fig"
        pd.testing.assert_frame_equal(data, before)
    for values, kw in calls:
        pd.testing.assert_series_equal(values, expected)
        assert kw == {"figure_height": plotweave.default_figure_height - 100}
    assert expected["F1"] == pytest.approx(np.std([1, 4, 2], ddof=1) / (7 / 3)) and expected["F5"] == 0


def test_cv_histogram_without_samples_is_the_placeholder(expression):
    fig = plotweave.qc_cv_hist_plot(expression, [])
    assert fig.data == () and fig.layout.paper_bgcolor == "LightSteelBlue"
    assert fig.layout.height == plotweave.default_figure_height - 100


def test_cv_histogram_draws_the_cv_values(expression):
    fig = plotweave.qc_cv_hist_plot(expression, ["S1", "S2", "S3"])
    assert fig.layout.height == plotweave.default_figure_height - 100
    assert fig.layout.xaxis.title.text == "Coefficient of Variation (CV)"
    expected = toolkit.calc_cv_values(expression.T, columns=["S1", "S2", "S3"]).dropna()
    drawn = [v for v in fig.data[0].x if not np.isnan(v)]
    assert sorted(drawn) == pytest.approx(sorted(expected))
