"""The two-group tests as scipy runs them, one feature at a time: the reference that the
vectorised tests are checked against (tests) and timed against (bench)."""

import numpy as np

from veltrana.analyses import group_tests


def per_feature(test, a, b, paired):
    out = []
    for j in range(a.shape[1]):
        x, y = a[:, j], b[:, j]
        if paired:
            keep = ~(np.isnan(x) | np.isnan(y))
            x, y = x[keep], y[keep]
        else:
            x, y = x[~np.isnan(x)], y[~np.isnan(y)]
        try:
            out.append(test(x, y).pvalue if min(len(x), len(y)) >= group_tests.MIN_VALUES else np.nan)
        except ValueError:  # scipy refuses, e.g. all differences zero
            out.append(np.nan)
    return np.array(out)
