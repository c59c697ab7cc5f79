"""Benchmark: reading a wide expression file with the strict loader against pandas' own reader.

Writes a file of 3,000 features x 20,000 samples (population-scale plasma panels: ids like "01005",
~15 % missing, values as repr writes them), then reads it with `loader.read_expression` and with
`pandas.read_csv` (its default converter, and its exact one), interleaved, in this process.
Prints each time and the ratios; the loader must read the same numbers as Python's float() and
be at least 3x faster than pandas' exact reader.

    python bench/loader.py [--samples N] [--features N] [--repeats N]
"""

import argparse
import os
import statistics
import tempfile
import time

import numpy as np
import pandas as pd

from veltrana.study import loader

TARGET = 3.0


def write(path, samples, features, seed=5):
    rng = np.random.default_rng(seed)
    values = rng.normal(0, 1.5, size=(features, samples))
    with open(path, "w") as fh:
        fh.write("Feature\t" + "\t".join(f"{1004 + i:05d}" for i in range(samples)) + "\n")
        for j, row in enumerate(values):
            cells = ["NA" if rng.random() < 0.15 else repr(v) for v in row.tolist()]
            fh.write(f"P{j:05d}\t" + "\t".join(cells) + "\n")


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--samples", type=int, default=20000)
    parser.add_argument("--features", type=int, default=3000)
    parser.add_argument("--repeats", type=int, default=2)
    args = parser.parse_args(argv)
    with tempfile.TemporaryDirectory() as work:
        path = os.path.join(work, "wide.tsv")
        write(path, args.samples, args.features)
        readers = {
            "loader": lambda: loader.read_expression(path),
            "pandas (default converter)": lambda: pd.read_csv(path, sep="\t", index_col=0),
            "pandas (exact converter)": lambda: pd.read_csv(path, sep="\t", index_col=0, float_precision="round_trip"),
        }
        times = {name: [] for name in readers}
        frames = {}
        for _ in range(args.repeats):
            for name, read in readers.items():
                start = time.perf_counter()
                frames[name] = read()
                times[name].append(time.perf_counter() - start)
    exact = frames["pandas (exact converter)"].T.to_numpy()
    same = np.array_equal(frames["loader"].to_numpy(), exact, equal_nan=True)
    best = {name: statistics.median(t) for name, t in times.items()}
    print(f"read {args.features} features x {args.samples} samples ({os.path.basename(path)})")
    for name, seconds in best.items():
        ratio = "" if name == "loader" else f"   loader {seconds / best['loader']:.1f}x faster"
        print(f"  {name:28s} {seconds:7.2f} s{ratio}")
    print(f"  loader reads the exact numbers: {same}")
    ratio = best["pandas (exact converter)"] / best["loader"]
    ok = same and ratio >= TARGET
    print(f"{'ok' if ok else 'BELOW TARGET'}: {ratio:.1f}x against pandas' exact reader (target {TARGET:g}x)")
    return 0 if ok else 1


if __name__ == "__main__":
    raise SystemExit(main())
