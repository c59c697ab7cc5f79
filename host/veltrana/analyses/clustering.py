"""Host services of the feature-clustering card.

Each selected source's features are z-scored over the samples (missing values
then count as the feature's mean, 0) and clustered hierarchically (Ward linkage
on Euclidean distances) into the requested number of clusters (at most the
server's `clusters` limit). A full distance matrix of n features takes 4n^2 bytes
in condensed form, so a source with more features than the server's `top_features`
limit (see `limits`) is clustered on that many of its most variable ones.

A run writes, in a run folder of its own under the clustering folder (see
`results`), `<BaseName>_feature_clustering.txt`
(index "Feature", column "FeatureCluster", 1..k, rows in dendrogram order with
cluster 1 on top) per source (BaseName = the source name made safe for a file name), and the result table
`feature_clustering_result.txt` ("Source", "Method" = "Hierarchical clustering",
"BaseName", "Clusters", "Features", "Capped").
"""

from __future__ import annotations

import os
import warnings
from numbers import Integral, Real

import numpy as np
import pandas as pd

from veltrana import deferred
from veltrana.serve import limits
from veltrana.runs import progress, results
from veltrana.plugins.paths import configured, file_safe, inside
from veltrana.plugins.tables import read_info_file, read_result_path, save_result_path
from veltrana.plugins.defaults import default_figure_height
from veltrana.plugins.vocabulary import placeholder_figure, selected
from veltrana.analyses import batches
from veltrana.analyses.matrices import (ensure_preprocessed, feature_gram, feature_moments, feature_variances,
                                        preprocessed_matrix)

hierarchy = deferred.module("scipy.cluster.hierarchy")

__all__ = ["update_feature_clustering_inter", "update_feature_clustering_figure_1"]

METHOD = "Hierarchical clustering"
RESULT_FILE = "feature_clustering_result.txt"
MAX_FEATURES = limits.DEFAULTS["top_features"]  # the default cap; a server's is limits.get("top_features")
# The heatmap shows at most this many features, and at most HEATMAP_CELLS values in all:
# the most variable of the clustered ones, in dendrogram order. A thousand rows are already
# more than the figure's pixels; its values go to the page as float32 typed arrays (about
# 7 bytes each), so the figure stays under 1 MB.
HEATMAP_FEATURES = 1000
HEATMAP_CELLS = 120_000


def cluster_count(value) -> int:
    """The requested number of clusters as a whole number from 1 to the server's `clusters` limit."""
    if isinstance(value, bool) or not isinstance(value, Real) or not np.isfinite(value) \
            or not float(value).is_integer() or value < 1:
        raise ValueError(f"the number of clusters must be a positive whole number, got {value!r}")
    return limits.bounded("clusters", value, "the number of clusters")


def zscores(matrix: pd.DataFrame) -> pd.DataFrame:
    """Each feature (column) centred and scaled over the samples; constant features become 0.

    The mean and the standard deviation (ddof=1) skip missing values and are summed as
    pandas sums them (one contiguous row per feature), so the values equal those of the
    frame methods to the bit.
    """
    rows, missing = _standardised_rows(matrix.to_numpy(dtype=float))
    rows[missing] = np.nan
    return pd.DataFrame(rows.T, index=matrix.index, columns=matrix.columns)


