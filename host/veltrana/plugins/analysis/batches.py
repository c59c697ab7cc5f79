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

from .. import limits

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
