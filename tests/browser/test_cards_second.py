"""The differential, decomposition and clustering cards in a real browser.

The demo's Normal samples share their patient with a Tumor sample, so the paired tests have pairs to compare.
"""

import pandas as pd
import pytest
from selenium.webdriver.common.by import By

from harness import callback_seconds, graph, pick, press, wait_for
from veltrana import demo

METHODS = ["T-test(Unpaired)", "T-test(Paired)", "Wilcoxon(Unpaired)", "Wilcoxon(Paired)"]



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
    assert heatmap["traces"][0]["n"] > 1000  # one row per clustered feature
    run = callback_seconds(page, "feature-clustering-inter.data")
    print(f"\nclustering run, seconds (host run / click to settled): {run:.2f} / {seconds:.2f}")
