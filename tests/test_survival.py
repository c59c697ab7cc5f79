"""Survival tables, their text lists, Kaplan-Meier figures and log-rank p-values."""

import math

import matplotlib.pyplot as plt
import numpy as np
import pandas as pd
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from lifelines.statistics import logrank_test
from matplotlib.collections import PolyCollection

from veltrana.plugins import survival

STATUS = "Vital Status (at time of last contact)"
D1 = "Days between date collection and last contact"
D2 = "Days between date collection and death"
COLUMNS = ["group", "duration", "event", "samples"]


def clinical(rows):
    """A clinical table from (status, d1, d2, sample id, group) tuples."""
    return pd.DataFrame(rows, columns=[STATUS, D1, D2, "Sample_ID", "Group"])


def row_wise(data, status_col, group_col, id_col="Sample_ID", status1="Living", status2="Deceased"):
    """The survival table read row by row with pandas, as an independent oracle; samples
    without a group form one group."""
    durations, events, samples = {}, {}, {}
    no_group = []
    for _, row in data.iterrows():
        if pd.isnull(row[status_col]):
            continue
        status, group = row[status_col], row[group_col]
        if status == status1:
            days, event = row[D1], False
        elif status == status2:
            days, event = row[D2], True
        else:
            continue
        if pd.isnull(days) or int(days) == 0:
            continue
        if pd.isnull(group):
            no_group = no_group or [group]
            group = no_group[0]
        durations.setdefault(group, []).append("{0:.4f}".format(int(days) / 30))
        events.setdefault(group, []).append(str(event))
        samples.setdefault(group, []).append(row[id_col])
    return pd.DataFrame([[g, ",".join(durations[g]), ",".join(events[g]), ",".join(samples[g])]
                         for g in durations], columns=COLUMNS)


@pytest.fixture(autouse=True)
def close_figures():
    yield
    plt.close("all")


# ---- text lists -------------------------------------------------------------

def test_list2str_modes():
    assert survival.list2str([0.5, 2], mode="num") == "0.5000,2.0000"
    assert survival.list2str([True, 0, "x", []], mode="bool") == "True,False,True,False"
    assert survival.list2str(["a", "b"]) == "a,b"
    assert survival.list2str(["a", "b"], mode="other", sep=";") == "a;b"
    assert survival.list2str([], mode="num") == ""
    with pytest.raises(TypeError):
        survival.list2str(["a", 1])


@settings(max_examples=300, deadline=None)
@given(st.lists(st.one_of(st.floats(allow_nan=True, allow_infinity=True),
                          st.integers(-10**15, 10**15),
                          st.floats(-1e6, 1e6).map(np.float64))))
def test_list2str_num_matches_python_formatting(values):
    assert survival.list2str(values, mode="num", sep="|") == "|".join("{0:.4f}".format(v) for v in values)


def test_str2arr():
    np.testing.assert_array_equal(survival.str2arr("1.5000,2.0000"), np.array([1.5, 2.0]))
    flags = survival.str2arr("True,False,True", dtype=bool)
    assert flags.dtype == bool and flags.tolist() == [True, False, True]
    # numpy would read every non-empty string as True; its boolean dtype counts as bool
    assert survival.str2arr("True,False", dtype=np.bool_).tolist() == [True, False]
    # the separator is a pattern
    np.testing.assert_array_equal(survival.str2arr("1; 2 ;3", sep=r"\s*;\s*", dtype=int), [1, 2, 3])
    with pytest.raises(ValueError):
        survival.str2arr("1.5,abc")


def test_info_prints_its_line(capsys):
    assert survival.info() is None
    assert capsys.readouterr().out == "Survival analysis using lifelines pacakge\n"


# ---- the survival table -----------------------------------------------------

def test_durations_events_and_skipped_rows():
    data = clinical([
        ("Living", 45, np.nan, "s1", "A"),
        ("Deceased", 12, 30.9, "s2", "B"),
        ("Living", 0, np.nan, "s3", "A"),          # no whole day
        ("Living", np.nan, np.nan, "s4", "A"),     # no day value
        (np.nan, 90, 90, "s5", "A"),               # no status
        ("", 90, 90, "s6", "A"),                   # unknown status
        ("Deceased", 400, np.nan, "s7", "C"),      # deceased without a death day: C vanishes
        ("Living", 60.9, 5, "s8", "B"),
        ("Deceased", 15, 0.7, "s9", "A"),          # under a day
    ])
    before = data.copy()
    table = survival.get_durations_and_events(data, None, "Group")
    assert table.columns.tolist() == COLUMNS
    assert table.values.tolist() == [
        ["A", "1.5000", "False", "s1"],
        ["B", "1.0000,2.0000", "True,False", "s2,s8"],
    ]
    pd.testing.assert_frame_equal(data, before)


