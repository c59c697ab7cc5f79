"""The differential, decomposition and clustering cards in a real browser.

The server runs on a demo dataset whose Normal samples share their patient with a
Tumor sample, so that the paired tests have pairs to compare.
"""

import os
import socket
import subprocess
import sys
import time
import urllib.request

import pandas as pd
import pytest
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import WebDriverWait

from harness import console_errors, server_errors, wait_settled
from veltrana import demo

METHODS = ["T-test(Unpaired)", "T-test(Paired)", "Wilcoxon(Unpaired)", "Wilcoxon(Paired)"]

# Records how long the server took to answer each callback request, by output.
TIMING_SCRIPT = """
(() => {
  const original = window.fetch;
  window.__callbackTimes = [];
  window.fetch = async function (url, init) {
    const started = performance.now();
    const response = await original.apply(this, arguments);
    if (String(url).includes('_dash-update-component')) {
      let output = '?';
      try { output = JSON.parse(init.body).output; } catch (e) {}
      window.__callbackTimes.push({output: output, ms: performance.now() - started});
    }
    return response;
  };
})();
"""


def _free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


@pytest.fixture(scope="module")
def paired_server(tmp_path_factory):
    """`python -m veltrana --data <paired demo>` on a free port."""
    work = tmp_path_factory.mktemp("paired")
    data = work / "data"
    demo.write_demo(str(data))
    info_path = data / demo.INFO_FILE
    info = pd.read_csv(info_path, sep="\t", index_col=0)
    tumor = info.index[info["Pathological_Status"] == "Tumor"]
    normal = info.index[info["Pathological_Status"] == "Normal"]
    info.loc[normal, "Patient_ID"] = list(info.loc[tumor[: len(normal)], "Patient_ID"])
    info.to_csv(info_path, sep="\t")

    port = _free_port()
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p), MPLBACKEND="Agg", HOME=str(work))
    log = open(work / "server.log", "w")
    proc = subprocess.Popen([sys.executable, "-m", "veltrana", "--data", str(data), "--port", str(port)], cwd=work,
                            env=env, stdout=log, stderr=subprocess.STDOUT)
    url = f"http://127.0.0.1:{port}/"
    try:
        deadline = time.time() + 120
        while True:
            if proc.poll() is not None:
                raise RuntimeError(f"server exited: {(work / 'server.log').read_text()}")
            try:
                urllib.request.urlopen(url, timeout=2)
                break
            except OSError:
                if time.time() > deadline:
                    raise RuntimeError("server did not start in time")
                time.sleep(0.3)
        features = pd.read_csv(data / demo.PROTEIN_FILE, sep="\t", index_col=0, nrows=2).index
        yield {"url": url, "log": work / "server.log", "proc": proc, "second_protein": features[1]}
    finally:
        proc.terminate()
        try:
            proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            proc.kill()
        log.close()


@pytest.fixture
def page(paired_server, browser):
    script = browser.execute_cdp_cmd("Page.addScriptToEvaluateOnNewDocument", {"source": TIMING_SCRIPT})
    console_errors(browser)  # forget entries of earlier tests
    browser.get(paired_server["url"])
    wait_settled(browser)
    try:
        yield browser
        assert console_errors(browser) == []
        assert server_errors(paired_server) == []
    finally:
        browser.execute_cdp_cmd("Page.removeScriptToEvaluateOnNewDocument", {"identifier": script["identifier"]})


def callback_seconds(driver, output) -> float:
    """The server time of the latest request for `output` (an "id.property" of its outputs)."""
    times = driver.execute_script("return window.__callbackTimes;")
    return [t["ms"] for t in times if output in t["output"]][-1] / 1000


def graph(driver, graph_id):
    """The drawn traces (type, name, point count) and the title of a graph."""
    return driver.execute_script(
        "const g = document.querySelector('#' + arguments[0] + ' .js-plotly-plot');"
        "if (!g || !g._fullData) return null;"  # _fullData holds the decoded arrays
        "return {traces: g._fullData.map(t => ({type: t.type, name: t.name || '',"
        " n: (t.z || t.x || []).length})), title: g.layout.title && g.layout.title.text};", graph_id)


def wait_for(driver, condition, timeout=60):
    return WebDriverWait(driver, timeout, poll_frequency=0.2).until(lambda d: condition())


def pick(driver, dropdown_id, option_text):
    """Opens a dropdown and picks an option; the open list is drawn outside the dropdown's element."""
    driver.find_element(By.ID, dropdown_id).click()
    option = f"//*[@role='option'][.//*[text()='{option_text}']]"
    wait_for(driver, lambda: [e for e in driver.find_elements(By.XPATH, option) if e.is_displayed()])
    [e for e in driver.find_elements(By.XPATH, option) if e.is_displayed()][0].click()


def press(driver, button_id) -> float:
    """Clicks a button and returns the seconds until the page is settled again."""
    started = time.time()
    driver.execute_script("document.getElementById(arguments[0]).click()", button_id)
    time.sleep(0.3)
    wait_settled(driver, quiet=1.0)
    return time.time() - started - 1.0  # the quiet second is not work


def test_refresh_diff_draws_volcano_and_box_plot(page, paired_server):
    wait_for(page, lambda: "Tumor" in page.find_element(By.ID, "target-groups-dropdown").text)
    assert "Normal" in page.find_element(By.ID, "refer-groups-dropdown").text
    timings = {}
    for method in METHODS:
        pick(page, "diff-exp-analysis-methods-dropdown", method)
        settled = press(page, "run-diff-button")
        timings[method] = (callback_seconds(page, "diff-inter.data"), settled)
        volcano = graph(page, "diff-volcano-fig")
        assert volcano and volcano["title"] == "Protein", method
        names = [t["name"] for t in volcano["traces"]]
        assert any(n.startswith("Up(FDR<0.01):") for n in names) and any(n.startswith("SigDown(2X):") for n in names)
        counts = {n.split(":")[0]: int(n.split(":")[1]) for n in names if ":" in n}
        assert counts["Up(FDR<0.01)"] >= counts["SigUp(2X)"] > 0, (method, counts)
        assert sum(t["n"] for t in volcano["traces"]) > 1000
    print("\ndifferential run, seconds (host run / click to settled):",
          ", ".join(f"{m} {run:.2f} / {settled:.2f}" for m, (run, settled) in timings.items()))

    box = graph(page, "diff-box-fig")
    first = box["title"]
    feature = paired_server["second_protein"]
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
