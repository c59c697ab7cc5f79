"""The association card: its tree, its callbacks and the host statistics behind them."""

import os
import time

import numpy as np
import pandas as pd
import pytest
from scipy import stats
from sklearn.linear_model import LogisticRegression
from sklearn.metrics import roc_auc_score, roc_curve

from support import (callback, ids_in, in_threads, walk, write_numeric_phenotypes, write_raw_as_preprocessed,
                     write_results)
from veltrana.plugins import callbacks, layout, vistro
from veltrana.runs import results
from veltrana.analyses import association
from veltrana.plugins.tables import save_result_path


@pytest.fixture
def env(fresh_paths):
    """An application on a small demo dataset whose sources are preprocessed (as read)."""
    my_path = callbacks.MyPath(fresh_paths)
    write_raw_as_preprocessed(my_path)
    numeric_path = write_numeric_phenotypes(my_path)
    app = vistro.build_app(fresh_paths)
    return {"app": app, "paths": fresh_paths, "my_path": my_path, "numeric": numeric_path,
            "cb": lambda output: callback(app, output)}


# ---- the card tree ---------------------------------------------------------------

def test_control_card_tree():
    card = layout.build_association_control_card()
    assert (card.id, card.className) == ("association-control", "four columns")
    texts = [c.children for c in card.children if type(c).__name__ in ("H5", "P")]
    assert texts == ["Phenotype-Feature Association Analysis", "Select data source", "Select phenotype",
                     "Select samples by phenotype", "Select feature set"]
    dropdowns = {d: c for d, c in ((getattr(c, "id", None), c) for c in walk(card)) if d and "dropdown" in d}
    assert list(dropdowns) == ["assoc-data-source-dropdown", "assoc-phenotype-dropdown",
                               "assoc-target-phenotype-dropdown", "assoc-target-groups-dropdown",
                               "assoc-feature-set-dropdown"]
    for d, c in dropdowns.items():
        assert c.options == [] and c.value == ""
        assert getattr(c, "multi", False) is (d == "assoc-target-groups-dropdown")
    buttons_row = card.children[12]
    button, loaders = buttons_row.children
    assert button.children[0].children == "Refresh Assoc" and button.children[0].n_clicks == 0
    assert [ld.id for ld in loaders.children] == ["loading-phenotype-feature-1", "loading-phenotype-feature-2"]
    assert [ld.children.id for ld in loaders.children] == ["loading-output-phenotype-feature-1",
                                                           "loading-output-phenotype-feature-2"]


def test_figure_cards_and_what_the_page_holds():
    card = layout.build_association_card()
    assert (card.id, card.className) == ("association-card", "row")
    control, figures = card.children
    assert control.id == "association-control" and figures.className == "eight columns"
    halves = figures.children[0].children
    assert [h.className for h in halves] == ["six columns", "six columns"]
    assert [h.children[0].id for h in halves] == ["association-correlation-card", "association-roc-card"]
    roc = layout.build_association_roc_card()
    assert [getattr(c, "id", None) for c in roc.children][:3] == [
        None, "assoc-roc-figure-feature-dropdown", "loading-phenotype-feature-roc"]
    assert roc.children[4].style == {"border": "2px black solid"}
    assert roc.children[4].children[0].figure.layout.height == 500
    surv = layout.build_association_survival_card()
    assert surv.children[0].children == "KaplanMeierFitter (KMF)" and surv.children[1].id == "assoc-surv-fig"
    page = ids_in(layout.build_layout({}))
    assert "assoc-corr-fig" in page and "assoc-roc-fig" in page and "assoc-surv-fig" not in page
    assert len(page) == len(set(page))


# ---- pickers -------------------------------------------------------------------------