def test_custom_columns_and_statuses():
    data = pd.DataFrame({"state": ["alive", "dead", "alive"], "last": [60, 1, 90], "death": [0, 300, 0],
                         "id": ["x", "y", "z"], "arm": [2, 1, 2]})
    table = survival.get_durations_and_events(data, "state", "arm", id_col="id", d1_col="last", d2_col="death",
                                              status1="alive", status2="dead")
    assert table.values.tolist() == [[2, "2.0000,3.0000", "False,False", "x,z"], [1, "10.0000", "True", "y"]]
    # nullable and categorical columns read as their rows would
    data = data.astype({"last": "Int64", "arm": "category"})
    data.loc[2, "last"] = pd.NA
    table = survival.get_durations_and_events(data, "state", "arm", id_col="id", d1_col="last", d2_col="death",
                                              status1="alive", status2="dead")
    assert table.values.tolist() == [[2, "2.0000", "False", "x"], [1, "10.0000", "True", "y"]]


@settings(max_examples=150, deadline=None)
@given(st.lists(st.tuples(
    st.sampled_from(["Living", "Deceased", "", None, float("nan")]),
    st.one_of(st.none(), st.floats(-1e4, 1e4), st.integers(-10**4, 10**4), st.just(2**60 + 7)),
    st.one_of(st.none(), st.floats(-1e4, 1e4), st.integers(-10**4, 10**4)),
    st.text("ab", min_size=1, max_size=3),
    st.sampled_from(["G1", "G2", 3, None]),
), max_size=25))
def test_table_matches_row_wise_reading(rows):
    data = clinical(rows)
    pd.testing.assert_frame_equal(survival.get_durations_and_events(data, None, "Group"),
                                  row_wise(data, STATUS, "Group"))


def test_missing_group_values_form_one_group():
    # NaN != NaN: keyed by value, every NaN sample would be a group of its own
    data = clinical([("Living", 30, None, "a", np.nan), ("Living", 60, None, "b", "G"),
                     ("Deceased", 1, 90, "c", np.nan), ("Living", 90, None, "d", None)])
    table = survival.get_durations_and_events(data, None, "Group")
    assert len(table) == 2
    assert math.isnan(table["group"][0])
    assert table.iloc[0, 1:].tolist() == ["1.0000,3.0000,3.0000", "False,True,False", "a,c,d"]


def test_empty_and_erroneous_tables():
    empty = survival.get_durations_and_events(pd.DataFrame(), None, "Group")
    assert empty.empty and empty.columns.tolist() == COLUMNS
    # nothing has a status: the other columns are never needed
    only_status = pd.DataFrame({STATUS: [None, np.nan]})
    assert survival.get_durations_and_events(only_status, None, "Group").empty

    with pytest.raises(KeyError, match="Vital Status"):
        survival.get_durations_and_events(pd.DataFrame({"x": [1]}), None, "Group")
    with pytest.raises(KeyError, match="Arm"):
        survival.get_durations_and_events(clinical([("Living", 30, None, "a", "A")]), None, "Arm")
    with pytest.raises(ValueError, match="forty"):
        survival.get_durations_and_events(clinical([("Living", "forty", None, "a", "A")]), None, "Group")
    with pytest.raises(OverflowError):
        survival.get_durations_and_events(clinical([("Living", float("inf"), None, "a", "A")]), None, "Group")
    with pytest.raises(TypeError, match="sample id 7 of group 'A'"):
        survival.get_durations_and_events(clinical([("Living", 30, None, 7, "A")]), None, "Group")
    with pytest.raises(TypeError, match="DataFrame"):
        survival.get_durations_and_events({STATUS: ["Living"]}, None, "Group")
    with pytest.raises(ValueError, match="single column"):
        survival.get_durations_and_events(clinical([("Living", 30, None, "a", "A")]), None, ["Group", D1])


