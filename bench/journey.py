"""Benchmark: a user's journey through the dashboard at five cohort sizes, in headless Chromium.

For each size a cohort is generated in the --data folder layout (Tumor/Normal status, ~15 %
missing values, sample ids such as "01005", a local gene-set library in the output folder),
served by `python -m veltrana --data DIR --out OUT --port P`, and driven like a user:

- start-up: process start to the first answered request, on a fresh output folder, and again
  (stopped and started) with the data unchanged;
- first page load on the fresh output folder, to settled; second page load, nothing changed;
- each analysis click to settled: "Refresh diff" with each of the four tests, PCA, clustering,
  association, and the enrichment of a differential feature set on the local library;

watching the largest response (decoded bytes; and as sent, after compression), failed requests
(HTTP >= 400 or no answer), browser console errors, server tracebacks and the server's peak
memory (resident, all its processes, against the matrix in float64). Prints one table of
steps by sizes; "settled" is what the browser tests wait for (tests/browser/harness.py), timed
in the page's own clock: to the moment the page last turned calm, polled there every 10 ms.
--startup-only measures the two start-ups and nothing else. With --work, a cohort written by an
earlier run into that folder is used again (writing 20,000 x 3,000 takes minutes).

    python bench/journey.py [--sizes demo,128x12600,500x20000,1000x20000,20000x3000] [--work DIR]
                            [--startup-only]
"""

from __future__ import annotations

import argparse
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time
import urllib.request
from pathlib import Path

import pandas as pd

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests" / "browser"))

from harness import console_errors, graph, pick, wait_settled  # noqa: E402

from veltrana.study import demo  # noqa: E402

CHROMIUM = shutil.which("chromium") or "/usr/bin/chromium"
CHROMEDRIVER = shutil.which("chromedriver") or "/usr/bin/chromedriver"
SIZES = {"demo": (100, 3000), "128x12600": (128, 12600), "500x20000": (500, 20000),
         "1000x20000": (1000, 20000), "20000x3000": (20000, 3000)}
TESTS = ["T-test(Unpaired)", "T-test(Paired)", "Wilcoxon(Unpaired)", "Wilcoxon(Paired)"]
SETTLE_TIMEOUT = 900.0

# Every fetch of the page (callbacks, layout, dependencies): its target, status and decoded size.
WATCH_SCRIPT = """
(() => {
  performance.setResourceTimingBufferSize(100000);
  const original = window.fetch;
  window.__requests = [];
  window.fetch = async function (url, init) {
    let target = String(url);
    try { if (init && init.body) target = JSON.parse(init.body).output; } catch (e) {}
    const entry = {target: target, status: 0, bytes: 0};
    window.__requests.push(entry);
    const response = await original.apply(this, arguments);
    entry.status = response.status;
    response.clone().arrayBuffer().then(b => { entry.bytes = b.byteLength; }, () => {});
    return response;
  };
  // When the page last turned calm (nothing loading, the app drawn), in this page's clock. The check
  // runs between the page's own tasks, so it sees calm only once the last response is drawn.
  window.__calmAt = null;
  let busyBefore = true;
  setInterval(() => {
    const busy = document.querySelector('[data-dash-is-loading="true"]') !== null
      || !document.querySelector('#app-container');
    if (busy) busyBefore = true;
    else if (busyBefore) { busyBefore = false; window.__calmAt = performance.now(); }
  }, 10);
})();
"""


# ---- the cohorts ----------------------------------------------------------------------------------

