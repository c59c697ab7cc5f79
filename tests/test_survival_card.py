"""The Kaplan-Meier card: grouping, survival tables from the sample table, the figure and its
p-values against lifelines, and its place on the served page (never in build_layout's page)."""

import json
import re

import numpy as np
import pandas as pd
import pytest
from lifelines import KaplanMeierFitter
from lifelines.statistics import logrank_test
from scipy.stats import false_discovery_control

from support import by_id, ids_in, run_registered
from veltrana import __main__ as front
from veltrana.serve import limits
from veltrana.study import loader
from veltrana.plugins import tables
from veltrana.cards import survival_card as sc
from veltrana.plugins.paths import MyPath

STATUS, LAST, DEATH = sc.STATUS_COLUMN, sc.LAST_CONTACT_COLUMN, sc.DEATH_COLUMN


def cohort(n=120, seed=3):
    """A sample table with ids like "01005", three arms (one sample without an arm) and text day counts,
    as the strict loader returns columns whose names lack "(Numerical"."""
    rng = np.random.default_rng(seed)
    ids = [f"0{1001 + i:04d}" for i in range(n)]
    arm = rng.choice(["A", "B", "C"], n).astype(object)
    arm[5] = np.nan
    death = rng.exponential(np.where(arm == "A", 300, 900))
    follow = rng.uniform(100, 1500, n)
    dead = death < follow
    return pd.DataFrame({
        "Arm": arm,
        STATUS: np.where(dead, "Deceased", "Living"),
        LAST: [str(int(d) + 1) for d in np.minimum(death, follow)],
        DEATH: [str(int(d) + 1) if x else np.nan for d, x in zip(death, dead)],
    }, index=pd.Index(ids, name="Sample"))


def table_of(info, groups):
    return sc.survival_table(info, groups, STATUS, LAST, DEATH)


def test_feature_split_median_and_extremes():
    values = pd.Series([5.0, 1.0, np.nan, 3.0, 3.0, 9.0, 2.0, 7.0, 4.0], index=list("abcdefghi"))
    before = values.copy()
    median = sc.feature_groups(values, "Median")
    assert pd.isna(median["c"])  # no value, no group
    known = values.dropna()
    assert (median[known.index] == np.where(known > known.median(), "High", "Low")).all()
    quartiles = sc.feature_groups(values, "Quartiles")
    q1, q3 = known.quantile([0.25, 0.75])
    assert set(quartiles.dropna()[quartiles == "Low"].index) == set(known.index[known <= q1])
    assert set(quartiles.dropna()[quartiles == "High"].index) == set(known.index[known >= q3])
    assert quartiles.isna().sum() == len(values) - (known <= q1).sum() - (known >= q3).sum()
    tertiles = sc.feature_groups(values, "Tertiles")
    assert tertiles.notna().sum() > quartiles.notna().sum()
    pd.testing.assert_series_equal(values, before)
    with pytest.raises(ValueError, match="fewer than two"):
        sc.feature_groups(pd.Series([2.0, 2.0, np.nan]), "Median")
    with pytest.raises(ValueError, match="unknown split"):
        sc.feature_groups(values, "Deciles")


