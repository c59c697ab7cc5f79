"""Benchmark: the association statistics.

1. Demo size (100 samples x 3000 features, 15 % missing): the correlation table against
   scipy's pearsonr feature by feature, the ROC table against a scikit-learn
   LogisticRegression fit and roc_curve per feature; results compared.
2. Cohort size (500 x 20,000 by default: ids like "01005", values with four decimals,
   15 % missing, an integer age, Tumor/Normal): the association run over all features of
   the Tumor samples (both tables, as the card runs them) against the same run with the
   previous ROC table code (kept below as the reference); the two ROC tables must be equal
   to the byte. Then the ROC figure of one feature as the card draws it (its one line of the
   table read, found through the index kept beside it) against the previous way (the whole table read
   through the host's reader, the feature's row picked and its rates parsed); both figures
   must be equal.

Both sides run in this process, interleaved, on the same data. Prints medians and ratios
(reference / ours); absolute times on a shared machine are no evidence.

    PYTHONPATH=host python3 bench/association.py [--repeats N] [--features N] [--samples N] [--cohort-features N]
"""

import argparse
import filecmp
import os
import re
import statistics
import tempfile
import time
import warnings

import numpy as np
import pandas as pd
from scipy import stats
from sklearn.linear_model import LogisticRegression
from sklearn.metrics import roc_auc_score, roc_curve

from veltrana.plugins import plotweave, tables
from veltrana.analyses import association
from veltrana.plugins.paths import MyPath

PHENOTYPE = "Age(Numerical)"


def data(n_samples, n_features, seed=11):
    rng = np.random.default_rng(seed)
    samples = [f"S{i:03d}" for i in range(n_samples)]
    y = pd.DataFrame({PHENOTYPE: rng.normal(60, 9, n_samples)}, index=samples)
    values = rng.normal(size=(n_samples, n_features)) + 0.02 * y.to_numpy()
    values[rng.random(values.shape) < 0.15] = np.nan
    return pd.DataFrame(values, index=samples, columns=[f"F{j:05d}" for j in range(n_features)]), y


def cohort(n_samples, n_features, seed=5):
    """(matrix, phenotypes) shaped like a cohort: the chosen groups are a column of the phenotypes."""
    rng = np.random.default_rng(seed)
    samples = [f"{1005 + i:05d}" for i in range(n_samples)]
    age = np.round(rng.normal(60, 9, n_samples))
    info = pd.DataFrame({PHENOTYPE: age, "Pathological_Status": np.where(rng.random(n_samples) < 0.7, "Tumor",
                                                                         "Normal")}, index=samples)
    values = np.round(rng.normal(size=(n_samples, n_features)) + 0.03 * (age[:, None] - 60), 4)
    values[rng.random(values.shape) < 0.15] = np.nan
    # As the host's reader hands a matrix out (a copy: each feature one contiguous row).
    return pd.DataFrame(values, index=samples, columns=[f"G{j:05d}" for j in range(n_features)]).copy(), info


# ---- the references ---------------------------------------------------------------------

def reference_correlation(x, y):
    out = []
    for f in x.columns:
        ok = x[f].notna()
        out.append(stats.pearsonr(x.loc[ok, f], y.loc[ok, PHENOTYPE]))
    return np.array(out)


def reference_roc(x, y):
    outcome = (y[PHENOTYPE] > y[PHENOTYPE].median()).astype(int)
    aucs, coefs = [], []
    for f in x.columns:
        ok = x[f].notna()
        xs, o = x.loc[ok, [f]].to_numpy(), outcome[ok].to_numpy()
        model = LogisticRegression().fit(xs, o)
        proba = model.predict_proba(xs)[:, 1]
        roc_curve(o, proba)
        aucs.append(roc_auc_score(o, proba))
        coefs.append(model.coef_[0, 0])
    return np.array(aucs), np.array(coefs)


def previous_correlation(data_df, samples, features, numeric_info_df, phenotype, pfc_path):
    """The correlation table service as it was: a new array for each step."""
    matrix, y, features = association._aligned(data_df, samples, features, numeric_info_df, phenotype)
    mask = ~np.isnan(matrix) & ~np.isnan(y)[:, None]
    n = mask.sum(axis=0)
    with np.errstate(invalid="ignore", divide="ignore"):
        x = np.where(mask, matrix, 0.0)
        yy = np.where(mask, y[:, None], 0.0)
        dx = np.where(mask, x - x.sum(axis=0) / n, 0.0)
        dy = np.where(mask, yy - yy.sum(axis=0) / n, 0.0)
        r = (dx * dy).sum(axis=0) / np.sqrt((dx * dx).sum(axis=0) * (dy * dy).sum(axis=0))
        r = np.clip(r, -1.0, 1.0)
        r[n < association.MIN_PAIRS] = np.nan
        half = n / 2.0 - 1.0
        p = np.minimum(2.0 * stats.beta.sf(np.abs(r) / 2.0 + 0.5, half, half), 1.0)
    keep = ~np.isnan(r)
    table = pd.DataFrame({"Feature": np.asarray(features, dtype=object)[keep] if features else [],
                          "Correlation": r[keep], "P-value": p[keep], "Pairs": n[keep]})
    return tables.save_result_path(pfc_path, table)


