"""A user's journey through the whole page on the demo data, in a real browser:
the page settles, a differential run feeds the association and enrichment cards,
the association draws its two figures and the enrichment its bar chart."""

import json
import time

from selenium.webdriver.common.by import By

from conftest import _started, _stopped
from harness import console_errors, graph, load, pick, press, server_errors, settle, wait_for

GMT = "demo_pathways.gmt"


def visible_options(driver):
    return [e for e in driver.find_elements(By.XPATH, "//label[contains(@class, 'dash-dropdown-option')]") if e.is_displayed()]


def options_of(driver, dropdown_id) -> list:
    """The option texts of a dropdown (opened, read, closed again)."""
    driver.find_element(By.ID, dropdown_id).click()
    wait_for(driver, lambda: visible_options(driver), timeout=10)
    texts = [e.text for e in visible_options(driver)]
    driver.find_element(By.TAG_NAME, "body").click()
    return texts


def traces(driver, graph_id):
    """(type, point count) of each drawn trace of a graph, or None before it is drawn."""
    drawn = graph(driver, graph_id)
    return drawn and [[t["type"], len(t["y"])] for t in drawn["traces"]]


def test_journey(server, browser):
    timings = {}
    timings["page load to settled"] = load(browser, server["url"])
    assert console_errors(browser) == [] and server_errors(server) == []
    # The user's own library is preselected: the enrichment runs offline.
    assert GMT in browser.find_element(By.ID, "enrich-gene-sets-dropdown").text

    timings["Refresh diff"] = press(browser, "run-diff-button")
    wait_for(browser, lambda: traces(browser, "diff-volcano-fig"))
    sets = options_of(browser, "assoc-feature-set-dropdown")
    assert sets[0] == "All Features"
    assert {"Differential@S-U", "Differential@U", "Differential@S-D", "Differential@D"} <= set(sets)

    pick(browser, "assoc-feature-set-dropdown", "Differential@U")
    pick(browser, "assoc-target-phenotype-dropdown", "Age(Numerical)")
    settle(browser)
    assert "All Samples" in browser.find_element(By.ID, "assoc-target-groups-dropdown").text
    timings["Refresh Assoc"] = press(browser, "run-assoc-button")
    scatter = wait_for(browser, lambda: traces(browser, "assoc-corr-fig"))
    assert scatter[0][0] == "scatter" and scatter[0][1] > 0
    roc = wait_for(browser, lambda: traces(browser, "assoc-roc-fig"))
    assert any(kind == "scatter" and n >= 2 for kind, n in roc)

    started = time.time()
    pick(browser, "enrich-feature-set-dropdown", "Differential@U")
    settle(browser)
    bars = wait_for(browser, lambda: traces(browser, "enrich-ora-fig"))
    timings["enrichment drawn"] = time.time() - started
    assert bars[0][0] == "bar" and 0 < bars[0][1] <= 10

    assert console_errors(browser) == [] and server_errors(server) == []
    print("\njourney timings (s): " + ", ".join(f"{k} {v:.2f}" for k, v in timings.items()))


def stored_runs(out) -> dict:
    """{run folder: (kind, manifest mtime)} of every published run under the output folder
    (a run computed again rewrites its manifest or makes a new folder)."""
    runs = {}
    for manifest in out.glob("*/*/run.json"):
        runs[str(manifest.parent)] = (json.loads(manifest.read_text())["kind"], manifest.stat().st_mtime_ns)
    return runs


def test_page_load_computes_nothing_the_defaults_compute_again(browser, tmp_path_factory):
    """Runs that fire at page load either wait for their pickers or run what the pickers then
    hold: pressing each card's run button with the choices the page shows computes nothing twice."""
    server = _started(tmp_path_factory.mktemp("fresh-output"))
    try:
        out = server["data"] / "results"
        load(browser, server["url"])
        at_load = stored_runs(out)
        assert {"decomposition", "clustering", "association"} <= {kind for kind, _ in at_load.values()}
        for button in ("run-decomposition-button", "run-feature-clustering-button", "run-assoc-button"):
            press(browser, button)
            assert stored_runs(out) == at_load, f"{button} computed a run again"
        # The differential run waited for its group pickers at page load, or ran with what they hold.
        ran_at_load = any(kind == "differential" for kind, _ in at_load.values())
        press(browser, "run-diff-button")
        new = {folder: kind for folder, (kind, _) in stored_runs(out).items() if folder not in at_load}
        expected = {"feature-sets"} if ran_at_load else {"differential", "feature-sets"}
        assert set(new.values()) <= expected and "differential" in {*new.values(), *(k for k, _ in at_load.values())}
        assert {f: r for f, r in stored_runs(out).items() if f in at_load} == at_load
        # "All Features" reads no feature set: the association run stays the one of page load.
        settled = stored_runs(out)
        press(browser, "run-assoc-button")
        assert stored_runs(out) == settled
        assert console_errors(browser) == [] and server_errors(server) == []
    finally:
        _stopped(server)