def _standardised_rows(values: np.ndarray, columns: np.ndarray | None = None) -> tuple[np.ndarray, np.ndarray]:
    """(rows, missing): one row per feature of the samples-by-features `values` (of its `columns`
    only, when given: they are gathered, not copied first), centred and scaled as `zscores` does
    but 0 where a value is missing, in a new array; and that mask. The rows are the scratch of
    the sums first: one array of their size besides the caller's."""
    every = slice(None) if columns is None else columns
    rows = np.array(values.T, order="C") if columns is None else values.T[columns]  # a gather is a new array
    missing = np.isnan(rows)
    count = rows.shape[1] - missing.sum(axis=1)
    rows[missing] = 0.0
    with np.errstate(invalid="ignore", divide="ignore"):
        mean = rows.sum(axis=1) / count
        # Without missing values pandas' mean sums the frame's values in their own order (a
        # frame of some of the columns sums them as the whole frame does).
        centre = mean if missing.any() else values.sum(axis=0)[every] / count
        rows -= mean[:, None]
        rows *= rows
        rows[missing] = 0.0
        std = np.sqrt(rows.sum(axis=1) / (count - 1.0))
        std[(count < 2) | ~(std > 0)] = np.nan
        np.subtract(values.T[every], centre[:, None], out=rows)
        rows /= std[:, None]
    rows[np.isnan(rows)] = 0.0
    return rows, missing


def most_variable(matrix: pd.DataFrame, limit: int | None = None) -> pd.DataFrame:
    """`matrix` restricted to its `limit` most variable features (original column order); by
    default the server's `top_features` limit."""
    positions = most_variable_positions(matrix, limit)
    return matrix if positions is None else matrix.iloc[:, positions]


def most_variable_positions(matrix: pd.DataFrame, limit: int | None = None) -> np.ndarray | None:
    """The positions of the features most_variable keeps, in column order; None when it keeps
    the matrix whole."""
    if limit is None:
        limit = limits.get("top_features")
    if matrix.shape[1] <= limit:
        return None
    variances = pd.Series(feature_variances(matrix.to_numpy(dtype=float)), index=matrix.columns)
    keep = variances.fillna(-1.0).nlargest(limit).index
    return np.flatnonzero(matrix.columns.isin(keep))


def cluster_features(matrix: pd.DataFrame, k: int, positions: np.ndarray | None = None) -> pd.DataFrame:
    """The "FeatureCluster" of each feature (of those at `positions` only, when given: read in
    place, a cohort's capped features are not copied first), rows in dendrogram order, clusters
    numbered top-down."""
    values = matrix.to_numpy(dtype=float)
    moments = feature_moments(values)
    kept = np.flatnonzero(moments[0] > 0)  # the features with values
    if positions is not None:
        kept = np.intersect1d(kept, positions)
    columns = matrix.columns[kept]
    if len(columns) < k or len(columns) < 2:
        raise ValueError(f"cannot split {len(columns)} feature(s) with values into {k} clusters")
    tree = ward_tree(_zscore_distances(values, kept, moments))
    labels = hierarchy.fcluster(tree, t=k, criterion="maxclust")
    order = hierarchy.leaves_list(tree)
    renumber = {c: i + 1 for i, c in enumerate(dict.fromkeys(labels[order]))}
    frame = pd.DataFrame({"FeatureCluster": [renumber[labels[i]] for i in order]},
                         index=pd.Index([str(columns[i]) for i in order], name="Feature"))
    return frame.sort_values("FeatureCluster", kind="stable")


def ward_tree(condensed: np.ndarray) -> np.ndarray:
    """scipy's linkage(condensed, "ward"), to the bit, computed natively in `condensed` itself
    (which it overwrites: scipy copies it first, 100 MB at 5,000 features); non-finite
    distances are refused."""
    from veltrana.plugins import preprocess  # the native kernels

    return preprocess.ward_linkage(condensed)


# Pairs closer than this share of their squared norms lose digits to the Gram matrix's
# cancellation; their distances are computed from the differences instead.
CLOSE_PAIRS = 1e-3
# Products in one block of rows of the Gram matrix: the condensed distances are filled block
# by block, so the square matrix (200 MB at 5,000 features) is never held whole. A block and
# its scratch take about 2 x 4 MB (the page's first load clusters while PCA runs); eight times
# that was no faster.
DISTANCE_BLOCK = 1 << 19


