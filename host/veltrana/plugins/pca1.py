"""Principal component analysis of an expression matrix."""

import numpy as np
import pandas as pd

from veltrana import deferred

PCA = deferred.name("sklearn.decomposition", "PCA")


def pca_standalone(frame: pd.DataFrame, n_components: int = 2):
    """PCA of a samples-by-features frame.

    Features with missing values are imputed with the feature mean (an all-missing
    feature is dropped), then centred. Returns (scores, explained_variance_ratio):
    scores is a frame indexed like `frame` with columns "PC1", "PC2", ...
    """
    data = frame.astype(float).dropna(axis=1, how="all")
    if data.shape[0] < 2 or data.shape[1] < 1:
        raise ValueError(f"PCA needs at least two samples and one feature, got shape {frame.shape}")
    data = data.fillna(data.mean())
    n = max(1, min(n_components, data.shape[0], data.shape[1]))
    model = PCA(n_components=n)
    scores = model.fit_transform(data.to_numpy())
    columns = [f"PC{i + 1}" for i in range(n)]
    return pd.DataFrame(scores, index=frame.index, columns=columns), np.asarray(model.explained_variance_ratio_)
