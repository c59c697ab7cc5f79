"""The differential-expression card: its tree, its callbacks and the host's test statistics."""

import os
import shutil

import numpy as np
import pandas as pd
import pytest
from scipy import stats

from support import by_id, by_name, pair_patients, write_preprocessed, write_summary
from veltrana.plugins import callbacks, layout, vistro

METHODS = ["T-test(Unpaired)", "T-test(Paired)", "Wilcoxon(Unpaired)", "Wilcoxon(Paired)"]


def run_kwargs(paths, method="Wilcoxon(Unpaired)", sources=("Protein",), **over):
    kw = {"diff-data-source-dropdown": list(sources), "preprocess-source-dropdown": [], "run-diff-button": 1,
          "diff-exp-analysis-methods-dropdown": method, "target-groups-dropdown": "Tumor",
          "refer-groups-dropdown": "Normal", "phenotype-dropdown": "Pathological_Status",
          "diff-fdr-input": 0.01, "diff-log2fc-input": 1.5, "Paths": paths}
    kw.update(over)
    return kw


@pytest.fixture
def ready_paths(fresh_paths):
    write_preprocessed(fresh_paths)
    return fresh_paths


# ---- the card ---------------------------------------------------------------

def test_control_card_tree(monkeypatch):
    monkeypatch.setattr(layout, "phenotypes", ["Age(Numerical)", "Pathological_Status"])
    card = layout.build_diff_control_card()
    assert (card.id, card.className) == ("diff-exp-analysis-control-card", "four columns")
    assert [type(k).__name__ for k in card.children] == [
        "H5", "P", "Dropdown", "P", "Dropdown", "P", "Dropdown", "Div", "Br", "P", "Dropdown", "P", "Dropdown", "Br",
        "Div"]
    sources = card.children[2]
    assert (sources.id, sources.options, sources.value, sources.multi) == ("diff-data-source-dropdown", [], "", True)
    assert card.children[4].value == "Pathological_Status"
    methods = card.children[6]
    assert [o["value"] for o in methods.options] == METHODS and methods.value == "Wilcoxon(Unpaired)"
    fdr, fc = by_id(card, "diff-fdr-input"), by_id(card, "diff-log2fc-input")
    assert (fdr.value, fdr.type, fdr.placeholder) == (0.01, "number", "FDR threshold")
    assert (fc.value, fc.placeholder, fc.style) == (1.5, "Fold change threshold", {"width": "50%"})
    button = by_id(card, "run-diff-button")
    assert (button.children, button.n_clicks) == ("Refresh diff", 0)
    assert by_id(card, "loading-diff-calculation").type == "default"
    assert by_id(card, "loading-output-diff-calculation") is not None

    monkeypatch.setattr(layout, "phenotypes", ["Age(Numerical)", "Gender"])
    assert layout.build_diff_control_card().children[4].value == "Age(Numerical)"
    monkeypatch.setattr(layout, "phenotypes", [])
    picker = layout.build_diff_control_card().children[4]
    assert (picker.options, picker.value) == ([], "")


def test_figure_cards_and_row():
    row = layout.build_diff_card()
    assert (row.id, row.className) == ("diff-exp-analysis-component", "row")
    assert [k.id for k in row.children] == ["diff-exp-analysis-control-card", "diff-exp-analysis-volcano",
                                            "diff-exp-analysis-box"]
    for card, picker, graph, topic in ((row.children[1], "diff-fig-source-dropdown", "diff-volcano-fig", "diff-volcano"),
                                       (row.children[2], "diff-gene-dropdown", "diff-box-fig", "diff-box")):
        assert card.className == "four columns"
        assert card.children[1].id == picker and card.children[1].value == ""
        assert card.children[4].id == f"loading-{topic}" and card.children[4].type == "circle"
        assert card.children[5].style == {"border": "2px black solid"}
        fig = card.children[5].children[0].figure
        assert card.children[5].children[0].id == graph
        assert fig.layout.height is None and fig.layout.paper_bgcolor == "LightSteelBlue"


# ---- the callbacks, with the host replaced ---------------------------------------

def test_pickers_mirror_their_sources(fresh_paths):
    cbs = by_name(vistro.build_app(fresh_paths))
    options = [{"label": "Protein", "value": "Protein"}, {"label": "Glycoform", "value": "Glycoform"}]
    assert cbs["update_diff_data_source"](options) == (options, "Protein")
    assert cbs["update_diff_phenotypes"]([]) == ([], None)