def test_survival_table_from_text_day_counts_and_missing_groups(tmp_path):
    info = cohort()
    path = tmp_path / "info.tsv"
    info.to_csv(path, sep="\t")
    read = loader.read_sample_table(str(path))
    assert not pd.api.types.is_numeric_dtype(read[LAST])  # text, as the loader gives it (pandas 3: str)
    before = read.copy()
    table = table_of(read, read["Arm"])
    pd.testing.assert_frame_equal(read, before)
    assert table["group"].tolist() == ["A", "B", "C"]
    samples = [s for row in table["samples"] for s in row.split(",")]
    assert "01006" not in samples and len(samples) == len(info) - 1  # the sample without an arm
    first = table.iloc[0]
    ids = first["samples"].split(",")
    days = np.where(info.loc[ids, STATUS] == "Deceased", info.loc[ids, DEATH].astype(float),
                    info.loc[ids, LAST].astype(float))
    np.testing.assert_allclose(sc.curves(table)["A"][0], np.round(days / 30, 4))

    bad = read.copy()
    bad.loc["01010", LAST] = "about 40"
    with pytest.raises(ValueError, match=r"day counts; not a number: 01010: 'about 40'"):
        table_of(bad, bad["Arm"])
    with pytest.raises(ValueError, match="no column 'Days'"):
        sc.survival_table(read, read["Arm"], STATUS, "Days", DEATH)
    with pytest.raises(ValueError, match="no sample has a survival time"):
        sc.survival_table(read, read["Arm"], "Arm", LAST, DEATH)


def test_figure_steps_ticks_bands_and_numbers_at_risk_match_lifelines():
    for info in (cohort(), cohort(n=900, seed=4)):  # the larger with samples censored on the same days
        check_figure(info)


def check_figure(info):
    table = table_of(info, info["Arm"])
    fig = sc.kaplan_meier_figure(table, "t", bands=True)
    traces = {t.name: t for t in fig.data}
    assert [t.name for t in fig.data if t.showlegend is not False] == ["A", "B", "C"]
    for group, (durations, events) in sc.curves(table).items():
        kmf = KaplanMeierFitter().fit(durations, events)
        np.testing.assert_allclose(traces[group].y, kmf.survival_function_.iloc[:, 0])
        np.testing.assert_allclose(traces[group].x, kmf.survival_function_.index)
        assert traces[group].line.shape == "hv"
        np.testing.assert_allclose(traces[f"{group} 95% CI"].y, kmf.confidence_interval_survival_function_.iloc[:, 1])
        ticks = traces[f"{group} censored"]  # one per time, with the samples censored then
        times, count = np.unique(durations[~events], return_counts=True)
        np.testing.assert_allclose(ticks.x, times)
        assert list(ticks.customdata) == list(count) and sum(ticks.customdata) == (~events).sum()
        np.testing.assert_allclose(ticks.y, kmf.survival_function_at_times(times))
        at_risk = traces[f"{group} at risk"]
        assert [int(n) for n in at_risk.text] == [(durations >= t).sum() for t in at_risk.x]
        assert at_risk.x[0] == 0 and int(at_risk.text[0]) == len(durations)
    assert not any("95% CI" in (t.name or "") for t in sc.kaplan_meier_figure(table, "t").data)


def test_pairwise_pvalues_against_logrank_test_with_bh():
    info = cohort()
    table = table_of(info, info["Arm"])
    frame = sc.pairwise_pvalues(table)
    arrays = sc.curves(table)
    assert list(zip(frame["Group A"], frame["Group B"])) == [("A", "B"), ("A", "C"), ("B", "C")]
    for row in frame.itertuples():
        (da, ea), (db, eb) = arrays[row[1]], arrays[row[2]]
        expected = logrank_test(da, db, event_observed_A=ea, event_observed_B=eb).p_value
        assert row.p == pytest.approx(expected, rel=1e-12)
    np.testing.assert_allclose(frame["p (BH)"], false_discovery_control(frame["p"]))
    assert frame["p"].min() < 0.01  # arm A dies three times as fast

    two = table_of(info, info["Arm"].where(info["Arm"] != "C"))
    assert list(sc.pairwise_pvalues(two).columns) == ["Group A", "Group B", "p"]  # nothing to adjust


@pytest.fixture
def default_limits():
    """The server's limits as shipped; a test that changes them leaves them so."""
    limits.reset()
    yield limits
    limits.reset()


