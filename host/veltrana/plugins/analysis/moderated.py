"""Moderated t-tests: per-feature linear models whose residual variances borrow strength
from all features through an empirical-Bayes prior.

Each feature is fitted on its own observed values (so a feature with missing values has
its own residual degrees of freedom). The residual variances s2 with d degrees of freedom
are taken as draws of s0 * chi2(d0) / d0 scaled inverse-chi-square priors: d0 and s0 come
from the mean and variance of log(s2) (method of moments, the prior degrees of freedom by
inverting the trigamma function). Each variance is then shrunk to
(d * s2 + d0 * s0) / (d + d0), and the moderated t has d + d0 degrees of freedom (never more
than the residual degrees of freedom of all features together).

Both designs have closed forms, so every feature is fitted at once:

- unpaired (intercept + group): the group coefficient is the difference of the group means,
  the residual variance the pooled within-group variance. A feature observed in one group
  only has no group coefficient; its variance is that of the intercept-only fit.
- paired (intercept + patient + group), rows of the two arrays paired by patient, one pair
  per patient: each patient's parameter absorbs the pair's mean, so the group coefficient
  is the mean within-pair difference over the complete pairs, the residual variance half
  the variance of those differences, with (complete pairs - 1) degrees of freedom; a lone
  value of a pair is fitted exactly by its patient and adds nothing. This is the same
  linear model as the blocked design, fitted without building it. The card pairs one target
  and one reference sample per patient (`differential.paired_samples`), so no feature ever
  needs a least-squares fit of its own.
"""

from __future__ import annotations

import numpy as np
from scipy import special, stats

# Residual variances below this share of their median are raised to it, so that log(s2) is finite.
VARIANCE_FLOOR = 1e-5


def _fit_groups(a, b):
    """(coefficient, unscaled standard deviation, residual variance, residual df) of the
    two-group design per feature; NaN coefficients where a group has no value."""
    n1 = np.sum(~np.isnan(a), axis=0).astype(float)
    n2 = np.sum(~np.isnan(b), axis=0).astype(float)
    with np.errstate(invalid="ignore", divide="ignore"):
        m1, m2 = np.nansum(a, axis=0) / n1, np.nansum(b, axis=0) / n2
        ss1 = np.nansum((a - m1) ** 2, axis=0)
        ss2 = np.nansum((b - m2) ** 2, axis=0)
        both = (n1 > 0) & (n2 > 0)
        # Observed in one group only: the intercept alone fits it.
        ss = np.where(both, ss1 + ss2, np.where(n1 > 0, ss1, ss2))
        df = np.maximum(n1 + n2 - np.where(both, 2, 1), 0)
        coefficient = np.where(both, m1 - m2, np.nan)
        unscaled = np.where(both, np.sqrt(1 / n1 + 1 / n2), np.nan)
        s2 = np.where(df > 0, ss / df, np.nan)
    return coefficient, unscaled, s2, df


def _fit_pairs(a, b):
    """The same four arrays for the paired design, rows of `a` and `b` paired by position."""
    d = a - b  # NaN unless the pair is complete
    k = np.sum(~np.isnan(d), axis=0).astype(float)
    with np.errstate(invalid="ignore", divide="ignore"):
        mean = np.nansum(d, axis=0) / k
        df = np.maximum(k - 1, 0)
        s2 = np.where(df > 0, np.nansum((d - mean) ** 2, axis=0) / (2 * df), np.nan)
        coefficient = np.where(k > 0, mean, np.nan)
        unscaled = np.where(k > 0, np.sqrt(2 / k), np.nan)
    return coefficient, unscaled, s2, df


def trigamma_inverse(x: float) -> float:
    """y with trigamma(y) = x, by Newton's method from 0.5 + 1/x (trigamma is convex and
    decreasing, so the iterates approach from one side)."""
    if x > 1e7:
        return 1 / np.sqrt(x)
    if x < 1e-6:
        return 1 / x
    y = 0.5 + 1 / x
    for _ in range(50):
        tri = special.polygamma(1, y)
        step = tri * (1 - tri / x) / special.polygamma(2, y)
        y += step
        if -step / y < 1e-8:
            break
    return float(y)


def prior(s2, df):
    """(prior df d0, prior variance s0) fitted to the variances with positive residual df."""
    ok = np.isfinite(s2) & (df > 1e-15) & (s2 > -1e-15)
    x, d = np.maximum(s2[ok], 0), df[ok]
    if x.size == 0:
        raise ValueError("no feature has residual degrees of freedom; a moderated test needs "
                         "more samples than groups (or pairs)")
    if x.size == 1:
        return 0.0, float(x[0])
    median = np.median(x)
    x = np.maximum(x, VARIANCE_FLOOR * (median if median > 0 else 1.0))
    e = np.log(x) - special.digamma(d / 2) + np.log(d / 2)
    excess = np.var(e, ddof=1) - np.mean(special.polygamma(1, d / 2))
    if excess <= 0:  # no more spread than sampling alone gives: the variances are all alike
        return np.inf, float(np.mean(x))
    d0 = 2 * trigamma_inverse(excess)
    return d0, float(np.exp(np.mean(e) + special.digamma(d0 / 2) - np.log(d0 / 2)))


def moderate(coefficient, unscaled, s2, df):
    """(ordinary t, moderated t, p-value, extra columns) from the per-feature fits."""
    d0, s0 = prior(s2, df)
    own = np.where(df > 0, s2, 0.0)
    with np.errstate(invalid="ignore", divide="ignore"):
        posterior = np.full(len(df), s0) if np.isinf(d0) else (df * own + d0 * s0) / (df + d0)
        ordinary = coefficient / unscaled / np.sqrt(s2)
        t = coefficient / unscaled / np.sqrt(posterior)
    total = np.minimum(df + d0, df.sum())
    p = 2 * stats.t.sf(np.abs(t), total)
    columns = {"ModeratedT": t, "PriorDF": np.full(len(df), d0), "PriorVariance": np.full(len(df), s0)}
    return ordinary, t, p, columns


def _test(fit):
    def test(a, b):
        ordinary, _, p, columns = moderate(*fit(a, b))
        return ordinary, p, columns
    return test


moderated_unpaired = _test(_fit_groups)
moderated_unpaired.__doc__ = "Moderated t-test of target (rows of `a`) against reference (`b`): intercept + group."
moderated_paired = _test(_fit_pairs)
moderated_paired.__doc__ = "Moderated t-test with the patient as a block: rows of `a` and `b` paired by position."
