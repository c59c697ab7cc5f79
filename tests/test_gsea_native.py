"""The native preranked GSEA against gseapy's prerank: the same scores, curves and leading
edges; NES, p and FDR within Monte-Carlo error; the same numbers on any thread count; bad
input refused; the GIL released while it works."""

import threading
import time

import numpy as np
import pandas as pd
import pytest

from veltrana.plugins import ranked
from veltrana.analyses import prerank as pr

PERMUTATIONS, SEED = 2000, 11


def generated(genes=2500, null_sets=80, seed=3):
    """A ranking of t-like scores and a library: four sets drawn mostly from the top or the
    bottom of the ranking, and many sets of random genes (15-150 of them)."""
    rng = np.random.default_rng(seed)
    names = np.array([f"GENE{i:05d}" for i in range(genes)])
    ranking = pd.Series(rng.standard_t(6, genes), index=names).sort_values(ascending=False)
    order = ranking.index.to_numpy()
    library = {}
    for i, pool in enumerate([order[:300], order[-300:], order[:600], order[-500:]]):
        library[f"ENRICHED_{i}"] = [*rng.choice(pool, 25, replace=False), *rng.choice(order, 10, replace=False)]
    for i in range(null_sets):
        library[f"RANDOM_{i}"] = list(rng.choice(names, int(rng.integers(15, 150)), replace=False))
    library["TOO_SMALL"] = list(names[:10])
    library["UNRANKED"] = [f"OTHER{i}" for i in range(40)]
    return ranking, library


@pytest.fixture(scope="module")
def both():
    import gseapy

    ranking, library = generated()
    mine = pr.prerank(ranking, library, PERMUTATIONS, SEED, threads=2)
    ref = gseapy.prerank(rnk=ranking, gene_sets=library, permutation_num=PERMUTATIONS, seed=SEED, threads=2,
                         min_size=15, max_size=500, outdir=None, no_plot=True, verbose=False)
    return mine, ref


def test_scores_curves_and_leading_edges_equal_gseapy(both):
    mine, ref = both
    a = mine.res2d.set_index("Term")
    b = ref.res2d.set_index("Term")
    assert sorted(a.index) == sorted(b.index) and "TOO_SMALL" not in a.index and "UNRANKED" not in a.index
    b = b.loc[a.index]
    np.testing.assert_allclose(a["ES"], b["ES"].astype(float), rtol=0, atol=1e-10)
    for column in ("Tag %", "Gene %", "Lead_genes"):
        assert (a[column] == b[column]).all(), column
    assert set(mine.results) == set(a.index)
    for term in ("ENRICHED_0", "ENRICHED_1", "RANDOM_0", "RANDOM_7"):
        assert mine.results[term]["hits"] == list(ref.results[term]["hits"])
        np.testing.assert_allclose(mine.results[term]["RES"], ref.results[term]["RES"], rtol=0, atol=1e-10)
    # gseapy's order of the table: |NES| from the highest
    assert (mine.res2d["NES"].abs().diff().dropna() <= 0).all()


def test_nes_p_and_fdr_agree_with_gseapy_within_monte_carlo_error(both):
    mine, ref = both
    a = mine.res2d.set_index("Term")
    b = ref.res2d.set_index("Term").loc[a.index]
    nes, ref_nes = a["NES"].to_numpy(), b["NES"].astype(float).to_numpy()
    assert (np.sign(nes) == np.sign(ref_nes)).all()
    relative = np.abs(nes - ref_nes) / np.abs(ref_nes)
    assert np.median(relative) < 0.02 and relative.max() < 0.06
    p, ref_p = a["NOM p-val"].to_numpy(), b["NOM p-val"].astype(float).to_numpy()
    assert np.abs(p - ref_p).mean() < 0.02 and np.abs(p - ref_p).max() < 0.1
    fdr, ref_fdr = a["FDR q-val"], b["FDR q-val"].astype(float)
    assert ((fdr >= 0) & (fdr <= 1)).all()
    significant = sorted(a.index[fdr < 0.05])
    assert significant == sorted(b.index[ref_fdr < 0.05])
    assert {f"ENRICHED_{i}" for i in range(4)} <= set(significant)
    assert (a.loc[["ENRICHED_1", "ENRICHED_3"], "NES"] < 0).all()


@pytest.mark.parametrize("size", [10, 30])
def test_null_of_small_and_large_sets_agrees_with_gseapy(size):
    """A set of more than half the ranking draws the genes outside it instead: both ways
    give gseapy's null (NES and p within Monte-Carlo error)."""
    import gseapy

    rng = np.random.default_rng(size)
    ranking = pd.Series(np.sort(rng.normal(size=40))[::-1], index=[f"G{i}" for i in range(40)])
    hits = np.sort(rng.choice(40, size, replace=False)).astype(np.int64)
    ref = gseapy.prerank(rnk=ranking, gene_sets={"S": list(ranking.index[hits])}, permutation_num=8000, seed=1,
                         threads=1, min_size=5, max_size=500, outdir=None, no_plot=True, verbose=False).res2d
    found = ranked.prerank(ranking.to_numpy(), hits, np.array([0, size]), 8000, 5)
    ref_p = float(ref["NOM p-val"].iloc[0])
    assert found["es"][0] == pytest.approx(float(ref["ES"].iloc[0]), abs=1e-12)
    assert found["nes"][0] == pytest.approx(float(ref["NES"].iloc[0]), rel=0.03)
    assert found["pval"][0] == pytest.approx(ref_p, abs=max(0.02, 4 * np.sqrt(ref_p * (1 - ref_p) / 4000)))


