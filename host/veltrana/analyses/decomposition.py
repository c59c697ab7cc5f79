"""Host services of the decomposition card: PCA of each selected source.

A run writes, in a run folder of its own under the decomposition folder (see
`results`), for each source (BaseName = the source name made safe for a file name):

- `<BaseName>_PCA_scores.txt`: samples by "PC1", "PC2", ...;
- `<BaseName>_PCA_variance.txt`: "ExplainedVarianceRatio" per component;
- `<BaseName>_PCA_contribution.txt`: one row per component with each feature's
  share of that component in percent (its squared loading x 100), and a row
  "Scaled": each feature's contribution to the 2-D plot, the variance-weighted
  sum of its shares of PC1 and PC2, scaled so that the largest is 1;

and the result table `decomposition_result.txt` ("Source", "Method" = "PCA",
"BaseName", "Samples", "Features").

Before the PCA, features without any value are dropped and the remaining missing
values are replaced by their feature's mean (a neutral value for a centred PCA).
"""

from __future__ import annotations

import os

import numpy as np
import pandas as pd
import plotly.express as px
import plotly.graph_objects as go

from veltrana import deferred
from veltrana.runs import progress, results
from veltrana.plugins.paths import configured, file_safe, inside
from veltrana.plugins.tables import read_info_file, read_result_path, save_result_path
from veltrana.plugins.vocabulary import AXIS_LINE, PAPER, margin, placeholder_figure, selected
from veltrana.analyses import batches
from veltrana.analyses.matrices import add_products, centred_blocks, feature_gram, feature_means, feature_moments

linalg = deferred.module("scipy.linalg")
PCA = deferred.name("sklearn.decomposition", "PCA")

__all__ = ["update_decomposition_inter", "update_decomposition_figure1", "update_decomposition_figure2"]

RESULT_FILE = "decomposition_result.txt"
MAX_COMPONENTS = 10


def run_pca(matrix: pd.DataFrame):
    """(scores, explained variance ratios, contribution table) of a samples-by-features matrix."""
    data = matrix if (matrix.dtypes == np.float64).all() else matrix.astype(float)  # a matrix is not copied
    numbers = data.to_numpy()
    count, means, _ = feature_moments(numbers)
    kept = np.flatnonzero(count > 0)
    if data.shape[0] < 2 or len(kept) < 2:
        raise ValueError(f"PCA needs at least two samples and two features with values, "
                         f"got {(data.shape[0], len(kept))}")
    n = min(MAX_COMPONENTS, data.shape[0], len(kept))
    names = [f"PC{i + 1}" for i in range(n)]
    found = _gram_pca(numbers, kept, means[kept], n)
    if found is None:
        values = numbers[:, kept]  # a copy: the caller's frame stays as it was
        missing = np.isnan(values)
        if missing.any():  # each feature's mean, as the frame's mean gives it
            np.copyto(values, feature_means(values), where=missing)
        model = PCA(n_components=n, svd_solver="full")
        found = model.fit_transform(values), model.explained_variance_ratio_, model.components_
    score_values, ratio_values, components = found
    scores = pd.DataFrame(score_values, index=data.index, columns=names)
    ratios = pd.Series(ratio_values, index=names, name="ExplainedVarianceRatio")
    shares = pd.DataFrame(components ** 2 * 100, index=names, columns=[str(c) for c in data.columns[kept]])
    plotted = min(2, n)
    weighted = (shares.iloc[:plotted].mul(ratios.iloc[:plotted], axis=0)).sum()
    peak = weighted.max()
    shares.loc["Scaled"] = weighted / peak if peak > 0 else weighted
    return scores, ratios, shares