def write_cohort(folder: Path, samples: int, features: int) -> None:
    """The demo dataset's layout at this size, with sample ids "01005", "01006", ..."""
    demo.write_demo(str(folder), n_samples=samples, n_proteins=features, n_glycoforms=1000)
    ids = {f"S{i:03d}": f"{1004 + i:05d}" for i in range(1, samples + 1)}
    for name in (demo.PROTEIN_FILE, demo.GLYCOFORM_FILE):  # only the header line names samples
        path = folder / name
        head, rest = path.read_text().split("\n", 1)
        path.write_text("\t".join(ids.get(c, c) for c in head.split("\t")) + "\n" + rest)
    info_path = folder / demo.INFO_FILE
    info = pd.read_csv(info_path, sep="\t", dtype=str, keep_default_na=False)
    info.iloc[:, 0] = info.iloc[:, 0].map(ids)
    info["Sample_ID"] = info["Sample_ID"].map(ids)
    info.to_csv(info_path, sep="\t", index=False)


def cohort(folder: Path, samples: int, features: int) -> None:
    """The cohort in `folder`: the one written there before when it is complete, else written anew."""
    done = folder / ".written"
    if done.is_file() and done.read_text() == f"{samples}x{features}":
        print(f"  using the cohort written before in {folder}", flush=True)
        return
    shutil.rmtree(folder, ignore_errors=True)
    write_cohort(folder, samples, features)
    done.write_text(f"{samples}x{features}")


def fresh_output(folder: Path) -> Path:
    """An empty output folder holding only the user's local gene-set library."""
    out = folder.parent / f"{folder.name}-out"
    shutil.rmtree(out, ignore_errors=True)
    library = out / "user" / "database" / "enrichment"
    library.mkdir(parents=True)
    shutil.copy(folder / "results" / "user" / "database" / "enrichment" / demo.GMT_FILE, library)
    return out


# ---- the server and the browser -------------------------------------------------------------------