def test_pickers(env):
    cb, paths = env["cb"], env["paths"]
    options = [{"label": "Protein", "value": "Protein"}]
    assert cb("assoc-data-source-dropdown.options")(options, paths) == (options, "Protein")
    assert cb("assoc-target-phenotype-dropdown.options")([], paths) == ([], None)
    opts, value = cb("assoc-phenotype-dropdown.options")(env["numeric"], paths)
    assert value == "Age(Numerical)" and [o["value"] for o in opts][:2] == ["Age(Numerical)", "CA19-9(Numerical)"]
    assert cb("assoc-phenotype-dropdown.options")(None, paths) == ([], None)

    groups = cb("assoc-target-groups-dropdown.options")
    opts, value = groups("Smoking(Categorical)", paths)
    assert [o["value"] for o in opts] == ["Current", "Former", "Never"] and value == "Current"
    assert groups("Age(Numerical)", paths) == ([{"label": "All Samples", "value": "All Samples"}], "All Samples")
    assert groups(None, paths) == ([], None) and groups("No such column", paths) == ([], None)



def test_the_correlation_figure_of_a_run_sent_again_is_not_drawn_again(tmp_path):
    """A new differential run sends the association card its same run again: the picker's filling
    callback answers from what it drew for that run; another run, or the run's file replaced, is drawn."""
    from veltrana.cards import pickers

    deps = [{"id": "run-assoc-button", "property": "n_clicks"},
            {"id": "phenotype-feature-result-inter", "property": "data"}, {"id": "Paths", "property": "data"}]
    answer_of = pickers._run_answers(deps, "phenotype-feature-result-inter")
    drawn = []

    def native(clicks, run, paths):
        drawn.append(run)
        return ("figure of " + run, "", [run], run)

    first, second = tmp_path / "a.txt", tmp_path / "b.txt"
    first.write_text("run a")
    second.write_text("run b")
    drawing = ("figure of " + str(first), "", [str(first)], str(first))
    assert answer_of(native, (None, str(first), {"p": 1})) == (drawing, False)
    assert answer_of(native, (3, str(first), {"p": 1})) == (drawing, True) and len(drawn) == 1
    answer_of(native, (3, str(second), {"p": 1}))
    answer_of(native, (3, str(first), {"p": 2}))
    assert len(drawn) == 3
    first.write_text("run a, published again")
    answer_of(native, (4, str(first), {"p": 1}))
    assert len(drawn) == 4

def test_tumor_group_is_preselected(env, monkeypatch):
    info = callbacks.read_info_file(env["my_path"].get_meta_path())
    info["Status(Categorical)"] = info["Pathological_Status"]
    info.loc[info.index[:2], "Status(Categorical)"] = np.nan  # missing cells are offered as no group
    monkeypatch.setattr(callbacks, "read_info_file", lambda path: info)
    opts, value = env["cb"]("assoc-target-groups-dropdown.options")("Status(Categorical)", env["paths"])
    assert [o["value"] for o in opts] == ["Normal", "Tumor"] and value == "Tumor"
    # A phenotype named without a marker is categorical as well: the default one offers its groups.
    assert env["cb"]("assoc-target-groups-dropdown.options")("Pathological_Status", env["paths"]) == (opts, "Tumor")


# ---- the feature-sets table ------------------------------------------------------------

