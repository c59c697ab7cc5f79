"""The differential card's designs in a real browser, in the request and as background jobs: a
moderated t-test adjusted for age, then the moderated F-test over smoking, each drawn in the volcano."""

import pytest
from selenium.webdriver.common.by import By
from selenium.webdriver.common.keys import Keys

from harness import console_errors, graph, load, pick, press, server_errors, wait_for


def _titled(page, text):
    drawn = graph(page, "diff-volcano-fig") or {}
    return text in (drawn.get("title") or "") and drawn


@pytest.mark.parametrize("served", ["server", "served_with_jobs"])
def test_adjusted_t_test_and_f_test_draw(request, browser, served):
    server = request.getfixturevalue(served)
    page = browser
    load(page, server["url"])
    wait_for(page, lambda: "Tumor" in page.find_element(By.ID, "target-groups-dropdown").text)
    pick(page, "diff-exp-analysis-methods-dropdown", "Moderated T-test(Unpaired)")
    pick(page, "diff-covariates-dropdown", "Age(Numerical)")
    page.switch_to.active_element.send_keys(Keys.ESCAPE)  # a multiple choice stays open
    press(page, "run-diff-button")
    volcano = wait_for(page, lambda: _titled(page, "adjusted for Age(Numerical)"), timeout=120)
    assert volcano["title"] == "Protein: Tumor (n = 60) vs Normal (n = 40); adjusted for Age(Numerical)"
    assert sum(t["n"] for t in volcano["traces"]) > 1000

    pick(page, "phenotype-dropdown", "Smoking(Categorical)")
    pick(page, "diff-exp-analysis-methods-dropdown", "Moderated F-test")
    press(page, "run-diff-button")
    figure = wait_for(page, lambda: _titled(page, "moderated F-test"), timeout=120)
    assert figure["title"].endswith("; adjusted for Age(Numerical)")
    assert sum(t["n"] for t in figure["traces"]) > 1000
    assert console_errors(page) == [] and server_errors(server) == []
