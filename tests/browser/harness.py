"""Helpers for browser tests: loading and waiting for Dash to settle, clicking, picking,
reading graphs, callback times and errors."""

import time

from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import WebDriverWait


def wait_settled(driver, timeout=120.0, quiet=1.0) -> float:
    """Waits until no Dash callback has been pending for `quiet` seconds; returns the time waited."""
    start = time.time()
    calm_since = None
    while time.time() - start < timeout:
        busy = driver.execute_script(
            "return document.querySelector('[data-dash-is-loading=\"true\"]') !== null"
            " || !document.querySelector('#app-container');")
        if busy:
            calm_since = None
        elif calm_since is None:
            calm_since = time.time()
        elif time.time() - calm_since >= quiet:
            return calm_since - start
        time.sleep(0.1)
    raise TimeoutError(f"the page did not settle; still loading: {', '.join(loading(driver)) or 'the app container'}")


def loading(driver) -> list[str]:
    """The ids of the components (or of their nearest ancestors with one) that are still loading."""
    return driver.execute_script(
        "return Array.from(document.querySelectorAll('[data-dash-is-loading=\"true\"]'))"
        ".map(e => (e.closest('[id]') || e).id || e.tagName);")


def console_errors(driver) -> list[str]:
    """Severe browser-console entries since the last call (favicon misses excepted)."""
    return [e["message"] for e in driver.get_log("browser")
            if e["level"] == "SEVERE" and "favicon" not in e["message"]]


def server_errors(server) -> list[str]:
    """Tracebacks the server logged."""
    text = server["log"].read_text()
    return [block for block in text.split("Traceback")[1:]]


def settle(driver) -> float:
    """Seconds until the page is settled again, the quiet second not counted."""
    started = time.time()
    time.sleep(0.3)  # let the click's callbacks start
    wait_settled(driver, quiet=1.0)
    return time.time() - started - 1.0


def load(driver, url) -> float:
    """Loads the page fresh, forgetting earlier console entries; returns the seconds until settled."""
    console_errors(driver)
    started = time.time()
    driver.get(url)
    wait_settled(driver, quiet=1.0)
    return time.time() - started - 1.0


def press(driver, button_id) -> float:
    """Clicks a button and returns the seconds until the page is settled again."""
    driver.execute_script("document.getElementById(arguments[0]).click()", button_id)
    return settle(driver)


def wait_for(driver, condition, timeout=90):
    """Polls `condition()` until it is truthy; returns its value."""
    return WebDriverWait(driver, timeout, poll_frequency=0.2).until(lambda d: condition())


def _displayed(driver, xpath):
    return [e for e in driver.find_elements(By.XPATH, xpath) if e.is_displayed()]


def pick(driver, dropdown_id, option_text, timeout=30):
    """Opens a dropdown and picks an option; the open list is drawn outside the dropdown's element."""
    driver.find_element(By.ID, dropdown_id).click()
    option = f"//*[@role='option'][.//*[text()='{option_text}'] or text()='{option_text}']"
    wait_for(driver, lambda: _displayed(driver, option), timeout=timeout)
    _displayed(driver, option)[0].click()


def graph(driver, graph_id):
    """The title and drawn traces of a graph (type, name, x, y, median, and `n`: the length of z,
    else of x), or None before it is drawn. `_fullData` holds the decoded arrays."""
    return driver.execute_script(
        "const g = document.querySelector('#' + arguments[0] + ' .js-plotly-plot');"
        "if (!g || !g._fullData) return null;"
        "const list = a => a ? Array.from(a) : [];"
        "return {traces: g._fullData.map(t => ({type: t.type, name: t.name || '', x: list(t.x), y: list(t.y),"
        " median: t.median ? list(t.median) : null, n: (t.z || t.x || []).length})),"
        " title: g.layout.title && g.layout.title.text};", graph_id)


def callback_times(driver) -> list[dict]:
    """Each callback request since the page loaded: its output key and the server's milliseconds
    (recorded by the `callback_timing` fixture)."""
    return driver.execute_script("return window.__callbackTimes;")


def callback_seconds(driver, output) -> float:
    """The server time of the latest request for `output` (an "id.property" of its outputs)."""
    return [t["ms"] for t in callback_times(driver) if output in t["output"]][-1] / 1000
