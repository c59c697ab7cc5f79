"""Host services of the association card: how each feature of a set relates to one
numerical phenotype over the chosen samples.

Both services take the samples-by-features matrix, the chosen samples and features,
the numerical-phenotype table and the phenotype, write one table and return its path.
Unknown samples or features are skipped; the caller's frames are never altered.
"""

from __future__ import annotations

import numpy as np
import pandas as pd
from scipy import stats

from .. import progress
from ..tables import save_result_path

__all__ = ["update_phenotype_feature_correlation_inter", "update_phenotype_feature_logistic_inter"]

# Fewer complete (feature, phenotype) pairs than this give no row.
MIN_PAIRS = 3


def _aligned(data_df, samples, features, numeric_info_df, phenotype):
    """(matrix, phenotype vector) over the known samples with a phenotype value, known features only."""
    if phenotype not in numeric_info_df.columns:
        raise ValueError(f"unknown numerical phenotype {phenotype!r}")
    features = [f for f in dict.fromkeys(features) if f in data_df.columns]
    y = pd.to_numeric(numeric_info_df[phenotype], errors="coerce")
    samples = [s for s in dict.fromkeys(samples)
               if s in data_df.index and s in y.index and pd.notna(y.loc[s])]
    matrix = data_df.loc[samples, features].to_numpy(dtype=float, copy=True)
    return matrix, y.loc[samples].to_numpy(dtype=float), features


def pearson_columns(matrix: np.ndarray, y: np.ndarray):
    """Pearson r, two-sided p-value and number of complete pairs of each column with `y`.

    Each column uses its own complete pairs; columns with fewer than MIN_PAIRS pairs
    or no spread get NaN.
    """
    mask = ~np.isnan(matrix) & ~np.isnan(y)[:, None]
    n = mask.sum(axis=0)
    with np.errstate(invalid="ignore", divide="ignore"):
        x = np.where(mask, matrix, 0.0)
        yy = np.where(mask, y[:, None], 0.0)
        dx = np.where(mask, x - x.sum(axis=0) / n, 0.0)
        dy = np.where(mask, yy - yy.sum(axis=0) / n, 0.0)
        r = (dx * dy).sum(axis=0) / np.sqrt((dx * dx).sum(axis=0) * (dy * dy).sum(axis=0))
        r = np.clip(r, -1.0, 1.0)
        r[n < MIN_PAIRS] = np.nan
        # Same distribution as scipy's pearsonr: r is Beta(n/2-1, n/2-1) on [-1, 1] under the null.
        half = n / 2.0 - 1.0
        p = 2.0 * stats.beta.sf(np.abs(r) / 2.0 + 0.5, half, half)
    return r, np.minimum(p, 1.0), n


def update_phenotype_feature_correlation_inter(data_df, samples, features, numeric_info_df, phenotype,
                                               pfc_path) -> str:
    """Writes "Feature", "Correlation", "P-value" (Pearson) for each feature, and "Pairs": the
    samples with both values that the feature's test used; returns the path."""
    matrix, y, features = _aligned(data_df, samples, features, numeric_info_df, phenotype)
    progress.report(f"Correlations of {len(features)} features with {phenotype} (1 of 2)")
    r, p, n = pearson_columns(matrix, y)
    keep = ~np.isnan(r)
    table = pd.DataFrame({"Feature": np.asarray(features, dtype=object)[keep] if features else [],
                          "Correlation": r[keep], "P-value": p[keep], "Pairs": n[keep]})
    return save_result_path(pfc_path, table)


def binary_outcome(y: np.ndarray) -> np.ndarray:
    """1 for samples whose phenotype lies above the median of the chosen samples, else 0."""
    return (y > np.median(y)).astype(int)


def roc_points(score: np.ndarray, outcome: np.ndarray):
    """(fpr, tpr, auc) of ranking by `score`, with the points scikit-learn's roc_curve keeps.

    One threshold per distinct score, highest first; points on a straight segment
    are dropped; the curve starts at (0, 0). A few numpy passes instead of the
    library's per-call checks, which dominate for thousands of short vectors.
    """
    order = np.argsort(score, kind="mergesort")[::-1]
    score, hits = score[order], outcome[order]
    last = np.r_[np.flatnonzero(np.diff(score)), hits.size - 1]
    tps = np.cumsum(hits)[last]
    fps = 1 + last - tps
    if len(fps) > 2:
        keep = np.flatnonzero(np.r_[True, np.logical_or(np.diff(fps, 2), np.diff(tps, 2)), True])
        fps, tps = fps[keep], tps[keep]
    fpr = np.r_[0, fps] / fps[-1]
    tpr = np.r_[0, tps] / tps[-1]
    return fpr, tpr, float(np.trapezoid(tpr, fpr))


