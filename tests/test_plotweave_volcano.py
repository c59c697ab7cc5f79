"""Volcano figures: threshold lines, ranges, legend counts, and the enzyme volcano file."""

import threading

import matplotlib.pyplot as plt
import numpy as np
import pandas as pd
import pytest

from veltrana.plugins import defaults, plotweave

FC, FDR = "Log2FC(median)", "-Log10(FDR)"


def diff_table(x, y, codes):
    return pd.DataFrame({FC: x, FDR: y, "Significance": codes}, index=[f"P{i}" for i in range(len(x))])


def lines(fig):
    """The first three traces: FDR line, left and right fold-change lines."""
    return [(list(t.x), list(t.y)) for t in fig.data[:3]]


@pytest.mark.parametrize("x, expected_fdr_span", [
    ([-3.0, 0.2, 1.0], [-3.0, 3.0]),   # both signs: symmetric about zero
    ([0.5, 2.0, 4.0], [0.5, 4.0]),     # one sign: the data's own range
])
def test_volcano_fdr_line_spans_the_data(x, expected_fdr_span):
    fig = plotweave.volcano(diff_table(x, [1.0, 3.0, 6.0], ["U", np.nan, "S-U"]))
    (fdr_x, fdr_y), left, right = lines(fig)
    assert fdr_x == pytest.approx(expected_fdr_span)
    assert fdr_y == pytest.approx([2.0, 2.0])
    assert left == (pytest.approx([-1.0, -1.0]), [0, 6.0])
    assert right == (pytest.approx([1.0, 1.0]), [0, 6.0])
    for t in fig.data[:3]:
        assert (t.mode, t.line.dash, t.line.color, t.opacity, t.showlegend) == ("lines", "dot", "grey", 0.5, False)


def test_volcano_classes_order_colours_and_legend_counts():
    codes = ["U", "U", "U", "S-U", "S-U", "D", np.nan, None, np.nan, np.nan]
    df = diff_table(np.linspace(-2, 2, 10), np.linspace(0.5, 5, 10), codes)
    fig = plotweave.volcano(df, figure_height=400, title="Protein")
    classes = fig.data[3:]
    assert len(fig.data) == 8
    assert [t.name for t in classes] == [
        "NoSig:4", "Up(FDR<0.01):5", "Down(FDR<0.01):1", "SigUp(2X):2", "SigDown(2X):0"]
    assert [(t.marker.color, t.opacity) for t in classes] == [
        ("grey", 0.5), ("red", 0.5), ("blue", 0.5), ("red", 1), ("blue", 1)]
    assert [t.legendgroup for t in classes] == [None, "group_up", "group_down", "group_up", "group_down"]
    assert classes[0].showlegend is False
    # Hover shows the feature label; the points sit where the table puts them.
    assert list(classes[3].text) == ["P3", "P4"] and classes[3].hoverinfo == "text"
    assert list(classes[3].x) == pytest.approx(list(df[FC].iloc[3:5]))
    assert {t.marker.size for t in classes} == {2}
    lay = fig.layout
    assert (lay.title.text, lay.height, lay.margin.t, lay.clickmode) == ("Protein", 400, 50, "event+select")
    assert (lay.xaxis.title.text, lay.yaxis.title.text) == (FC, FDR)
    assert (lay.legend.orientation, lay.legend.y, lay.legend.x) == ("h", 1.02, 0.5)
    assert lay.width is None


def test_volcano_cutoffs_follow_fdr_and_fc():
    df = diff_table([-1.0, 1.0, 2.0], [1.0, 2.0, 3.0], ["D", "S-U", "U"])
    fig = plotweave.volcano(df, fdr=0.05, fc=1.5, figure_width="700")
    (_, fdr_y), (left_x, _), (right_x, _) = lines(fig)
    assert fdr_y[0] == pytest.approx(1.30103, abs=1e-5)
    assert right_x[0] == pytest.approx(0.58496, abs=1e-5) and left_x[0] == pytest.approx(-right_x[0])
    assert [t.name for t in fig.data[4:]] == [
        "Up(FDR<0.05):2", "Down(FDR<0.05):1", "SigUp(1.5X):1", "SigDown(1.5X):0"]
    assert fig.layout.width == 700.0
    with pytest.raises(ValueError):
        plotweave.volcano(df, figure_width="wide")


def test_volcano_reads_a_stored_differential_table(tmp_path):
    """The card reads the table back from a file: empty codes are missing and count as NoSig."""
    df = diff_table([-2.5, -0.2, 0.3, 1.8], [4.0, 0.1, 0.2, 3.5], ["S-D", None, None, "S-U"])
    df.index.name = "Feature"
    path = tmp_path / "diff.tsv"
    df.to_csv(path, sep="\t")
    stored = pd.read_csv(path, sep="\t", index_col=0)
    before = stored.copy()
    fig = plotweave.volcano(stored, figure_height=400, title="Glycoform")
    assert [t.name for t in fig.data[3:]] == [
        "NoSig:2", "Up(FDR<0.01):1", "Down(FDR<0.01):1", "SigUp(2X):1", "SigDown(2X):1"]
    pd.testing.assert_frame_equal(stored, before)  # the caller's frame is left as it was


def test_volcano_without_significance_column_is_a_key_error():
    with pytest.raises(KeyError):
        plotweave.volcano(pd.DataFrame({FC: [1.0], FDR: [2.0]}))


def enzymes(stages, x=None, y=None):
    n = len(stages)
    x = x if x is not None else np.linspace(-2, 3, n)
    y = y if y is not None else np.linspace(1, 10, n)
    return pd.DataFrame({FC: x, FDR: y, "Stage": stages}, index=[f"E{i}" for i in range(n)])