def test_collected_feature_sets(env):
    diff, decomposition, clustering, contribution = write_results(env["my_path"])
    path, loading = env["cb"]("feature-sets-inter.data")(diff, decomposition, clustering, env["paths"])
    assert loading == "" and path == results.feature_sets_path(env["my_path"], diff, decomposition, clustering)
    table = pd.read_csv(path, sep="\t", index_col=0, keep_default_na=False)
    assert list(table.columns) == ["Module", "Source", "Label", "Features"]
    rows = [tuple(r) for r in table.itertuples(index=False)]
    top = contribution.loc["Scaled"].sort_values(ascending=False, kind="stable")
    assert rows[:4] == [("Differential", "Protein", "S-U", ""), ("Differential", "Protein", "U", "a;b;"),
                        ("Differential", "Protein", "S-D", "c;f"), ("Differential", "Protein", "D", "d;c;f")]
    module, source, label, features = rows[4]
    assert (module, source, label) == ("Decomposition", "Protein", "TOP100")
    features = features.split(";")
    assert len(features) == 100 and features[0] == top.index[0]
    assert list(contribution.loc["Scaled", features]) == sorted(contribution.loc["Scaled", features], reverse=True)
    assert rows[5:] == [("FeatureClustering", "Glycoform", "Cluster:(1)", "g2"),
                        ("FeatureClustering", "Glycoform", "Cluster:(2)", "g1;g3"),
                        ("FeatureClustering", "Glycoform", "Cluster:(10)", "g4")]

    # The source's sets follow "All Features" in the association picker; other sources are not offered.
    opts, value = env["cb"]("assoc-feature-set-dropdown.options")("Glycoform", path, env["paths"])
    assert value == "All Features"
    assert [o["value"] for o in opts] == ["All Features", "FeatureClustering@Cluster:(1)",
                                          "FeatureClustering@Cluster:(2)", "FeatureClustering@Cluster:(10)"]


def test_feature_sets_keep_ids_as_written(env):
    # Probe ids that look like numbers stay text through the collected sets.
    out = env["my_path"].get_out_dir()
    decomposition = save_result_path(os.path.join(out, "decomposition", "summary.txt"), pd.DataFrame(
        {"Source": ["Protein"], "Method": ["PCA"], "BaseName": ["Protein"]}))
    pd.DataFrame([[0.2, 1.0, 0.5]], index=["Scaled"], columns=["01005", "1e3", "007"]).to_csv(
        os.path.join(out, "decomposition", "Protein_PCA_contribution.txt"), sep="\t")
    clustering = save_result_path(os.path.join(out, "clustering", "summary.txt"), pd.DataFrame(
        {"Source": ["Protein"], "Method": ["Hierarchical clustering"], "BaseName": ["Protein"]}))
    pd.DataFrame({"FeatureCluster": [1, 1]}, index=pd.Index(["0042", "1.50"], name="Feature")).to_csv(
        os.path.join(out, "clustering", "Protein_feature_clustering.txt"), sep="\t")
    path, _ = env["cb"]("feature-sets-inter.data")(None, decomposition, clustering, env["paths"])
    sets = pd.read_csv(path, sep="\t", index_col=0, dtype=str)
    assert sets["Features"].tolist() == ["1e3;007;01005", "0042;1.50"]


def test_small_or_unscaled_contributions(env):
    diff, decomposition, clustering, contribution = write_results(env["my_path"], n_contrib=7)
    path, _ = env["cb"]("feature-sets-inter.data")(None, decomposition, None, env["paths"])
    table = callbacks.read_result_path(path)
    assert table["Features"].tolist() == [";".join(contribution.loc["Scaled"].sort_values(ascending=False).index)]
    write_results(env["my_path"], scaled=False)
    path, _ = env["cb"]("feature-sets-inter.data")(None, decomposition, None, env["paths"])
    assert callbacks.read_result_path(path).empty


def test_collect_without_results_or_output_dir(env, fresh_paths, tmp_path):
    path, _ = env["cb"]("feature-sets-inter.data")(None, float("nan"), str(tmp_path / "none.txt"), env["paths"])
    assert callbacks.read_result_path(path).empty
    other = dict(fresh_paths, out_dir=str(tmp_path / "missing"))
    app = vistro.build_app(other)
    assert callback(app, "feature-sets-inter.data")(None, None, None, other) == ("", "")