def feature_roc(x: np.ndarray, outcome: np.ndarray):
    """(fpr, tpr, auc) of a one-feature logistic regression of `outcome` on `x`.

    With one feature the fitted probability is a monotone function of the feature,
    increasing when the feature and the outcome covary positively, decreasing when
    negatively and constant when they do not covary; the ROC of the fit is therefore
    the ROC of the feature itself, oriented by that sign.
    """
    direction = np.sign(np.dot(x - x.mean(), outcome - outcome.mean()))
    return roc_points(direction * x, outcome)


def _directions(matrix: np.ndarray, valid: np.ndarray, outcome: np.ndarray) -> np.ndarray:
    """feature_roc's orientation of every column, from its complete pairs at once.

    Where the covariance is too close to 0 for the summation order not to matter (a
    constant feature, say), the column's sign is taken as feature_roc takes it.
    """
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


def roc_tables(matrix: np.ndarray, outcome: np.ndarray):
    """(columns, fpr, tpr, start) for the columns of `matrix` that get a ROC: what
    feature_roc gives for each column's complete pairs, all columns at once.

    The curves lie end to end in `fpr` and `tpr`; curve k is [start[k], start[k + 1]).
    Columns with fewer than MIN_PAIRS values, or whose values see one class only, get none.
    """
    valid = ~np.isnan(matrix)
    count = valid.sum(axis=0)
    positives = (valid & (outcome[:, None] == 1)).sum(axis=0)
    columns = np.flatnonzero((count >= MIN_PAIRS) & (positives > 0) & (positives < count))
    matrix, valid, count, positives = matrix[:, columns], valid[:, columns], count[columns], positives[columns]
    # Scores from highest to lowest down each column, missing values last.
    key = np.where(valid, -(_directions(matrix, valid, outcome) * matrix), np.nan)
    order = np.argsort(key, axis=0, kind="stable")
    key = np.take_along_axis(key, order, axis=0).T
    hits = outcome[order].T
    rank = np.arange(key.shape[1])
    # The last position of each distinct score: one threshold, one point.
    last = rank < count[:, None]
    last[:, :-1] &= (key[:, 1:] != key[:, :-1]) | (rank[1:] == count[:, None])
    tps = np.cumsum(hits, axis=1)[last]
    fps = (rank + 1)[np.nonzero(last)[1]] - tps
    curve = np.repeat(np.arange(len(columns)), last.sum(axis=1))
    # Points on a straight segment go, as in roc_points: a middle point whose second
    # differences in fps and tps are both 0.
    middle = np.zeros(len(curve), dtype=bool)
    middle[1:-1] = (curve[:-2] == curve[1:-1]) & (curve[2:] == curve[1:-1])
    straight = np.zeros(len(curve), dtype=bool)
    straight[1:-1] = (np.diff(fps, 2) == 0) & (np.diff(tps, 2) == 0)
    keep = ~(middle & straight)
    fps, tps, curve = fps[keep], tps[keep], curve[keep]
    # Each curve starts at (0, 0).
    sizes = np.bincount(curve, minlength=len(columns)) + 1
    start = np.r_[0, np.cumsum(sizes)]
    at = np.arange(len(curve)) + curve + 1
    fpr, tpr = np.zeros(start[-1]), np.zeros(start[-1])
    fpr[at] = fps / (count - positives)[curve]
    tpr[at] = tps / positives[curve]
    return columns, fpr, tpr, start


def update_phenotype_feature_logistic_inter(data_df, samples, features, numeric_info_df, phenotype,
                                            pfl_path) -> str:
    """Writes "Feature", "FPR", "TPR" (comma-joined) and "AUC" for each feature; returns the path.

    The outcome is the phenotype above its median over the chosen samples. Features
    with fewer than MIN_PAIRS complete pairs, or whose complete pairs hold one class
    only, get no row.
    """
    matrix, y, features = _aligned(data_df, samples, features, numeric_info_df, phenotype)
    progress.report(f"ROC curves of {len(features)} features against {phenotype} (2 of 2)")
    rows = []
    if len(y) and len(features):
        columns, fpr, tpr, start = roc_tables(matrix, binary_outcome(y))
        # Rates are few distinct fractions: each is written (as repr) once.
        values, where = np.unique(np.r_[fpr, tpr], return_inverse=True)
        text = np.array([repr(v) for v in values.tolist()], dtype=object)
        fpr_text, tpr_text = text[where[:len(fpr)]], text[where[len(fpr):]]
        for k, j in enumerate(columns):
            a, b = start[k], start[k + 1]
            rows.append((features[j], ",".join(fpr_text[a:b].tolist()), ",".join(tpr_text[a:b].tolist()),
                         float(np.trapezoid(tpr[a:b], fpr[a:b]))))
    table = pd.DataFrame(rows, columns=["Feature", "FPR", "TPR", "AUC"])
    return save_result_path(pfl_path, table)