def previous_directions(matrix, valid, outcome):
    count = valid.sum(axis=0)
    x = np.where(valid, matrix, 0.0)
    o = np.where(valid, outcome[:, None], 0.0)
    dx = np.where(valid, x - x.sum(axis=0) / count, 0.0)
    do = np.where(valid, o - o.sum(axis=0) / count, 0.0)
    covariance = (dx * do).sum(axis=0)
    scale = ((np.abs(x) + np.abs(x.sum(axis=0) / count)) * np.abs(do)).sum(axis=0)
    direction = np.sign(covariance)
    for j in np.flatnonzero(np.abs(covariance) <= 1e-8 * scale):
        xs, os_ = matrix[valid[:, j], j], outcome[valid[:, j]]
        direction[j] = np.sign(np.dot(xs - xs.mean(), os_ - os_.mean()))
    return direction


def previous_roc_tables(matrix, outcome):
    valid = ~np.isnan(matrix)
    count = valid.sum(axis=0)
    positives = (valid & (outcome[:, None] == 1)).sum(axis=0)
    columns = np.flatnonzero((count >= association.MIN_PAIRS) & (positives > 0) & (positives < count))
    matrix, valid, count, positives = matrix[:, columns], valid[:, columns], count[columns], positives[columns]
    key = np.where(valid, -(previous_directions(matrix, valid, outcome) * matrix), np.nan)
    order = np.argsort(key, axis=0, kind="stable")
    key = np.take_along_axis(key, order, axis=0).T
    hits = outcome[order].T
    rank = np.arange(key.shape[1])
    last = rank < count[:, None]
    last[:, :-1] &= (key[:, 1:] != key[:, :-1]) | (rank[1:] == count[:, None])
    tps = np.cumsum(hits, axis=1)[last]
    fps = (rank + 1)[np.nonzero(last)[1]] - tps
    curve = np.repeat(np.arange(len(columns)), last.sum(axis=1))
    middle = np.zeros(len(curve), dtype=bool)
    middle[1:-1] = (curve[:-2] == curve[1:-1]) & (curve[2:] == curve[1:-1])
    straight = np.zeros(len(curve), dtype=bool)
    straight[1:-1] = (np.diff(fps, 2) == 0) & (np.diff(tps, 2) == 0)
    keep = ~(middle & straight)
    fps, tps, curve = fps[keep], tps[keep], curve[keep]
    sizes = np.bincount(curve, minlength=len(columns)) + 1
    start = np.r_[0, np.cumsum(sizes)]
    at = np.arange(len(curve)) + curve + 1
    fpr, tpr = np.zeros(start[-1]), np.zeros(start[-1])
    fpr[at] = fps / (count - positives)[curve]
    tpr[at] = tps / positives[curve]
    return columns, fpr, tpr, start


def previous_logistic(data_df, samples, features, numeric_info_df, phenotype, pfl_path):
    """The ROC table service as it was: every curve formatted from float rates."""
    matrix, y, features = association._aligned(data_df, samples, features, numeric_info_df, phenotype)
    rows = []
    if len(y) and len(features):
        columns, fpr, tpr, start = previous_roc_tables(matrix, association.binary_outcome(y))
        values, where = np.unique(np.r_[fpr, tpr], return_inverse=True)
        text = np.array([repr(v) for v in values.tolist()], dtype=object)
        fpr_text, tpr_text = text[where[:len(fpr)]], text[where[len(fpr):]]
        for k, j in enumerate(columns):
            a, b = start[k], start[k + 1]
            rows.append((features[j], ",".join(fpr_text[a:b].tolist()), ",".join(tpr_text[a:b].tolist()),
                         float(np.trapezoid(tpr[a:b], fpr[a:b]))))
    table = pd.DataFrame(rows, columns=["Feature", "FPR", "TPR", "AUC"])
    return tables.save_result_path(pfl_path, table)


def roc_figure(path, feature):
    """The card's ROC figure of one feature as it was drawn before the curves were kept: the table
    through the host's reader, the row, its rates."""
    table = tables.read_result_path(path)
    hit = table[table["Feature"] == feature].iloc[0]
    fpr, tpr = (np.array(re.split(",", str(hit[c])), dtype=float) for c in ("FPR", "TPR"))
    return plotweave.roc_plot(fpr=fpr, tpr=tpr, auc=hit["AUC"], figure_height=420)


def curve_figure(path, feature):
    """The card's ROC figure of one feature now: its line of the table alone, found through the index."""
    fpr, tpr, auc = association.roc_curve_of(path, feature)
    return plotweave.roc_plot(fpr=fpr, tpr=tpr, auc=auc, figure_height=420)


# ---- the two sizes ---------------------------------------------------------------------------