def test_only_categorical_phenotypes_of_2_to_12_groups_are_offered_and_others_refused(default_limits):
    info = cohort(n=60)
    info["Sample_ID"] = info.index.to_numpy()
    info["Age(Numerical)"] = np.linspace(40, 80, 60)
    info["Site"] = [f"site {i % 13}" for i in range(60)]    # 13 groups
    info["Centre"] = [f"centre {i % 12}" for i in range(60)]  # 12 groups
    info["Cohort"] = "one"
    assert sc.grouping_phenotypes(info) == ["Arm", STATUS, "Centre"]
    controls = sc.survival_controls(info, ["Protein"], default_phenotype="Sample_ID")
    picker = by_id(controls, "km-phenotype-dropdown")
    assert [o["value"] for o in picker.options] == ["Arm", STATUS, "Centre"] and picker.value == "Arm"
    # the samples may still be chosen by any categorical phenotype, their ids included
    assert "Sample_ID" in [o["value"] for o in by_id(controls, "km-sample-phenotype-dropdown").options]
    for phenotype, reason in [("Sample_ID", "each sample has a value of its own"), ("Age(Numerical)", "holds numbers"),
                              ("Site", "13 groups; from 2 to 12"), ("Cohort", "1 group;"),
                              ("Smoker", "no such phenotype"), (["Arm"], "no such phenotype")]:
        with pytest.raises(ValueError, match=re.escape(f"the phenotype {phenotype!r} cannot group the samples: ") + ".*" + re.escape(reason)):
            sc.grouping(None, info, info.index, sc.BY_PHENOTYPE, phenotype, None, None, None)
    # the bound is a setting of the server
    limits.configure({"survival_groups": 13})
    assert "Site" in sc.grouping_phenotypes(info)


def test_pairwise_tests_beyond_the_pairs_limit_are_refused_before_any_runs(default_limits, monkeypatch):
    info = cohort(n=60)
    limits.configure({"survival_groups": 13})
    info["Site"] = [f"site {i % 13}" for i in range(60)]
    table = table_of(info, info["Site"])
    assert len(table) == 13
    monkeypatch.setattr(sc.survival, "cal_kmf_pvals", lambda table: pytest.fail("the tests ran"))
    with pytest.raises(ValueError, match="13 groups make 78 pairwise log-rank tests; at most 66 on this server"):
        sc.pairwise_pvalues(table)
    monkeypatch.undo()
    limits.configure({"pairs": 2})
    with pytest.raises(ValueError, match="3 groups make 3 pairwise log-rank tests; at most 2"):
        sc.pairwise_pvalues(table_of(info, info["Arm"]))
    assert len(sc.pairwise_pvalues(table_of(info, info["Arm"].where(info["Arm"] != "C")))) == 1


def test_bh_adjustment_order_ties_and_cap():
    p = np.array([0.04, 0.01, 0.03, 0.04, 0.9])
    np.testing.assert_allclose(sc.bh_adjust(p), false_discovery_control(p))
    assert sc.bh_adjust(np.array([0.9, 0.95]))[1] <= 1.0
    assert sc.bh_adjust(np.array([])).size == 0




def post(app, output, values: dict):
    """Runs the callback with output `output` on the given input values, as the page does."""
    key = next(k for k in app.callback_map if output in k)
    return run_registered(app, key, values)


