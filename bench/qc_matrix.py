"""Benchmark: the QC correlation matrix against its step-by-step plotly construction.

Both builds run in this process, interleaved, on the same data (5000 features, 10 % missing);
their figure dicts are compared at every size. Prints the time of each and the ratio for 4, 8,
12 and 16 samples; the 12-sample ratio should be at least 5.

    PYTHONPATH=host python3 bench/qc_matrix.py [--repeats N]
"""

import argparse
import os
import statistics
import sys
import time
import warnings

import numpy as np
import pandas as pd

# The reference implementation lives with the tests, which check the native code against it.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "tests"))
from qc_reference import qc_corr_matrix_reference, same  # noqa: E402

from veltrana.plugins import plotweave  # noqa: E402

FEATURES = 5000
SIZES = (4, 8, 12, 16)
TARGET = 5.0


def expression(n_samples, n_features=FEATURES, seed=7):
    rng = np.random.default_rng(seed)
    base = rng.normal(0, 1.5, size=n_features)
    values = base + rng.normal(0, 0.4, size=(n_samples, n_features))
    values[rng.random(values.shape) < 0.1] = np.nan
    return pd.DataFrame(values, index=[f"S{i + 1:02d}" for i in range(n_samples)],
                        columns=[f"P{j:05d}" for j in range(n_features)])


def timed(build, frame, samples):
    start = time.perf_counter()
    fig = build(frame, samples)
    return time.perf_counter() - start, fig


def measure(n, repeats):
    frame = expression(n)
    samples = list(frame.index)
    ours, ref = [], []
    for _ in range(repeats):  # interleaved, so that machine noise hits both alike
        t, fig = timed(plotweave.qc_corr_matrix_plot, frame, samples)
        ours.append(t)
        t, ref_fig = timed(lambda f, s: qc_corr_matrix_reference(f, s, plotweave.default_figure_height),
                           frame, samples)
        ref.append(t)
    where = same(ref_fig.to_dict(), fig.to_dict())
    if where:
        raise SystemExit(f"figures differ at {n} samples: {where}")
    return statistics.median(ref), statistics.median(ours)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeats", type=int, default=3)
    args = parser.parse_args()
    warnings.simplefilter("ignore")
    plotweave.qc_corr_matrix_plot(expression(2, 50), ["S01", "S02"])  # warm the imports
    print(f"qc_corr_matrix_plot, {FEATURES} features, median of {args.repeats} interleaved runs; "
          "figure dicts equal at every size")
    print(f"{'samples':>7} {'panels':>6} {'scatters':>8} {'reference s':>12} {'ours s':>8} {'ratio':>6}")
    ratios = {}
    for n in SIZES:
        ref, ours = measure(n, args.repeats)
        ratios[n] = ref / ours
        print(f"{n:>7} {n * n:>6} {n * (n - 1) // 2:>8} {ref:>12.3f} {ours:>8.3f} {ratios[n]:>5.1f}x")
    verdict = "meets" if ratios[12] >= TARGET else "MISSES"
    print(f"ratio at 12 samples: {ratios[12]:.1f}x ({verdict} the {TARGET:.0f}x target)")


if __name__ == "__main__":
    main()
