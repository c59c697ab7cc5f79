"""The missing-values card: identified features per sample, the pattern of gaps, imputed values per group."""

import numpy as np
import pandas as pd
import pytest

from support import write_preprocessed
from veltrana.plugins import callbacks, tables
from veltrana.serve import limits
from veltrana.analyses import matrices
from veltrana.cards import missing_card as mc


@pytest.fixture
def my_path(fresh_paths):
    write_preprocessed(fresh_paths)
    return callbacks.MyPath(fresh_paths)


def test_the_three_figures_tell_the_matrix_exactly(my_path, monkeypatch):
    raw = callbacks.read_raw_expression(my_path.get_expr_path("Protein"))
    info = callbacks.read_info_file(my_path.get_meta_path())
    identified, pattern, imputed = mc.missing_figures(my_path, "Protein", "Pathological_Status")
    # one bar per sample, its height the sample's features with a value, coloured by group
    bars = {x: y for trace in identified.data for x, y in zip(trace.x, trace.y)}
    assert bars == {s: int(raw.loc[s].notna().sum()) for s in raw.index}
    assert {t.name for t in identified.data} == set(info["Pathological_Status"].dropna())
    # the pattern: each cell missing or not, as in the file
    z = np.asarray(pattern.data[0].z)
    assert z.sum() == raw.isna().to_numpy().sum() and z.shape == raw.shape
    assert np.array_equal(z, raw.loc[list(pattern.data[0].y), list(pattern.data[0].x)].isna().to_numpy())
    assert "no imputation" in imputed.layout.title.text

    # after an imputation: the values it filled, per group
    settings = dict(matrices.DEFAULT_SETTINGS, Imputation="SampleMin")
    prep = matrices.run_preprocess(my_path, "Protein", settings)
    _, _, imputed = mc.missing_figures(my_path, "Protein", "Pathological_Status")
    expected = raw.loc[prep.index, prep.columns].isna().sum(axis=1).groupby(info["Pathological_Status"]).sum()
    assert dict(zip(imputed.data[0].x, imputed.data[0].y)) == expected.to_dict()
    assert f"{int(expected.sum()):,} values imputed" in imputed.layout.title.text

    # A server started afresh draws the same from the parsed copy's bits, reading no raw value.
    drawn = [f.to_json() for f in mc.missing_figures(my_path, "Protein", "Pathological_Status")]
    tables._cache.clear()
    monkeypatch.setattr(tables, "_read_input", lambda real: pytest.fail("the raw values were read"))
    assert [f.to_json() for f in mc.missing_figures(my_path, "Protein", "Pathological_Status")] == drawn


def test_large_cohorts_are_summarised_saying_so_and_phenotypes_are_checked(my_path, monkeypatch):
    monkeypatch.setitem(limits._values, "figure_samples", 5)
    monkeypatch.setattr(mc, "PATTERN_CELLS", 100)
    monkeypatch.setattr(mc, "PATTERN_SHAPE", (4, 7))
    raw = callbacks.read_raw_expression(my_path.get_expr_path("Protein"))
    identified, pattern, _ = mc.missing_figures(my_path, "Protein", None)
    assert "histogram per group" in identified.layout.title.text and identified.data[0].name == mc.ALL
    counts, edges = np.histogram(raw.notna().sum(axis=1), bins=mc.HISTOGRAM_BINS)  # counted by the sender
    assert list(identified.data[0].y) == list(counts) and len(identified.data[0].x) == mc.HISTOGRAM_BINS
    z = np.asarray(pattern.data[0].z)
    assert z.shape == (4, 7) and "in blocks of" in pattern.layout.title.text
    # each block is the exact share of its cells: their mean over the blocks' sizes is the whole share
    mask = raw.isna().to_numpy()
    shares, rows, cols = mc.blocks(mask, (4, 7))
    sizes = np.diff(np.append(rows, mask.shape[0]))[:, None] * np.diff(np.append(cols, mask.shape[1]))[None, :]
    assert (shares * sizes).sum() == pytest.approx(mask.sum())
    assert shares[1, 2] == mask[rows[1]:rows[2], cols[2]:cols[3]].mean()
    for layout in (np.asfortranarray(mask), mask[:, ::-1][:, ::-1]):  # summed along any memory order alike
        np.testing.assert_array_equal(mc.blocks(layout, (4, 7))[0], shares)
    for bad in ("Age(Numerical)", "Nope"):
        with pytest.raises(ValueError, match="not a categorical phenotype"):
            mc.missing_figures(my_path, "Protein", bad)
    with pytest.raises(ValueError):
        mc.missing_figures(my_path, "../etc", None)


def test_cutting_the_mask_follows_its_memory_order_and_gives_the_chained_index():
    rng = np.random.default_rng(5)
    mask = rng.random((40, 30)) < 0.3
    rows, cols = rng.permutation(40)[:25], rng.permutation(30)
    for a in (mask, np.asfortranarray(mask), mask[::2], np.asfortranarray(mask)[:, ::3]):
        r, c = rows[rows < a.shape[0]], cols[cols < a.shape[1]]
        assert np.array_equal(matrices.take(a, r, c), a[r][:, c])
        whole = (np.arange(a.shape[0]), np.arange(a.shape[1]))
        copy, shared = matrices.take(a, *whole), matrices.take(a, *whole, share=True)
        assert not np.shares_memory(copy, a) and np.shares_memory(shared, a) and np.array_equal(shared, a)
        with pytest.raises(ValueError):  # a reader of the shared matrix cannot alter the caller's
            shared[0, 0] = not shared[0, 0]
