"""Benchmark: reading a wide expression file with the strict loader against pandas' own reader,
and a result table with its number columns parsed natively against pandas parsing them all.

Writes a file of 3,000 features x 20,000 samples (population-scale plasma panels: ids like "01005",
~15 % missing, values as repr writes them), then reads it with `loader.read_expression` and with
`pandas.read_csv` (its default converter, and its exact one), interleaved, in this process.
Prints each time and the ratios; the loader must read the same numbers as Python's float() and
be at least 3x faster than pandas' exact reader. Then a differential table of 20,000 features
(ids, p-values, significance codes, counts) is read by `loader.read_result` both ways: the same
frame, at least 1.5x faster.

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
RESULT_TARGET = 1.5


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
    return 0 if ok and result_table(args.repeats) else 1


def write_result(path, features=20000, seed=7):
    rng = np.random.default_rng(seed)
    p = rng.random(features)
    table = pd.DataFrame({"Feature": [f"{j:05d}" for j in range(features)], "Log2FC(median)": rng.normal(size=features),
                          "Statistic": rng.normal(size=features) * 3, "P-value": p, "FDR": np.minimum(p * 3, 1.0),
                          "-Log10(FDR)": -np.log10(np.minimum(p * 3, 1.0)),
                          "Significance": np.where(p < 0.01, "S-U", None),
                          "TargetMedian": rng.normal(size=features), "ReferenceMedian": rng.normal(size=features),
                          "TargetCount": rng.integers(10, 600, features),
                          "ReferenceCount": rng.integers(10, 400, features)})
    table.loc[rng.random(features) < 0.05, "Log2FC(median)"] = np.nan
    table.index = table["Feature"]
    table.to_csv(path, sep="\t")


def result_table(repeats) -> bool:
    """read_result with its native number columns against the same reader with pandas for every column."""
    from veltrana.plugins import preprocess

    native_columns = preprocess.parse_numeric_columns
    with tempfile.TemporaryDirectory() as work:
        path = os.path.join(work, "differential.txt")
        write_result(path)
        times, frames = {"native": [], "pandas": []}, {}
        try:
            for _ in range(max(repeats, 3)):
                for name in times:
                    preprocess.parse_numeric_columns = native_columns if name == "native" else (lambda *a: None)
                    start = time.perf_counter()
                    frames[name] = loader.read_result(path)
                    times[name].append(time.perf_counter() - start)
        finally:
            preprocess.parse_numeric_columns = native_columns
    same = frames["native"].equals(frames["pandas"]) and (frames["native"].dtypes == frames["pandas"].dtypes).all()
    best = {name: statistics.median(t) for name, t in times.items()}
    ratio = best["pandas"] / best["native"]
    ok = same and ratio >= RESULT_TARGET
    print(f"read a differential table of 20000 features: native columns {best['native']:.3f} s, "
          f"pandas {best['pandas']:.3f} s; the same frame: {same}")
    print(f"{'ok' if ok else 'BELOW TARGET'}: {ratio:.1f}x against pandas (target {RESULT_TARGET:g}x)")
    return ok


if __name__ == "__main__":
    raise SystemExit(main())
