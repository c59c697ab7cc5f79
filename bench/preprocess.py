"""Times the native preprocessing steps against the vectorised pandas/numpy reference.

A seeded 1000-sample x 20000-feature matrix (log-normal values, 20 % missing at
random, a few features missing everywhere) goes through the full pipeline
(Log2, MedianNorm, 50, SampleMin) and through each step alone, the two
implementations interleaved in one process; outputs must be exactly equal.
Peak resident memory of each implementation is measured in its own subprocess.

    python bench/preprocess.py [--samples N] [--features M] [--repeats R]
"""

from __future__ import annotations

import argparse
import gc
import os
import statistics
import subprocess
import sys
import time

import numpy as np
import pandas as pd

# The reference implementation lives with the tests, which check the native code against it.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "tests"))
import preprocess_reference as reference  # noqa: E402

from veltrana.plugins import preprocess as native  # noqa: E402

PIPELINE = {"Transformation": "Log2", "Normalization": "MedianNorm", "Filter": 50, "Imputation": "SampleMin"}


def make_matrix(samples: int, features: int, seed: int = 20240811) -> pd.DataFrame:
    """Ratios as the host reads them: samples as rows, feature-contiguous storage.

    Built a block of features at a time so that building leaves no large temporaries.
    """
    rng = np.random.default_rng(seed)
    values = np.empty((samples, features), order="F")
    step = 1000
    for j in range(0, features, step):
        block = rng.lognormal(mean=0.0, sigma=1.0, size=(samples, min(step, features - j)))
        block[rng.random(block.shape) < 0.2] = np.nan
        values[:, j:j + step] = block
    values[:, rng.choice(features, size=max(1, features // 2000), replace=False)] = np.nan
    return pd.DataFrame(values, index=[f"S{i:04d}" for i in range(samples)],
                        columns=[f"P{j:05d}" for j in range(features)])


def cases(raw: pd.DataFrame):
    """(name, native call, reference call); each step gets the previous steps' output."""
    logged = reference.transform(raw, "Log2")
    centred = reference.norm(logged, "MedianNorm")
    kept = reference.noise_filter(centred, 50)
    return [
        ("pipeline", lambda: native.preprocess(raw, PIPELINE), lambda: reference.preprocess(raw, PIPELINE)),
        ("transform Log2", lambda: native.transform(raw, "Log2"), lambda: reference.transform(raw, "Log2")),
        ("norm MedianNorm", lambda: native.norm(logged, "MedianNorm"),
         lambda: reference.norm(logged, "MedianNorm")),
        ("noise_filter 50", lambda: native.noise_filter(centred, 50), lambda: reference.noise_filter(centred, 50)),
        ("impute SampleMin", lambda: native.impute(kept, "SampleMin"), lambda: reference.impute(kept, "SampleMin")),
        ("impute FeatureMin", lambda: native.impute(kept, "FeatureMin"),
         lambda: reference.impute(kept, "FeatureMin")),
        ("impute GlobalMin", lambda: native.impute(kept, "GlobalMin"), lambda: reference.impute(kept, "GlobalMin")),
    ]


def timed(fn) -> float:
    gc.collect()
    start = time.perf_counter()
    result = fn()
    elapsed = time.perf_counter() - start
    del result
    return elapsed


def rss_kib(field: str) -> int:
    with open("/proc/self/status") as fh:
        for line in fh:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise RuntimeError(f"no {field} in /proc/self/status")


def memory_child(which: str, samples: int, features: int) -> None:
    """Prints the input size and the extra peak resident memory of one pipeline run."""
    raw = make_matrix(samples, features)
    impl = native if which == "native" else reference
    impl.preprocess(raw.iloc[:4, :50], PIPELINE)  # warm imports and caches
    gc.collect()
    try:  # reset the peak so that building the input does not count
        with open("/proc/self/clear_refs", "w") as fh:
            fh.write("5")
    except OSError:
        pass
    before = rss_kib("VmRSS")
    result = impl.preprocess(raw, PIPELINE)
    peak = rss_kib("VmHWM")
    print(raw.to_numpy().nbytes, (peak - before) * 1024, result.shape[1])


def measure_memory(which: str, samples: int, features: int) -> tuple[int, int]:
    out = subprocess.run([sys.executable, __file__, "--memory", which, "--samples", str(samples),
                          "--features", str(features)], capture_output=True, text=True, check=True)
    nbytes, extra, _ = out.stdout.split()
    return int(nbytes), int(extra)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--samples", type=int, default=1000)
    parser.add_argument("--features", type=int, default=20000)
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--memory", choices=["native", "reference"])
    args = parser.parse_args()
    if args.memory:
        memory_child(args.memory, args.samples, args.features)
        return

    raw = make_matrix(args.samples, args.features)
    print(f"preprocess: {args.samples} samples x {args.features} features, "
          f"{raw.isna().to_numpy().mean():.1%} missing, {args.repeats} interleaved repeats")
    table = cases(raw)
    for name, ours, theirs in table:  # equal outputs first, and warm both
        pd.testing.assert_frame_equal(ours(), theirs(), check_exact=True, obj=name)
    times = {name: ([], []) for name, _, _ in table}
    for _ in range(args.repeats):
        for name, ours, theirs in table:
            times[name][0].append(timed(ours))
            times[name][1].append(timed(theirs))

    print(f"{'case':<20}{'native ms':>12}{'reference ms':>15}{'speed-up':>10}")
    for name, (ours, theirs) in times.items():
        a, b = statistics.median(ours), statistics.median(theirs)
        print(f"{name:<20}{a * 1e3:>12.1f}{b * 1e3:>15.1f}{b / a:>9.2f}x")

    print("peak extra resident memory of one pipeline run (own subprocess each):")
    for which in ("native", "reference"):
        nbytes, extra = measure_memory(which, args.samples, args.features)
        print(f"  {which:<10}{extra / 2**20:>9.0f} MiB = {extra / nbytes:.2f} x the input ({nbytes / 2**20:.0f} MiB)")


if __name__ == "__main__":
    main()
