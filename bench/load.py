"""Benchmark: many users at once against `veltrana serve`, over HTTP, without a browser.

Starts `python -m veltrana serve --workers W` on the demo (or --data DIR) on a free port,
then replays what N users' pages send: each journey loads the page (the page, its layout
and dependencies, and the callbacks that fill the pickers) and runs the differential,
decomposition and clustering analyses with that user's own choices (phenotype and groups,
test method, sources, cluster count), each followed by the callback that draws its figure.
The requests are built from the server's own dependency list, as the page builds them.

Reported: throughput, p50/p95 latency per request type, errors (HTTP status, no answer, a
failure written into a card), each worker's RSS at start, after the warm-up and at the end,
and mixed results: every result path a user receives must be the run folder its own
choices key to (the key computed here from the choices and the data's fingerprints).

    python bench/load.py [--users 16] [--journeys 20] [--workers 4] [--threads 4] [--data DIR] [--login]
                         [--background disk] [--think SECONDS]

With --background the analyses run as background jobs: a request starts the job and the user
polls for its result at the page's own interval, as the page does; the analysis's time is then
from its start to its result. With --think each user takes that long (on average) over each
choice, as a person does; without it a user sends each request as soon as the last one is
answered, a stress test rather than a lab.

Exit status 1 when any request failed or any user received another's results; with
--strict also when a goal is missed (RSS flat within 10 %, page-load p95 under 2x one user's).
"""

from __future__ import annotations

import argparse
import gc
import json
import os
import random
import re
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

import requests

HERE = Path(__file__).resolve().parent
try:
    import veltrana.plugins.vistro  # noqa: F401  the installed package
except ImportError:
    sys.path.insert(0, str(HERE.parent / "host"))  # a source tree built in place

from veltrana import demo  # noqa: E402
from veltrana.plugins import results  # noqa: E402
from veltrana.plugins.analysis.clustering import MAX_FEATURES  # noqa: E402
from veltrana.plugins.paths import MyPath  # noqa: E402

START_TIMEOUT = 300.0
REQUEST_TIMEOUT = 600.0
METHODS = ["T-test(Unpaired)", "Wilcoxon(Unpaired)"]
PAGE = "page load"  # the whole page load, its requests one after another
RSS_GOAL, PAGE_GOAL = 0.10, 2.0
ARRIVAL = 2.0  # seconds over which the users of a run arrive


# -- the server ---------------------------------------------------------------------------

