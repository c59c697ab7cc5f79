"""Helpers for browser tests: waiting for Dash to settle, reading errors."""

import time


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
    raise TimeoutError("the page did not settle")


def console_errors(driver) -> list[str]:
    """Severe browser-console entries since the last call (favicon misses excepted)."""
    return [e["message"] for e in driver.get_log("browser")
            if e["level"] == "SEVERE" and "favicon" not in e["message"]]


def server_errors(server) -> list[str]:
    """Tracebacks the server logged."""
    text = server["log"].read_text()
    return [block for block in text.split("Traceback")[1:]]
