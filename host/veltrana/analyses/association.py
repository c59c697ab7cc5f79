"""Host services of the association card: how each feature of a set relates to one
numerical phenotype over the chosen samples.

Both services take the samples-by-features matrix, the chosen samples and features,
the numerical-phenotype table and the phenotype, write one table and return its path.
Unknown samples or features are skipped; the caller's frames are never altered.
"""

from __future__ import annotations

import csv
import io
import mmap
import os
import threading
import zipfile

import numpy as np
import pandas as pd

from veltrana import deferred
from veltrana.runs import progress
from veltrana.plugins.paths import readable_anywhere
from veltrana.plugins.tables import read_result_path, replace_result_path, save_result_path
from veltrana.analyses.matrices import take

stats = deferred.module("scipy.stats")

__all__ = ["update_phenotype_feature_correlation_inter", "update_phenotype_feature_logistic_inter",
           "roc_curve_of"]

# Fewer complete (feature, phenotype) pairs than this give no row.
MIN_PAIRS = 3


def _aligned(data_df, samples, features, numeric_info_df, phenotype):
    """(matrix, phenotype vector) over the known samples with a phenotype value, known features only."""
    if phenotype not in numeric_info_df.columns:
        raise ValueError(f"unknown numerical phenotype {phenotype!r}")
    known = set(data_df.columns)
    features = [f for f in dict.fromkeys(features) if f in known]
    y = pd.to_numeric(numeric_info_df[phenotype], errors="coerce")
    if not (data_df.index.is_unique and data_df.columns.is_unique and y.index.is_unique):
        raise ValueError("the matrix and the phenotype table must name each sample and feature once")
    valued = set(y.index[y.notna()]) & set(data_df.index)
    samples = [s for s in dict.fromkeys(samples) if s in valued]
    # Only read (by both services): the matrix itself when it is taken whole.
    matrix = take(data_df.to_numpy(dtype=float, copy=False), data_df.index.get_indexer(samples),
                  data_df.columns.get_indexer(features), share=True)
    return matrix, y.loc[samples].to_numpy(dtype=float), features


def pearson_columns(matrix: np.ndarray, y: np.ndarray):
    """Pearson r, two-sided p-value and number of complete pairs of each column with `y`.

    Each column uses its own complete pairs; columns with fewer than MIN_PAIRS pairs
    or no spread get NaN.
    """
    if matrix.ndim == 2 and matrix.dtype == np.float64 and matrix.flags.f_contiguous:
        # Each column contiguous (the host's matrices): the native kernel, with numpy's sums.
        r, n = _native().pearson_rows(matrix.T, np.ascontiguousarray(y, dtype=float))
    else:
        r, n = _pearson_sums(matrix, y)
    with np.errstate(invalid="ignore", divide="ignore"):
        r = np.clip(r, -1.0, 1.0)
        r[n < MIN_PAIRS] = np.nan
        # Same distribution as scipy's pearsonr: r is Beta(n/2-1, n/2-1) on [-1, 1] under the null.
        half = n / 2.0 - 1.0
        p = 2.0 * stats.beta.sf(np.abs(r) / 2.0 + 0.5, half, half)
    return r, np.minimum(p, 1.0), n


def _pearson_sums(matrix: np.ndarray, y: np.ndarray):
    """(sxy / sqrt(sxx * syy), pairs) of each column, in numpy."""
    mask = ~np.isnan(matrix) & ~np.isnan(y)[:, None]
    n = mask.sum(axis=0)
    with np.errstate(invalid="ignore", divide="ignore"):
        # Deviations from each column's means over its pairs, 0 elsewhere; worked in
        # place (a cohort's matrix is large), one buffer for the three products.
        dx = np.where(mask, matrix, 0.0)
        dx -= dx.sum(axis=0) / n
        np.copyto(dx, 0.0, where=~mask)
        dy = np.where(mask, y[:, None], 0.0)
        dy -= dy.sum(axis=0) / n
        np.copyto(dy, 0.0, where=~mask)
        product = dx * dy
        sxy = product.sum(axis=0)
        sxx = np.multiply(dx, dx, out=product).sum(axis=0)
        syy = np.multiply(dy, dy, out=product).sum(axis=0)
        return sxy / np.sqrt(sxx * syy), n


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


