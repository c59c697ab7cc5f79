"""The stored preprocessed matrices: checks of what preprocessing produced, and rebuilding when the
raw file changes."""

import json
import os
from pathlib import Path

import numpy as np
import pytest

from veltrana.plugins import callbacks
from veltrana.study import loader
from veltrana.analyses import matrices

DEFAULTS = matrices.DEFAULT_SETTINGS


def rewrite_raw(my_path, source, change) -> None:
    """Replaces the raw file of `source` (features as rows) with `change(samples x features)`."""
    path = my_path.get_expr_path(source)
    frame = change(loader.read_expression(path))
    frame.T.to_csv(path, sep="\t", index_label="Feature")
    st = os.stat(path)  # a new mtime even within the clock's resolution
    os.utime(path, ns=(st.st_atime_ns, st.st_mtime_ns + 1_000_000_000))


@pytest.fixture
def my_path(fresh_paths):
    my_path = callbacks.MyPath(fresh_paths)
    matrices.ensure_preprocessed(my_path, "Protein")
    return my_path


def test_log2_of_zero_or_negative_values_is_refused(my_path):
    stored = Path(my_path.get_preprocess_path("Protein")).read_bytes()
    raw = loader.read_expression(my_path.get_expr_path("Protein"))
    nonpositive = int((raw <= 0).sum().sum())
    with pytest.raises(ValueError, match=rf"Log2 of 'Protein' is undefined for {nonpositive} value\(s\) in \d+ "
                                         rf"feature\(s\) \('{raw.columns[(raw <= 0).any()][0]}'"):
        matrices.run_preprocess(my_path, "Protein", dict(DEFAULTS, Transformation="Log2"))
    assert Path(my_path.get_preprocess_path("Protein")).read_bytes() == stored
    assert matrices.load_settings(my_path, "Protein") == DEFAULTS


def test_imputation_that_leaves_missing_values_is_refused_and_an_empty_sample_is_left_out(my_path):
    def empty_sample_and_feature(frame):
        frame.iloc[0] = np.nan  # a failed run: the sample has no value at all
        frame.iloc[:, 0] = np.nan  # nothing to take a feature minimum from
        return frame

    rewrite_raw(my_path, "Protein", empty_sample_and_feature)
    raw = loader.read_expression(my_path.get_expr_path("Protein"))
    with pytest.raises(ValueError, match=r"imputation 'FeatureMin' of 'Protein' left missing \d+ value\(s\)"):
        matrices.run_preprocess(my_path, "Protein", dict(DEFAULTS, Filter=100, Imputation="FeatureMin"))
    # The empty sample takes part in nothing: the sample minimum fills every other sample.
    done = matrices.run_preprocess(my_path, "Protein", dict(DEFAULTS, Filter=100, Imputation="SampleMin"))
    assert list(done.index) == list(raw.index[1:]) and np.isfinite(done.to_numpy()).all()


def test_a_replaced_data_file_rebuilds_the_matrix(my_path):
    before = matrices.preprocessed_matrix(my_path, "Protein")
    key = matrices.matrix_fingerprint(my_path, "Protein")
    rewrite_raw(my_path, "Protein", lambda frame: frame * 2)
    assert matrices.matrix_fingerprint(my_path, "Protein") != key
    after = matrices.preprocessed_matrix(my_path, "Protein")
    np.testing.assert_allclose(after.to_numpy(), before.to_numpy() * 2)


def test_unchanged_settings_reuse_the_stored_matrix(my_path):
    path = my_path.get_preprocess_path("Protein")
    written = os.stat(path).st_mtime_ns
    again = matrices.run_preprocess(my_path, "Protein", dict(DEFAULTS, Filter=50))  # a number, as the card sends
    assert os.stat(path).st_mtime_ns == written
    assert again.equals(callbacks.read_expr_path(path))
    key = matrices.matrix_fingerprint(my_path, "Protein")
    matrices.run_preprocess(my_path, "Protein", dict(DEFAULTS, Filter=20))
    assert os.stat(path).st_mtime_ns != written and matrices.matrix_fingerprint(my_path, "Protein") != key
    # Every source's stored ratio is spelled the same, whether it came from the defaults or the card.
    matrices.ensure_preprocessed(my_path, "Glycoform")
    stored = {}
    for source in my_path.sources():
        with open(my_path.get_preprocess_settings_path(source)) as fh:
            stored[source] = json.load(fh)["Filter"]
    assert stored == {"Protein": 20, "Glycoform": 50}