@pytest.mark.parametrize("column, target, reference", [
    (["Tumor", "NA", "Normal", "Tumor"], "Tumor", "Normal"),
    (["NA", "Tumor", "NA"], "Tumor", "NA"),
    (["b", "a", "b"], "b", "a"),
    ([np.nan, "Tumor", "Normal"], "Tumor", "Normal"),
    ([np.nan, "Tumor", np.nan], None, None),  # a missing cell is no group: one group is nothing to compare
])
def test_target_groups(fresh_paths, monkeypatch, column, target, reference):
    info = pd.DataFrame({"Status": column, "Single": ["x"] * len(column)})
    monkeypatch.setattr(callbacks, "read_info_file", lambda path: info)
    update = by_name(vistro.build_app(fresh_paths))["update_target_groups"]
    options, t, options2, r = update("Status")
    assert (t, r) == (target, reference) and options == options2
    groups = {v for v in column if isinstance(v, str)}
    assert {o["value"] for o in options} == (groups if len(groups) > 1 else set())
    empty = ([], None, [], None)
    assert update("Single") == empty and update("Unknown") == empty and update(None) == empty


def test_run_hands_the_named_arguments_to_the_host(fresh_paths, monkeypatch):
    seen = []
    monkeypatch.setattr(callbacks, "update_diff_inter", lambda kw: seen.append(kw) or "summary.txt")
    update = by_name(vistro.build_app(fresh_paths))["update_diff_inter"]
    os.makedirs(fresh_paths["out_dir"], exist_ok=True)
    args = (["Protein"], [], 0, "T-test(Paired)", "Tumor", "Normal", "Pathological_Status", 0.05, 2, fresh_paths)
    assert update(*args) == ("summary.txt", "")
    assert seen == [dict(zip(run_kwargs(fresh_paths), args))]
    shutil.rmtree(fresh_paths["out_dir"])
    assert update(*args) == ("", "") and len(seen) == 1


def test_volcano_reads_the_first_row_of_its_source(fresh_paths, monkeypatch):
    drawn = []
    monkeypatch.setattr(vistro, "volcano", lambda df, **kw: drawn.append((df, kw)) or "volcano")
    monkeypatch.setattr(callbacks, "prefer_webgl", lambda fig: fig)
    cbs = by_name(vistro.build_app(fresh_paths))
    table = pd.DataFrame({"Log2FC(median)": [1.0], "-Log10(FDR)": [3.0], "Significance": ["S-U"]}, index=["F1"])
    first = os.path.join(fresh_paths["out_dir"], "first.txt")
    table.to_csv(first, sep="\t")
    summary = write_summary(fresh_paths, [["Protein", first], ["Protein", "/elsewhere.txt"]])

    assert cbs["update_diff_figure_source"](1, [], summary, fresh_paths) == (
        [{"label": "Protein", "value": "Protein"}] * 2, "Protein")
    assert cbs["update_diff_volcano"](1, summary, "Protein", fresh_paths) == ("volcano", "")
    assert drawn[0][1] == {"figure_height": 400, "title": "Protein"}  # the card's cut-offs are not passed
    assert list(drawn[0][0].index) == ["F1"]
    placeholder, loading = cbs["update_diff_volcano"](1, summary, "Glycoform", fresh_paths)
    assert placeholder.layout.height == 400 and loading == "" and len(drawn) == 1


@pytest.mark.parametrize("stored", [None, "", "/no/such/summary.txt"])
def test_no_stored_result_leaves_empty_pickers_and_placeholders(fresh_paths, stored):
    cbs = by_name(vistro.build_app(fresh_paths))
    assert cbs["update_diff_figure_source"](0, [], stored, fresh_paths) == ([], None)
    assert cbs["update_diff_figure_feature"](0, stored, "Protein", fresh_paths) == ([], None)
    fig, loading = cbs["update_diff_volcano"](0, stored, "", fresh_paths)
    assert fig.layout.paper_bgcolor == "LightSteelBlue" and fig.layout.height == 400 and loading == ""
    fig, _ = cbs["update_diff_box"](0, stored, "", None, fresh_paths, "", "", "Pathological_Status", None)
    assert fig.layout.height == 400


def test_feature_picker_and_box_plot_selection(ready_paths, monkeypatch):
    boxes = []
    monkeypatch.setattr(vistro, "boxplot", lambda *a, **kw: boxes.append((a, kw)) or "box")
    cbs = by_name(vistro.build_app(ready_paths))
    summary = write_summary(ready_paths, [["Protein", "x"]])
    options, value = cbs["update_diff_figure_feature"](1, summary, "Protein", ready_paths)
    matrix = callbacks.read_expr_path(callbacks.MyPath(ready_paths).get_preprocess_path("Protein"))
    assert value == matrix.columns[0] and [o["value"] for o in options] == [str(c) for c in matrix.columns]

    info = pd.read_csv(ready_paths["info"], sep="\t", index_col=0)
    info["Code"] = (info["Pathological_Status"] == "Tumor").astype(int)  # a phenotype held as numbers
    info.to_csv(ready_paths["info"], sep="\t")
    assert cbs["update_diff_box"](1, summary, "Protein", value, ready_paths, "1", "0", "Code", None) == ("box", "")
    (frame, gene, a, b, name_a, name_b), kw = boxes[0]
    assert gene == value and (name_a, name_b) == ("1", "0") and kw == {"title": value, "figure_height": 400}
    assert a == list(info.index[info["Code"] == 1]) and b == list(info.index[info["Code"] == 0])
    assert frame.shape == matrix.T.shape