def _gram_pca(numbers, kept, means, n: int):
    """(scores, explained variance ratios, components) of the first `n` components of the mean-filled
    `kept` columns of `numbers`, as scikit-learn's full-SVD PCA gives them (same signs: each
    component's largest loading positive); None when the SVD must decompose the matrix instead.

    When one side of the matrix is at least twice the other, the Gram matrix of the centred
    data over the shorter side is decomposed (samples by samples for a cohort of many features,
    features by features for one of many samples): its eigenvectors are singular vectors and its
    eigenvalues the squared singular values, at a fraction of the cost of the full SVD, and only
    the n largest are computed. The centred data is made block by block, in each pass that needs it.
    """
    samples, features = numbers.shape[0], len(kept)
    if 2 * min(samples, features) > max(samples, features):
        return None
    by_samples = samples <= features  # the Gram matrix over samples, blocks of features
    size = samples if by_samples else features
    if by_samples:
        # Each block's product added in place, into one triangle only (no square temporary).
        gram, total = np.zeros((size, size), order="F"), 0.0
        for block, _ in centred_blocks(numbers, kept, means, by_columns=True):
            gram = add_products(gram, block, of_columns=False, lower=False)
            total += np.einsum("ij,ij->", block, block)
        eigenvalues, vectors = linalg.eigh(gram, lower=False, subset_by_index=[size - n, size - 1])
        del gram
    else:  # the features' products, which the clustering of the same matrix shares
        with feature_gram(numbers, kept, means) as gram:
            total = np.trace(gram)
            eigenvalues, vectors = linalg.eigh(gram, lower=True, subset_by_index=[size - n, size - 1])
    top = np.argsort(eigenvalues)[::-1]
    # Squaring loses the precision of small singular values: those need the SVD.
    if not eigenvalues[top[-1]] > 1e-6 * eigenvalues[top[0]]:
        return None
    eigenvalues, vectors = eigenvalues[top], vectors[:, top]
    if by_samples:
        components = np.empty((n, features))
        for block, part in centred_blocks(numbers, kept, means, by_columns=True):
            components[:, part] = vectors.T @ block
        components /= np.sqrt(eigenvalues)[:, None]
    else:
        components = np.ascontiguousarray(vectors.T)
    # scikit-learn's svd_flip on the components: the largest absolute loading is positive.
    signs = np.sign(components[np.arange(n), np.argmax(np.abs(components), axis=1)])
    components *= signs[:, None]
    if by_samples:  # U S, as scikit-learn makes them: no third pass over the data
        return vectors * (np.sqrt(eigenvalues) * signs), eigenvalues / total, components
    scores = np.empty((samples, n))
    for block, part in centred_blocks(numbers, kept, means, by_columns=False):
        scores[part] = block @ components.T
    return scores, eigenvalues / total, components


def update_decomposition_inter(kwargs_dict: dict):
    """Runs the chosen decomposition on each selected source; returns the result table's path (None: nothing run)."""
    my_path = configured(kwargs_dict.get("Paths"))
    sources = [my_path.check_source(s) for s in selected(kwargs_dict.get("decomposition-data-source-dropdown"))]
    method = kwargs_dict.get("decomposition-method-dropdown")
    removed = batches.removed_phenotype(method)
    if not sources:
        return None
    info = read_info_file(my_path.get_meta_path()) if removed is not None else None
    study = results.study_snapshot(my_path, sources)  # each file looked at once for the whole run

    def write(folder, final):
        rows = []
        for source in progress.each(sources, "PCA"):
            matrix, left_out = study.matrix(source), 0
            if removed is not None:  # on this run's copy: the stored matrix stays as it is
                matrix, left_out = batches.remove_effect(matrix, batches.batches_of(info, removed, matrix.index))
            scores, ratios, shares = run_pca(matrix)
            base = file_safe(source)
            save_result_path(os.path.join(folder, f"{base}_PCA_scores.txt"), scores)
            save_result_path(os.path.join(folder, f"{base}_PCA_variance.txt"), ratios.to_frame())
            save_result_path(os.path.join(folder, f"{base}_PCA_contribution.txt"), shares)
            row = {"Source": source, "Method": "PCA", "BaseName": base,
                   "Samples": len(scores), "Features": shares.shape[1]}
            if removed is not None:
                row.update({"EffectRemoved": removed, "LeftOut": left_out})
            rows.append(row)
        save_result_path(os.path.join(folder, RESULT_FILE), pd.DataFrame(rows))

    run = results.publish(my_path.get_decomposition_dir(), "decomposition", {"sources": sources, "method": method},
                          study.fingerprints, write)
    return os.path.join(run, RESULT_FILE)