def _zscore_distances(values: np.ndarray, kept: np.ndarray, moments=None) -> np.ndarray:
    """euclidean_distances between the z-scores of the `kept` columns of `values` (missing values
    as 0, constant features all 0), holding the smaller of the z-scores (features by samples) and
    the features' Gram matrix. For more samples than features, the Gram matrix is the centred
    features' (see feature_gram) scaled, and a close pair's rows are standardised again for its
    difference. `moments`: feature_moments(values), when the caller has them."""
    if len(kept) > values.shape[0]:
        return euclidean_distances(_standardised_rows(values, kept if len(kept) < values.shape[1] else None)[0])
    count, mean, variance = (moment[kept] for moment in (moments or feature_moments(values)))
    with np.errstate(invalid="ignore"):
        std = np.sqrt(variance)
    std[(count < 2) | ~(std > 0)] = np.nan  # a feature without spread: z-scores of 0

    def zscores(rows, columns):
        block = (values[rows][:, kept[columns]] - mean[columns]) / std[columns]
        np.copyto(block, 0.0, where=np.isnan(block))
        return block

    # The z-scores' products are the centred features' (which the PCA of the same matrix shares)
    # over both spreads.
    scale = np.nan_to_num(1.0 / std)
    with feature_gram(values, kept, mean) as centred:
        gram = centred * scale[:, None]
    gram *= scale[None, :]
    # The lower triangle, column-major: point i's products with the later points lie in column i.
    return _condensed_distances(np.diagonal(gram).copy(), values.shape[0],
                                lambda first, last: gram[first + 1:, first:last].T.copy(),
                                lambda i, j: zscores(slice(None), i).T - zscores(slice(None), j).T)


def euclidean_distances(points: np.ndarray) -> np.ndarray:
    """The condensed matrix of Euclidean distances between the rows of `points`, as scipy's
    pdist orders it, equal to pdist's to about 1e-10 relative (see _condensed_distances)."""
    points = np.ascontiguousarray(points, dtype=float)
    return _condensed_distances(np.einsum("ij,ij->i", points, points), points.shape[1],
                                lambda first, last: points[first:last] @ points[first + 1:].T,
                                lambda i, j: points[i] - points[j])