def _directions(rows: np.ndarray, valid: np.ndarray, outcome: np.ndarray, count: np.ndarray,
                positives: np.ndarray) -> np.ndarray:
    """feature_roc's orientation of every feature (row of `rows`; `valid` is samples by features),
    from its complete pairs at once.

    The covariance of each feature with the outcome is sum(x * o) - mean(x) * sum(o) over its
    pairs (sums in one native pass). Its rounding error stays far below 1e-8 of the feature's
    sum(|x|) (feature_roc's too), so a larger covariance has the same sign in both; the features
    below it (a constant feature, say) take their sign as feature_roc takes it.
    """
    with_outcome, total, size = _native().orientation_sums(rows, outcome.astype(float))
    covariance = with_outcome - total / count * positives
    direction = np.sign(covariance)
    for j in np.flatnonzero(np.abs(covariance) <= 1e-8 * size):
        keep = valid[:, j]
        xs, os_ = rows[j, keep], outcome[keep]
        direction[j] = np.sign(np.dot(xs - xs.mean(), os_ - os_.mean()))
    return direction


def roc_tables(matrix: np.ndarray, outcome: np.ndarray):
    """(columns, fps, tps, start, negatives, positives) for the columns of `matrix` that get
    a ROC: what feature_roc gives for each column's complete pairs, all columns at once,
    as 32-bit counts of false and true positives; the rates are fps / negatives, tps / positives.

    The curves lie end to end in `fps` and `tps`; curve k is [start[k], start[k + 1]).
    Columns with fewer than MIN_PAIRS values, or whose values see one class only, get none.
    """
    valid = ~np.isnan(matrix)
    count = valid.sum(axis=0)
    positives = valid[outcome == 1].sum(axis=0)
    columns = np.flatnonzero((count >= MIN_PAIRS) & (positives > 0) & (positives < count))
    if len(columns) < matrix.shape[1]:
        matrix, valid, count, positives = matrix[:, columns], valid[:, columns], count[columns], positives[columns]
    rows = np.ascontiguousarray(matrix.T)  # one row per feature: a view of the host's matrices
    direction = _directions(rows, valid, outcome, count, positives)
    # Each row times -direction: oriented so that the highest score comes first in ascending order.
    fps, tps, start = _native().roc_counts(rows, -direction, outcome.astype(np.int64))
    return columns, fps, tps, start, count - positives, positives


def _native():
    from veltrana.plugins import preprocess  # the native kernels

    return preprocess


def _points(counts) -> np.ndarray:
    """Counts of samples as the native kernels take a curve's points: 32-bit (refused beyond)."""
    counts = np.asarray(counts)
    if counts.dtype != np.int32:
        if counts.size and np.max(counts) > np.iinfo(np.int32).max:
            raise ValueError("a curve's counts of samples must stay below 2**31")
        counts = counts.astype(np.int32)
    return counts


def _joined_rates(counts: np.ndarray, totals: np.ndarray, start: np.ndarray) -> list[str]:
    """Each curve's rates, counts / its total, as repr texts joined with "," (written natively,
    the very texts Python's repr gives)."""
    return _native().rate_texts(_points(counts), np.asarray(totals, dtype=np.int64),
                                np.asarray(start, dtype=np.int64))


def _areas(fps, tps, start, negatives, positives) -> np.ndarray:
    """np.trapezoid(tpr, fpr) of each curve, natively: the same terms, each curve's summed as numpy
    sums an array of them (pairwise), so to the last bit."""
    return _native().roc_areas(_points(fps), _points(tps),
                               *(np.asarray(c, dtype=np.int64) for c in (start, negatives, positives)))


