"""The page served with the analyses as background jobs, in a real browser: a run goes through
Dash's job protocol (start, polls, result), its button is disabled and its Cancel button enabled
while it runs, its progress text is cleared once it is over, and a run can be cancelled from the page."""

from selenium.webdriver.common.by import By

from harness import console_errors, graph, load, press, server_errors, wait_for


def _enabled(page, button_id) -> bool:
    return page.find_element(By.ID, button_id).is_enabled()


def test_a_differential_run_as_a_job_draws_its_volcano(served_with_jobs, browser):
    page = browser
    load(page, served_with_jobs["url"])
    assert _enabled(page, "run-diff-button") and not _enabled(page, "cancel-diff-button")
    assert page.find_element(By.ID, "diff-progress").text == ""

    page.execute_script("document.getElementById('run-diff-button').click()")
    # While the job runs (at least one poll of a second), its button is off and Cancel is on.
    wait_for(page, lambda: not _enabled(page, "run-diff-button") and _enabled(page, "cancel-diff-button"),
             timeout=30)
    volcano = wait_for(page, lambda: (graph(page, "diff-volcano-fig") or {}).get("title") and
                       graph(page, "diff-volcano-fig"), timeout=120)
    assert volcano["title"].startswith("Protein") and sum(t["n"] for t in volcano["traces"]) > 1000
    wait_for(page, lambda: _enabled(page, "run-diff-button") and not _enabled(page, "cancel-diff-button"))
    assert page.find_element(By.ID, "diff-progress").text == ""

    # Cancelling a run from the page: no error, the finished run's volcano stays shown.
    page.execute_script("document.getElementById('run-decomposition-button').click()")
    wait_for(page, lambda: _enabled(page, "cancel-decomposition-button"), timeout=30)
    press(page, "cancel-decomposition-button")
    wait_for(page, lambda: _enabled(page, "run-decomposition-button"), timeout=30)
    assert graph(page, "diff-volcano-fig")["title"] == volcano["title"]
    assert console_errors(page) == []
    assert server_errors(served_with_jobs) == []