def _condensed_distances(norms: np.ndarray, dimensions: int, products, differences) -> np.ndarray:
    """The condensed distances, as scipy's pdist orders them, between points of squared `norms`.

    Squared distances come from the points' products (|a|^2 + |b|^2 - 2ab, matrix products in the
    linear-algebra library, several times faster than pdist's pair-by-pair loop at thousands of
    features), one block of rows at a time: products(first, last) holds points first..last-1
    against the points after `first`, in a new array (only right of the diagonal is read). Pairs
    so close that this subtraction cancels most digits are computed again from differences(i, j),
    their coordinates' differences (`dimensions` each), so duplicate features stay at distance 0.
    """
    n = len(norms)
    condensed = np.empty(n * (n - 1) // 2)
    step, start = max(1, DISTANCE_BLOCK // max(n, 1)), 0
    pairs = max(1, DISTANCE_BLOCK // max(dimensions, 1))  # close pairs recomputed at a time
    for first in range(0, n - 1, step):
        last = min(first + step, n - 1)
        # Row r is point first + r, column c point first + 1 + c: row r needs the columns from r on.
        squared = products(first, last)  # a new array of the caller's
        squared *= -2.0
        squared += norms[first:last, None]
        squared += norms[None, first + 1:]
        close = norms[first:last, None] + norms[None, first + 1:]
        close *= CLOSE_PAIRS
        rows, cols = np.nonzero(np.triu(squared < close))
        del close
        for at in range(0, len(rows), pairs):
            r, c = rows[at:at + pairs], cols[at:at + pairs]
            difference = differences(first + r, first + 1 + c)
            squared[r, c] = np.einsum("ij,ij->i", difference, difference)
        for r in range(last - first):
            condensed[start:start + n - 1 - first - r] = squared[r, r:]
            start += n - 1 - first - r
    np.maximum(condensed, 0.0, out=condensed)
    return np.sqrt(condensed, out=condensed)


def update_feature_clustering_inter(kwargs_dict: dict, module_dir, removed=None) -> str:
    """Clusters the features of each selected source; returns the result table's path. With
    `removed` (a phenotype), its effect is taken out of each matrix first (see `batches`)."""
    my_path = configured(kwargs_dict.get("Paths"))
    if not inside(module_dir, my_path.get_out_dir()):
        raise ValueError(f"the clustering folder {module_dir!r} lies outside the output directory")
    sources = [my_path.check_source(s) for s in selected(kwargs_dict.get("clustering-source-dropdown"))]
    if not sources:
        raise ValueError("no data source selected for clustering")
    k = cluster_count(kwargs_dict.get("clustering-number-input"))
    cap = limits.get("top_features")
    info = read_info_file(my_path.get_meta_path()) if removed is not None else None
    if removed is not None:
        batches.batches_of(info, removed, [])  # refused before anything runs
    study = results.study_snapshot(my_path, sources)  # each file looked at once for the whole run

    def write(folder, final):
        rows = []
        for source in progress.each(sources, "Clustering"):
            matrix, left_out = without_effect(study.matrix(source), info, removed)
            capped = most_variable_positions(matrix, cap)
            clusters = cluster_features(matrix, k, capped)
            base = file_safe(source)
            save_result_path(os.path.join(folder, f"{base}_feature_clustering.txt"), clusters)
            row = {"Source": source, "Method": METHOD, "BaseName": base, "Clusters": k,
                   "Features": len(clusters), "Capped": capped is not None,
                   "Samples": matrix.shape[0]}
            if removed is not None:
                row.update({"EffectRemoved": removed, "LeftOut": left_out})
            rows.append(row)
        save_result_path(os.path.join(folder, RESULT_FILE), pd.DataFrame(rows))

    inputs = {"sources": sources, "clusters": k, "max_features": cap}
    if removed is not None:
        inputs["effect_removed"] = removed
    run = results.publish(os.fspath(module_dir), "clustering", inputs, study.fingerprints, write)
    return os.path.join(run, RESULT_FILE)


def without_effect(matrix: pd.DataFrame, info, removed) -> tuple[pd.DataFrame, int]:
    """(the matrix with `removed`'s effect taken out, samples left out for lacking a value), or the
    matrix itself when nothing is removed."""
    if removed is None:
        return matrix, 0
    return batches.remove_effect(matrix, batches.batches_of(info, removed, matrix.index))


def _phenotype_groups(info: pd.DataFrame, phenotype, samples) -> pd.Series:
    """The phenotype value of each sample as text ("NA" when missing or unknown)."""
    if phenotype in info.columns:
        values = info[phenotype].reindex(samples)
        return values.astype(object).where(values.notna(), "NA").astype(str)
    return pd.Series("NA", index=samples)


def update_feature_clustering_figure_1(kwargs_dict: dict, result_path, module_dir):
    """The heatmap of the chosen source: z-scored features by cluster, samples grouped by phenotype."""
    my_path = configured(kwargs_dict.get("Paths"))
    if not inside(result_path, module_dir):
        raise ValueError(f"{result_path!r} is not a clustering result")
    source = kwargs_dict.get("clustering-figure-source")
    table = read_result_path(result_path)
    rows = table[(table["Source"] == source) & (table["Method"] == METHOD)]
    if rows.empty:
        return placeholder_figure(default_figure_height)
    my_path.check_source(source)
    phenotype = kwargs_dict.get("clustering-phenotype-dropdown")
    inputs = [results.file_state(result_path), source, phenotype, results.file_state(my_path.get_meta_path()),
              results.file_state(ensure_preprocessed(my_path, source)), HEATMAP_FEATURES, HEATMAP_CELLS,
              limits.get("figure_samples")]
    # A reload of the same run, phenotype and data gets the heatmap drawn before.
    return results.kept_figure("heatmap", inputs, lambda: _heatmap(my_path, source, phenotype, result_path, rows))


def _heatmap(my_path, source, phenotype, result_path, rows):
    from veltrana.plugins import plotweave  # the native figure module

    clusters = read_result_path(os.path.join(os.path.dirname(os.fspath(result_path)),
                                             f"{rows['BaseName'].iloc[0]}_feature_clustering.txt"))
    info = read_info_file(my_path.get_meta_path())
    removed = rows["EffectRemoved"].iloc[0] if "EffectRemoved" in rows.columns else None
    removed = removed if isinstance(removed, str) else None
    matrix = without_effect(preprocessed_matrix(my_path, source), info, removed)[0]
    matrix.columns = [str(c) for c in matrix.columns]
    present = set(matrix.columns)
    features = [f for f in clusters.index.astype(str) if f in present]
    cluster_of = clusters["FeatureCluster"]
    cluster_of.index = cluster_of.index.astype(str)

    groups = _phenotype_groups(info, phenotype, matrix.index)
    samples = list(groups.sort_values(kind="stable").index)
    names = sorted(set(groups))
    clustered = len(features)
    runs = sample_runs(groups[samples]) if len(samples) > limits.get("figure_samples") else None
    cap = heatmap_cap(len(samples) if runs is None else len(runs))
    features = list(most_variable(matrix.loc[:, features], cap).columns)
    z = zscores(matrix.loc[samples, features]).T.to_numpy()
    if runs is None:
        columns = [str(s) for s in samples]
        colour = [names.index(groups[s]) for s in samples]
        hover = [f"{phenotype}: {groups[s]}" for s in samples]
    else:
        # Each column the mean z-score of a run of samples of one group (missing values skipped).
        with np.errstate(invalid="ignore"), warnings.catch_warnings():
            warnings.simplefilter("ignore", RuntimeWarning)  # a run without values stays empty
            z = np.column_stack([np.nanmean(z[:, start:stop], axis=1) for _, start, stop, _ in runs])
        columns = [f"{group}: {start - first + 1:,}-{stop - first:,}" for group, start, stop, first in runs]
        colour = [names.index(group) for group, *_ in runs]
        hover = [f"{phenotype}: {group}, mean of {stop - start:,} samples" for group, start, stop, _ in runs]
    # Three decimals are more than a colour scale shows; float32 halves the typed array.
    fig = plotweave.heatmap_plot(
        np.round(z, 3).astype(np.float32), columns, features, [colour],
        [[int(cluster_of[f])] for f in features], [hover],
        [["Cluster:({})".format(cluster_of[f])] for f in features])
    # What the figure shows: its samples, and its features when fewer than were clustered.
    shown = (f"the {len(features):,} most variable of {clustered:,} clustered features"
             if len(features) < clustered else f"{clustered:,} features")
    title = f"{source}: {len(samples):,} samples, {shown}" + (f", {removed} effect removed" if removed else "")
    if runs is not None:
        title += (f", summarised over {len(samples):,} samples: mean z-scores of {len(runs)} runs of samples "
                  f"within each {phenotype} group")
    fig.update_layout(title={"text": title, "font": {"size": 13}, "x": 0.5}, margin={"t": 40})
    return fig


def sample_runs(groups: pd.Series, runs: int = 200) -> list[tuple[str, int, int, int]]:
    """(group, start, stop, the group's start) of consecutive samples of the ordered `groups`:
    about `runs` runs of equal length, each group cut into its share of them (at least one)."""
    cuts, start = [], 0
    for group, size in groups.groupby(groups, sort=False).size().items():
        pieces = max(1, min(size, round(runs * size / len(groups))))
        bounds = np.linspace(start, start + size, pieces + 1).round().astype(int)
        cuts += [(group, int(a), int(b), start) for a, b in zip(bounds[:-1], bounds[1:])]
        start += size
    return cuts


def heatmap_cap(samples: int) -> int:
    """How many features the heatmap shows for this many samples."""
    return max(1, min(HEATMAP_FEATURES, HEATMAP_CELLS // max(samples, 1)))
