"""The first cards in a real browser: preprocessing, profiling, quality control, annotation."""

import pandas as pd
import pytest
from selenium.webdriver.common.by import By
from selenium.webdriver.common.keys import Keys

from veltrana.analyses import qc
from veltrana.study import demo

from harness import callback_times, console_errors, graph, load, pick, press, server_errors, wait_for

# Outputs of the cards under test, to single out their callbacks' times.
FIRST_CARDS = ("preprocess-", "profile-", "numeric-info-inter", "qc-", "annotation-")


@pytest.fixture
def page(server, browser, callback_timing):
    """The page loaded fresh with callback timing; yields (driver, seconds until settled)."""
    return browser, load(browser, server["url"])


def run_preprocess(driver, normalization, ratio):
    pick(driver, "preprocess-normalization-dropdown", normalization)
    box = driver.find_element(By.ID, "preprocess-max-miss-ratio-input")
    box.send_keys(Keys.CONTROL, "a")
    box.send_keys(str(ratio))
    press(driver, "preprocess-button")


def test_first_cards_fill_on_page_load(server, page):
    driver, settled = page
    assert "Protein" in driver.find_element(By.ID, "preprocess-source-dropdown").text
    assert "Pathological_Status" in driver.find_element(By.ID, "profile-phenotype-dropdown").text

    boxes = graph(driver, "preprocess-figure")
    assert boxes and boxes["traces"][0]["type"] == "box" and len(boxes["traces"][0]["x"]) == 100
    assert boxes["traces"][0]["x"][:3] == ["S001", "S002", "S003"]
    assert graph(driver, "profile-distr-fig")["traces"][0]["type"] == "bar"
    assert graph(driver, "profile-corr-fig")["traces"][0]["type"] == "heatmap"

    corr, cv = graph(driver, "qc-corr-fig"), graph(driver, "qc-cv-fig")
    assert corr and [t["type"] for t in corr["traces"]].count("histogram") == qc.DEFAULT_SAMPLE_COUNT
    assert cv and len(cv["traces"]) >= 1

    cells = driver.find_elements(By.CSS_SELECTOR, "#annotation-id-datatable td[data-dash-column='Feature']")
    first = pd.read_csv(server["data"] / demo.PROTEIN_FILE, sep="\t", index_col=0, nrows=1).index[0]
    assert len(cells) == 10 and cells[0].text == first

    times = sorted(callback_times(driver), key=lambda t: -t["ms"])
    ours = [t for t in times if any(card in t["output"] for card in FIRST_CARDS)]
    print(f"\npage load until settled: {settled:.2f} s over {len(times)} callback requests")
    for label, entry in (("slowest callback", times[0]), ("slowest of these cards", ours[0])):
        print(f"{label}: {entry['output']} in {entry['ms'] / 1000:.2f} s")
    assert console_errors(driver) == []
    assert server_errors(server) == []


def test_refresh_preprocess_redraws_with_new_settings(server, page):
    driver, _ = page
    before = graph(driver, "preprocess-figure")
    try:
        run_preprocess(driver, "MedianNorm", 20)
        wait_for(driver, lambda: graph(driver, "preprocess-figure")["title"] != before["title"])
        after = graph(driver, "preprocess-figure")
        assert max(abs(m) for m in after["traces"][0]["median"]) < 0.1  # centred (then filtered)
        assert int(after["title"].split()[-2]) < int(before["title"].split()[-2])  # stricter filter
    finally:  # the server is shared: leave the Protein settings as the page found them
        run_preprocess(driver, "NA", 50)
    assert graph(driver, "preprocess-figure")["title"] == before["title"]
    assert console_errors(driver) == []
    assert server_errors(server) == []