def _roc_table(names, fps, tps, start, negatives, positives, auc) -> pd.DataFrame:
    """The ROC table of the curves of roc_tables, named by `names`."""
    return pd.DataFrame({"Feature": names, "FPR": _joined_rates(fps, negatives, start),
                         "TPR": _joined_rates(tps, positives, start), "AUC": auc})


def _plain(name) -> bool:
    """A name written as it stands in any encoding: ASCII, nothing to quote."""
    return isinstance(name, str) and name.isascii() and not any(c in name for c in '\t\n\r"')


def _save_roc_table(path, names, curves, auc) -> tuple[str, np.ndarray | None]:
    """(path, where each line starts) of the ROC table written at `path` as save_result_path writes
    its frame: natively from the counts (a cohort's table is hundreds of MB of text), or through the
    frame when a feature's name needs quoting (its lines then found by a scan; None if that fails)."""
    if len(names) and all(_plain(n) for n in names):
        fps, tps = (_points(c) for c in curves[:2])
        start, negatives, positives = (np.asarray(c, dtype=np.int64) for c in curves[2:])
        offsets = []

        def write(partial):
            offsets.append(_native().write_roc_table(partial, list(names), fps, tps, start, negatives, positives,
                                                     np.asarray(auc, dtype=float)))

        return replace_result_path(path, write), offsets[0]
    save_result_path(path, _roc_table(names, *curves, auc))
    return path, _scanned_offsets(path, len(names))


def _scanned_offsets(path, rows: int) -> np.ndarray | None:
    """Where each of the `rows` lines of a table written by save_result_path starts (line k begins
    with k and a tab), and the file's size last; None when a line is not found. A name with a
    line break in it could fool the scan: the reader checks each line it takes."""
    offsets = np.empty(rows + 1, dtype=np.int64)
    with open(path, "rb") as fh, mmap.mmap(fh.fileno(), 0, access=mmap.ACCESS_READ) as text:
        at = text.find(b"\n") + 1  # after the header
        for k in range(rows):
            first = b"%d\t" % k
            if at <= 0 or text[at:at + len(first)] != first:
                return None
            offsets[k] = at
            at = text.find(b"\n%d\t" % (k + 1), at) + 1 if k + 1 < rows else len(text)
        offsets[rows] = len(text)
    return offsets


# ---- one curve read back ----------------------------------------------------------------
# The ROC table holds every curve as text (hundreds of MB for a cohort); the figure needs
# one. Where each line starts is kept beside the table, so that a feature's line is read
# on its own: the same text, read as the table's reader reads it.

LINES_VERSION = 2


def lines_file(table_path) -> str:
    """The index of the lines of the ROC table `table_path`, kept beside it."""
    return os.path.splitext(os.fspath(table_path))[0] + "_lines.npz"


def _write_lines(table_path, names, auc, offsets) -> None:
    def write(partial):
        with open(partial, "wb") as fh:
            np.savez(fh, version=np.int64(LINES_VERSION), offsets=np.asarray(offsets, dtype=np.int64),
                     features=np.asarray(names, dtype=str) if len(names) else np.array([], dtype=str),
                     auc=np.asarray(auc, dtype=float))

    replace_result_path(lines_file(table_path), write)


def _readable(path) -> str:
    if not readable_anywhere(path):
        raise ValueError(f"refusing to read {os.fspath(path)!r}: outside the configured locations")
    return os.fspath(path)


_indexes: dict = {}
_indexes_lock = threading.Lock()
_INDEXES_KEPT = 8


