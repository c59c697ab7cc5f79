"""The differential, decomposition and clustering cards in a real browser.

The demo's Normal samples share their patient with a Tumor sample, so the paired tests have pairs to compare.
"""

import pandas as pd
import pytest
from selenium.webdriver.common.by import By

from conftest import _started, _stopped
from harness import _displayed, callback_seconds, console_errors, graph, load, pick, press, server_errors, wait_for
from veltrana.analyses import clustering, qc
from veltrana.study import demo

METHODS = ["T-test(Unpaired)", "T-test(Paired)", "Wilcoxon(Unpaired)", "Wilcoxon(Paired)"]



@pytest.fixture(scope="module")
def big_pickers(tmp_path_factory):
    """The demo served with pickers of more than 50 choices filled on demand (as a cohort of
    tens of thousands of features or samples is)."""
    work = tmp_path_factory.mktemp("pickers")
    (work / "study.toml").write_text("[limits]\npicker_options = 50\n")
    started = _started(work, "--config", str(work / "study.toml"))
    yield started
    _stopped(started)


def choices(driver) -> list[str]:
    return [e.text for e in _displayed(driver, "//*[@role='option']")]


def listed(driver, dropdown_id) -> int:
    """How many options the open dropdown holds (its list draws only those in view)."""
    return driver.execute_script(
        "const list = document.getElementById(document.getElementById(arguments[0]).getAttribute('aria-controls'));"
        "const rows = list.querySelectorAll('[role=option]');"
        "const inner = list.querySelector('.dash-options-list-virtualized > div');"
        "return Math.round(parseFloat(inner.style.height) / rows[0].getBoundingClientRect().height);", dropdown_id)


def typed(driver, dropdown_id, text) -> None:
    """Opens a dropdown and types `text` into its search."""
    driver.find_element(By.ID, dropdown_id).click()
    box = wait_for(driver, lambda: _displayed(driver, f"//*[@id='{dropdown_id}']//input | "
                                                      "//input[contains(@class, 'dash-dropdown-search')]"))
    box[0].send_keys(text)


@pytest.fixture
def second_protein(server):
    return pd.read_csv(server["data"] / demo.PROTEIN_FILE, sep="\t", index_col=0, nrows=2).index[1]


def test_refresh_diff_draws_volcano_and_box_plot(page, second_protein):
    wait_for(page, lambda: "Tumor" in page.find_element(By.ID, "target-groups-dropdown").text)
    assert "Normal" in page.find_element(By.ID, "refer-groups-dropdown").text
    timings = {}
    for method in METHODS:
        pick(page, "diff-exp-analysis-methods-dropdown", method)
        settled = press(page, "run-diff-button")
        timings[method] = (callback_seconds(page, "diff-inter.data"), settled)
        volcano = graph(page, "diff-volcano-fig")
        # Each patient with both samples gives one pair: 40 of the 60 tumours have their normal.
        pairs = "Tumor (n = 40) vs Normal (n = 40)" if "Paired" in method else "Tumor (n = 60) vs Normal (n = 40)"
        assert volcano and volcano["title"] == f"Protein: {pairs}", method
        names = [t["name"] for t in volcano["traces"]]
        assert any(n.startswith("Up(FDR<0.01):") for n in names) and any(n.startswith("SigDown(2X):") for n in names)
        counts = {n.split(":")[0]: int(n.split(":")[1]) for n in names if ":" in n}
        assert counts["Up(FDR<0.01)"] >= counts["SigUp(2X)"] > 0, (method, counts)
        assert sum(t["n"] for t in volcano["traces"]) > 1000
    print("\ndifferential run, seconds (host run / click to settled):",
          ", ".join(f"{m} {run:.2f} / {settled:.2f}" for m, (run, settled) in timings.items()))

    box = graph(page, "diff-box-fig")
    first = box["title"]
    feature = second_protein
    pick(page, "diff-gene-dropdown", feature)
    wait_for(page, lambda: (graph(page, "diff-box-fig") or {}).get("title") == feature)
    box = graph(page, "diff-box-fig")
    assert feature != first and [t["type"] for t in box["traces"]] == ["box"]
    assert box["traces"][0]["n"] > 50  # Tumor and Normal values of the feature


def test_refresh_decomp_draws_both_figures(page):
    press(page, "run-decomposition-button")
    wait_for(page, lambda: (graph(page, "decomposition-figure-1") or {}).get("traces"))
    scores = graph(page, "decomposition-figure-1")
    assert sorted(t["name"] for t in scores["traces"]) == ["Normal", "Tumor"]
    assert sum(t["n"] for t in scores["traces"]) == 100
    variance = graph(page, "decomposition-figure-2")
    assert variance["traces"][0]["type"] == "bar" and variance["traces"][0]["n"] == 10


