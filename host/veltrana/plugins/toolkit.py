"""Small numeric helpers of the host."""

import numpy as np
import pandas as pd


def calc_cv_values(frame: pd.DataFrame, columns=None) -> pd.Series:
    """Coefficient of variation of each row (feature) over the given sample columns.

    The dashboard's values are log2 ratios, whose mean sits near zero, so the CV is
    taken of the linear ratios 2**x: sample standard deviation (ddof=1) over the mean,
    as a ratio (not a percentage), missing values skipped. Rows with fewer than two
    values give NaN.
    """
    data = frame if columns is None else frame.loc[:, list(columns)]
    with np.errstate(over="ignore", invalid="ignore"):
        linear = np.exp2(data.astype(float))
    mean = linear.mean(axis=1, skipna=True)
    std = linear.std(axis=1, skipna=True, ddof=1)
    with np.errstate(divide="ignore", invalid="ignore"):
        cv = std / mean
    return cv.where(mean > 0)