def test_the_group_rule_keeps_a_feature_measured_in_one_group_and_is_stored(my_path):
    from veltrana.cards import group_filter
    from veltrana.analyses import preprocessing

    info = callbacks.read_info_file(my_path.get_meta_path())["Pathological_Status"]

    def tumour_only(frame):
        frame.iloc[:, 0] = np.where(info.reindex(frame.index) == "Tumor", 1.0, np.nan)  # absent from Normal
        frame.iloc[:, 1] = np.nan
        frame.iloc[:3, 1] = 2.0  # three values in all: no group has four
        return frame

    rewrite_raw(my_path, "Protein", tumour_only)
    raw = loader.read_expression(my_path.get_expr_path("Protein"))
    first, second = raw.columns[:2]
    rule = group_filter.group_rule(4, "Pathological_Status", ["Pathological_Status"])
    settings = dict(DEFAULTS, Filter=20, Imputation="SampleMin", GroupFilter=rule)
    done = matrices.run_preprocess(my_path, "Protein", settings)
    ratio_only = matrices.run_preprocess(my_path, "Protein", dict(DEFAULTS, Filter=20, Imputation="SampleMin"))
    assert first in done.columns and first not in ratio_only.columns and second not in done.columns
    # the rule takes the ratio's place: exactly the features with four values in a group
    counts = raw.notna().groupby(info.reindex(raw.index).to_numpy()).sum()
    assert list(done.columns) == list(raw.columns[(counts >= 4).any().to_numpy()])
    assert np.isfinite(done.to_numpy()).all()  # imputed after the rule
    # stored with the settings (the ratio-only run, last, dropped it); the figure's run stores it again
    assert matrices.load_settings(my_path, "Protein").get("GroupFilter") is None
    fig = preprocessing.update_preprocess_figure(my_path.page_form(), "Protein", "NA", 20, "NA", "SampleMin", rule)
    assert matrices.load_settings(my_path, "Protein")["GroupFilter"] == rule and fig.data
    written = os.stat(my_path.get_preprocess_path("Protein")).st_mtime_ns
    matrices.run_preprocess(my_path, "Protein", dict(settings, Filter="20"))  # the same: reused
    assert os.stat(my_path.get_preprocess_path("Protein")).st_mtime_ns == written
    for bad in ((0, "Pathological_Status"), (2.5, "Pathological_Status"), (3, "Age(Numerical)")):
        with pytest.raises(ValueError):
            group_filter.group_rule(*bad, ["Pathological_Status"])


def test_callers_at_the_same_time_share_the_features_gram_of_the_same_read_only_matrix(monkeypatch):
    """Two callers asking for the same columns of the same read-only matrix get one computation;
    other columns, a writable array, or a caller after the others left get their own; every
    caller gets the centred features' products."""
    import threading

    rng = np.random.default_rng(4)
    values = np.asfortranarray(rng.normal(size=(500, 30)))
    values[rng.random(values.shape) < 0.2] = np.nan
    values.flags.writeable = False
    means = np.nanmean(values, axis=0)
    everything, fewer = np.arange(30), np.arange(2, 30, 3)

    def reference(kept):
        centred = np.nan_to_num(values[:, kept] - means[kept])
        return np.tril(centred.T @ centred)

    computed, release, got = [], threading.Event(), {}
    original = matrices._centred_gram

    def slow(*args):
        computed.append(len(args[1]))
        assert release.wait(20)
        return original(*args)

    monkeypatch.setattr(matrices, "_centred_gram", slow)
    monkeypatch.setattr(matrices, "BLOCK_VALUES", 30 * 70)  # summed over blocks of samples

    def ask(name, array, kept):
        with matrices.feature_gram(array, kept, means[kept]) as gram:
            got[name] = gram.copy()

    asks = [("first", values, everything), ("second", values, everything), ("fewer", values, fewer),
            ("writable", values.copy(order="F"), everything)]
    threads = [threading.Thread(target=ask, args=a) for a in asks]
    for t in threads:
        t.start()
    for _ in range(2000):  # until both callers of the same columns are in, and the others computing
        with matrices._shared_lock:
            users = sorted(e.users for e in matrices._shared_grams.values())
        if users == [1, 2] and len(computed) == 3:
            break
        threading.Event().wait(0.01)
    release.set()
    for t in threads:
        t.join(30)
    assert sorted(computed) == [10, 30, 30] and not matrices._shared_grams
    for name, kept in (("first", everything), ("second", everything), ("fewer", fewer), ("writable", everything)):
        np.testing.assert_allclose(got[name], reference(kept), rtol=1e-12, atol=1e-9)
    ask("later", values, everything)  # the others gone: computed again
    assert len(computed) == 4
