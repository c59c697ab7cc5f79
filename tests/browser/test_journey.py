"""A user's journey through the whole page on the demo data, in a real browser:
the page settles, a differential run feeds the association and enrichment cards,
the association draws its two figures and the enrichment its bar chart."""

import time

from selenium.webdriver.common.by import By

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
