"""Two-group tests run on every feature at once.

Each function takes two samples-by-features arrays (missing values as NaN) and
returns (statistic, p-value) arrays with one entry per feature; a feature with
too few values in a group gets NaN. Every p-value equals what scipy's default
per-feature call gives: the normal approximations follow scipy's formulas, the
exact small-sample distributions of both rank tests are computed here once per
sample size (pair of group sizes), and the signed-rank test's enumerated one for
tied pairs per feature.
"""

from __future__ import annotations

import functools
import math

import numpy as np

from veltrana import deferred

special = deferred.module("scipy.special")
stats = deferred.module("scipy.stats")

# Fewest values per group (or pairs) for which a feature is tested.
MIN_VALUES = 2


def _native():
    from veltrana.plugins import preprocess  # the native kernels, on every core without the GIL

    return preprocess


def nanmedian_columns(x):
    """numpy.nanmedian(x, axis=0), the same numbers, from a native selection per column (numpy's
    own goes through masked arrays, and a sort of whole columns costs several times more on a
    cohort matrix); NaN where a column has no value."""
    return _native().column_medians(np.asarray(x, dtype=float))


def _moments(x):
    """(values, mean, variance with n - 1) of each column over its present values: the sums of
    numpy's nansum (missing values as 0, the same memory order). A Fortran matrix (the host's)
    goes through the native kernel, which sums each column as numpy does without its three
    matrix-sized temporaries; other layouts take numpy's passes over one copy of `x`."""
    if x.ndim == 2 and x.dtype == np.float64 and x.flags.f_contiguous:
        return _native().column_moments(x)
    missing = np.isnan(x)
    n = (x.shape[0] - missing.sum(axis=0)).astype(float)
    filled = np.where(missing, 0.0, x)
    with np.errstate(invalid="ignore", divide="ignore"):
        mean = np.where(n > 0, filled.sum(axis=0) / np.maximum(n, 1), np.nan)
        filled -= mean
        filled[missing] = 0.0
        filled *= filled
        var = filled.sum(axis=0) / (n - 1)
    return n, mean, var


def welch_t(a, b):
    """Welch's unequal-variance t-test (scipy.stats.ttest_ind with equal_var=False)."""
    n1, m1, v1 = _moments(a)
    n2, m2, v2 = _moments(b)
    with np.errstate(invalid="ignore", divide="ignore"):
        q1, q2 = v1 / n1, v2 / n2
        t = (m1 - m2) / np.sqrt(q1 + q2)
        df = (q1 + q2) ** 2 / (q1 ** 2 / (n1 - 1) + q2 ** 2 / (n2 - 1))
        p = 2 * stats.t.sf(np.abs(t), df)
    bad = (n1 < MIN_VALUES) | (n2 < MIN_VALUES) | ~np.isfinite(t)
    return np.where(bad, np.nan, t), np.where(bad, np.nan, p)


def paired_t(a, b):
    """The paired t-test (scipy.stats.ttest_rel) on rows of `a` and `b` paired by position."""
    n, m, v = _moments(a - b)
    with np.errstate(invalid="ignore", divide="ignore"):
        t = m / np.sqrt(v / n)
        p = 2 * stats.t.sf(np.abs(t), n - 1)
    bad = (n < MIN_VALUES) | ~np.isfinite(t)
    return np.where(bad, np.nan, t), np.where(bad, np.nan, p)


def mann_whitney(a, b):
    """The Mann-Whitney U test (scipy.stats.mannwhitneyu, two-sided); the statistic is U of `a`."""
    rank_sum, ties, n1, n2 = _native().group_rank_sums(np.asarray(a, dtype=float), np.asarray(b, dtype=float))
    n = n1 + n2
    u1 = rank_sum - n1 * (n1 + 1) / 2
    u = np.maximum(u1, n1 * n2 - u1)
    with np.errstate(invalid="ignore", divide="ignore"):
        s = np.sqrt(n1 * n2 / 12 * ((n + 1) - ties / (n * (n - 1))))
        p = np.clip(2 * special.ndtr(-(u - n1 * n2 / 2 - 0.5) / s), 0.0, 1.0)
    testable = (n1 >= MIN_VALUES) & (n2 >= MIN_VALUES)
    # Like scipy, exact when a group has 8 or fewer values and there are no ties.
    exact = ~((n1 > 8) & (n2 > 8)) & (ties == 0) & testable
    small, large = np.minimum(n1, n2).astype(np.int64), np.maximum(n1, n2).astype(np.int64)
    sizes = small * (a.shape[0] + b.shape[0] + 1) + large
    for size in np.unique(sizes[exact]):
        cols = exact & (sizes == size)
        cdf = _mann_whitney_exact_cdf(int(small[cols][0]), int(large[cols][0]))
        # scipy: twice P(U <= n1 n2 - max(U1, U2)), capped at 1.
        p[cols] = np.minimum(2 * cdf[np.rint(n1[cols] * n2[cols] - u[cols]).astype(np.int64)], 1.0)
    bad = ~testable | ~np.isfinite(p)
    return np.where(bad, np.nan, u1), np.where(bad, np.nan, p)