def _pca_file(source, result_path, suffix):
    """The file of `source`'s PCA beside the result table, or None when the table does not list it."""
    table = read_result_path(result_path)
    rows = table[(table["Source"] == source) & (table["Method"] == "PCA")]
    if rows.empty:
        return None
    folder = os.path.dirname(os.fspath(result_path))
    path = os.path.join(folder, f"{rows['BaseName'].iloc[0]}_PCA_{suffix}.txt")
    if not inside(path, folder):
        raise ValueError(f"the result table names a file outside its folder: {path!r}")
    return read_result_path(path)


def _style(fig, title, height):
    axis = dict(AXIS_LINE, mirror=True)
    fig.update_layout(title=title, height=height, margin=margin(top=50),
                      paper_bgcolor=PAPER, plot_bgcolor=PAPER, xaxis=axis, yaxis=axis)
    return fig


def update_decomposition_figure1(source, phenotype, result_path, info_path, figure_height):
    """PC1 against PC2 of `source`, samples coloured by `phenotype`; axis titles give the variance shares."""
    scores = _pca_file(source, result_path, "scores")
    if scores is None:
        return placeholder_figure(figure_height)
    ratios = _pca_file(source, result_path, "variance")["ExplainedVarianceRatio"]
    if "PC2" not in scores.columns:
        scores["PC2"] = 0.0
        ratios["PC2"] = 0.0
    info = read_info_file(info_path)
    frame = scores[["PC1", "PC2"]].copy()
    label = str(phenotype) if phenotype in info.columns else "Phenotype"
    groups = info[phenotype].reindex(frame.index) if phenotype in info.columns else pd.Series("NA", frame.index)
    frame[label] = groups.astype(object).where(groups.notna(), "NA").astype(str)
    frame["Sample"] = frame.index.astype(str)
    fig = px.scatter(frame, x="PC1", y="PC2", color=label, hover_name="Sample",
                     labels={"PC1": f"PC1 ({ratios['PC1']:.1%})", "PC2": f"PC2 ({ratios['PC2']:.1%})"})
    fig.update_traces(marker={"size": 8, "opacity": 0.8})
    # The samples and features the run used, so a run on fewer than expected says so.
    row = read_result_path(result_path).set_index("Source").loc[source]
    title = f"{source}: PCA ({len(scores)} samples, {row['Features']} features)"
    if isinstance(row.get("EffectRemoved"), str):
        left_out = int(row["LeftOut"])
        title = (f"{source}: PCA, {row['EffectRemoved']} effect removed ({len(scores)} samples, {row['Features']} "
                 f"features" + (f"; {left_out} without a value left out)" if left_out else ")"))
    return _style(fig, title, figure_height)


def update_decomposition_figure2(source, phenotype, result_path, info_path, figure_height):
    """The explained variance ratio of each component of `source`, with its running total."""
    variance = _pca_file(source, result_path, "variance")
    if variance is None:
        return placeholder_figure(figure_height)
    ratios = variance["ExplainedVarianceRatio"]
    names = [str(i) for i in ratios.index]
    fig = go.Figure([
        go.Bar(x=names, y=ratios.to_numpy(), name="Explained variance ratio", marker_color="SteelBlue"),
        go.Scatter(x=names, y=np.cumsum(ratios.to_numpy()), name="Cumulative", mode="lines+markers",
                   marker_color="Crimson"),
    ])
    fig.update_layout(xaxis_title="Principal component", yaxis_title="Explained variance ratio",
                      yaxis_tickformat=".0%", legend={"orientation": "h", "y": 1.02, "yanchor": "bottom"})
    return _style(fig, f"{source}: PCA variance ratio", figure_height)