def test_collect_reads_nothing_outside_the_output_dir(env, tmp_path, monkeypatch):
    my_path, cb = env["my_path"], env["cb"]("feature-sets-inter.data")
    # Stores whose paths point outside: the host reader refuses them before reading.
    elsewhere = tmp_path / "elsewhere.txt"
    elsewhere.write_text("Source\tDiffPath\n")
    for forged in ("/etc/passwd", str(elsewhere), os.path.join(my_path.get_out_dir(), "..", "..", "elsewhere.txt")):
        with pytest.raises(ValueError, match="outside the configured locations"):
            cb(forged, None, None, env["paths"])
    # A result row whose BaseName climbs out of the output directory is skipped, unread.
    outside = tmp_path / "outside_PCA_contribution.txt"
    pd.DataFrame([[1.0]], index=["Scaled"], columns=["secret"]).to_csv(outside, sep="\t")
    climb = os.path.relpath(str(tmp_path / "outside"), os.path.join(my_path.get_out_dir(), "decomposition"))
    decomposition = save_result_path(os.path.join(my_path.get_out_dir(), "decomposition", "summary.txt"),
                                     pd.DataFrame({"Source": ["Protein"], "Method": ["PCA"], "BaseName": [climb]}))
    read = []
    real_read_csv = pd.read_csv
    monkeypatch.setattr(pd, "read_csv", lambda p, *a, **k: read.append(str(p)) or real_read_csv(p, *a, **k))
    path, _ = cb(None, decomposition, None, env["paths"])
    assert callbacks.read_result_path(path).empty
    assert not any("outside" in p for p in read)


# ---- the association run and its figures ------------------------------------------------

def run_association(env, feature_set="All Features", groups="Tumor", sample_phenotype="Pathological_Status",
                    phenotype="Age(Numerical)", feature_sets_path=None):
    cb = env["cb"]("phenotype-feature-result-inter.data")
    return cb(1, feature_sets_path, env["numeric"], [], "Protein", phenotype, sample_phenotype, groups,
              feature_set, env["paths"])


def test_association_run_on_demo_data(env):
    my_path = env["my_path"]
    result, loading = run_association(env)
    assert loading == "" and result == results.association_paths(
        my_path, "Protein", "Age(Numerical)", "Pathological_Status", ["Tumor"], "All Features", None)["summary"]
    summary = callbacks.read_result_path(result)
    assert list(summary.columns) == ["Source", "Phenotype", "SamplePhenotype", "SampleGroups", "FeatureSet",
                                     "CorrelationPath", "LogisticPath", "Samples", "SampleIds"]
    assert summary.iloc[0, :5].tolist() == ["Protein", "Age(Numerical)", "Pathological_Status", "Tumor",
                                            "All Features"]
    data = callbacks.read_expr_path(my_path.get_preprocess_path("Protein"))
    info = callbacks.read_info_file(my_path.get_meta_path())
    tumor = [s for s in info.index[info["Pathological_Status"] == "Tumor"] if s in data.index]
    corr = callbacks.read_result_path(summary["CorrelationPath"].iloc[0]).set_index("Feature")
    for feature in data.columns[:15]:
        x, y = data.loc[tumor, feature], info.loc[tumor, "Age(Numerical)"]
        ok = x.notna() & y.notna()
        r, p = stats.pearsonr(x[ok], y[ok])
        assert corr.loc[feature, "Correlation"] == pytest.approx(r, abs=1e-12)
        assert corr.loc[feature, "P-value"] == pytest.approx(p, rel=1e-9)

    # A feature set of the source limits the features; an unknown source's set gives none.
    path = save_result_path(my_path.get_feature_sets_path(), pd.DataFrame(
        [["Differential", "Protein", "U", ";".join(data.columns[:5]) + ";"],
         ["Differential", "Protein", "S-U", ""]], columns=["Module", "Source", "Label", "Features"]))
    result, _ = run_association(env, "Differential@U", groups=["Tumor", "Normal"], feature_sets_path=path)
    corr = callbacks.read_result_path(callbacks.read_result_path(result)["CorrelationPath"].iloc[0])
    assert corr["Feature"].tolist() == list(data.columns[:5])
    assert callbacks.read_result_path(result)["SampleGroups"].iloc[0] == "Tumor;Normal"
    for empty_set in ("Differential@S-U", "Decomposition@TOP100"):
        result, _ = run_association(env, empty_set, feature_sets_path=path)
        assert callbacks.read_result_path(callbacks.read_result_path(result)["CorrelationPath"].iloc[0]).empty
    with pytest.raises(ValueError, match="Module@Label"):
        run_association(env, "no separator", feature_sets_path=path)
    # phenotypes the page never offers are refused naming them (one was a bare KeyError)
    with pytest.raises(ValueError, match="unknown phenotype 'Nope'"):
        run_association(env, sample_phenotype="Nope")
    with pytest.raises(ValueError, match="unknown numerical phenotype 'Nope'"):
        run_association(env, phenotype="Nope")


