"""A real dashboard server and a headless Chromium driving it."""

import os
import shutil
import socket
import subprocess
import sys
import time
import urllib.request

import pytest

CHROMIUM = shutil.which("chromium") or "/usr/bin/chromium"
CHROMEDRIVER = shutil.which("chromedriver") or "/usr/bin/chromedriver"


def _free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def _started(work, *argv):
    """`python -m veltrana ARGV` on the demo data (written under `work`) on a free port, once it
    answers: its record (url, log, process, data folder); `_stopped` ends it."""
    port = _free_port()
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p), MPLBACKEND="Agg",
               HOME=str(work))  # the demo dataset goes under this HOME
    log = open(work / "server.log", "w")
    proc = subprocess.Popen([sys.executable, "-m", "veltrana", *argv, "--port", str(port)], cwd=work, env=env,
                            stdout=log, stderr=subprocess.STDOUT)
    url = f"http://127.0.0.1:{port}/"
    deadline = time.time() + 120
    while time.time() < deadline:
        if proc.poll() is not None:
            raise RuntimeError(f"server exited: {(work / 'server.log').read_text()}")
        try:
            urllib.request.urlopen(url, timeout=2)
            break
        except OSError:
            time.sleep(0.3)
    else:
        proc.kill()
        raise RuntimeError("server did not start in time")
    # `python -m veltrana` writes the demo dataset under HOME when it is given no --data
    return {"url": url, "log": work / "server.log", "proc": proc, "data": work / ".cache" / "veltrana" / "demo",
            "log_file": log}


def _stopped(server) -> None:
    server["proc"].terminate()  # gunicorn's master stops its workers and their jobs
    try:
        server["proc"].wait(timeout=30)
    except subprocess.TimeoutExpired:
        server["proc"].kill()
    server["log_file"].close()


@pytest.fixture(scope="session")
def server(tmp_path_factory):
    """`python -m veltrana` on the demo data, on a free port."""
    started = _started(tmp_path_factory.mktemp("server"))
    yield started
    _stopped(started)


@pytest.fixture(scope="module")
def served_with_jobs(tmp_path_factory):
    """`veltrana serve` on the demo data with two workers, the analyses as background jobs."""
    started = _started(tmp_path_factory.mktemp("served"), "serve", "--workers", "2", "--threads", "2",
                       "--background", "disk")
    yield started
    _stopped(started)


@pytest.fixture(scope="session")
def browser():
    if not (os.path.exists(CHROMIUM) and os.path.exists(CHROMEDRIVER)):
        missing = "Debian's chromium and chromium-driver are not installed"
        # CI installs them: there a missing browser is a broken machine, not a reason to skip.
        if os.environ.get("VELTRANA_REQUIRE_BROWSER") == "1":
            pytest.fail(f"{missing} (VELTRANA_REQUIRE_BROWSER=1)")
        pytest.skip(missing)
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service

    opts = webdriver.ChromeOptions()
    opts.binary_location = CHROMIUM
    for arg in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--disable-gpu",
                "--window-size=1400,1000"):
        opts.add_argument(arg)
    opts.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    driver = webdriver.Chrome(service=Service(CHROMEDRIVER), options=opts)
    driver.set_page_load_timeout(60)
    yield driver
    driver.quit()


# Records every callback request: its output and how long the server took to answer.
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


@pytest.fixture
def callback_timing(browser):
    """Pages loaded during the test record their callback times (read with harness.callback_times)."""
    script = browser.execute_cdp_cmd("Page.addScriptToEvaluateOnNewDocument", {"source": TIMING_SCRIPT})
    try:
        yield
    finally:
        browser.execute_cdp_cmd("Page.removeScriptToEvaluateOnNewDocument", {"identifier": script["identifier"]})


@pytest.fixture
def page(server, browser, callback_timing):
    """The page loaded; after the test, no console error and no server traceback."""
    from harness import console_errors, load, server_errors

    load(browser, server["url"])
    yield browser
    assert console_errors(browser) == []
    assert server_errors(server) == []
