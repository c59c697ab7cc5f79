"""The imputations beyond the card's own: KNN over the nearest samples and draws from a
down-shifted normal distribution, in the module, the host's settings and the served page."""

import json

import numpy as np
import pandas as pd
import pytest

from veltrana.plugins import callbacks, preprocess as P
from veltrana.analyses import matrices, preprocessing

nan = np.nan
NONE = {"Transformation": "NA", "Normalization": "NA", "Filter": 100}


def cohort(n_samples=40, n_features=600, missing=0.15, seed=3, order="C"):
    """log2-like intensities, ids like "01005", a share of the cells missing, more so at low abundance."""
    rng = np.random.default_rng(seed)
    level = rng.normal(24, 2, n_features)
    values = level + rng.normal(0, 0.8, (n_samples, n_features)) + rng.normal(0, 0.5, (n_samples, 1))
    gone = rng.random(values.shape) < missing * 2 * (level < np.median(level))
    values[gone] = nan
    return pd.DataFrame(np.asarray(values, order=order), index=[f"0{1001 + i:04d}" for i in range(n_samples)],
                        columns=[f"P{j:05d}" for j in range(n_features)])


def only_missing_cells_changed(before, after):
    present = before.notna().to_numpy()
    assert after.index.equals(before.index) and after.columns.equals(before.columns)
    np.testing.assert_array_equal(after.to_numpy()[present], before.to_numpy()[present])


@pytest.mark.parametrize("order", ["C", "F"])
def test_knn_equals_scikit_learn_and_changes_only_missing_cells(order):
    from sklearn.impute import KNNImputer

    df = cohort(order=order)
    kept = df.copy()
    got = P.impute(df, "KNN", k=4)
    pd.testing.assert_frame_equal(df, kept)  # the caller's frame stays as it was
    only_missing_cells_changed(df, got)
    # Every pair of samples shares features, so scikit-learn's nan-Euclidean neighbours are ours.
    want = KNNImputer(n_neighbors=4).fit_transform(df.to_numpy())
    np.testing.assert_allclose(got.to_numpy(), want, rtol=1e-12, atol=0)
    assert not got.isna().any().any()


def test_knn_neighbours_are_the_nearest_samples_that_have_the_feature():
    df = pd.DataFrame({"a": [1.0, 1.1, 0.8, 5.0, nan, 1.05],
                       "b": [2.0, 2.1, 1.7, 6.0, nan, 2.05],
                       "c": [nan, 10.0, nan, 30.0, 7.0, 20.0],
                       "d": [nan, nan, nan, nan, 4.0, nan]},
                      index=["s0", "s1", "s2", "s3", "s4", "s5"])
    got = P.impute(df, "KNN", k=2)
    # s0's nearest are s5, s1, s2, s3; s2 lacks c, so c comes from s5 and s1.
    assert got.loc["s0", "c"] == pytest.approx((20.0 + 10.0) / 2)
    # s4 shares only c with others, and alone has d: samples without c share nothing with it,
    # so it is no neighbour of theirs and their d stays missing.
    assert got.loc["s4", "a"] == pytest.approx((1.05 + 1.1) / 2)  # nearest by c: s5 (20), then s1 (10)
    assert got["d"].isna().tolist() == [True, False, True, False, False, False]
    # k beyond the donors there are: the mean of all of them (s4 shares nothing with s0).
    assert P.impute(df, "KNN", k=50).loc["s0", "c"] == pytest.approx((10.0 + 30.0 + 20.0) / 3)


def test_knn_ties_and_samples_sharing_no_feature():
    df = pd.DataFrame({"a": [1.0, nan, 3.0], "b": [nan, 5.0, 6.0]}, index=["x", "y", "z"])
    got = P.impute(df, "KNN", k=1)
    assert got.loc["x", "b"] == 6.0 and got.loc["y", "a"] == 3.0  # x and y share nothing
    # y and z are as far from x: the earlier sample gives the value.
    tie = pd.DataFrame({"a": [0.0, 1.0, -1.0], "b": [nan, 10.0, 20.0]}, index=["x", "y", "z"])
    assert P.impute(tie, "KNN", k=1).loc["x", "b"] == 10.0