def test_one_association_run_is_computed_once_however_many_ask(env, monkeypatch):
    computed, real = [], callbacks.update_phenotype_feature_logistic_inter

    def slow(*args):
        computed.append(args[-1])
        time.sleep(0.2)  # still computing when the others ask
        return real(*args)

    monkeypatch.setattr(callbacks, "update_phenotype_feature_logistic_inter", slow)
    got = []
    assert in_threads(lambda: got.append(run_association(env)), 4) == []
    assert len(computed) == 1 and len(set(got)) == 1 and os.path.exists(got[0][0])


def test_association_waits_for_its_choices(env):
    assert run_association(env, feature_set="") == (None, "")
    assert run_association(env, groups=[]) == (None, "")
    os.remove(env["my_path"].get_preprocess_path("Protein"))
    assert run_association(env) == (None, "")


def test_association_figures(env):
    result, _ = run_association(env, groups="All Samples", sample_phenotype="Age(Numerical)")
    fig, loading, options, value = env["cb"]("assoc-corr-fig.figure")(1, result, env["paths"])
    corr = callbacks.read_result_path(callbacks.read_result_path(result)["CorrelationPath"].iloc[0])
    assert loading == "" and len(fig.data) == 1
    np.testing.assert_allclose(fig.data[0].y, -np.log10(corr["P-value"]))
    # The demo's 24 samples all have an age; features with a missing value use fewer.
    assert fig.layout.title.text == "Protein: Age(Numerical) (24 samples chosen, at most 24 with values)"
    assert [o["value"] for o in options] == sorted(corr["Feature"]) and value == sorted(corr["Feature"])[0]

    roc = env["cb"]("assoc-roc-fig.figure")
    fig, loading = roc(1, result, value, env["paths"])
    assert loading == "" and fig.layout.height == 420 and len(fig.data) >= 1
    fig, _ = roc(1, result, "not a feature", env["paths"])
    assert fig.layout.height == 420 and fig.layout.paper_bgcolor == "LightSteelBlue" and not fig.data
    fig, _, options, value = env["cb"]("assoc-corr-fig.figure")(1, None, env["paths"])
    assert (options, value) == ([], "") and fig.layout.paper_bgcolor == "LightSteelBlue"
    with pytest.raises(ValueError, match="outside"):
        env["cb"]("assoc-corr-fig.figure")(1, "/etc/passwd", env["paths"])