def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def start_server(data: str | None, out: str, workers: int, threads: int, log_path: Path, extra=()):
    """(process, url) of `veltrana serve` once it answers."""
    port = free_port()
    env = dict(os.environ, MPLBACKEND="Agg", PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    command = [sys.executable, "-m", "veltrana", "serve", "--workers", str(workers), "--threads", str(threads),
               "--port", str(port), "--out", out, *(["--data", data] if data else []), *extra]
    with open(log_path, "w") as log:  # the server holds its own copy
        proc = subprocess.Popen(command, stdout=log, stderr=subprocess.STDOUT, env=env)
    url = f"http://127.0.0.1:{port}"
    started = time.time()
    while time.time() - started < START_TIMEOUT:
        if proc.poll() is not None:
            raise RuntimeError(f"the server exited:\n{log_path.read_text()[-3000:]}")
        try:
            requests.get(url + "/_dash-layout", timeout=5)
            if len(worker_pids(proc.pid)) >= workers:
                return proc, url
        except requests.RequestException:
            pass
        time.sleep(0.2)
    stop_server(proc)
    raise RuntimeError("the server did not start")


def stop_server(proc) -> None:
    proc.terminate()  # gunicorn's master stops its workers
    try:
        proc.wait(timeout=30)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()


def worker_pids(master: int) -> list[int]:
    try:
        import psutil

        # The job launcher (named "veltrana-jobs") is a child of the master too, but no web worker.
        return sorted(c.pid for c in psutil.Process(master).children() if not c.name().startswith("veltrana-job"))
    except ImportError:
        pids = []
        for entry in os.listdir("/proc"):
            try:
                with open(f"/proc/{entry}/stat") as fh:
                    if int(fh.read().rsplit(")", 1)[1].split()[1]) == master:
                        pids.append(int(entry))
            except (OSError, ValueError, IndexError):
                continue
        return sorted(pids)
    except Exception:  # noqa: BLE001 - the master went away
        return []


def rss_mb(pid: int) -> float | None:
    try:
        import psutil

        return psutil.Process(pid).memory_info().rss / 2 ** 20
    except ImportError:
        try:
            with open(f"/proc/{pid}/status") as fh:
                line = next(x for x in fh if x.startswith("VmRSS:"))
            return int(line.split()[1]) / 1024
        except (OSError, StopIteration):
            return None
    except Exception:  # noqa: BLE001 - the worker went away
        return None


# -- a page without a browser -------------------------------------------------------------

def _output_ids(entry: dict) -> list[str]:
    key = entry["output"]
    return key[2:-2].split("...") if key.startswith("..") else [key]


def _walk(node, state: dict) -> None:
    """Collects "id.prop" -> value of every component of a layout with a text id."""
    if isinstance(node, list):
        for child in node:
            _walk(child, state)
        return
    if not isinstance(node, dict) or "props" not in node:
        return
    props = node["props"]
    ident = props.get("id")
    for prop, value in props.items():
        if isinstance(ident, str) and prop not in ("id", "children"):
            state[f"{ident}.{prop}"] = value
        if isinstance(value, (dict, list)):
            _walk(value, state)


class Page:
    """One user's page: its component values, and the callbacks it can send."""

    def __init__(self, url: str, session: requests.Session, record):
        self.url, self.session, self.record = url, session, record
        self.state: dict = {}
        self.callbacks: dict[str, dict] = {}
        self.end_id: str | None = None  # the page load's signed id, which background job handles are bound to
        self.think = 0.0  # seconds a user takes over each choice (on average), 0: none

    def pause(self, rng: random.Random) -> None:
        if self.think:
            time.sleep(rng.uniform(0.5, 1.5) * self.think)

    def get(self, kind: str, path: str):
        reply = self._timed(kind, lambda: self.session.get(self.url + path, timeout=REQUEST_TIMEOUT))
        return reply.json() if reply is not None and path.startswith("/_dash") else reply

    def post(self, body: dict, **query):
        return self.session.post(self.url + "/_dash-update-component", json=body, timeout=REQUEST_TIMEOUT,
                                 params={"endId": self.end_id, **query} if self.end_id else query or None)

    def _timed(self, kind, send, count=True):
        started = time.perf_counter()
        try:
            reply = send()
        except requests.RequestException as err:
            self.record(kind, time.perf_counter() - started, f"no answer: {err}")
            return None
        error = None if reply.status_code == 200 else f"HTTP {reply.status_code}"
        self.record(kind, time.perf_counter() - started, error, count=count or error is not None)
        return reply if error is None else None

    def _wait(self, kind: str, entry: dict, body: dict, handles: dict) -> dict:
        """Polls a background job at the page's interval until its result comes ({} on a failure)."""
        interval = entry["background"].get("interval", 1000) / 1000
        query = {"cacheKey": handles["cacheKey"], "job": handles["job"]}
        deadline = time.monotonic() + REQUEST_TIMEOUT
        while time.monotonic() < deadline:
            time.sleep(interval)
            reply = self._timed("job poll", lambda: self.post(body, **query))
            if reply is None:
                return {}
            content = reply.json() if reply.content else {}
            if "response" in content:
                return content
        self.record(kind, REQUEST_TIMEOUT, "the job did not end", count=False)
        return {}

    def load(self) -> None:
        html = self.get("page", "/")
        config = re.search(r'<script id="_dash-config" type="application/json">(.*?)</script>',
                           html.text if html is not None else "", re.S)
        self.end_id = json.loads(config.group(1)).get("end_id") if config else None
        layout = self.get("layout", "/_dash-layout")
        deps = self.get("dependencies", "/_dash-dependencies")
        if layout is None or deps is None:
            raise RuntimeError("the page did not load")
        self.state = {}
        _walk(layout, self.state)
        self.callbacks = {out: entry for entry in deps for out in _output_ids(entry)}

    def call(self, kind: str, output: str, **values) -> dict | None:
        """Sends the callback that computes `output` with the page's values (and `values`, by
        "id.prop"), stores what comes back in the page and returns it ({} on a failure)."""
        entry = self.callbacks[output]
        self.state.update(values)

        def dep(d):
            return {"id": d["id"], "property": d["property"], "value": self.state.get(f"{d['id']}.{d['property']}")}

        outs = [{"id": o.split(".")[0], "property": o.split(".", 1)[1]} for o in _output_ids(entry)]
        body = {"output": entry["output"], "outputs": outs if entry["output"].startswith("..") else outs[0],
                "inputs": [dep(d) for d in entry["inputs"]], "state": [dep(d) for d in entry["state"]],
                "changedPropIds": [f"{entry['inputs'][0]['id']}.{entry['inputs'][0]['property']}"]}
        started = time.perf_counter()
        reply = self._timed(kind, lambda: self.post(body), count=not entry.get("background"))
        if reply is not None and _only_figures(entry) and b'"sideUpdate"' not in reply.content \
                and b"veltrana-failure" not in reply.content:
            return {}  # a drawn figure: nothing the journey reads, and decoding it would load this client
        content = reply.json() if reply is not None else {}
        if entry.get("background") and "job" in content:
            content = self._wait(kind, entry, body, content)
            self.record(kind, time.perf_counter() - started)
        if not content:
            return {}
        answer = content.get("response", {})
        failure = next((str(props["children"]) for ident, props in answer.items()
                        if ident.startswith("loading-output-") and props.get("children")), None)
        if failure is None and content.get("sideUpdate"):
            # The failure handler titles the card's figure with the message.
            figure = next(iter(content["sideUpdate"].values())).get("figure", {})
            failure = str(figure.get("layout", {}).get("title", {}).get("text", "a failure"))
        if failure:
            self.record(kind, 0.0, f"failure shown: {failure[:200]}", count=False)
        for ident, props in answer.items():
            for prop, value in props.items():
                self.state[f"{ident}.{prop}"] = value
        return answer


def _only_figures(entry: dict) -> bool:
    return all(o.endswith(".figure") for o in _output_ids(entry))


def options(page: Page, key: str) -> list:
    return [o["value"] if isinstance(o, dict) else o for o in page.state.get(key) or []]


# -- a user's journeys --------------------------------------------------------------------

class Run:
    """Latencies and errors of every request, and result paths that were not the user's own."""

    def __init__(self):
        self.lock = threading.Lock()
        self.times: dict[str, list[float]] = {}
        self.errors: list[tuple[str, str]] = []
        self.mixed: list[tuple[int, str, str, str]] = []

    def record(self, kind, seconds, error=None, count=True):
        with self.lock:
            if count:
                self.times.setdefault(kind, []).append(seconds)
            if error:
                self.errors.append((kind, error))


def expected_run(my_path: MyPath, kind: str, inputs: dict, sources: list, parent: str, name: str) -> str:
    """The result path a run of these choices is published at."""
    key = results.run_key(kind, inputs, results.data_fingerprints(my_path, sources))
    return os.path.join(parent, key, name)


def load_page(page: Page, run: Run) -> None:
    started = time.perf_counter()
    page.load()
    page.call("pickers", "preprocess-source-dropdown.options")
    page.call("pickers", "profile-phenotype-dropdown.options")
    page.call("pickers", "phenotype-dropdown.options")
    page.call("pickers", "diff-data-source-dropdown.options")
    run.record(PAGE, time.perf_counter() - started)


def journey(page: Page, run: Run, my_path: MyPath, user: int, rng: random.Random) -> None:
    """One page load and three analyses with this user's choices."""
    load_page(page, run)
    sources = options(page, "preprocess-source-dropdown.options")
    check = []

    # Differential: a phenotype with two groups the user picks, a method, one or all sources.
    phenotypes = [p for p in options(page, "phenotype-dropdown.options") if p not in ("Patient_ID", "Sample_ID")]
    for phenotype in rng.sample(phenotypes, len(phenotypes)):
        page.call("groups", "target-groups-dropdown.options", **{"phenotype-dropdown.value": phenotype})
        groups = options(page, "target-groups-dropdown.options")
        if 2 <= len(groups) <= 6:
            break
    else:
        raise RuntimeError("no phenotype with two to six groups")
    target, reference = rng.sample(groups, 2)
    chosen = rng.choice([[s] for s in sources] + [sources])
    method, fdr, fold = rng.choice(METHODS), rng.choice([0.01, 0.05]), rng.choice([1.0, 1.5])
    page.pause(rng)
    answer = page.call("differential", "diff-inter.data", **{
        "diff-data-source-dropdown.value": chosen, "phenotype-dropdown.value": phenotype,
        "target-groups-dropdown.value": target, "refer-groups-dropdown.value": reference,
        "diff-exp-analysis-methods-dropdown.value": method, "diff-fdr-input.value": fdr,
        "diff-log2fc-input.value": fold, "run-diff-button.n_clicks": 1})
    inputs = {"sources": chosen, "method": method, "phenotype": phenotype, "target": str(target),
              "reference": str(reference), "fdr": float(fdr), "fold_change": float(fold)}
    check.append(("differential", answer.get("diff-inter", {}).get("data"),
                  expected_run(my_path, "differential", inputs, chosen, my_path.get_diff_dir(),
                               "differential_summary.txt")))
    page.call("differential figure", "diff-fig-source-dropdown.options")
    page.call("differential figure", "diff-volcano-fig.figure")

    # Decomposition of one source or all.
    chosen = rng.choice([[s] for s in sources] + [sources])
    page.pause(rng)
    answer = page.call("decomposition", "decomposition-inter.data", **{
        "decomposition-data-source-dropdown.value": chosen, "decomposition-method-dropdown.value": "PCA",
        "run-decomposition-button.n_clicks": 1})
    check.append(("decomposition", answer.get("decomposition-inter", {}).get("data"),
                  expected_run(my_path, "decomposition", {"sources": chosen, "method": "PCA"}, chosen,
                               my_path.get_decomposition_dir(), "decomposition_result.txt")))
    page.call("decomposition figure", "decomposition-figure-source-dropdown.options")
    page.call("decomposition figure", "decomposition-figure-1.figure")

    # Clustering with the user's number of clusters.
    chosen, k = rng.choice([[s] for s in sources]), rng.randint(2, 6)
    page.pause(rng)
    answer = page.call("clustering", "feature-clustering-inter.data", **{
        "clustering-source-dropdown.value": chosen, "clustering-number-input.value": k,
        "run-feature-clustering-button.n_clicks": 1})
    check.append(("clustering", answer.get("feature-clustering-inter", {}).get("data"),
                  expected_run(my_path, "clustering", {"sources": chosen, "clusters": k, "max_features": MAX_FEATURES},
                               chosen, my_path.get_clustering_dir(), "feature_clustering_result.txt")))
    page.call("clustering figure", "clustering-figure-1.figure")
    page.pause(rng)

    for kind, got, expected in check:
        if not got:
            run.record(kind, 0.0, "no result path", count=False)
        elif got != expected:
            with run.lock:
                run.mixed.append((user, kind, str(got), expected))


def user_loop(url, run, my_path, user, journeys, auth=None, part=0, think=0.0):
    rng = random.Random(f"{user}/{part}")
    for _ in range(journeys):
        # Each journey is a visit of its own: a new connection, which may reach another worker.
        with requests.Session() as session:
            session.auth = auth
            try:
                page = Page(url, session, run.record)
                page.think = think
                journey(page, run, my_path, user, rng)
            except Exception as err:  # noqa: BLE001 - told in the table, the others go on
                run.record("journey", 0.0, f"{type(err).__name__}: {err}", count=False)


def _one_user(url, my_path, user, journeys, auth, part, think):
    # What this process inherited (the libraries this benchmark imports) stays out of its garbage
    # collector's full passes, which would otherwise pause it, mid-request, for a tenth of a second.
    gc.freeze()
    # Users arrive one by one, not all in the same millisecond: each starts within the first
    # ARRIVAL seconds. (Started at once, the 16 first page loads of each part queue behind one
    # another, and those are the slowest twentieth of all page loads.)
    time.sleep(random.Random(f"arrival {user}/{part}").uniform(0, ARRIVAL))
    run = Run()
    user_loop(url, run, my_path, user, journeys, auth, part, think)
    return run.times, run.errors, run.mixed


def together(url, run, my_path, users, journeys, auth=None, part=0, think=0.0) -> None:
    """`users` users at once, each in a process of its own (as each user has a browser of their own:
    one user's decoding never delays another's timings), with their own connections and choices."""
    import multiprocessing
    from concurrent.futures import ProcessPoolExecutor

    with ProcessPoolExecutor(users, mp_context=multiprocessing.get_context("fork")) as pool:
        done = [pool.submit(_one_user, url, my_path, u, journeys, auth, part, think) for u in range(users)]
        for future in done:
            times, errors, mixed = future.result()
            for kind, values in times.items():
                run.times.setdefault(kind, []).extend(values)
            run.errors += errors
            run.mixed += mixed


# -- the run ------------------------------------------------------------------------------

def percentile(values, share) -> float:
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, max(0, round(share * (len(ordered) - 1))))]


