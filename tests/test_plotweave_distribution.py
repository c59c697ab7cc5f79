"""Histogram, box, scatter and correlation figures: what a user sees on the cards."""

import numpy as np
import pandas as pd
import pytest

from veltrana.plugins import plotweave


def test_histogram_bins_median_dot_and_labels():
    fig = plotweave.histogram([1, 2, 3, 4, 100, np.nan], figure_height=400)
    bars, median = fig.data
    assert bars.type == "histogram" and bars.nbinsx == 20
    assert (bars.marker.line.width, bars.marker.line.color) == (1, "white")
    assert (list(median.x), list(median.y)) == ([3.0], [0])  # NaN ignored
    assert (median.marker.color, median.marker.size, median.showlegend) == ("Red", 20, False)
    lay = fig.layout
    assert (lay.xaxis.title.text, lay.yaxis.title.text) == ("Coefficient of Variation (CV)", "Count")
    assert (lay.height, lay.showlegend, lay.plot_bgcolor, lay.xaxis.rangemode) == (400, False, "White", "tozero")


@pytest.mark.parametrize("values", [[0.1, 0.2, 0.4], np.array([0.1, 0.2, 0.4]), pd.Series([0.1, 0.2, 0.4])])
def test_histogram_without_median_has_only_the_bars(values):
    fig = plotweave.histogram(values, show_median=False)
    assert [t.type for t in fig.data] == ["histogram"]
    assert fig.layout.height == 500


def expression():
    """Features as rows, samples as columns, as the differential card hands it over."""
    return pd.DataFrame([[1.0, 2.0, 3.0, 4.0], [5.0, 6.0, 7.0, 8.0]],
                        index=["GENE1", "GENE2"], columns=["S1", "S2", "S3", "S4"])


def test_boxplot_two_groups_in_order_skipping_unknown_samples():
    fig = plotweave.boxplot(expression(), "GENE2", ["S3", "S9", "S1"], ["S4"], "Tumor", "Normal",
                            title="GENE2", figure_height=400)
    (box,) = fig.data
    assert list(box.x) == ["Tumor", "Tumor", "Normal"]
    assert list(box.y) == [7.0, 5.0, 8.0]
    lay = fig.layout
    assert (lay.title.text, lay.height, lay.margin.t, lay.paper_bgcolor) == ("GENE2", 400, 50, "White")
    # A sample named twice in a group counts twice; a missing value stays a point of its group.
    data = expression()
    data.loc["GENE2", "S2"] = np.nan
    (box,) = plotweave.boxplot(data, "GENE2", ["S2", "S1", "S2"], ["S4"], "Tumor", "Normal").data
    assert list(box.x) == ["Tumor"] * 3 + ["Normal"] and np.array_equal(box.y, [np.nan, 5.0, np.nan, 8.0],
                                                                          equal_nan=True)
    # Samples named twice in the matrix: each lookup gives what it finds, as before.
    twice = pd.DataFrame([[1.0, 2.0, 3.0]], index=["GENE1"], columns=["S1", "S1", "S2"])
    (box,) = plotweave.boxplot(twice, "GENE1", ["S2"], ["S1"], "A", "B").data
    assert list(box.x)[0] == "A" and box.y[0] == 3.0


def test_boxplot_of_an_absent_feature_is_the_placeholder():
    fig = plotweave.boxplot(expression(), "NOPE", ["S1"], ["S2"], "A", "B", figure_height=321)
    assert len(fig.data) == 0
    assert (fig.layout.paper_bgcolor, fig.layout.height) == ("LightSteelBlue", 321)


def test_boxplot_of_the_demo_data_as_the_card_selects_it(fresh_paths):
    from veltrana.plugins import paths, tables

    my_path = paths.MyPath(fresh_paths)
    data = tables.read_raw_expression(my_path.get_expr_path("Protein"))  # samples as rows
    info = tables.read_info_file(my_path.get_meta_path())
    status = info["Pathological_Status"]
    tumor, normal = list(info.index[status == "Tumor"]), list(info.index[status == "Normal"])
    gene = data.columns[0]
    fig = plotweave.boxplot(data.T, gene, tumor, normal, "Tumor", "Normal", title=gene, figure_height=400)
    groups = pd.Series(list(fig.data[0].x)).value_counts()
    assert groups.to_dict() == {"Tumor": len(tumor), "Normal": len(normal)}
    assert list(fig.data[0].x).index("Normal") == len(tumor)  # target group first


def test_scatter_marker_sizes_follow_y():
    fig = plotweave.scatter_plot([0.2, -0.4], [0.0, 5.0], x_name="Correlation", y_name="-Log10(P-value)",
                                 hover_text=["F1", "F2"], figure_height=500)
    (points,) = fig.data
    assert list(points.marker.size) == [0.0, 5.0]
    assert (list(points.text), points.hoverinfo, points.mode) == (["F1", "F2"], "text", "markers")
    assert (fig.layout.xaxis.title.text, fig.layout.yaxis.title.text) == ("Correlation", "-Log10(P-value)")
    assert fig.layout.showlegend is False
    with pytest.raises(ValueError):
        plotweave.scatter_plot([1, 2], [1, -1], "x", "y", ["a", "b"], 500)


@pytest.mark.parametrize("make", [list, np.array, lambda v: pd.Series(v, index=[3, 2, 1, 0])])
def test_corrplot_keeps_complete_pairs_by_position(make):
    fig = plotweave.corrplot(make([1, np.nan, 3, 4]), make([2, 5, np.nan, 8]), x_name="A", y_name="B")
    (points,) = fig.data
    assert (list(points.x), list(points.y)) == ([1, 4], [2, 8])
    assert (points.marker.size, fig.layout.xaxis.title.text, fig.layout.height) == (1, "A", 500)


def test_corrplot_unequal_lengths_is_a_clear_error():
    with pytest.raises(ValueError, match="same length"):
        plotweave.corrplot([1, 2, 3], [1, 2])