@functools.lru_cache(maxsize=64)
def _mann_whitney_exact_cdf(small: int, large: int) -> np.ndarray:
    """P(U <= k) for k = 0 .. small * large // 2, U the Mann-Whitney statistic of untied groups
    of `small` and `large` values: ratios of exact integer counts, rounded only at the end.

    The counts of U are the coefficients of the Gaussian binomial [small + large, small] in q,
    built as the product over i <= small of (1 - q^(large + i)) / (1 - q^i). After step i they
    are those of [large + i, i], so no count or partial sum exceeds the total
    C(small + large, small): int64 holds them up to 2^63, Python integers beyond (a group of 8
    against some 880 or more).
    """
    top = small * large // 2  # the lower half; scipy's p-value never needs more
    total = math.comb(small + large, small)
    counts = np.zeros(top + 1, dtype=np.int64 if total < 2 ** 63 else object)
    counts[0] = 1
    for i in range(1, small + 1):
        shift = large + i
        if shift <= top:
            counts[shift:] -= counts[:-shift].copy()
        counts = _divide_by_one_minus_power(counts, i)
    cdf = np.cumsum(counts)
    cdf = cdf / total if cdf.dtype != object else np.array([c / total for c in cdf])
    cdf.flags.writeable = False  # shared through the cache
    return cdf


def _divide_by_one_minus_power(coefficients: np.ndarray, i: int) -> np.ndarray:
    """The power series times 1 / (1 - q^i), truncated: a running sum over every i-th coefficient."""
    n = len(coefficients)
    padded = np.zeros(-(-n // i) * i, dtype=coefficients.dtype)
    padded[:n] = coefficients
    return np.cumsum(padded.reshape(-1, i), axis=0).ravel()[:n]


def _signed_rank_exact_p(n: int, r_plus: np.ndarray) -> np.ndarray:
    """Two-sided exact p-values of signed-rank sums r_plus among n untied, non-zero differences."""
    counts = np.zeros(n * (n + 1) // 2 + 1)
    counts[0] = 1.0
    for k in range(1, n + 1):  # the generating function: product of (1 + x^k)
        counts[k:] = counts[k:] + counts[:-k].copy()
    pmf = counts / 2.0 ** n
    cdf, sf = np.cumsum(pmf), np.cumsum(pmf[::-1])[::-1]
    low = cdf[np.ceil(r_plus).astype(int)]
    high = sf[np.floor(r_plus).astype(int)]
    return np.clip(2 * np.minimum(low, high), 0.0, 1.0)


def _signed_rank_permutation_p(ranks: np.ndarray, r_plus: float) -> float:
    """Two-sided p-value of r_plus over all 2^n sign assignments of the (tied) ranks, as scipy's
    permutation test computes it when it can enumerate them."""
    n = len(ranks)
    signs = (np.arange(2 ** n)[:, None] >> np.arange(n)) & 1
    null = signs @ ranks
    gamma = abs(1e-14 * r_plus)
    return float(np.clip(2 * min(np.mean(null <= r_plus + gamma), np.mean(null >= r_plus - gamma)), 0.0, 1.0))


def signed_rank(a, b):
    """The Wilcoxon signed-rank test (scipy.stats.wilcoxon, zeros dropped) on pairs by position."""
    r_plus, ties, n, pairs, zeros = _native().signed_rank_sums(np.asarray(a, dtype=float), np.asarray(b, dtype=float))
    with np.errstate(invalid="ignore", divide="ignore"):
        se = np.sqrt((n * (n + 1) * (2 * n + 1) - ties / 2) / 24)
        z = (r_plus - n * (n + 1) / 4) / se
        p = np.clip(2 * special.ndtr(-np.abs(z)), 0.0, 1.0)
    testable = (pairs >= MIN_VALUES) & (n > 0)
    # Up to 50 pairs scipy uses the exact distribution when there are no ties
    # or zeros, and a permutation test when there are and at most 13 pairs.
    small = pairs <= 50
    exact = small & (ties == 0) & (zeros == 0) & testable
    for count in np.unique(n[exact]).astype(int):
        cols = exact & (n == count)
        p[cols] = _signed_rank_exact_p(count, r_plus[cols])
    for j in np.flatnonzero(small & ~exact & (pairs <= 13) & testable):
        values = np.abs(a[:, j] - b[:, j])
        p[j] = _signed_rank_permutation_p(stats.rankdata(values[~np.isnan(values) & (values != 0)]), r_plus[j])
    bad = ~testable | ~np.isfinite(p)
    return np.where(bad, np.nan, r_plus), np.where(bad, np.nan, p)


def bh_fdr(p):
    """Benjamini-Hochberg adjusted p-values; NaN entries stay NaN and are not counted."""
    out = np.full(len(p), np.nan)
    ok = ~np.isnan(p)
    if ok.any():
        out[ok] = stats.false_discovery_control(p[ok], method="bh")
    return out