# ---- the host's statistics --------------------------------------------------------

SCIPY = {
    "T-test(Unpaired)": lambda x, y: stats.ttest_ind(x, y, equal_var=False).pvalue,
    "Wilcoxon(Unpaired)": lambda x, y: stats.mannwhitneyu(x, y).pvalue,
    "T-test(Paired)": lambda x, y: stats.ttest_rel(x, y).pvalue,
    "Wilcoxon(Paired)": lambda x, y: stats.wilcoxon(x, y).pvalue,
}


@pytest.mark.parametrize("method", METHODS)
def test_statistics_match_scipy_per_feature(ready_paths, method):
    pairs = pair_patients(ready_paths)
    my_path = callbacks.MyPath(ready_paths)
    summary_path = callbacks.update_diff_inter(run_kwargs(ready_paths, method, sources=("Protein", "Glycoform")))
    summary = callbacks.read_result_path(summary_path)
    assert list(summary["Source"]) == ["Protein", "Glycoform"] and set(summary["Method"]) == {method}
    table = callbacks.read_expr_path(summary["DiffPath"].iloc[0])
    matrix = callbacks.read_expr_path(my_path.get_preprocess_path("Protein"))
    info = callbacks.read_info_file(my_path.get_meta_path())
    if "Paired" in method:
        a, b = [t for t, _ in pairs], [n for _, n in pairs]
        assert summary["TargetSamples"].iloc[0] == len(pairs) == summary["ReferenceSamples"].iloc[0]
    else:
        a = list(info.index[info["Pathological_Status"] == "Tumor"])
        b = list(info.index[info["Pathological_Status"] == "Normal"])
    assert list(table["Feature"]) == [str(c) for c in matrix.columns]
    for feature in matrix.columns[::23]:
        x, y = matrix.loc[a, feature].to_numpy(), matrix.loc[b, feature].to_numpy()
        if "Paired" in method:
            keep = ~(np.isnan(x) | np.isnan(y))
            x, y = x[keep], y[keep]
        else:
            x, y = x[~np.isnan(x)], y[~np.isnan(y)]
        row = table.loc[feature]
        assert row["P-value"] == pytest.approx(SCIPY[method](x, y), rel=1e-9, abs=1e-15), feature
        assert row["Log2FC(median)"] == pytest.approx(np.median(matrix.loc[a, feature].dropna())
                                                      - np.median(matrix.loc[b, feature].dropna()))

    # Benjamini-Hochberg: the adjusted values are monotone in p and never below it.
    tested = table.dropna(subset=["P-value"]).sort_values("P-value")
    assert (np.diff(tested["FDR"].to_numpy()) >= -1e-15).all() and (tested["FDR"] >= tested["P-value"]).all()
    n = len(tested)
    assert tested["FDR"].iloc[-1] == pytest.approx(tested["P-value"].iloc[-1])
    assert tested["FDR"].iloc[0] == pytest.approx(min(1, (tested["P-value"] * n / np.arange(1, n + 1)).min()))


@pytest.mark.parametrize("method", METHODS)
def test_tables_over_blocks_of_features_equal_the_whole_groups(monkeypatch, method):
    """The described tests run over blocks of features: every column equals, to the bit, the test
    of the whole groups (a frame in either memory order; features missing everywhere, constant,
    tied; groups given out of the matrix's order)."""
    from veltrana.analyses import differential
    from veltrana.analyses import group_tests as tests

    rng = np.random.default_rng(11)
    samples = [f"{i:05d}" for i in range(1005, 1045)]
    values = np.round(rng.normal(size=(40, 53)), 1)
    values[rng.random(values.shape) < 0.2] = np.nan
    values[:, 0], values[:, 1], values[:5, 2] = np.nan, 2.0, np.nan
    a, b = samples[:40:2][::-1], samples[1:40:2]
    test = differential.METHODS[method][0]
    for frame in (pd.DataFrame(values, index=samples), pd.DataFrame(np.asfortranarray(values), index=samples)):
        frame.columns = [f"F{j}" for j in range(53)]
        x, y = frame.loc[a].to_numpy(), frame.loc[b].to_numpy()
        statistic, p = test(np.asfortranarray(x), np.asfortranarray(y))
        monkeypatch.setattr(differential, "BLOCK_VALUES", 7 * 40)  # blocks of 7 features
        table = differential.differential_table(frame, a, b, method, 0.05, 1.5)
        assert frame.equals(pd.DataFrame(values, index=samples, columns=frame.columns))  # left as it was
        for column, expected in (("Statistic", statistic), ("P-value", p),
                                 ("TargetMedian", tests.nanmedian_columns(x)),
                                 ("ReferenceCount", np.sum(~np.isnan(y), axis=0))):
            np.testing.assert_array_equal(table[column].to_numpy(), expected, err_msg=column)
    with pytest.raises(KeyError, match="not in the matrix"):
        differential.differential_table(frame, a + ["99999"], b, method, 0.05, 1.5)