def test_genz_volcano_lines_head_room_and_stage_traces():
    df = enzymes(["Precursor", "Trimming", "Trimming", "Other", "Precursor"])
    fig = plotweave.genz_volcano(df, title="Enzymes", figure_height=450)
    right, left, fdr = [(list(t.x), list(t.y)) for t in fig.data[:3]]
    assert right == (pytest.approx([0.585, 0.585], abs=1e-3), pytest.approx([0, 10.5]))
    assert left == (pytest.approx([-0.585, -0.585], abs=1e-3), pytest.approx([0, 10.5]))
    assert fdr == (pytest.approx([-3.15, 3.15]), [2, 2])
    assert all(t.line.dash == "dash" and t.showlegend is False for t in fig.data[:3])
    stages = fig.data[3:]
    assert [t.name for t in stages] == ["Precursor:2", "Trimming:2", "Capping:0"]
    assert [t.marker.color for t in stages] == ["blue", "green", "orange"]
    assert sum(len(t.x) for t in stages) == 4  # the "Other" row is drawn by no trace
    assert (fig.layout.title.text, fig.layout.height, fig.layout.xaxis.mirror) == ("Enzymes", 450, True)


def test_genz_volcano_axis_titles_and_default_height_are_fixed(monkeypatch):
    df = enzymes(["Capping", "Capping"]).rename(columns={FC: "lfc", FDR: "q"})
    monkeypatch.setattr(defaults, "default_figure_height", 123)  # read at import, not per call
    fig = plotweave.genz_volcano(df, x="lfc", y="q")
    assert (fig.layout.xaxis.title.text, fig.layout.yaxis.title.text) == (FC, FDR)
    assert fig.layout.height == 500


def test_genz_volcano_missing_values_keep_the_threshold_lines():
    """One enzyme without a value must not erase the lines; an empty table still draws."""
    df = enzymes(["Precursor", "Trimming", "Capping"], x=[1.0, np.nan, -2.0], y=[4.0, 8.0, np.nan])
    fig = plotweave.genz_volcano(df)
    assert list(fig.data[0].y) == pytest.approx([0, 8.4])
    assert list(fig.data[2].x) == pytest.approx([-2.1, 2.1])
    empty = plotweave.genz_volcano(enzymes([]))
    assert [t.name for t in empty.data[3:]] == ["Precursor:0", "Trimming:0", "Capping:0"]


@pytest.fixture
def pyplot_figures():
    plt.close("all")
    yield
    plt.close("all")


def test_genz_volcano_pdf_writes_a_labelled_pdf(tmp_path, pyplot_figures):
    df = enzymes(["Precursor", "Trimming", "Capping", "Capping"], x=[1.2, -0.9, 0.1, 2.0], y=[3.0, 4.0, 0.5, 6.0])
    out = tmp_path / "enzymes.pdf"
    assert plotweave.genz_volcano_pdf(df, str(out)) is None
    assert out.read_bytes()[:5] == b"%PDF-"
    fig = plt.gcf()  # left open for the caller
    assert tuple(fig.get_size_inches()) == (5, 5) and fig.dpi == 300
    ax = fig.axes[0]
    assert sorted(t.get_text() for t in ax.texts) == ["E0", "E1", "E2", "E3"]
    assert [t.get_text() for t in ax.get_legend().texts] == ["Precursor", "Trimming", "Capping"]
    assert ax.get_legend()._loc == 4  # lower right
    cutoffs = [ln for ln in ax.lines if ln.get_linestyle() == "-."]
    drawn = [[float(v) for v in (*ln.get_xdata(), *ln.get_ydata())] for ln in cutoffs]
    assert drawn == [pytest.approx(d, abs=1e-3) for d in ([0, 1, 2, 2], [-0.585, -0.585, 0, 1], [0.585, 0.585, 0, 1])]
    png = tmp_path / "enzymes.png"
    plotweave.genz_volcano_pdf(df, str(png))
    assert png.read_bytes()[:4] == b"\x89PNG"  # the format follows the file name


def test_genz_volcano_pdf_labels_survive_a_missing_value(tmp_path, pyplot_figures):
    df = enzymes(["Precursor", "Trimming", "Capping"], x=[1.0, np.nan, -1.5], y=[3.0, 2.5, 5.0])
    plotweave.genz_volcano_pdf(df, str(tmp_path / "v.pdf"))
    texts = plt.gcf().axes[0].texts
    assert sorted(t.get_text() for t in texts) == ["E0", "E2"]
    assert all(np.isfinite(t.get_position()).all() for t in texts)


def test_genz_volcano_pdf_unwritable_path_raises(tmp_path, pyplot_figures):
    with pytest.raises(OSError):
        plotweave.genz_volcano_pdf(enzymes(["Capping"]), str(tmp_path / "missing" / "v.pdf"))


def test_genz_volcano_pdf_concurrent_calls_each_write_their_file(tmp_path, pyplot_figures):
    df = enzymes(["Precursor", "Trimming", "Capping"] * 3)
    outs = [tmp_path / f"v{i}.pdf" for i in range(3)]
    errors = []

    def draw(out):
        try:
            plotweave.genz_volcano_pdf(df, str(out))
        except Exception as e:  # pragma: no cover - reported below
            errors.append(e)

    threads = [threading.Thread(target=draw, args=(o,)) for o in outs]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors
    assert all(o.read_bytes()[:5] == b"%PDF-" for o in outs)
