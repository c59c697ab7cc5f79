"""Survival table of a large clinical table: the native module against two pandas readings.

Both references give the same table: the row-wise reading (iterrows) and an idiomatic vectorised one
(masks, np.where, groupby). Times are interleaved medians; ratios are reference / native.
"""

import statistics
import time

import numpy as np
import pandas as pd

from veltrana.plugins import survival

STATUS = "Vital Status (at time of last contact)"
D1 = "Days between date collection and last contact"
D2 = "Days between date collection and death"


def clinical(n, seed=7):
    rng = np.random.default_rng(seed)
    status = rng.choice(["Living", "Deceased", "Unknown"], n, p=[0.6, 0.37, 0.03]).astype(object)
    status[rng.random(n) < 0.02] = None
    d1 = np.round(rng.uniform(0, 3000, n))
    d1[rng.random(n) < 0.03] = np.nan
    d2 = np.where(status == "Deceased", np.round(rng.uniform(0, 3000, n)), np.nan)
    return pd.DataFrame({STATUS: status, D1: d1, D2: d2, "Sample_ID": [f"S{i:07d}" for i in range(n)],
                         "Stage": rng.choice(["I", "II", "III", "IV"], n)})


def vectorised(data, group_col):
    status = data[STATUS]
    dead = (status == "Deceased").to_numpy()
    known = dead | (status == "Living").to_numpy()
    days = np.where(dead, data[D2], data[D1])
    keep = known & ~np.isnan(days)
    keep[keep] = np.trunc(days[keep]) != 0
    sub = pd.DataFrame({"group": data[group_col].to_numpy()[keep], "months": np.trunc(days[keep]) / 30,
                        "event": dead[keep], "samples": data["Sample_ID"].to_numpy()[keep]})
    rows = [[g, ",".join(f"{m:.4f}" for m in part["months"]), ",".join(map(str, part["event"])),
             ",".join(part["samples"])] for g, part in sub.groupby("group", sort=False)]
    return pd.DataFrame(rows, columns=["group", "duration", "event", "samples"])


def row_wise(data, group_col):
    durations, events, samples = {}, {}, {}
    for _, row in data.iterrows():
        if pd.isnull(row[STATUS]):
            continue
        status, d1, d2, sid, g = row[STATUS], row[D1], row[D2], row["Sample_ID"], row[group_col]
        if status == "Living":
            days, event = d1, False
        elif status == "Deceased":
            days, event = d2, True
        else:
            continue
        if pd.isnull(days) or int(days) == 0:
            continue
        durations.setdefault(g, []).append(int(days) / 30)
        events.setdefault(g, []).append(event)
        samples.setdefault(g, []).append(sid)
    rows = [[g, ",".join(f"{d:.4f}" for d in durations[g]), ",".join(map(str, events[g])), ",".join(samples[g])]
            for g in durations]
    return pd.DataFrame(rows, columns=["group", "duration", "event", "samples"])


def timed(fn, *args):
    start = time.perf_counter()
    out = fn(*args)
    return time.perf_counter() - start, out


def main():
    native = lambda d, g: survival.get_durations_and_events(d, None, g)
    for n, repeats, with_rows in ((20_000, 5, True), (500_000, 5, False)):
        data = clinical(n)
        cases = {"native": native, "vectorised": vectorised}
        if with_rows:
            cases["row-wise"] = row_wise
        times = {k: [] for k in cases}
        results = {}
        for _ in range(repeats):
            for name, fn in cases.items():
                t, results[name] = timed(fn, data, "Stage")
                times[name].append(t)
        for name, table in results.items():
            pd.testing.assert_frame_equal(table, results["native"], obj=name)
        med = {k: statistics.median(v) for k, v in times.items()}
        line = ", ".join(f"{k} {med[k] * 1e3:.1f} ms" for k in med)
        ratios = ", ".join(f"{k}/native {med[k] / med['native']:.1f}x" for k in med if k != "native")
        print(f"survival table, {n} rows: {line}; {ratios}")


if __name__ == "__main__":
    main()