def test_same_numbers_on_any_thread_count_and_on_rerun():
    ranking, library = generated(genes=1500, null_sets=60, seed=9)
    one = pr.prerank(ranking, library, 300, SEED, threads=1).res2d
    pd.testing.assert_frame_equal(one, pr.prerank(ranking, library, 300, SEED, threads=2).res2d)
    pd.testing.assert_frame_equal(one, pr.prerank(ranking, library, 300, SEED, threads=7).res2d)
    other = pr.prerank(ranking, library, 300, SEED + 1, threads=2).res2d.set_index("Term").loc[one["Term"]]
    assert (other["ES"].to_numpy() == one["ES"].to_numpy()).all()
    assert not np.array_equal(other["NOM p-val"].to_numpy(), one["NOM p-val"].to_numpy())  # another null


def test_degenerate_input_refused_with_a_clear_error():
    ranking, library = generated(genes=300, null_sets=5)
    before = ranking.copy()
    for value in (np.nan, np.inf, -np.inf):
        broken = ranking.copy()
        broken.iloc[7] = value
        with pytest.raises(ValueError, match="missing or infinite"):
            pr.prerank(broken, library, 10, SEED)
    twice = pd.concat([ranking, ranking.iloc[:1]])
    with pytest.raises(ValueError, match="more than once"):
        pr.prerank(twice, library, 10, SEED)
    with pytest.raises(pr.NoGeneSetInRange, match="no gene set has 15 to 500 of the 300"):
        pr.prerank(ranking, {"A": ["nothing"], "B": list(ranking.index[:5])}, 10, SEED)
    with pytest.raises(ValueError, match="no gene set"):  # fewer ranked genes than any set needs
        pr.prerank(ranking.iloc[:12], library, 10, SEED)
    with pytest.raises(ValueError, match="at least two genes"):
        pr.prerank(ranking.iloc[:1], library, 10, SEED)
    with pytest.raises(ValueError, match="pandas Series"):
        pr.prerank(ranking.to_dict(), library, 10, SEED)
    pd.testing.assert_series_equal(ranking, before)
    # the native module itself refuses what it cannot score
    metric, hits = np.linspace(1.0, -1.0, 20), np.arange(0, 20, 2, dtype=np.int64)
    refused = {
        "sorted from the highest": (metric[::-1].copy(), hits, [0, 10]),
        "needs genes outside": (metric, np.arange(20, dtype=np.int64), [0, 20]),
        "increasing and within": (metric, hits[::-1].copy(), [0, 10]),
        "within the ranking": (metric, hits + 11, [0, 10]),
        "last offset": (metric, hits, [0, 9]),
        "no gene": (metric, hits, [0, 0, 10]),
        "missing or infinite": (np.array([1.0, np.nan, 0.0]), np.array([0], dtype=np.int64), [0, 1]),
    }
    for message, (m, h, offsets) in refused.items():
        with pytest.raises(ValueError, match=message):
            ranked.prerank(m, h, np.array(offsets, dtype=np.int64), 10, 1)
    for kwargs, message in (({"permutations": 0}, "permutations"), ({"threads": 0}, "threads"),
                            ({"weight": -1.0}, "weight"), ({"weight": float("nan")}, "weight")):
        args = {"permutations": 10, "seed": 1, **kwargs}
        with pytest.raises(ValueError, match=message):
            ranked.prerank(metric, hits, np.array([0, 10]), **args)
    # a set whose genes all score 0 steps equally at each of them instead of dividing by zero
    zeros = ranked.prerank(np.r_[np.ones(5), np.zeros(10), -np.ones(5)], np.arange(5, 10, dtype=np.int64),
                           np.array([0, 5]), 50, 1)
    assert np.isfinite(zeros["es"]).all() and np.isfinite(zeros["nes"]).all()


def test_the_gil_is_released_while_it_works():
    ranking, library = generated(genes=4000, null_sets=400, seed=2)
    ticks, done = [0], threading.Event()

    def count():
        while not done.is_set():
            ticks[0] += 1

    counter = threading.Thread(target=count)
    counter.start()
    try:
        hits = pr.gene_positions(ranking.index, library, 15, 500)
        positions = np.concatenate(list(hits.values()))
        offsets = np.cumsum([0, *(len(h) for h in hits.values())]).astype(np.int64)
        metric = ranking.to_numpy()
        before = ticks[0]
        start = time.perf_counter()
        ranked.prerank(metric, positions, offsets, 2000, 1, 1)
        elapsed, during = time.perf_counter() - start, ticks[0] - before
    finally:
        done.set()
        counter.join()
    assert elapsed > 0.05 and during > 10_000, (elapsed, during)