def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def start_server(data: Path, out: Path, log_path: Path):
    """(process, url, seconds from process start to the first answered request)."""
    port = free_port()
    env = dict(os.environ, MPLBACKEND="Agg", PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    log = open(log_path, "w")
    started = time.time()
    proc = subprocess.Popen([sys.executable, "-m", "veltrana", "--data", str(data), "--out", str(out),
                             "--port", str(port)], stdout=log, stderr=subprocess.STDOUT, env=env)
    url = f"http://127.0.0.1:{port}/"
    while time.time() - started < SETTLE_TIMEOUT:
        if proc.poll() is not None:
            raise RuntimeError(f"the server exited:\n{log_path.read_text()[-3000:]}")
        try:
            urllib.request.urlopen(url, timeout=5)
            return proc, url, time.time() - started
        except OSError:
            time.sleep(0.1)
    proc.kill()
    raise RuntimeError("the server did not start")


def stop_server(proc) -> None:
    proc.terminate()
    try:
        proc.wait(timeout=20)
    except subprocess.TimeoutExpired:
        proc.kill()


class PeakMemory:
    """The largest resident size of a process and its descendants, sampled every 0.2 s (Linux)."""

    def __init__(self, pid: int):
        self.pid, self.peak, self._done = pid, 0, threading.Event()
        threading.Thread(target=self._watch, daemon=True).start()

    @staticmethod
    def _family(root: int) -> dict[int, int]:
        """{pid: resident bytes} of `root` and every process under it."""
        parents, rss = {}, {}
        for entry in os.listdir("/proc"):
            if not entry.isdigit():
                continue
            try:
                with open(f"/proc/{entry}/stat") as fh:
                    fields = fh.read().rsplit(")", 1)[1].split()
            except OSError:
                continue
            parents[int(entry)] = int(fields[1])
            rss[int(entry)] = int(fields[21]) * os.sysconf("SC_PAGE_SIZE")
        family, grew = {root}, True
        while grew:
            more = {p for p, parent in parents.items() if parent in family} - family
            family |= more
            grew = bool(more)
        return {p: rss.get(p, 0) for p in family}

    def _watch(self) -> None:
        while not self._done.wait(0.2):
            self.peak = max(self.peak, sum(self._family(self.pid).values()))

    def stop(self) -> int:
        self._done.set()
        return self.peak


def browser():
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service

    opts = webdriver.ChromeOptions()
    opts.binary_location = CHROMIUM
    for arg in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--window-size=1400,1000"):
        opts.add_argument(arg)
    opts.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    driver = webdriver.Chrome(service=Service(CHROMEDRIVER), options=opts)
    driver.set_page_load_timeout(SETTLE_TIMEOUT)
    driver.execute_cdp_cmd("Page.addScriptToEvaluateOnNewDocument", {"source": WATCH_SCRIPT})
    return driver


# ---- the journey ----------------------------------------------------------------------------------

class Journey:
    """Times the steps of one page and collects what went wrong on the way."""

    def __init__(self, driver):
        self.driver = driver
        self.times: dict[str, float] = {}
        self.requests: list[dict] = []
        self.sent_bytes = 0
        self.console: list[str] = []

    def settled_after(self, label, action) -> None:
        """Times `action` to settled in the page's own clock: from the moment `action` returns (the
        page's performance.now() at the click; 0, the navigation's start, for a page load) to the
        moment the page last turned calm. The harness's polling (0.3 s to let the callbacks start,
        then every 0.1 s) only decides when to read it."""
        started = action()
        time.sleep(0.3)  # let the callbacks start
        wait_settled(self.driver, timeout=SETTLE_TIMEOUT, quiet=1.0)
        calm = self.driver.execute_script("return window.__calmAt")
        self.times[label] = max(0.0, (calm or 0.0) - started) / 1000.0
        self.console += console_errors(self.driver)
        print(f"  {label}: {self.times[label]:.1f} s", flush=True)

    def load(self, label, url) -> None:
        self.collect()  # what the previous page saw

        def navigate():
            self.driver.get(url)
            return 0.0

        self.settled_after(label, navigate)

    def press(self, label, button, figure=None) -> None:
        self.settled_after(label, lambda: self.driver.execute_script(
            "const t = performance.now(); document.getElementById(arguments[0]).click(); return t;", button))
        if figure:
            self.drawn(figure)

    def drawn(self, figure) -> None:
        """Says what the step drew: the type and size of the figure's largest trace."""
        traces = (graph(self.driver, figure) or {}).get("traces") or []
        big = max(traces, key=lambda t: t["n"], default=None)
        print(f"    {figure}: " + (f"{big['type']}, {big['n']:,} points" if big else "nothing drawn"), flush=True)

    def pick(self, label, dropdown, option) -> None:
        from selenium.webdriver.common.action_chains import ActionChains
        from selenium.webdriver.common.keys import Keys

        def choose():
            started = self.driver.execute_script("return performance.now()")
            pick(self.driver, dropdown, option)
            ActionChains(self.driver).send_keys(Keys.ESCAPE).perform()  # a list left open hides the page
            return started

        self.settled_after(label, choose)

    def collect(self) -> None:
        """The requests of the current page, before it is left."""
        seen = self.driver.execute_script("return [window.__requests || [], performance.getEntriesByType("
                                          "'resource').filter(e => e.initiatorType === 'fetch')"
                                          ".map(e => e.transferSize)];")
        if seen:
            self.requests += seen[0]
            self.sent_bytes = max([self.sent_bytes, *seen[1]])


def start_twice(name: str, data: Path, out: Path, work: Path):
    """(the server started the second time, its url, {step: seconds}): started on the fresh output
    folder, stopped, and started again on the same data."""
    times = {}
    for step in ("start-up to serving, first time", "start-up again, data unchanged"):
        if times:
            stop_server(proc)
        proc, url, times[step] = start_server(data, out, work / f"{name}-server-{len(times)}.log")
        print(f"  {step}: {times[step]:.1f} s", flush=True)
    return proc, url, times


def run_size(name: str, work: Path, startup_only: bool = False) -> dict:
    samples, features = SIZES[name]
    data = work / name
    print(f"{name}: {samples} samples x {features} features in {data}", flush=True)
    cohort(data, samples, features)
    out = fresh_output(data)
    proc, url, startups = start_twice(name, data, out, work)
    if startup_only:
        stop_server(proc)
        return startups
    memory = PeakMemory(proc.pid)
    driver = browser()
    try:
        j = Journey(driver)
        j.times.update(startups)
        j.load("first page load", url)
        j.load("second page load", url)
        for test in TESTS:
            j.pick(f"pick {test}", "diff-exp-analysis-methods-dropdown", test)
            j.press(f"diff: {test}", "run-diff-button", "diff-volcano-fig")
        j.press("PCA", "run-decomposition-button", "decomposition-figure-1")
        j.press("clustering", "run-feature-clustering-button", "clustering-figure-1")
        j.pick("pick association features", "assoc-feature-set-dropdown", "All Features")
        j.pick("pick association phenotype", "assoc-target-phenotype-dropdown", "Age(Numerical)")
        j.press("association", "run-assoc-button", "assoc-corr-fig")
        j.pick("enrichment (local library)", "enrich-feature-set-dropdown", "Differential@U")
        j.drawn("enrich-ora-fig")
        j.collect()
    finally:
        driver.quit()
        stop_server(proc)
    log = "".join((work / f"{name}-server-{n}.log").read_text() for n in (0, 1))
    largest = max(j.requests, key=lambda r: r["bytes"], default={"bytes": 0, "target": "-"})
    failed = [r for r in j.requests if not 200 <= r["status"] < 400]
    j.times["largest response (MB)"] = largest["bytes"] / 1e6
    j.times["largest as sent (MB, compressed)"] = j.sent_bytes / 1e6
    j.times["failed requests"] = len(failed)
    j.times["console errors"] = len(j.console)
    j.times["server tracebacks"] = log.count("Traceback")
    j.times["server memory, peak (x the matrix in float64)"] = memory.stop() / (samples * features * 8)
    print(f"  largest response: {largest['bytes']:,} bytes ({largest['target']})", flush=True)
    for r in failed:
        print(f"  failed: {r['status']} {r['target']}", flush=True)
    for message in j.console:
        print(f"  console: {message[:300]}", flush=True)
    return {k: v for k, v in j.times.items() if not k.startswith("pick")}


def table(results: dict) -> str:
    steps = list(dict.fromkeys(k for r in results.values() for k in r))
    width = max(len(s) for s in steps + ["step (seconds unless stated)"]) + 2
    lines = ["step (seconds unless stated)".ljust(width) + "".join(f"{name:>14}" for name in results)]
    for step in steps:
        cells = []
        for r in results.values():
            v = r.get(step)
            cells.append("-" if v is None else f"{v:.0f}" if isinstance(v, int) else f"{v:.2f}")
        lines.append(step.ljust(width) + "".join(f"{c:>14}" for c in cells))
    return "\n".join(lines)


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--sizes", default=",".join(SIZES), help=f"comma-separated, of {', '.join(SIZES)}")
    parser.add_argument("--work", help="folder for the cohorts, outputs and server logs (default: temporary)")
    parser.add_argument("--startup-only", action="store_true", help="measure the start-ups only, no browser")
    args = parser.parse_args(argv)
    sizes = [s.strip() for s in args.sizes.split(",") if s.strip()]
    unknown = [s for s in sizes if s not in SIZES]
    if unknown:
        parser.error(f"unknown sizes {unknown}; choose from {list(SIZES)}")
    if not args.startup_only and not (os.path.exists(CHROMIUM) and os.path.exists(CHROMEDRIVER)):
        print("journey: chromium and chromedriver are needed; skipped")
        return 0
    work = Path(args.work) if args.work else Path(tempfile.mkdtemp(prefix="veltrana-journey-"))
    work.mkdir(parents=True, exist_ok=True)
    results = {}
    for name in sizes:
        results[name] = run_size(name, work, args.startup_only)
    print()
    print(table(results))
    if not args.work:
        shutil.rmtree(work, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