def _line_index(index_path):
    """The index of a table's lines ({feature: row}, offsets, areas), kept per file state; None when
    it cannot be read as one (the caller then reads the table)."""
    st = os.stat(index_path)
    key = (os.path.realpath(index_path), st.st_ino, st.st_size, st.st_mtime_ns)
    with _indexes_lock:
        if key in _indexes:
            return _indexes[key]
    try:
        with open(index_path, "rb") as fh, np.load(fh, allow_pickle=False) as stored:
            index = {name: stored[name] for name in ("version", "offsets", "features", "auc")}
    except (OSError, ValueError, KeyError, zipfile.BadZipFile):
        return None
    n = len(index["features"])
    if (int(index["version"]) != LINES_VERSION or len(index["offsets"]) != n + 1 or len(index["auc"]) != n
            or (n and np.any(np.diff(index["offsets"]) < 1))):
        return None
    index["row"] = {f: k for k, f in enumerate(index["features"].tolist())}
    with _indexes_lock:
        _indexes[key] = index
        while len(_indexes) > _INDEXES_KEPT:
            _indexes.pop(next(iter(_indexes)))
    return index


def _indexed_curve(table_path, feature):
    """(fpr, tpr, auc) of `feature` from its line of the table; "absent" when the table has no line
    of it; None when the index is missing or does not fit the table (a run from before it was
    kept, a table changed since)."""
    index_path = lines_file(table_path)
    if not os.path.isfile(index_path):
        return None
    index = _line_index(_readable(index_path))
    if index is None or os.path.getsize(table_path) != int(index["offsets"][-1]):
        return None
    k = index["row"].get(feature)
    if k is None:
        return "absent"
    a, b = int(index["offsets"][k]), int(index["offsets"][k + 1])
    with open(table_path, "rb") as fh:
        fh.seek(a)
        line = fh.read(b - a).decode("utf-8", errors="replace")
    # The rates and the area are never quoted; the number and the name are read as the table's
    # writer quotes them.
    parts = line.removesuffix("\n").rsplit("\t", 3)
    try:
        if len(parts) != 4 or next(csv.reader(io.StringIO(parts[0], newline=""), delimiter="\t"), []) != [
                str(k), feature]:
            return None
        return np.array(parts[1].split(","), dtype=float), np.array(parts[2].split(","), dtype=float), index["auc"][k]
    except (csv.Error, ValueError):  # not this feature's line
        return None


def roc_curve_of(table_path, feature):
    """(fpr, tpr, auc) of one feature of the ROC table at `table_path`, as the table holds it; None
    when the table has no row of that feature.

    Its line alone is read, found through the index kept beside the table; a table without a
    fitting index (an earlier run) is read whole, as it always was."""
    _readable(table_path)
    if not isinstance(feature, str):
        return None
    found = _indexed_curve(table_path, feature)
    if found == "absent":
        return None
    if found is not None:
        return found
    table = read_result_path(table_path)
    hit = table[table["Feature"] == feature]
    if hit.empty:
        return None
    row = hit.iloc[0]
    return (np.array(str(row["FPR"]).split(","), dtype=float), np.array(str(row["TPR"]).split(","), dtype=float),
            row["AUC"])


def update_phenotype_feature_logistic_inter(data_df, samples, features, numeric_info_df, phenotype,
                                            pfl_path) -> str:
    """Writes "Feature", "FPR", "TPR" (comma-joined) and "AUC" for each feature; returns the path.
    Where each feature's line starts is kept beside the table (see roc_curve_of).

    The outcome is the phenotype above its median over the chosen samples. Features
    with fewer than MIN_PAIRS complete pairs, or whose complete pairs hold one class
    only, get no row.
    """
    matrix, y, features = _aligned(data_df, samples, features, numeric_info_df, phenotype)
    progress.report(f"ROC curves of {len(features)} features against {phenotype} (2 of 2)")
    names, auc = np.array([], dtype=object), np.zeros(0)
    curves = (np.zeros(0, dtype=np.int32), np.zeros(0, dtype=np.int32), np.zeros(1, dtype=np.int64),
              np.zeros(0, dtype=np.int64), np.zeros(0, dtype=np.int64))
    if len(y) and len(features):
        columns, *curves = roc_tables(matrix, binary_outcome(y))
        del matrix
        names, auc = np.asarray(features, dtype=object)[columns], _areas(*curves)
    path, offsets = _save_roc_table(pfl_path, names, curves, auc)
    if offsets is not None:
        _write_lines(path, names, auc, offsets)
    return path
