"""The preprocessing module against a vectorised pandas reference and a row-by-row rendering."""

import threading
import warnings

import numpy as np
import pandas as pd
import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

from veltrana.plugins import preprocess as P

import preprocess_reference as R

nan, inf = np.nan, np.inf


def same(got, want):
    pd.testing.assert_frame_equal(got, want, check_exact=True)


# ---- the steps written one row at a time, as the module's contract reads ----

def rowwise_transform(df, method):
    if method == "Log2":
        mapper = df.map if hasattr(df, "map") else df.applymap
        return mapper(np.log2)
    return df


def rowwise_norm(df, method):
    if method != "MedianNorm":
        return df
    medians = df.median(axis=1)
    return pd.DataFrame([row - medians[i] for i, row in df.iterrows()])


def rowwise_filter(df, miss_ratio):
    threshold = float(miss_ratio) / 100.0
    t = df.T
    size = len(t.columns.values)
    return pd.DataFrame([row for _, row in t.iterrows()
                         if not sum(pd.isna(row[c]) for c in t.columns.values) / size > threshold]).T


def _fill_rows(df):
    rows = []
    for _, row in df.iterrows():
        low = np.nanmin(list(row))
        for c in df.columns.values:
            if pd.isna(row[c]):
                row[c] = low
        rows.append(row)
    return pd.DataFrame(rows)


def rowwise_impute(df, method):
    if method == "GlobalMin":
        return df.replace(np.nan, min(df.min()))
    if method == "SampleMin":
        return _fill_rows(df)
    if method == "FeatureMin":
        return _fill_rows(df.T).T
    return df


# ---- random frames ----

CELLS = st.sampled_from([nan, nan, inf, -inf, 0.0, -0.0, 1.0, 8.0, -1.0, -3.25, 0.5, 2.0, 1e-300, 7.75, 123.0])


@st.composite
def frames(draw):
    n = draw(st.integers(0, 6))
    m = draw(st.integers(0, 6))
    values = np.array([[draw(CELLS) for _ in range(m)] for _ in range(n)], dtype=float).reshape(n, m)
    if n and m and draw(st.booleans()):
        values[draw(st.integers(0, n - 1)), :] = nan
    if n and m and draw(st.booleans()):
        values[:, draw(st.integers(0, m - 1))] = nan
    labels = draw(st.sampled_from(["str", "int", "none", "dup"]))
    index = [f"s{i}" for i in range(n)]
    columns = [f"f{j}" for j in range(m)]
    if labels == "int":
        index, columns = list(range(10, 10 + n)), list(range(m))
    elif labels == "none" and n and m:
        index[0], columns[-1] = None, None
    elif labels == "dup" and n > 1 and m > 1:
        index[1], columns[1] = index[0], columns[0]
    df = pd.DataFrame(values, index=pd.Index(index, dtype=object, name="sample"),
                      columns=pd.Index(columns, dtype=object, name="feature"))
    if m and draw(st.booleans()):  # integer columns (never missing)
        ints = draw(st.sampled_from(["all", "some"]))
        for j in range(m if ints == "all" else 1):
            df.isetitem(j, pd.Series(np.arange(n, dtype=np.int64) * 3 - 4, index=df.index))
    if draw(st.booleans()):
        df = pd.DataFrame(np.ascontiguousarray(df.to_numpy()), index=df.index, columns=df.columns) \
            if (df.dtypes == np.float64).all() else df
    return df


SETTINGS = st.fixed_dictionaries({
    "Transformation": st.sampled_from(["NA", "Log2", "log2"]),
    "Normalization": st.sampled_from(["NA", "MedianNorm"]),
    "Filter": st.sampled_from([0, 25, 50, "50", 100, 100.0]),
    "Imputation": st.sampled_from(["NA", "GlobalMin", "SampleMin", "FeatureMin", "Other"]),
})


def rowwise_applies(df, step, method):
    """Whether the row-by-row rendering is defined here (it breaks on repeated labels and empty minima)."""
    if not (df.index.is_unique and df.columns.is_unique):
        return False
    if step == "impute" and method == "GlobalMin":
        return df.shape[1] > 0 and not df.isna().all().any()
    if step == "impute":
        return df.shape[0] > 0 and df.shape[1] > 0
    return True


