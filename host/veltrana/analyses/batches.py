"""A phenotype's effect taken out of a matrix before it is pictured (PCA).

Each feature's values minus its batch's effect: the batch's mean minus the mean of the batch means,
over the values present. This is the usual removal of a batch effect by least squares with an
intercept and sum-to-zero batch contrasts, so that what is left is centred where the data were and
only the differences between batches go. Samples without a value of the phenotype are left out
(their batch is unknown), and said so. The stored matrices are never changed: the removal is part
of a run, named in its method and its figure's title.
"""

from __future__ import annotations

import numpy as np
import pandas as pd

from veltrana.serve import limits

PCA = "PCA"
_PREFIX, _SUFFIX = "PCA, ", " effect removed"


def method_of(phenotype: str) -> str:
    """The decomposition method that removes `phenotype`'s effect first."""
    return f"{_PREFIX}{phenotype}{_SUFFIX}"


def removed_phenotype(method) -> str | None:
    """The phenotype a decomposition method removes (None for plain PCA); ValueError for anything else."""
    if method == PCA:
        return None
    if isinstance(method, str) and method.startswith(_PREFIX) and method.endswith(_SUFFIX) \
            and len(method) > len(_PREFIX) + len(_SUFFIX):
        return method[len(_PREFIX):-len(_SUFFIX)]
    raise ValueError(f"unknown decomposition method {method!r}; the card offers 'PCA' and "
                     f"'{method_of('<phenotype>')}'")


def batch_phenotypes(info: pd.DataFrame) -> list[str]:
    """The phenotypes whose effect can be removed: categorical, 2 to the server's group limit groups."""
    most = limits.get("survival_groups")
    return [str(c) for c in info.columns
            if "(Numerical" not in str(c) and 2 <= info[c].dropna().nunique() <= most]


def batches_of(info: pd.DataFrame, phenotype: str, samples) -> pd.Series:
    """Each sample's batch (missing where the table has no value); ValueError naming an unknown
    phenotype or one that cannot be removed."""
    if phenotype not in batch_phenotypes(info):
        raise ValueError(f"{phenotype!r} is not a categorical phenotype of 2 to "
                         f"{limits.get('survival_groups')} groups; its effect cannot be removed")
    return info[phenotype].reindex(pd.Index(samples)).astype(object)


def remove_effect(matrix: pd.DataFrame, batches: pd.Series) -> tuple[pd.DataFrame, int]:
    """(the matrix of the samples with a batch, each value minus its batch's effect; how many samples
    were left out for having no batch). The caller's matrix is not altered."""
    known = batches.notna().to_numpy()
    kept = matrix.loc[known]
    labels = batches[known].astype(str).to_numpy()
    values = kept.to_numpy(dtype=float)
    names, codes = np.unique(labels, return_inverse=True)
    present = ~np.isnan(values)
    sums = np.zeros((len(names), values.shape[1]))
    counts = np.zeros_like(sums)
    np.add.at(sums, codes, np.where(present, values, 0.0))
    np.add.at(counts, codes, present)
    has = counts > 0
    means = np.divide(sums, counts, out=np.zeros_like(sums), where=has)
    grand = means.sum(axis=0) / np.maximum(has.sum(axis=0), 1)  # over the batches with values
    effects = np.where(has, means - grand, 0.0)  # a batch without values has nothing to correct
    corrected = pd.DataFrame(values - effects[codes], index=kept.index, columns=kept.columns)
    return corrected, int((~known).sum())


# ---- the clustering card's option ----------------------------------------------------------

def clustering_controls(phenotypes: list[str]):
    from dash import dcc, html

    return html.Div(id="clustering-remove-effect", children=[
        html.P("Or cluster with the effect of a phenotype removed"),
        dcc.Dropdown(id="clustering-remove-effect-dropdown", options=phenotypes,
                     value=phenotypes[0] if phenotypes else None, clearable=False),
        html.Button("Refresh with the effect removed", id="run-clustering-removed-button", n_clicks=0),
    ])


def add_clustering_option(app, my_paths: dict) -> None:
    """The clustering card's run with a phenotype's effect removed, beside its described run: its own
    picker and button after the card's controls; it fills the card's store and source picker as the
    described run does, and the heatmap (drawn by the described figure callback) says what was removed."""
    from dash import Input, Output, State

    from veltrana.plugins.paths import MyPath
    from veltrana.plugins.tables import read_info_file, read_result_path
    from veltrana.analyses import clustering
    from veltrana.plugins.vocabulary import insert_after

    my_path = MyPath(my_paths)
    phenotypes = batch_phenotypes(read_info_file(my_path.get_meta_path()))
    if not insert_after(app.layout, "clustering-number-input", clustering_controls(phenotypes)):
        raise LookupError("the page has no clustering-number-input to put the option beside")

    @app.callback(Output("feature-clustering-inter", "data", allow_duplicate=True),
                  Output("clustering-figure-source", "options", allow_duplicate=True),
                  Output("clustering-figure-source", "value", allow_duplicate=True),
                  Input("run-clustering-removed-button", "n_clicks"),
                  State("Paths", "data"), State("clustering-source-dropdown", "value"),
                  State("clustering-phenotype-dropdown", "value"), State("clustering-number-input", "value"),
                  State("clustering-remove-effect-dropdown", "value"), prevent_initial_call=True)
    def _run(_, paths, sources, phenotype, number, removed):
        if removed not in phenotypes:
            raise ValueError(f"{removed!r} is not a categorical phenotype of 2 to {limits.get('survival_groups')} "
                             "groups; its effect cannot be removed")
        kwargs = {"Paths": paths, "clustering-source-dropdown": sources, "clustering-phenotype-dropdown": phenotype,
                  "clustering-number-input": number}
        result = clustering.update_feature_clustering_inter(kwargs, MyPath(paths).get_clustering_dir(), removed)
        sources_run = [str(s) for s in read_result_path(result)["Source"]]
        return result, sources_run, sources_run[0] if sources_run else None