def test_roc_figure_reads_one_curve_as_the_table_holds_it(env, monkeypatch):
    result, _ = run_association(env, groups=["Tumor", "Normal"])
    path = callbacks.read_result_path(result)["LogisticPath"].iloc[0]
    table = callbacks.read_result_path(path)
    expected = {row.Feature: (np.array(row.FPR.split(","), dtype=float), np.array(row.TPR.split(","), dtype=float),
                              row.AUC) for row in table.itertuples()}

    def assert_curves_as_written():
        for feature, (fpr, tpr, auc) in expected.items():
            got = callbacks.roc_curve_of(path, feature)
            assert np.array_equal(got[0], fpr) and np.array_equal(got[1], tpr) and got[2] == auc, feature
        assert callbacks.roc_curve_of(path, "not a feature") is None and callbacks.roc_curve_of(path, 5) is None

    assert_curves_as_written()
    # The figure reads its feature's line of the table alone, not the table through its reader.
    feature = sorted(expected)[3]
    real_read = callbacks.read_result_path
    for module in (callbacks, association):
        monkeypatch.setattr(module, "read_result_path",
                            lambda p: pytest.fail("the ROC table was read") if p == path else real_read(p))
    fig, _ = env["cb"]("assoc-roc-fig.figure")(1, result, feature, env["paths"])
    curve = [t for t in fig.data if len(t.x) == len(expected[feature][0])][0]
    assert np.array_equal(curve.x, expected[feature][0]) and np.array_equal(curve.y, expected[feature][1])
    assert fig.layout.title.text == f"AUC:{expected[feature][2]:.2f}"
    monkeypatch.undo()

    # An index whose lines do not fit the table, one cut short, or a run stored before lines were
    # indexed: the table is read, with the same numbers.
    index = association.lines_file(path)
    with np.load(index) as stored:
        kept = dict(stored)
    offsets = kept["offsets"].copy()
    offsets[1:-1] += 1  # each line but the first one byte late: the size still fits
    np.savez(index, **{**kept, "offsets": offsets})
    assert_curves_as_written()
    with open(index, "r+b") as fh:
        fh.truncate(os.path.getsize(index) - 8)
    assert_curves_as_written()
    os.remove(index)
    assert_curves_as_written()
    with pytest.raises(ValueError, match="outside the configured locations"):
        callbacks.roc_curve_of("/etc/passwd", feature)


# ---- host statistics -----------------------------------------------------------------------

@pytest.fixture
def small():
    rng = np.random.default_rng(7)
    samples = [f"S{i}" for i in range(40)]
    y = pd.DataFrame({"Score(Numerical)": rng.normal(size=40)}, index=samples)
    x = pd.DataFrame(rng.normal(size=(40, 6)), index=samples, columns=[f"F{i}" for i in range(6)])
    x["F1"] = 2 * y["Score(Numerical)"] + rng.normal(scale=0.5, size=40)   # rises with the outcome
    x["F2"] = -y["Score(Numerical)"] + rng.normal(scale=0.8, size=40)      # falls with it
    x.iloc[::3, 3] = np.nan
    x.iloc[2:, 4] = np.nan                                                 # two complete pairs only
    x["F5"] = 1.0                                                          # no spread
    return x, y


def test_correlation_table(small, tmp_path):
    x, y = small
    before = x.copy()
    path = association.update_phenotype_feature_correlation_inter(
        x, list(x.index) + ["unknown"], list(x.columns) + ["", "F0"], y, "Score(Numerical)", str(tmp_path / "c.txt"))
    pd.testing.assert_frame_equal(x, before)
    table = pd.read_csv(path, sep="\t", index_col=0)
    assert list(table.columns) == ["Feature", "Correlation", "P-value", "Pairs"]
    assert table["Feature"].tolist() == ["F0", "F1", "F2", "F3"]
    for _, row in table.iterrows():
        ok = x[row["Feature"]].notna()
        assert row["Pairs"] == ok.sum()
        r, p = stats.pearsonr(x.loc[ok, row["Feature"]], y.loc[ok, "Score(Numerical)"])
        assert row["Correlation"] == pytest.approx(r, abs=1e-12) and row["P-value"] == pytest.approx(p, rel=1e-9)
    with pytest.raises(ValueError, match="unknown numerical phenotype"):
        association.update_phenotype_feature_correlation_inter(x, [], [], y, "Nope", str(tmp_path / "c.txt"))