def test_refresh_clustering_draws_the_heatmap(page):
    seconds = press(page, "run-feature-clustering-button")
    wait_for(page, lambda: (graph(page, "clustering-figure-1") or {}).get("traces"))
    heatmap = graph(page, "clustering-figure-1")
    assert [t["type"] for t in heatmap["traces"]] == ["heatmap"] * 3
    # one row per shown feature: the most variable of the demo's 3,000, as many as the cap allows
    assert heatmap["traces"][0]["n"] == clustering.heatmap_cap(100)
    run = callback_seconds(page, "feature-clustering-inter.data")
    print(f"\nclustering run, seconds (host run / click to settled): {run:.2f} / {seconds:.2f}")


# Each drawn graph: its toolbar's box, and the boxes of its figure, title and legend (page pixels).
GRAPH_BOXES = """
const box = e => { if (!e) return null; const r = e.getBoundingClientRect(); return [r.left, r.top, r.right, r.bottom]; };
return Array.from(document.querySelectorAll('.dash-graph')).filter(g => g.querySelector('.modebar')).map(g => ({
  id: g.id, toolbar: box(g.querySelector('.modebar')), figure: box(g.querySelector('.main-svg')),
  marks: Array.from(g.querySelectorAll('.gtitle, .legend')).map(box)}));
"""


def test_graph_toolbars_stay_clear_of_titles_and_legends(page):
    """The toolbar drawn on hover sits above its figure, even where a narrow window brings a long
    title or a legend at the top (the volcano's) under the toolbar's columns."""
    size = page.get_window_size()
    page.set_window_size(900, size["height"])
    try:
        press(page, "run-diff-button")
        wait_for(page, lambda: (graph(page, "diff-volcano-fig") or {}).get("traces"))
        graphs = page.execute_script(GRAPH_BOXES)
    finally:
        page.set_window_size(size["width"], size["height"])
    assert len(graphs) >= 15 and any(g["id"] == "diff-volcano-fig" and len(g["marks"]) == 2 for g in graphs)
    for g in graphs:
        toolbar = g["toolbar"]
        assert toolbar[3] <= g["figure"][1], g
        under = [m for m in g["marks"] if m[0] < toolbar[2] and m[2] > toolbar[0] and m[1] < toolbar[3]]
        assert under == [], g


def test_pickers_of_many_choices_find_one_by_typing(big_pickers, browser):
    load(browser, big_pickers["url"])
    features = pd.read_csv(big_pickers["data"] / demo.PROTEIN_FILE, sep="\t", index_col=0, usecols=[0]).index
    press(browser, "run-diff-button")
    # The feature picker holds its first choices only (and a line counting the rest).
    browser.find_element(By.ID, "diff-gene-dropdown").click()
    wait_for(browser, lambda: choices(browser))
    assert listed(browser, "diff-gene-dropdown") < 250 < len(features)  # 200, the selected, the count
    browser.find_element(By.TAG_NAME, "body").click()
    feature = features[-1]
    typed(browser, "diff-gene-dropdown", feature[:-1])
    wait_for(browser, lambda: feature in choices(browser))
    _displayed(browser, f"//*[@role='option'][.//*[text()='{feature}'] or text()='{feature}']")[0].click()
    wait_for(browser, lambda: (graph(browser, "diff-box-fig") or {}).get("title") == feature)

    # The QC sample picker (several chosen) keeps its choices while it searches.
    samples = pd.read_csv(big_pickers["data"] / demo.PROTEIN_FILE, sep="\t", index_col=0, nrows=0).columns
    typed(browser, "qc-samples-dropdown", samples[-1])
    wait_for(browser, lambda: samples[-1] in choices(browser))
    pick_now = _displayed(browser, f"//*[@role='option'][.//*[text()='{samples[-1]}'] or text()='{samples[-1]}']")
    pick_now[0].click()
    browser.find_element(By.TAG_NAME, "body").click()
    wait_for(browser, lambda: samples[-1] in browser.find_element(By.ID, "qc-samples-dropdown").text)
    assert all(s in browser.find_element(By.ID, "qc-samples-dropdown").text for s in samples[:qc.DEFAULT_SAMPLE_COUNT])
    assert console_errors(browser) == [] and server_errors(big_pickers) == []