def test_downshifted_draws_follow_each_samples_distribution():
    rng = np.random.default_rng(11)
    n = 40_000
    means, sds = np.array([20.0, 25.0, 28.0]), np.array([1.0, 2.5, 0.5])
    values = means[:, None] + sds[:, None] * rng.normal(size=(3, n))
    values[:, : n // 2] = nan  # half of each sample drawn
    df = pd.DataFrame(values, index=["01005", "01006", "01007"])
    for shift, width in [(1.8, 0.3), (2.5, 0.6)]:
        got = P.impute(df, "DownshiftedNormal", shift=shift, width=width)
        only_missing_cells_changed(df, got)
        for i in range(3):
            present = values[i, n // 2:]
            mu, sd = present.mean(), present.std(ddof=1)
            drawn = got.to_numpy()[i, : n // 2]
            tolerance = 5 * width * sd / np.sqrt(len(drawn))
            assert abs(drawn.mean() - (mu - shift * sd)) < tolerance
            assert drawn.std(ddof=1) == pytest.approx(width * sd, rel=0.03)


def test_downshifted_is_reproducible_by_seed_and_layout():
    df = cohort()
    first = P.impute(df, "DownshiftedNormal")
    pd.testing.assert_frame_equal(first, P.impute(df, "DownshiftedNormal"), check_exact=True)
    pd.testing.assert_frame_equal(first, P.impute(cohort(order="F"), "DownshiftedNormal"), check_exact=True)
    other = P.impute(df, "DownshiftedNormal", seed=7)
    assert not np.array_equal(first.to_numpy(), other.to_numpy())
    only_missing_cells_changed(df, other)


def test_downshifted_leaves_samples_without_two_values_missing():
    df = pd.DataFrame([[1.0, nan, nan], [nan, nan, nan], [1.0, 2.0, nan]])
    got = P.impute(df, "DownshiftedNormal", width=0)
    assert got.iloc[:2].isna().sum().sum() == 5
    assert got.iloc[2, 2] == pytest.approx(1.5 - 1.8 * np.std([1.0, 2.0], ddof=1))


def test_settings_carry_the_parameters_through_the_chain():
    df = cohort()
    for method, settings, kwargs in [
        ("KNN", {"ImputationNeighbours": 3}, {"k": 3}),
        ("DownshiftedNormal", {"ImputationShift": 2, "ImputationWidth": 0.5, "ImputationSeed": 9},
         {"shift": 2, "width": 0.5, "seed": 9}),
    ]:
        chained = P.preprocess(df, dict(NONE, Normalization="MedianNorm", Imputation=method, **settings))
        stepwise = P.impute(P.norm(df, "MedianNorm"), method, **kwargs)
        pd.testing.assert_frame_equal(chained, stepwise, check_exact=True)
    # Defaults when the settings name none; integer frames have nothing to fill.
    pd.testing.assert_frame_equal(P.preprocess(df, dict(NONE, Imputation="KNN")), P.impute(df, "KNN", k=5))
    ints = pd.DataFrame({"a": [1, 2], "b": [3, 4]})
    pd.testing.assert_frame_equal(P.impute(ints, "DownshiftedNormal"), ints)


@pytest.mark.parametrize("kwargs, message", [
    ({"k": 0}, "at least 1"), ({"k": 2.5}, "whole number"), ({"width": -1}, "width"),
    ({"shift": float("inf")}, "shift"), ({"seed": -3}, "seed"),
])
def test_bad_parameters_are_named(kwargs, message):
    with pytest.raises(ValueError, match=message):
        P.impute(cohort(n_samples=4, n_features=5), "KNN", **kwargs)


def test_host_accepts_the_extra_imputations_and_stores_their_parameters(fresh_paths):
    my_path = callbacks.MyPath(fresh_paths)
    settings = preprocessing.checked_settings("NA", 100, "NA", "DownshiftedNormal")
    assert settings["ImputationSeed"] == matrices.IMPUTATION_PARAMETERS["DownshiftedNormal"]["ImputationSeed"]
    first = matrices.run_preprocess(my_path, "Protein", settings)
    assert not first.isna().any().any()
    with open(my_path.get_preprocess_settings_path("Protein")) as fh:
        stored = json.load(fh)
    assert {k: stored[k] for k in settings} == settings
    assert matrices.load_settings(my_path, "Protein") == settings
    # A changed parameter is a new matrix; the stored one again the same matrix.
    other = matrices.run_preprocess(my_path, "Protein", dict(settings, ImputationSeed=5))
    assert not other.equals(first)
    again = matrices.run_preprocess(my_path, "Protein", settings)
    np.testing.assert_array_equal(again.to_numpy(), first.to_numpy())
    with pytest.raises(ValueError, match="Imputation must be one of"):
        preprocessing.checked_settings("NA", 100, "NA", "Mean")
    # The card's own imputations store their four settings as before.
    matrices.run_preprocess(my_path, "Protein", preprocessing.checked_settings("NA", 100, "NA", "GlobalMin"))
    with open(my_path.get_preprocess_settings_path("Protein")) as fh:
        assert set(json.load(fh)) == set(matrices.DEFAULT_SETTINGS) | {matrices.FINGERPRINT_KEY}


def test_front_door_offers_the_extra_imputations_after_the_described_ones(fresh_paths, monkeypatch):
    import veltrana.__main__ as front
    from veltrana.plugins import layout

    for name in ("info_df", "phenotypes", "groups"):
        monkeypatch.setattr(layout, name, getattr(layout, name))
    alone = layout.build_layout(fresh_paths)["preprocess-imputation-dropdown"]
    served = front.create_app(fresh_paths).layout["preprocess-imputation-dropdown"]
    described = list(preprocessing.METHODS["Imputation"])
    assert [o["value"] for o in alone.options] == described
    assert [o["value"] for o in served.options] == described + ["KNN", "DownshiftedNormal"]
    assert "k = 5" in served.options[-2]["label"] and served.value == alone.value
    # labels fit the card's narrow picker (a longer one was cut); the parameters are in the tooltip
    assert all(len(o["label"]) <= 18 for o in served.options) and "1.8 sd" in served.options[-1]["title"]