def measure(users: int, journeys: int, workers: int, threads: int, data: str | None, work: Path,
            login: bool = False, background: str | None = None, think: float = 0.0) -> dict:
    """Runs the benchmark; returns its figures. With `login` the server asks for one, and every request logs in;
    with `background` ("disk") the analyses run as background jobs of that manager."""
    auth, extra = None, ("--background", background) if background else ()
    if login:
        from veltrana import access

        auth = ("bench", "bench-" + os.urandom(8).hex())
        access.add_user(str(work / "users"), *auth)
        extra += ("--users", str(work / "users"))
    if data:
        paths = demo.paths_for(data, str(work / "out"))
    else:
        from veltrana.__main__ import demo_paths

        paths = demo_paths(str(work / "out"))
    my_path = MyPath(paths)
    proc, url = start_server(data or os.path.dirname(paths["info"]), str(work / "out"), workers, threads,
                             work / "server.log", extra)
    try:
        pids = worker_pids(proc.pid)
        rss = {pid: [rss_mb(pid)] for pid in pids}
        # Warm-up: every user's first journey, which reaches every request type in every worker.
        warm = Run()
        together(url, warm, my_path, users, 1, auth)
        # One user alone: page loads as in a journey, each a visit of its own (a new connection).
        single = Run()
        for _ in range(5):
            with requests.Session() as session:
                session.auth = auth
                load_page(Page(url, session, single.record), single)
        for pid in pids:
            rss[pid].append(rss_mb(pid))

        # The run in two halves, with each worker's RSS between them: memory that settles over the
        # first journeys (caches, arenas of threads first used) shows as growth in the first half only.
        run = Run()
        started = time.perf_counter()
        for part, share in enumerate((journeys // 2, journeys - journeys // 2), 1):
            together(url, run, my_path, users, share, auth, part, think)
            for pid in pids:
                rss[pid].append(rss_mb(pid))
        elapsed = time.perf_counter() - started
        restarted = sorted(set(worker_pids(proc.pid)) - set(pids))
    finally:
        stop_server(proc)
    requests_done = sum(len(v) for k, v in run.times.items() if k != PAGE)
    return {"users": users, "journeys": journeys, "workers": workers, "threads": threads, "login": login,
            "background": background, "think": think,
            "seconds": elapsed, "requests": requests_done, "throughput": requests_done / elapsed,
            "journeys_per_second": users * journeys / elapsed,
            "latency": {k: {"n": len(v), "p50": percentile(v, .5), "p95": percentile(v, .95)}
                        for k, v in run.times.items()},
            "single_page": statistics.median(single.times[PAGE]),
            "errors": run.errors + warm.errors + single.errors, "mixed": run.mixed,
            "rss": {str(pid): values for pid, values in rss.items()}, "restarted_workers": restarted}


def report(m: dict) -> str:
    lines = [f"{m['users']} users x {m['journeys']} journeys on {m['workers']} workers x {m['threads']} threads: "
             f"{m['requests']} requests in {m['seconds']:.1f} s, {m['throughput']:.1f} requests/s, "
             f"{m['journeys_per_second']:.2f} journeys/s"
             + (f", analyses as {m['background']} background jobs" if m.get("background") else "")
             + (f", {m['think']:g} s over each choice" if m.get("think") else ", no time over choices"), "",
             f"{'request':<22}{'n':>6}{'p50 ms':>10}{'p95 ms':>10}"]
    for kind, t in sorted(m["latency"].items(), key=lambda kv: kv[0] != PAGE):
        lines.append(f"{kind:<22}{t['n']:>6}{1000 * t['p50']:>10.0f}{1000 * t['p95']:>10.0f}")
    lines += ["", f"{'worker':<10}{'start MB':>10}{'warm MB':>10}{'mid MB':>10}{'end MB':>10}{'end/warm':>10}"
                  f"{'end/mid':>10}"]
    for pid, (start, warm, mid, end) in m["rss"].items():
        lines.append(f"{pid:<10}{start or 0:>10.0f}{warm or 0:>10.0f}{mid or 0:>10.0f}{end or 0:>10.0f}"
                     f"{_change(warm, end):>10}{_change(mid, end):>10}")
    page = m["latency"].get(PAGE, {}).get("p95", float("nan"))
    lines += ["", f"errors: {len(m['errors'])}" + "".join(f"\n  {k}: {e}" for k, e in m["errors"][:10]),
              f"mixed results: {len(m['mixed'])}" + "".join(f"\n  user {u} {k}: got {g}, own {e}"
                                                           for u, k, g, e in m["mixed"][:10]),
              f"page load p95 {1000 * page:.0f} ms = {page / m['single_page']:.2f} x one user's "
              f"({1000 * m['single_page']:.0f} ms; goal < {PAGE_GOAL:g} x)",
              f"RSS over the second half of the run: {'flat' if rss_flat(m) else 'NOT flat'} "
              f"(goal within {RSS_GOAL:.0%})"]
    if m["restarted_workers"]:
        lines.append(f"workers restarted during the run: {m['restarted_workers']}")
    return "\n".join(lines)


def _change(before, after) -> str:
    return f"{100 * (after / before - 1):+.1f} %" if before and after else "-"


def rss_flat(m: dict) -> bool:
    return all(mid and end and abs(end / mid - 1) <= RSS_GOAL for *_, mid, end in m["rss"].values())


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--users", type=int, default=16, help="simulated users at once (default 16)")
    parser.add_argument("--journeys", type=int, default=20, help="journeys per user (default 20)")
    parser.add_argument("--workers", type=int, default=4, help="server worker processes (default 4)")
    parser.add_argument("--threads", type=int, default=4, help="threads per worker (default 4)")
    parser.add_argument("--data", help="a folder laid out like the demo (default: the demo)")
    parser.add_argument("--work", help="folder for the output and the server log (default: temporary)")
    parser.add_argument("--login", action="store_true", help="serve with a login (--users) and log in on every request")
    parser.add_argument("--background", choices=["disk"], help="run the analyses as background jobs (serve --background)")
    parser.add_argument("--think", type=float, default=0.0, metavar="SECONDS",
                        help="a user's time over each choice, on average (default 0: requests back to back)")
    parser.add_argument("--json", metavar="FILE", help="also write the figures as JSON")
    parser.add_argument("--strict", action="store_true", help="exit 1 when a goal is missed too")
    args = parser.parse_args(argv)
    with tempfile.TemporaryDirectory(prefix="veltrana-load-") as tmp:
        work = Path(args.work or tmp)
        work.mkdir(parents=True, exist_ok=True)
        m = measure(args.users, args.journeys, args.workers, args.threads, args.data, work, args.login,
                    args.background, args.think)
    print(report(m), flush=True)
    if args.json:
        Path(args.json).write_text(json.dumps(m, indent=1))
    failed = bool(m["errors"] or m["mixed"])
    missed = not rss_flat(m) or m["latency"][PAGE]["p95"] > PAGE_GOAL * m["single_page"]
    return 1 if failed or (args.strict and missed) else 0


if __name__ == "__main__":
    sys.exit(main())
