"""Benchmark: the clustering card's Ward tree of the server's default cap of 5,000 features
over 1,000 samples, its distances from the Gram matrix against scipy's pdist.

Both run in this process, interleaved, on the same z-scores; the distances are compared
(relative difference) and so are the trees. Prints the time of each and the ratio.

    python bench/clustering.py [--features N] [--samples N] [--repeats N]
"""

import argparse
import statistics
import time

import numpy as np
from scipy.cluster.hierarchy import linkage
from scipy.spatial.distance import pdist

from veltrana.analyses.clustering import euclidean_distances


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--features", type=int, default=5000)
    parser.add_argument("--samples", type=int, default=1000)
    parser.add_argument("--repeats", type=int, default=2)
    args = parser.parse_args(argv)
    rng = np.random.default_rng(5)
    z = rng.normal(size=(args.features, args.samples))
    times, trees = {"pdist": [], "Gram": []}, {}
    for _ in range(args.repeats):  # interleaved, so that machine noise hits both alike
        for name, distances in (("pdist", pdist), ("Gram", euclidean_distances)):
            start = time.perf_counter()
            trees[name] = linkage(distances(z), method="ward")
            times[name].append(time.perf_counter() - start)
    ref, ours = pdist(z), euclidean_distances(z)
    worst = float(np.max(np.abs(ours - ref) / np.maximum(ref, np.finfo(float).tiny)))
    same = np.array_equal(trees["pdist"][:, :2], trees["Gram"][:, :2])
    t_ref, t_ours = statistics.median(times["pdist"]), statistics.median(times["Gram"])
    print(f"Ward tree of {args.features:,} features x {args.samples:,} samples: pdist {t_ref:.2f} s, "
          f"Gram {t_ours:.2f} s, ratio {t_ref / t_ours:.1f}x; distances within {worst:.1e} relative, "
          f"{'the same' if same else 'a DIFFERENT'} tree")
    return 0 if same else 1


if __name__ == "__main__":
    raise SystemExit(main())