# Keeps the content of the report the server sends (the download itself goes nowhere headless).
REPORT_CATCHER = """
window.__report = null;
const original = window.fetch;
window.fetch = async function (url, init) {
  const response = await original.apply(this, arguments);
  if (String(url).includes('_dash-update-component') && String(init && init.body).includes('report-download')) {
    response.clone().json().then(j => { window.__report = j.response['report-download'].data.content; });
  }
  return response;
};
"""


def test_report_of_the_demo_is_small_and_reads_at_page_width(server, browser, tmp_path):
    load(browser, server["url"])
    for button in ("run-diff-button", "run-decomposition-button", "run-feature-clustering-button"):
        press(browser, button)
    pick(browser, "assoc-feature-set-dropdown", "Differential@U")
    pick(browser, "assoc-target-phenotype-dropdown", "Age(Numerical)")
    settle(browser)
    press(browser, "run-assoc-button")
    wait_for(browser, lambda: traces(browser, "assoc-roc-fig"))
    browser.execute_script(REPORT_CATCHER)
    press(browser, "report-button")
    report = wait_for(browser, lambda: browser.execute_script("return window.__report;"))
    size = len(report.encode())
    print(f"\nreport of the demo: {size / 1e6:.2f} MB")
    assert size < 5e6
    # figures headed by their card and title, never by a component id
    assert "qc-corr-fig" not in report and "Differential Expression Analysis — Volcano plot" in report
    assert "characters are cut" in report  # the ROC table's curves

    path = tmp_path / "report.html"
    path.write_text(report, encoding="utf-8")
    browser.get(path.as_uri())
    # every figure drawn from the packed plotly.js, none wider than the page
    drawn = wait_for(browser, lambda: browser.execute_script(
        "const n = document.querySelectorAll('.plot-container').length;"
        "return n === document.querySelectorAll('[data-figure]').length && n;"))
    assert drawn >= 12
    widest = browser.execute_script(
        "const page = document.querySelector('main').getBoundingClientRect();"
        "let worst = 0; for (const e of document.querySelectorAll('main *')) {"
        "  const r = e.getBoundingClientRect(); if (r.width) worst = Math.max(worst, r.right - page.left); }"
        "return [page.width, worst, document.documentElement.scrollWidth];")
    assert widest[0] == 1200 and widest[1] <= 1200 and widest[2] <= 1400, widest


# Keeps what the camera button saves instead of downloading it: the PNG's size and resolution.
SAVED_IMAGE = """
const done = arguments[arguments.length - 1];
HTMLAnchorElement.prototype.click = function () {
  fetch(this.href).then(r => r.arrayBuffer()).then(buffer => {
    const png = new DataView(buffer);
    const found = {name: this.download, width: png.getUint32(16), height: png.getUint32(20), perMetre: null};
    for (let at = 8; at + 8 <= buffer.byteLength; at += 12 + png.getUint32(at)) {
      const type = String.fromCharCode(...new Uint8Array(buffer, at + 4, 4));
      if (type === 'pHYs') found.perMetre = [png.getUint32(at + 8), png.getUint32(at + 12), png.getUint8(at + 16)];
    }
    done(found);
  });
};
document.querySelector('#qc-cv-fig .modebar-btn[data-title^="Download plot"]').click();
"""


def test_png_export_reaches_drawn_figures_at_300_dpi(server, browser):
    load(browser, server["url"])
    camera = "return document.querySelector('#qc-cv-fig .js-plotly-plot')._context.toImageButtonOptions;"
    assert browser.execute_script(camera)["format"] == "svg"
    browser.find_element(By.XPATH, "//*[@id='export-format-radio']//label[contains(., 'PNG')]").click()
    wait_for(browser, lambda: browser.execute_script(camera)["format"] == "png")
    assert browser.execute_script(camera) == {"format": "png", "width": 1200, "height": 800, "scale": 3}
    browser.set_script_timeout(60)
    saved = browser.execute_async_script(SAVED_IMAGE)
    # 3600 x 2400 pixels that read as 12 x 8 inches: 300 dpi is 11,811 pixels per metre
    assert saved == {"name": "newplot.png", "width": 3600, "height": 2400, "perMetre": [11811, 11811, 1]}
    browser.refresh()  # the page's own anchors back
