"""Preranked GSEA: the native `ranked` module against gseapy's prerank, 10,000 genes x 1,000 permutations.

The native engine runs the whole shipped offline GO library. gseapy takes minutes on it, so it runs a
subset of 200 of those sets, and its time on the whole library is scaled from that per set (`--full` runs
it on the whole library instead). Both use 2 threads. Also printed: how far the two agree on the subset.
"""

import sys
import time

import numpy as np
import pandas as pd

from veltrana.analyses import prerank as native
from veltrana.analyses.enrichment import get_offline_libraries, load_offline_library

GENES, PERMUTATIONS, SUBSET, SEED, THREADS = 10_000, 1000, 200, 20240601, 2


def ranking_and_library():
    """A ranking of 10,000 of the library's genes (a few sets shifted up or down) and the library."""
    library = load_offline_library(get_offline_libraries()[0])
    rng = np.random.default_rng(5)
    universe = sorted({g for genes in library.values() for g in genes})
    genes = rng.choice(universe, GENES, replace=False)
    scores = pd.Series(rng.standard_t(8, GENES), index=genes)
    for term in rng.choice(sorted(library), 30, replace=False):
        members = scores.index.intersection(library[term])
        scores[members] += rng.choice([-1.0, 1.0]) * 0.8
    return scores.sort_values(ascending=False), library


def run_gseapy(ranking, sets):
    import gseapy

    return gseapy.prerank(rnk=ranking, gene_sets=sets, permutation_num=PERMUTATIONS, seed=SEED, threads=THREADS,
                          min_size=15, max_size=500, outdir=None, no_plot=True, verbose=False).res2d


def timed(fn, *args):
    start = time.perf_counter()
    out = fn(*args)
    return time.perf_counter() - start, out


def main(full: bool) -> None:
    ranking, library = ranking_and_library()
    t_native, whole = timed(lambda: native.prerank(ranking, library, PERMUTATIONS, SEED, threads=THREADS))
    tested = list(whole.hits)
    subset = {t: library[t] for t in np.random.default_rng(1).choice(tested, SUBSET, replace=False)}
    t_native_sub, mine = timed(lambda: native.prerank(ranking, subset, PERMUTATIONS, SEED, threads=THREADS))
    print(f"GSEA prerank, {GENES} genes x {PERMUTATIONS} permutations, {THREADS} threads")
    print(f"  native, whole offline library ({len(tested)} sets): {t_native:.2f} s")
    print(f"  native, {SUBSET} of those sets: {t_native_sub:.2f} s")
    if full:
        t_ref, _ = timed(run_gseapy, ranking, library)
        print(f"  gseapy, whole offline library: {t_ref:.1f} s; ratio gseapy / native: {t_ref / t_native:.0f}x")
    t_sub, ref = timed(run_gseapy, ranking, subset)
    scaled = t_sub * len(tested) / SUBSET
    print(f"  gseapy, the same {SUBSET} sets: {t_sub:.1f} s; ratio gseapy / native on them: "
          f"{t_sub / t_native_sub:.0f}x")
    if not full:
        print(f"  gseapy, whole library scaled per set from the {SUBSET} (not run: it takes minutes): {scaled:.0f} s;"
              f" ratio gseapy / native: {scaled / t_native:.0f}x")
    a, b = mine.res2d.set_index("Term"), ref.set_index("Term").loc[mine.res2d["Term"]]
    nes = np.abs(a["NES"] - b["NES"].astype(float)) / np.abs(b["NES"].astype(float))
    print(f"  agreement on the {SUBSET} sets: ES max |diff| {np.abs(a['ES'] - b['ES'].astype(float)).max():.1e}; "
          f"NES median / max relative diff {nes.median():.1%} / {nes.max():.1%}; "
          f"nominal p max |diff| {np.abs(a['NOM p-val'] - b['NOM p-val'].astype(float)).max():.3f}; "
          f"leading edges equal {(a['Tag %'] == b['Tag %']).all()}")


if __name__ == "__main__":
    main("--full" in sys.argv[1:])
