"""Small numeric helpers of the host."""

import numpy as np
import pandas as pd


def calc_cv_values(frame: pd.DataFrame, columns=None) -> pd.Series:
    """Coefficient of variation of each row (feature) over the given sample columns.

    A ratio, not a percentage: sample standard deviation (ddof=1) over the absolute
    mean, missing values skipped. Rows with fewer than two values or a zero mean give NaN.
    """
    data = frame if columns is None else frame.loc[:, list(columns)]
    values = data.astype(float)
    mean = values.mean(axis=1, skipna=True)
    std = values.std(axis=1, skipna=True, ddof=1)
    with np.errstate(divide="ignore", invalid="ignore"):
        cv = std / mean.abs()
    return cv.where(mean != 0)