def quietly(fn, *args):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return fn(*args)


def silently(fn, *args):
    """Calls the module, which must not warn (numpy's warnings are silenced inside)."""
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        return fn(*args)


def check_step(df, name, arg):
    before = df.copy()
    module_fn, ref_fn = getattr(P, name), getattr(R, name)
    try:
        want = quietly(ref_fn, df, arg)
    except ZeroDivisionError:
        with pytest.raises(ZeroDivisionError):
            module_fn(df, arg)
        return
    same(silently(module_fn, df, arg), want)
    same(df, before)  # the caller's frame is untouched
    rowwise = {"transform": rowwise_transform, "norm": rowwise_norm,
               "noise_filter": rowwise_filter, "impute": rowwise_impute}[name]
    if rowwise_applies(df, name, arg):
        same(want, quietly(rowwise, df, arg))


@settings(max_examples=200, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(frames(), st.sampled_from([0, 20, 50, 100, -1]), SETTINGS)
def test_random_frames_match_reference_and_rowwise(df, threshold, config):
    check_step(df, "transform", "Log2")
    check_step(df, "norm", "MedianNorm")
    check_step(df, "noise_filter", threshold)
    for method in ("GlobalMin", "SampleMin", "FeatureMin"):
        check_step(df, "impute", method)
    before = df.copy()
    try:
        want = quietly(R.preprocess, df, config)
    except ZeroDivisionError:
        with pytest.raises(ZeroDivisionError):
            P.preprocess(df, config)
        return
    same(silently(P.preprocess, df, config), want)
    same(df, before)


# ---- the documented behaviour, case by case ----

def test_log2_values_and_identity_for_other_methods():
    df = pd.DataFrame({"a": [8.0, 1.0], "b": [0.0, -1.0]}, index=["x", "y"])
    got = P.transform(df, "Log2")
    assert got["a"].tolist() == [3.0, 0.0]
    assert got.loc["x", "b"] == -inf and np.isnan(got.loc["y", "b"])
    for method in ("NA", "log2", None, 2):
        assert P.transform(df, method) is df
        assert P.norm(df, method) is df
        assert P.impute(df, method) is df


def test_median_norm_skips_missing_cells():
    df = pd.DataFrame([[1.0, 2.0, 10.0, nan]], index=["s"], columns=list("abcd"))
    got = P.norm(df, "MedianNorm")
    assert got.iloc[0, :3].tolist() == [-1.0, 0.0, 8.0] and np.isnan(got.iloc[0, 3])
    assert list(got.index) == ["s"] and list(got.columns) == list("abcd")


def test_filter_threshold_is_a_percentage_and_inclusive():
    three = pd.DataFrame({"one": [1.0, nan, 2.0], "two": [nan, nan, 1.0]})
    assert list(P.noise_filter(three, 50).columns) == ["one"]
    four = pd.DataFrame({"half": [nan, nan, 1.0, 2.0]})
    assert list(P.noise_filter(four, 50).columns) == ["half"]
    wide = pd.DataFrame(np.where(np.eye(5) > 0, nan, 1.0))  # 20 % missing each
    same(P.noise_filter(wide, "20"), P.noise_filter(wide, 20))
    assert P.noise_filter(wide, 19.9).shape == (0, 0)


def test_filter_dropping_everything_leaves_no_rows_and_no_columns():
    df = pd.DataFrame({"a": [nan, 1.0]}, index=["x", "y"])
    got = P.noise_filter(df, 0)
    assert got.shape == (0, 0)
    assert isinstance(got.index, pd.RangeIndex) and isinstance(got.columns, pd.RangeIndex)


def test_minimum_imputations():
    df = pd.DataFrame({"a": [1.0, nan, -3.2], "b": [nan, 5.0, 4.0], "c": [2.0, 6.0, nan]})
    assert P.impute(df, "GlobalMin").isna().sum().sum() == 0
    assert P.impute(df, "GlobalMin").loc[1, "a"] == -3.2
    assert P.impute(df, "SampleMin").to_numpy().tolist() == [[1, 1, 2], [5, 5, 6], [-3.2, 4, -3.2]]
    assert P.impute(df, "FeatureMin").to_numpy().tolist() == [[1, 4, 2], [-3.2, 5, 6], [-3.2, 4, 2]]


def test_all_missing_samples_and_features_stay_missing():
    df = pd.DataFrame({"a": [nan, nan], "b": [nan, 3.0]})
    assert P.impute(df, "SampleMin").iloc[0].isna().all()
    assert P.impute(df, "FeatureMin")["a"].isna().all()
    # A column missing everywhere takes no part in the global minimum, wherever it stands.
    assert P.impute(df, "GlobalMin").iloc[0].tolist() == [3.0, 3.0]


def test_preprocess_all_na_returns_an_equal_copy():
    df = pd.DataFrame({"a": [1.0, nan], "b": [2.0, 3.0]}, index=["x", "y"])
    got = P.preprocess(df, {"Transformation": "NA", "Normalization": "NA", "Filter": 100, "Imputation": "NA"})
    assert got is not df and not np.shares_memory(got.to_numpy(), df.to_numpy())
    pd.testing.assert_frame_equal(got, df, check_exact=True, check_names=False)
    assert list(got.index) == list(df.index) and list(got.columns) == list(df.columns)


# ---- failures ----

def test_bad_calls_raise_type_error():
    df = pd.DataFrame({"a": [1.0]})
    with pytest.raises(TypeError):
        P.transform(df)
    with pytest.raises(TypeError):
        P.norm(df, "MedianNorm", "extra")
    with pytest.raises(TypeError):
        P.impute(data_df=df, method="NA", fill=0)
    with pytest.raises(TypeError, match="DataFrame"):
        P.norm([[1.0]], "MedianNorm")
    assert P.transform(data_df=df, method="NA") is df


def test_non_numeric_columns_are_named():
    df = pd.DataFrame({"ok": [1.0, 2.0], "gene": ["A", "B"], "flag": [True, False]})
    for call in (lambda: P.transform(df, "Log2"), lambda: P.norm(df, "MedianNorm"),
                 lambda: P.noise_filter(df, 50), lambda: P.impute(df, "SampleMin")):
        with pytest.raises(TypeError, match="'gene'"):
            call()


def test_filter_threshold_conversion_and_empty_samples():
    df = pd.DataFrame({"a": [1.0]})
    with pytest.raises(ValueError):
        P.noise_filter(df, "half")
    with pytest.raises(TypeError):
        P.noise_filter(df, None)
    with pytest.raises(ZeroDivisionError):
        P.noise_filter(pd.DataFrame(columns=["a", "b"], dtype=float), 50)


def test_missing_setting_raises_key_error_after_earlier_steps():
    df = pd.DataFrame({"a": [1.0, 4.0]})
    before = df.copy()
    with pytest.raises(KeyError, match="Imputation"):
        P.preprocess(df, {"Transformation": "Log2", "Normalization": "MedianNorm", "Filter": 50})
    with pytest.raises(ValueError):  # the filter runs (and fails) before the missing key is read
        P.preprocess(df, {"Transformation": "Log2", "Normalization": "NA", "Filter": "x"})
    same(df, before)


# ---- sound behaviour where the row-by-row version breaks ----

def test_repeated_labels_are_handled_by_position():
    df = pd.DataFrame([[1.0, nan, 3.0], [4.0, 5.0, nan]], index=["s", "s"], columns=["g", "g", "h"])
    got = P.norm(df, "MedianNorm")
    assert got.to_numpy()[0].tolist()[::2] == [-1.0, 1.0] and got.to_numpy()[1].tolist()[:2] == [-0.5, 0.5]
    assert P.impute(df, "SampleMin").to_numpy().tolist() == [[1, 1, 3], [4, 5, 4]]
    assert P.impute(df, "FeatureMin").to_numpy().tolist() == [[1, 5, 3], [4, 5, 3]]
    assert list(P.noise_filter(df, 0).columns) == ["g"]


def test_empty_frames_impute_to_empty_frames():
    no_features = pd.DataFrame(index=["x", "y"], dtype=float)
    assert P.impute(no_features, "GlobalMin").shape == (2, 0)
    assert P.impute(no_features, "SampleMin").shape == (2, 0)
    no_samples = pd.DataFrame(columns=["a"], dtype=float)
    assert P.impute(no_samples, "FeatureMin").shape == (0, 1)


# ---- the native paths: threads, layouts, in-place chains ----

@pytest.mark.parametrize("order", ["C", "F"])
@pytest.mark.parametrize("shape", [(300, 700), (700, 300)])
def test_large_matrices_in_both_layouts(order, shape):
    rng = np.random.default_rng(sum(shape))
    n, m = shape
    values = np.exp(rng.normal(0, 2, shape))
    # Feature groups missing at about 80 %, 40 % and 10 %; one sample missing everywhere.
    share = np.select([np.arange(m) < 0.3 * m, np.arange(m) < 0.6 * m], [0.8, 0.4], 0.1)
    values[rng.random(shape) < share] = nan
    values[5] = nan
    df = pd.DataFrame(np.asarray(values, order=order), columns=[f"f{j}" for j in range(m)])
    for step, arg in [("transform", "Log2"), ("norm", "MedianNorm"), ("noise_filter", 50),
                      ("noise_filter", 20), ("impute", "GlobalMin"), ("impute", "SampleMin"),
                      ("impute", "FeatureMin")]:
        same(getattr(P, step)(df, arg), getattr(R, step)(df, arg))
    # A chain keeping 70 % of the features compacts its buffer in place; one keeping 40 % copies.
    for filt in (50, 20):
        for imp in ("SampleMin", "FeatureMin", "GlobalMin"):
            for norm in ("MedianNorm", "NA"):
                config = {"Transformation": "Log2", "Normalization": norm, "Filter": filt, "Imputation": imp}
                same(P.preprocess(df, config), R.preprocess(df, config))


def test_medians_of_long_rows():
    # Long rows take the sampled-bracket selection; ties, infinities and skew probe its edges.
    rng = np.random.default_rng(3)
    m = 9001
    rows = [rng.normal(size=m), rng.integers(0, 4, m).astype(float), rng.lognormal(0, 3, m),
            np.where(rng.random(m) < 0.5, -inf, inf), np.sort(rng.normal(size=m)),
            np.r_[np.zeros(m // 2 + 1), np.ones(m - m // 2 - 1)], rng.normal(size=m)]
    values = np.array(rows)
    values[0, :1] = nan  # even count of present values
    values[-1, rng.random(m) < 0.9] = nan  # short after skipping
    df = pd.DataFrame(values)
    same(P.norm(df, "MedianNorm"), R.norm(df, "MedianNorm"))
    same(P.norm(df.iloc[:1], "MedianNorm"), R.norm(df.iloc[:1], "MedianNorm"))


def test_median_of_the_largest_doubles_follows_pandas():
    big = np.finfo(float).max / 1.5
    for shape in [(3, 5), (1, 5), (2, 601)]:
        df = pd.DataFrame(np.full(shape, big))
        with np.errstate(over="ignore"):
            same(P.norm(df, "MedianNorm"), R.norm(df, "MedianNorm"))


def test_concurrent_calls_agree():
    rng = np.random.default_rng(7)
    df = pd.DataFrame(rng.normal(size=(400, 500)))
    df[df > 1.5] = nan
    config = {"Transformation": "NA", "Normalization": "MedianNorm", "Filter": 10, "Imputation": "FeatureMin"}
    want, results = R.preprocess(df, config), []
    threads = [threading.Thread(target=lambda: results.append(P.preprocess(df, config))) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert len(results) == 4
    for got in results:
        same(got, want)


def test_demo_expression_preprocesses_like_the_reference(fresh_paths):
    from veltrana.plugins.paths import MyPath
    from veltrana.plugins.tables import read_raw_expression
    MyPath(fresh_paths)  # the host's readers serve configured locations only
    raw = read_raw_expression(fresh_paths["expression"]["Protein"])
    config = {"Transformation": "Log2", "Normalization": "MedianNorm", "Filter": "50", "Imputation": "SampleMin"}
    same(P.preprocess(raw, config), R.preprocess(raw, config))
