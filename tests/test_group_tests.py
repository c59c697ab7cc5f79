"""The rank tests over all features at once against scipy called feature by feature, on
data with many ties, missing values, small groups and features without enough values."""

import math
import warnings

import numpy as np
import pytest
from scipy import stats

from scipy_reference import per_feature
from veltrana.analyses import group_tests
from veltrana.plugins import preprocess


def tied_matrix(rows, features, seed):
    """Values on a coarse grid (ties in most features), 20 % missing, and edge columns:
    all missing, one value, constant."""
    rng = np.random.default_rng(seed)
    x = np.round(rng.normal(size=(rows, features)) * 2) / 2
    x[rng.random(x.shape) < 0.2] = np.nan
    x[:, 0] = np.nan
    x[1:, 1] = np.nan
    x[:, 2] = 0.5
    return x


@pytest.mark.filterwarnings("ignore:invalid value:RuntimeWarning")  # scipy on the constant feature
@pytest.mark.parametrize("rows", [12, 26, 90])  # exact, permutation and normal-approximation regimes
def test_rank_tests_match_scipy(rows):
    x = tied_matrix(rows, 120, seed=rows)
    # A few features without ties, so that small groups take scipy's exact path.
    x[:, 3:8] = np.random.default_rng(1).normal(size=(rows, 5))
    a, b = x[: rows // 2], x[rows // 2:]
    for ours, theirs, paired in ((group_tests.mann_whitney, stats.mannwhitneyu, False),
                                 (group_tests.signed_rank, stats.wilcoxon, True)):
        _, p = ours(a, b)
        expected = per_feature(theirs, a, b, paired)
        tested = ~np.isnan(expected)
        tested[2] = False  # constant: all pairs tie, which scipy answers with a warning
        np.testing.assert_allclose(p[tested], expected[tested], rtol=1e-12, atol=1e-300)
        assert np.isnan(p[:2]).all()  # no values / one value


@pytest.mark.filterwarnings("ignore:invalid value:RuntimeWarning")  # scipy on an all-tied feature
def test_rank_tests_match_scipy_over_group_sizes():
    """Group sizes drawn from 2-25 cross scipy's exact/normal border (8 values) with and without
    ties; missing values give the features of one matrix different sizes."""
    for seed in range(40):
        rng = np.random.default_rng(seed)
        n_a, n_b = rng.integers(2, 26, size=2)
        x = rng.normal(size=(n_a + n_b, 30))
        x[:, :10] = np.round(x[:, :10] * 2) / 2  # tied features
        x[rng.random(x.shape) < 0.15] = np.nan
        a, b = x[:n_a], x[n_a:]
        _, p = group_tests.mann_whitney(a, b)
        np.testing.assert_allclose(p, per_feature(stats.mannwhitneyu, a, b, False), rtol=1e-12, atol=0)
        # Paired: tied features only above 13 pairs, as scipy's permutation test below takes up to
        # two seconds a feature (test_rank_tests_match_scipy has them).
        m = min(n_a, n_b)
        keep = (np.arange(x.shape[1]) >= 10) | (np.sum(~np.isnan(a[:m] - b[:m]), axis=0) > 13)
        a, b = a[:m, keep], b[:m, keep]
        _, p = group_tests.signed_rank(a, b)
        np.testing.assert_allclose(p, per_feature(stats.wilcoxon, a, b, True), rtol=1e-12, atol=0)


def test_mann_whitney_exact_beyond_int64_counts():
    """A group of 8 against 900 values: the null counts pass 2^63 and must not wrap around."""
    rng = np.random.default_rng(5)
    a, b = rng.normal(size=(8, 6)), rng.normal(size=(900, 6))
    a[:, 0] += 10  # all 8 above the rest: p = 2 / C(908, 8)
    b[:110, 3:] = np.nan  # 790 values: counts within int64
    _, p = group_tests.mann_whitney(a, b)
    np.testing.assert_allclose(p, per_feature(stats.mannwhitneyu, a, b, False), rtol=1e-12, atol=0)
    assert p[0] == 2 / math.comb(908, 8)


@pytest.mark.parametrize("width", [40, 1500])  # features sorted by comparison, and by radix
def test_rank_sums_equal_scipy_ranks(width):
    """The native rank sums of two groups, and of signed differences, against scipy's ranks."""
    x = tied_matrix(width, 200, seed=3)
    rng = np.random.default_rng(4)
    # Signed zeros tie; infinities, tiny and huge numbers of both signs rank among the rest.
    x[:, -20:] = rng.choice([0.0, -0.0, np.inf, -np.inf, 5e-324, -5e-324, 1e300, -1e300, 3.5, -3.5, np.nan],
                            size=(width, 20))
    x[:, -21] = rng.normal(size=width)  # no ties
    half = width // 2
    a, b = np.asfortranarray(x[:half]), x[half:]  # either memory order
    sums, tie_term, n_a, n_b = preprocess.group_rank_sums(a, b)
    both = np.vstack([a, b])
    ranks = stats.rankdata(both, axis=0, nan_policy="omit")
    np.testing.assert_array_equal(sums, np.nansum(np.where(np.isnan(a), np.nan, ranks[:half]), axis=0))
    np.testing.assert_array_equal(n_a, np.sum(~np.isnan(a), axis=0))
    np.testing.assert_array_equal(n_b, np.sum(~np.isnan(b), axis=0))
    for j in range(x.shape[1]):
        _, sizes = np.unique(both[:, j][~np.isnan(both[:, j])], return_counts=True)
        assert tie_term[j] == np.sum(sizes.astype(float) ** 3 - sizes)
    b = b[:half]
    with np.errstate(invalid="ignore"):
        d = a - b
    r_plus, tie_term, n, pairs, zeros = preprocess.signed_rank_sums(a, b)
    np.testing.assert_array_equal(pairs, np.sum(~np.isnan(d), axis=0))
    np.testing.assert_array_equal(zeros, np.sum(d == 0, axis=0))
    d[d == 0] = np.nan
    ranks = stats.rankdata(np.abs(d), axis=0, nan_policy="omit")
    np.testing.assert_array_equal(n, np.sum(~np.isnan(d), axis=0))
    np.testing.assert_array_equal(r_plus, np.nansum(np.where(d > 0, ranks, np.nan), axis=0))
    for j in range(x.shape[1]):
        _, sizes = np.unique(np.abs(d[:, j][~np.isnan(d[:, j])]), return_counts=True)
        assert tie_term[j] == np.sum(sizes.astype(float) ** 3 - sizes)


@pytest.mark.parametrize("shape", [(1, 5), (2, 7), (7, 300), (60, 2000)])
def test_column_medians_equal_numpys(shape):
    rng = np.random.default_rng(sum(shape))
    x = rng.normal(size=shape).round(1)  # ties
    x[rng.random(shape) < 0.3] = np.nan
    x[:, 0] = np.nan  # a feature without values
    if shape[0] > 1:
        x[:2, -1] = np.inf, -np.inf  # infinities are values
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        expected = np.nanmedian(x, axis=0)
        strided = np.nanmedian(x[::2, ::3], axis=0)
    for values in (x, np.asfortranarray(x)):  # either memory order
        np.testing.assert_array_equal(group_tests.nanmedian_columns(values), expected)
    np.testing.assert_array_equal(group_tests.nanmedian_columns(x[::2, ::3]), strided)


def test_moments_equal_the_nansum_passes_to_the_bit():
    """The t-tests' means and variances from one copy of a cohort's matrix: numpy's nansum of the
    values and of the squared deviations, to the bit, on C and F memory."""
    rng = np.random.default_rng(21)
    # Column lengths below 8, within one block of 128 and over several (the pairwise sums' cases).
    for rows in (300, 5, 100, 1037):
        x = rng.normal(size=(rows, 80)) * 10.0 ** rng.integers(-4, 4, 80)
        x[rng.random(x.shape) < 0.2] = np.nan
        x[:, 0], x[1:, 1] = np.nan, np.nan  # no value, one value
        for values in (x, np.asfortranarray(x), x[::2], np.asfortranarray(x[:, :0])):
            n = np.sum(~np.isnan(values), axis=0).astype(float)
            with np.errstate(invalid="ignore", divide="ignore"):
                mean = np.where(n > 0, np.nansum(values, axis=0) / np.maximum(n, 1), np.nan)
                var = np.nansum((values - mean) ** 2, axis=0) / (n - 1)
            for ours, reference in zip(group_tests._moments(values), (n, mean, var)):
                np.testing.assert_array_equal(ours, reference)