def demo_size(n_features, repeats, out):
    x, y = data(100, n_features)
    samples, features = list(x.index), list(x.columns)
    ours = {"correlation": [], "roc": []}
    theirs = {"correlation": [], "roc": []}
    for _ in range(repeats):
        t = time.perf_counter()
        cpath = association.update_phenotype_feature_correlation_inter(
            x, samples, features, y, PHENOTYPE, os.path.join(out, "c.txt"))
        ours["correlation"].append(time.perf_counter() - t)
        t = time.perf_counter()
        ref_c = reference_correlation(x, y)
        theirs["correlation"].append(time.perf_counter() - t)
        t = time.perf_counter()
        lpath = association.update_phenotype_feature_logistic_inter(
            x, samples, features, y, PHENOTYPE, os.path.join(out, "l.txt"))
        ours["roc"].append(time.perf_counter() - t)
        t = time.perf_counter()
        ref_auc, ref_coef = reference_roc(x, y)
        theirs["roc"].append(time.perf_counter() - t)
    corr = pd.read_csv(cpath, sep="\t", index_col=0)
    np.testing.assert_allclose(corr["Correlation"], ref_c[:, 0], atol=1e-12)
    np.testing.assert_allclose(corr["P-value"], ref_c[:, 1], rtol=1e-8)
    # Where a feature barely covaries with the outcome the library's solver may stop at a
    # zero coefficient (every probability tied, AUC 0.5); the exact fit keeps its sign.
    auc = pd.read_csv(lpath, sep="\t", index_col=0)["AUC"].to_numpy()
    differ = np.abs(auc - ref_auc) > 1e-12
    assert not (differ & (ref_coef != 0)).any()
    print(f"association statistics, 100 samples x {n_features} features (median of {repeats})")
    for name in ("correlation", "roc"):
        a, b = statistics.median(ours[name]), statistics.median(theirs[name])
        print(f"  {name:12s} ours {a * 1000:8.1f} ms   per-feature library calls {b * 1000:8.1f} ms"
              f"   ratio {b / a:6.1f}x")
    print(f"  AUCs equal for {int((~differ).sum())} of {len(auc)} features; the rest where the library's fit"
          " stopped at a zero coefficient")


def cohort_size(n_samples, n_features, repeats, out):
    x, info = cohort(n_samples, n_features)
    tumor = list(info.index[info["Pathological_Status"] == "Tumor"])
    args = (x, tumor, list(x.columns), info, PHENOTYPE)
    sides = {"ours": (association.update_phenotype_feature_correlation_inter,
                      association.update_phenotype_feature_logistic_inter),
             "previous": (previous_correlation, previous_logistic)}
    times = {(step, side): [] for step in ("correlation", "roc", "figure") for side in sides}
    for k in range(repeats):
        paths = {}
        for side in list(sides)[::1 if k % 2 == 0 else -1]:  # each side first in turn
            for step, service in zip(("correlation", "roc"), sides[side]):
                start = time.perf_counter()
                paths[step, side] = service(*args, os.path.join(out, f"{step}-{side}-{k}.txt"))
                times[step, side].append(time.perf_counter() - start)
        # A new file each time: the first pick after a run, the reader's cache cold.
        figures = {}
        for side, draw in (("ours", curve_figure), ("previous", roc_figure)):
            start = time.perf_counter()
            figures[side] = draw(paths["roc", side], x.columns[k])
            times["figure", side].append(time.perf_counter() - start)
        assert figures["ours"].to_json() == figures["previous"].to_json(), "the ROC figures differ"
        for step in ("correlation", "roc"):
            assert filecmp.cmp(paths[step, "ours"], paths[step, "previous"], shallow=False), f"the {step} tables differ"
    start = time.perf_counter()
    curve_figure(paths["roc", "ours"], x.columns[-1])
    again = time.perf_counter() - start
    size = os.path.getsize(paths["roc", "ours"]) / 1e6
    print(f"association over all features, {len(tumor)} of {n_samples} samples x {n_features} features"
          f" (median of {repeats}; both tables equal to the byte; the ROC table {size:.0f} MB)")
    median = {key: statistics.median(t) for key, t in times.items()}
    for label, steps in (("correlation table", ["correlation"]), ("ROC table", ["roc"]),
                         ("run (both tables)", ["correlation", "roc"]), ("ROC figure, first pick", ["figure"])):
        a = sum(median[step, "ours"] for step in steps)
        b = sum(median[step, "previous"] for step in steps)
        print(f"  {label:24s} ours {a:7.2f} s   previous {b:7.2f} s   ratio {b / a:5.1f}x")
    print(f"  ROC figure, next pick    {again * 1000:7.1f} ms (ours: one line of the table read, found through"
          " the index beside it; previous: the whole table read and split)")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--features", type=int, default=3000)
    parser.add_argument("--samples", type=int, default=500)
    parser.add_argument("--cohort-features", type=int, default=20000)
    args = parser.parse_args()
    warnings.simplefilter("ignore")
    with tempfile.TemporaryDirectory() as out:
        # The host's reader reads only inside a configured output folder.
        MyPath({"expression": {"Protein": os.path.join(out, "none.txt")}, "info": os.path.join(out, "none.txt"),
                "out_dir": out})
        demo_size(args.features, args.repeats, out)
        cohort_size(args.samples, args.cohort_features, args.repeats, out)


if __name__ == "__main__":
    main()