def test_card_served_below_association_card_never_in_build_layout(fresh_paths, layout_state):
    alone = ids_in(layout_state.build_layout(fresh_paths))
    assert "km-card" not in alone and "assoc-surv-fig" not in alone
    app = front.create_app(fresh_paths)
    top = [getattr(c, "id", None) for c in app.layout.children]
    assert top.index("km-card") == top.index("association-card") + 2
    served = ids_in(app.layout)
    assert served.count("assoc-surv-fig") == 1
    picker = app.layout["km-status-dropdown"]
    assert picker.value == STATUS and {"label": "Age(Numerical)", "value": "Age(Numerical)"} in picker.options
    assert app.layout["km-last-contact-dropdown"].value == LAST and app.layout["km-death-dropdown"].value == DEATH

    choices = {"km-grouping-radio": "Phenotype", "km-phenotype-dropdown": "Pathological_Status",
               "km-data-source-dropdown": "Protein", "km-split-dropdown": "Median", "km-sample-groups-dropdown": [],
               "km-status-dropdown": STATUS, "km-last-contact-dropdown": LAST, "km-death-dropdown": DEATH,
               "km-options-checklist": []}
    drawn = post(app, "assoc-surv-fig", choices)
    names = [t.get("name") for t in drawn["assoc-surv-fig"]["figure"]["data"] if t.get("showlegend") is not False]
    assert sorted(names) == ["Normal", "Tumor"]
    assert "km-pvalue-table" in json.dumps(drawn["loading-output-km"]["children"])

    feature = tables.read_expr_path(MyPath(fresh_paths).get_preprocess_path("Protein")).columns[3]
    split = post(app, "assoc-surv-fig", {**choices, "km-grouping-radio": "Feature", "km-feature-dropdown": feature})
    names = [t.get("name") for t in split["assoc-surv-fig"]["figure"]["data"] if t.get("showlegend") is not False]
    assert names == ["Low", "High"]
    # a source name that is not this study's never reaches a file
    forged = post(app, "assoc-surv-fig", {**choices, "km-grouping-radio": "Feature", "km-feature-dropdown": feature,
                                          "km-data-source-dropdown": "../../etc"})
    assert "unknown data source" in forged["assoc-surv-fig"]["figure"]["layout"]["title"]["text"]
    assert "Not run" in json.dumps(forged["loading-output-km"])
    # the card offers no phenotype that holds numbers or names each sample, and refuses one sent anyway
    offered = [o["value"] for o in app.layout["km-phenotype-dropdown"].options]
    assert "Pathological_Status" in offered and "Sample_ID" not in offered and "Age(Numerical)" not in offered
    for phenotype in ("Sample_ID", "Age(Numerical)"):
        refused = post(app, "assoc-surv-fig", {**choices, "km-phenotype-dropdown": phenotype})
        assert f"the phenotype {phenotype!r} cannot group" in json.dumps(refused["loading-output-km"])
        assert phenotype in refused["assoc-surv-fig"]["figure"]["layout"]["title"]["text"]
    # a list sent in a column's place is refused naming it, not an internal error
    listed = post(app, "assoc-surv-fig", {**choices, "km-status-dropdown": [STATUS]})
    assert "the sample table has no column [" in json.dumps(listed["loading-output-km"])
    assert post(app, "km-sample-groups-dropdown.options", {"km-sample-phenotype-dropdown": ["Sample_ID"]}) \
        == {"km-sample-groups-dropdown": {"options": [], "value": []}}
    # a study without the survival columns: none is preset (no guess at the day counts), the card asks for them
    plain = pd.DataFrame({"Pathological_Status(Categorical)": ["Tumor", "Normal"], "Age(Numerical)": [50.0, 60.0]},
                         index=["01001", "01002"])
    controls = sc.survival_controls(plain, ["Protein"])
    for picker in ("km-status-dropdown", "km-last-contact-dropdown", "km-death-dropdown"):
        assert by_id(controls, picker).value is None and by_id(controls, picker).options
    unset = post(app, "assoc-surv-fig", {**choices, "km-last-contact-dropdown": None})
    assert unset["loading-output-km"]["children"] == sc.SURVIVAL_COLUMNS_MISSING
    # a failed feature search is told in the card's text, the figure left as it is
    searched = post(app, "km-feature-dropdown.options", {"km-data-source-dropdown": "../../etc"})
    assert "assoc-surv-fig" not in searched and "unknown data source" in json.dumps(searched["loading-output-km"])
    searched = post(app, "km-feature-dropdown.options", {"km-data-source-dropdown": "Protein",
                                                         "km-feature-dropdown": {"$ne": 1}})
    assert "the feature search must be text" in json.dumps(searched["loading-output-km"])