def test_significance_codes_follow_both_thresholds(ready_paths):
    path = callbacks.update_diff_inter(run_kwargs(ready_paths, "T-test(Unpaired)", **{"diff-fdr-input": 0.05,
                                                                                       "diff-log2fc-input": 2}))
    table = callbacks.read_expr_path(callbacks.read_result_path(path)["DiffPath"].iloc[0])
    fc, fdr = table["Log2FC(median)"], table["FDR"]
    expected = np.where(fdr < 0.05, np.where(fc > 0, "U", "D"), "")
    strong = (fdr < 0.05) & (fc.abs() >= 1)
    expected = np.where(strong, np.where(fc > 0, "S-U", "S-D"), expected)
    assert list(table["Significance"].fillna("")) == list(expected)
    assert {"S-U", "S-D"} <= set(table["Significance"].dropna())
    assert np.allclose(table["-Log10(FDR)"], -np.log10(fdr.clip(lower=np.finfo(float).tiny)), equal_nan=True)


def test_run_rejects_bad_input_without_touching_it(ready_paths):
    # Without a patient who gave a sample in both groups there is nothing to pair.
    info = pd.read_csv(ready_paths["info"], sep="\t", index_col=0)
    info["Patient_ID"] = [f"X{i}" for i in range(len(info))]
    info.to_csv(ready_paths["info"], sep="\t")
    kw = run_kwargs(ready_paths, "T-test(Paired)")
    before = {k: (list(v) if isinstance(v, list) else v) for k, v in kw.items()}
    with pytest.raises(ValueError, match="Patient_ID"):
        callbacks.update_diff_inter(kw)
    assert kw == before
    cases = [({"diff-exp-analysis-methods-dropdown": "ANOVA"}, "unknown test"),
             ({"diff-fdr-input": 0}, "FDR threshold"), ({"diff-log2fc-input": None}, "fold-change"),
             ({"refer-groups-dropdown": "Tumor"}, "same"), ({"refer-groups-dropdown": "Martian"}, "0 usable"),
             ({"diff-data-source-dropdown": ["../../etc"]}, "unknown data source"),
             # A value of another type sent in a source's place is refused naming it, not an internal error.
             ({"diff-data-source-dropdown": [{"name": "Protein"}]},
              r"unknown data source \{'name': 'Protein'\}; the sources are 'Protein'"),
             ({"Paths": dict(ready_paths, info="/etc/passwd")}, "configuration")]
    for change, message in cases:
        with pytest.raises(ValueError, match=message):
            callbacks.update_diff_inter(run_kwargs(ready_paths, "T-test(Unpaired)", **change))
    # Pickers not yet filled at page load: nothing to run, nothing written.
    assert callbacks.update_diff_inter(run_kwargs(ready_paths, **{"target-groups-dropdown": ""})) == ""
    assert callbacks.update_diff_inter(run_kwargs(ready_paths, sources=())) == ""
    diff_dir = callbacks.MyPath(ready_paths).get_diff_dir()
    assert not os.path.exists(diff_dir) or os.listdir(diff_dir) == []


def test_sparse_features_get_no_p_value(ready_paths):
    my_path = callbacks.MyPath(ready_paths)
    matrix = callbacks.read_expr_path(my_path.get_preprocess_path("Protein")).copy()  # the cache's is read-only
    info = callbacks.read_info_file(my_path.get_meta_path())
    normal = info.index[info["Pathological_Status"] == "Normal"]
    matrix.loc[normal[1:], matrix.columns[0]] = np.nan  # one reference value left
    callbacks.save_result_path(my_path.get_preprocess_path("Protein"), matrix)
    for method in ("T-test(Unpaired)", "Wilcoxon(Unpaired)"):
        path = callbacks.update_diff_inter(run_kwargs(ready_paths, method))
        row = callbacks.read_expr_path(callbacks.read_result_path(path)["DiffPath"].iloc[0]).iloc[0]
        assert np.isnan(row["P-value"]) and np.isnan(row["FDR"]) and pd.isna(row["Significance"])
        assert row["ReferenceCount"] == 1