def test_demo_clinical_table(demo_paths):
    info = pd.read_csv(demo_paths["info"], sep="\t", index_col=0)
    table = survival.get_durations_and_events(info, None, "Pathological_Status")
    assert table["group"].tolist() == list(dict.fromkeys(info["Pathological_Status"]))
    for _, row in table.iterrows():
        ids = row["samples"].split(",")
        sub = info.set_index("Sample_ID").loc[ids]
        dead = sub[STATUS] == "Deceased"
        days = np.where(dead, sub[D2], sub[D1]).astype(int)
        assert row["duration"] == ",".join(f"{d:.4f}" for d in days / 30)
        np.testing.assert_array_equal(survival.str2arr(row["event"], dtype=bool), dead.to_numpy())
    kept = info[STATUS].notna() & (np.where(info[STATUS] == "Deceased", info[D2], info[D1]) >= 1)
    assert sum(len(s.split(",")) for s in table["samples"]) == kept.sum()


# ---- Kaplan-Meier and log-rank ----------------------------------------------

def three_groups():
    return pd.DataFrame([
        ["G1", "1.0000,2.0000,3.5000,4.0000,6.0000", "True,True,False,True,False", "a,b,c,d,e"],
        [None, "9.0000", "True", "f"],
        ["G2", "2.0000,5.0000,7.0000,8.5000", "False,True,True,False", "g,h,i,j"],
        ["G3", "0.5000,1.5000,2.5000", "True,True,True", "k,l,m"],
    ], columns=COLUMNS)


def test_pairwise_pvalues_match_lifelines():
    data = three_groups()
    result = survival.cal_kmf_pvals(data)
    assert list(result["p_values"]) == ["G1,G2", "G1,G3", "G2,G3"]
    arrays = {r.group: (np.array(r.duration.split(","), dtype=float), np.array(r.event.split(",")) == "True")
              for r in data.itertuples() if r.group is not None}
    for key, p in result["p_values"].items():
        a, b = key.split(",")
        expected = logrank_test(arrays[a][0], arrays[b][0], event_observed_A=arrays[a][1],
                                event_observed_B=arrays[b][1]).p_value
        assert p == expected
    assert result["p_values_str"] == "\n".join("{0}:{1:.2e}".format(k, p) for k, p in result["p_values"].items())
    assert result["p_values_str"].splitlines()[0].startswith("G1,G2:")


def test_kmf_plot_draws_one_curve_per_group(tmp_path):
    data = three_groups()
    result = survival.kmf_plot(data, xlabel="Months")
    ax = result["ax"]
    assert result["fig"] is ax.figure
    assert [line.get_label() for line in ax.lines] == ["G1", "G2", "G3"]
    assert not any(isinstance(c, PolyCollection) for c in ax.collections)  # no confidence bands by default
    assert ax.get_xlabel() == "Months"
    assert result["p_values"] == survival.cal_kmf_pvals(data)["p_values"]
    box = [a for a in ax.artists if type(a).__name__ == "AnchoredText"]
    assert len(box) == 1 and box[0].txt.get_text() == result["p_values_str"]
    png = tmp_path / "km.png"
    result["fig"].savefig(png)
    assert png.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_kmf_plot_one_group_and_bands():
    data = pd.DataFrame([["only", "1.0000,2.0000", "True,False", "a,b"]], columns=COLUMNS)
    result = survival.kmf_plot(data, ci_show=True)
    assert result["p_values"] == {} and result["p_values_str"] == ""
    assert len(result["ax"].lines) == 1
    assert any(isinstance(c, PolyCollection) for c in result["ax"].collections)


def test_kaplan_meier_on_demo_table(demo_paths):
    info = pd.read_csv(demo_paths["info"], sep="\t", index_col=0)
    table = survival.get_durations_and_events(info, None, "Pathological_Status")
    result = survival.kmf_plot(table)
    assert len(result["ax"].lines) == 2
    # the demo's tumours carry a higher hazard
    assert list(result["p_values"]) == ["Tumor,Normal"] and result["p_values"]["Tumor,Normal"] < 0.05


def test_kaplan_meier_bad_tables():
    assert survival.cal_kmf_pvals(pd.DataFrame(columns=COLUMNS))["p_values"] == {}
    with pytest.raises(KeyError, match="group"):
        survival.cal_kmf_pvals(pd.DataFrame({"x": [1]}))
    with pytest.raises(KeyError, match="event"):
        survival.kmf_plot(pd.DataFrame({"group": ["A"], "duration": ["1.0"]}))
    with pytest.raises(TypeError, match="DataFrame"):
        survival.kmf_plot(None)
    assert plt.get_fignums() == []  # a failed plot leaves no figure open
    with pytest.raises(ValueError):
        survival.cal_kmf_pvals(pd.DataFrame([["A", "1.0,x", "True,True", "a,b"]], columns=COLUMNS))