def test_native_correlations_equal_the_numpy_sums_to_the_bit():
    """The host's matrices reach the correlations with each feature contiguous: the native kernel
    then sums as numpy does. Columns of every length around numpy's blocks of 8 and 128, values of
    mixed scales, missing values on both sides, no spread, too few pairs."""
    rng = np.random.default_rng(12)
    for samples in (0, 2, 7, 8, 9, 127, 128, 129, 300, 1031):
        x = rng.normal(size=(samples, 12)) * 10.0 ** rng.integers(-6, 6, 12)
        x[rng.random(x.shape) < 0.2] = np.nan
        x[:, 1], x[samples // 2:, 2] = 4.0, np.nan
        y = rng.normal(50, 10, samples)
        y[rng.random(samples) < 0.1] = np.nan
        r, p, n = association.pearson_columns(np.asfortranarray(x), y)
        r_ref, n_ref = association._pearson_sums(np.asfortranarray(x), y)  # numpy, the same memory order
        np.testing.assert_array_equal(n, n_ref)
        np.testing.assert_array_equal(r, np.where(n_ref < association.MIN_PAIRS, np.nan, np.clip(r_ref, -1, 1)))
        assert np.isnan(r[1]) and np.array_equal(np.isnan(p), np.isnan(r))

def test_roc_matches_a_fitted_logistic_regression(small, tmp_path):
    x, y = small
    path = association.update_phenotype_feature_logistic_inter(
        x, list(x.index), list(x.columns), y, "Score(Numerical)", str(tmp_path / "l.txt"))
    table = pd.read_csv(path, sep="\t", index_col=0).set_index("Feature")
    assert list(table.index) == ["F0", "F1", "F2", "F3", "F5"]
    outcome_all = (y["Score(Numerical)"] > y["Score(Numerical)"].median()).astype(int)
    for feature in ("F0", "F1", "F2", "F3"):
        ok = x[feature].notna()
        xs, outcome = x.loc[ok, [feature]].to_numpy(), outcome_all[ok].to_numpy()
        proba = LogisticRegression().fit(xs, outcome).predict_proba(xs)[:, 1]
        fpr, tpr, _ = roc_curve(outcome, proba)
        np.testing.assert_allclose([float(v) for v in table.loc[feature, "FPR"].split(",")], fpr)
        np.testing.assert_allclose([float(v) for v in table.loc[feature, "TPR"].split(",")], tpr)
        assert table.loc[feature, "AUC"] == pytest.approx(roc_auc_score(outcome, proba))
    assert table.loc["F1", "AUC"] > 0.8 and table.loc["F2", "AUC"] > 0.7
    assert table.loc["F5", "AUC"] == 0.5
    # A table of one curve of one threshold.
    path = association.update_phenotype_feature_logistic_inter(
        x, list(x.index), ["F5", "F4"], y, "Score(Numerical)", str(tmp_path / "l.txt"))
    assert pd.read_csv(path, sep="\t", index_col=0).values.tolist() == [["F5", "0.0,1.0", "0.0,1.0", 0.5]]


def per_feature_roc_table(data_df, samples, features, numeric_info_df, phenotype):
    """The reference: the ROC table built feature by feature with feature_roc."""
    matrix, y, features = association._aligned(data_df, samples, features, numeric_info_df, phenotype)
    outcome, rows = association.binary_outcome(y), []
    for j, feature in enumerate(features):
        ok = ~np.isnan(matrix[:, j])
        if ok.sum() < association.MIN_PAIRS or len(np.unique(outcome[ok])) < 2:
            continue
        fpr, tpr, auc = association.feature_roc(matrix[ok, j], outcome[ok])
        rows.append((feature, ",".join(repr(float(v)) for v in fpr), ",".join(repr(float(v)) for v in tpr),
                     float(auc)))
    return pd.DataFrame(rows, columns=["Feature", "FPR", "TPR", "AUC"])


@pytest.mark.parametrize("samples, decimals, features, names", [
    (90, 1, 400, ()), (300, 4, 400, ()), (7, 0, 400, ()),
    (300, 3, 2500, ()),  # written natively in several rounds of blocks
    (30000, 6, 12, ()),  # lines longer than the csv module takes a field
    (25, 2, 400, ('G"q', "Gé"))])  # names to quote, or not ASCII: written through the frame
def test_roc_table_equals_the_per_feature_curves_to_the_byte(tmp_path, monkeypatch, samples, decimals, features,
                                                              names):
    """Ties (coarse values, a tied phenotype), missing values, constant features, features
    with too few values or one class only; scores one bit apart, zeros of both signs, a
    missing value with its sign bit set."""
    rng = np.random.default_rng(samples)
    ids = [f"{i:05d}" for i in range(1005, 1005 + samples)]
    y = pd.DataFrame({"Age(Numerical)": np.round(rng.normal(60, 9, samples))}, index=ids)
    values = np.round(rng.normal(size=(samples, features)) + 0.5 * y.to_numpy() / 9, decimals)
    values[rng.random(values.shape) < 0.15] = np.nan
    values[:, 0], values[:, 1], values[2:, 2], values[:, 3] = 1.0, 0.1, np.nan, np.nan
    age = y["Age(Numerical)"].to_numpy()
    pair = [np.argmax(age), np.argmin(age)]  # one of each class, both ways round
    for j, v in ((4, 1.0), (5, -3.0)):
        values[pair, j] = v, np.nextafter(v, 2 * v)
        values[pair, j + 2] = np.nextafter(v, 2 * v), v
    values[:5, 8] = 0.0, -0.0, 0.0, -0.0, -5e-324
    values[1::3, 9] = -np.nan
    x = pd.DataFrame(values, index=ids, columns=[*names, *(f"G{j}" for j in range(len(names), features))])
    args = (x, ids, list(x.columns), y, "Age(Numerical)")
    path = association.update_phenotype_feature_logistic_inter(*args, str(tmp_path / "ours.txt"))
    reference = callbacks.save_result_path(str(tmp_path / "ref.txt"), per_feature_roc_table(*args))
    with open(path) as ours, open(reference) as ref:
        assert ours.read() == ref.read()
    table = pd.read_csv(path, sep="\t", float_precision="round_trip")
    assert len(table) > 0
    # Each curve read back through the index of its line, as the table's reader gives it.
    monkeypatch.setattr(association, "read_result_path", lambda p: pytest.fail("the ROC table was read"))
    monkeypatch.setattr(association, "readable_anywhere", lambda p: True)  # a folder of the test's own
    for row in table.itertuples():
        fpr, tpr, auc = association.roc_curve_of(path, row.Feature)
        assert fpr.tolist() == [float(v) for v in row.FPR.split(",")] and tpr.tolist() == [
            float(v) for v in row.TPR.split(",")] and auc == row.AUC, row.Feature


def test_rates_are_written_as_python_writes_them():
    """The ROC table's rates are written natively: every k / n of the totals a cohort has, and
    fractions of large totals (long digit strings, both notations), read as Python's repr."""
    totals = np.arange(1, 801, dtype=np.int64)
    counts = np.concatenate([np.arange(n + 1) for n in totals])
    start = np.r_[0, np.cumsum(totals + 1)]
    assert association._joined_rates(counts, totals, start) == [
        ",".join(repr(k / n) for k in range(n + 1)) for n in totals.tolist()]
    rng = np.random.default_rng(3)
    big = rng.integers(1, 10 ** 15, 5000)
    small = rng.integers(0, np.minimum(big // 10 ** rng.integers(0, 15, 5000), 2 ** 31 - 2) + 1)
    texts = association._joined_rates(small, big, np.arange(5001))
    assert texts == [repr(a / b) for a, b in zip(small.tolist(), big.tolist())]
    assert {"e-" in t for t in texts} == {True, False}  # both notations met
    with pytest.raises(ValueError, match="below 2\\*\\*31"):  # counts of samples: never wrapped round
        association._joined_rates([2 ** 31], [2 ** 32], [0, 1])
