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

Designs with covariates (and the F-test's several groups) have no closed form: `fit_design`
fits each feature by least squares on the rows where it is observed, as R's lm.fit does
(a column aliased with the columns before it on those rows is not estimable there).
"""

from __future__ import annotations

import numpy as np

from veltrana import deferred

special = deferred.module("scipy.special")
stats = deferred.module("scipy.stats")

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


def squeeze(s2, df):
    """(posterior variances, prior df, prior variance): each variance shrunk towards the prior."""
    d0, s0 = prior(s2, df)
    own = np.where(df > 0, s2, 0.0)  # a feature without residual df takes the prior's variance
    with np.errstate(invalid="ignore", divide="ignore"):
        posterior = np.full(len(df), s0) if np.isinf(d0) else (df * own + d0 * s0) / (df + d0)
    return posterior, d0, s0


def moderate(coefficient, unscaled, s2, df):
    """(ordinary t, moderated t, p-value, extra columns) from the per-feature fits."""
    posterior, d0, s0 = squeeze(s2, df)
    with np.errstate(invalid="ignore", divide="ignore"):
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


# ---- general designs -------------------------------------------------------------------

# A column whose norm, once the columns before it are projected out, falls below this share of
# its own norm is aliased with them (R's lm.fit uses the same QR tolerance).
ALIASED = 1e-7
# Features fitted together: a block holds features x samples x columns doubles.
BLOCK = 512


def aliased_columns(x) -> list[int]:
    """Indices of the columns of `x` that are aliased with the columns before them (in order)."""
    kept, dropped = [], []
    for k in range(x.shape[1]):
        column = x[:, k]
        residual = column
        if kept:
            q = np.linalg.qr(x[:, kept])[0]
            residual = column - q @ (q.T @ column)
        norm = np.linalg.norm(column)
        if np.linalg.norm(residual) >= ALIASED * (norm if norm > 0 else 1.0):
            kept.append(k)
        else:
            dropped.append(k)
    return dropped


def _fit_one(x, y):
    """(coefficients, unscaled sds, residual variance, df) of one feature's observed rows,
    NaN for the columns aliased on them."""
    p = x.shape[1]
    coefficients, unscaled = np.full(p, np.nan), np.full(p, np.nan)
    if len(y) == 0:
        return coefficients, unscaled, np.nan, 0
    kept = [k for k in range(p) if k not in set(aliased_columns(x))]
    q, r = np.linalg.qr(x[:, kept])
    inverse = np.linalg.inv(r)
    coefficients[kept] = inverse @ (q.T @ y)
    unscaled[kept] = np.sqrt(np.sum(inverse ** 2, axis=1))
    df = len(y) - len(kept)
    residual = y - x[:, kept] @ coefficients[kept]
    return coefficients, unscaled, (residual @ residual / df if df > 0 else np.nan), df


def fit_design(y, design):
    """Least squares of each feature on `design` (samples x columns), on the samples where the
    feature is observed (`y` is samples x features, NaN missing): (coefficients and unscaled
    standard deviations as features x columns, residual variances, residual df).

    Features are fitted a block at a time by one batched QR; the few whose observed rows make
    a column aliased are fitted one by one, leaving that column NaN."""
    n, f = y.shape
    p = design.shape[1]
    coefficients, unscaled = np.full((f, p), np.nan), np.full((f, p), np.nan)
    s2, df = np.full(f, np.nan), np.zeros(f)
    seen = ~np.isnan(y)
    for start in range(0, f, BLOCK):
        cols = np.arange(start, min(start + BLOCK, f))
        w = seen[:, cols].T                                   # features x samples
        x = design[None, :, :] * w[:, :, None]                # unobserved rows zeroed
        values = np.where(w, y[:, cols].T, 0.0)
        q, r = np.linalg.qr(x)
        norms = np.linalg.norm(x, axis=1)
        diagonal = np.abs(np.diagonal(r, axis1=1, axis2=2))
        full = np.all(diagonal >= ALIASED * np.where(norms > 0, norms, 1.0), axis=1)
        inverse = np.linalg.inv(r[full])
        beta = np.einsum("fij,fj->fi", inverse, np.einsum("fnj,fn->fj", q[full], values[full]))
        residual = values[full] - np.einsum("fnj,fj->fn", x[full], beta)
        dof = w[full].sum(axis=1) - p
        with np.errstate(invalid="ignore", divide="ignore"):
            s2[cols[full]] = np.where(dof > 0, np.sum(residual ** 2, axis=1) / dof, np.nan)
        coefficients[cols[full]] = beta
        unscaled[cols[full]] = np.sqrt(np.sum(inverse ** 2, axis=2))
        df[cols[full]] = dof
        for j in cols[~full]:
            rows = seen[:, j]
            coefficients[j], unscaled[j], s2[j], df[j] = _fit_one(design[rows], y[rows, j])
    return coefficients, unscaled, s2, df


def moderated_t(y, design):
    """Moderated t-test of the design's last column (as `moderate`); `y` is samples x features."""
    coefficients, unscaled, s2, df = fit_design(y, design)
    ordinary, t, p, columns = moderate(coefficients[:, -1], unscaled[:, -1], s2, df)
    return ordinary, p, {**columns, "Log2FC(adjusted)": coefficients[:, -1]}


def moderated_f(y, design, tested):
    """(F, p-value, prior df, prior variance) of the hypothesis that the design's columns
    `tested` are all zero.

    The moderated t of each tested column is combined through the correlation of their
    estimates in the whole design (not each feature's own rows), F = t' C^-1 t / r over the
    r independent directions of C: the limma F-statistic. Its denominator df is the feature's
    residual df plus the prior's (uncapped); beyond 1e6 the chi-square limit is used."""
    coefficients, unscaled, s2, df = fit_design(y, design)
    posterior, d0, s0 = squeeze(s2, df)
    with np.errstate(invalid="ignore", divide="ignore"):
        t = coefficients[:, tested] / unscaled[:, tested] / np.sqrt(posterior)[:, None]
    r_full = np.linalg.qr(design)[1]
    covariance = np.linalg.inv(r_full.T @ r_full)[np.ix_(tested, tested)]
    sd = np.sqrt(np.diag(covariance))
    values, vectors = np.linalg.eigh(covariance / np.outer(sd, sd))
    values, vectors = values[::-1], vectors[:, ::-1]
    rank = int(np.sum(values / values[0] > 1e-8))
    q = vectors[:, :rank] / np.sqrt(values[:rank]) / np.sqrt(rank)
    fstat = np.sum((t @ q) ** 2, axis=1)
    df2 = df + d0
    with np.errstate(invalid="ignore"):
        p = np.where(df2 > 1e6, stats.chi2.sf(rank * fstat, rank),
                     stats.f.sf(fstat, rank, np.where(df2 > 1e6, 1.0, df2)))
    return fstat, p, d0, s0
