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

With --hostile (the server with logins, its analyses as background jobs) the users, each with a
login of their own, run their journeys alone, then again while one more login sends the page's
most expensive requests on --streams streams at once, until the users are done: differential runs
with the slowest test on every source, GSEA with the most permutations allowed on their results,
Kaplan-Meier curves on the largest grouping the card offers, and on groupings it does not offer
(Sample_ID, numbers), which must be refused in the card. Reported side by side: the users' page
load and differential p95, their failed requests, the server's peak memory (its processes' RSS
summed, jobs included; and their PSS summed, the memory they take together), and how each hostile
request ended.

    python bench/load.py --hostile [--users 15] [--journeys 6] [--streams 6]

Exit status 1 when any request failed or any user received another's results (with --hostile
also when a hostile request got a 5xx or no ending, or a forged one was drawn); with --strict
also when a goal is missed (RSS flat within 10 %, page-load p95 under 2x one user's; with
--hostile the targets of its table).
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

from veltrana.study import demo  # noqa: E402
from veltrana.serve.background import CANCELLED  # noqa: E402
from veltrana.serve.launcher import DIED, TOO_LONG, WAITING  # noqa: E402
from veltrana.runs import results  # noqa: E402
from veltrana.analyses.clustering import MAX_FEATURES  # noqa: E402
from veltrana.plugins.paths import MyPath  # noqa: E402

START_TIMEOUT = 300.0
REQUEST_TIMEOUT = 600.0
METHODS = ["T-test(Unpaired)", "Wilcoxon(Unpaired)"]
PAGE = "page load"  # the whole page load, its requests one after another
RSS_GOAL, PAGE_GOAL = 0.10, 2.0
QUEUED = ", queued first"  # a run that waited in line for its place (its progress text said so): kind + QUEUED
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
        self.queued = False  # whether the last job waited in line

    def pause(self, rng: random.Random) -> None:
        if self.think:
            time.sleep(rng.uniform(0.5, 1.5) * self.think)

    def get(self, kind: str, path: str):
        reply = self._timed(kind, lambda: self.session.get(self.url + path, timeout=REQUEST_TIMEOUT))
        return reply.json() if reply is not None and path.startswith("/_dash") else reply

    def post(self, body: dict, **query):
        return self.session.post(self.url + "/_dash-update-component", json=body, timeout=REQUEST_TIMEOUT,
                                 params={"endId": self.end_id, **query} if self.end_id else query or None)

    def _timed(self, kind, send, count=True, ok=(200,)):
        started = time.perf_counter()
        try:
            reply = send()
        except requests.RequestException as err:
            self.record(kind, time.perf_counter() - started, f"no answer: {err}")
            return None
        error = None if reply.status_code in ok else f"HTTP {reply.status_code}"
        self.record(kind, time.perf_counter() - started, error, count=count or error is not None)
        return reply if error is None else None

    def polled(self, handles: dict) -> None:
        """Called after each answer to a poll of a job that has not ended."""

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
            self.queued |= WAITING.split("{")[0] in json.dumps(content.get("progress"))
            self.polled(handles)
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
        body = self.body(entry)
        started, self.queued = time.perf_counter(), False
        reply = self._timed(kind, lambda: self.post(body), count=not entry.get("background"))
        if reply is not None and _only_figures(entry) and b'"sideUpdate"' not in reply.content \
                and FAILED_MARK not in reply.content and NOT_RUN not in reply.content:
            return {}  # a drawn figure: nothing the journey reads, and decoding it would load this client
        content = reply.json() if reply is not None else {}
        if entry.get("background") and "job" in content:
            content = self._wait(kind, entry, body, content)
            self.record(kind, time.perf_counter() - started)
            if self.queued:
                self.record(kind + QUEUED, time.perf_counter() - started)
        if not content:
            return {}
        answer = content.get("response", {})
        failure = shown_failure(content)
        if failure:
            self.record(kind, 0.0, f"failure shown: {failure[:200]}", count=False)
        for ident, props in answer.items():
            for prop, value in props.items():
                self.state[f"{ident}.{prop}"] = value
        return answer

    def body(self, entry: dict) -> dict:
        """The request the page sends for the callback `entry`, with the page's current values."""
        def dep(d):
            return {"id": d["id"], "property": d["property"], "value": self.state.get(f"{d['id']}.{d['property']}")}

        outs = [{"id": o.split(".")[0], "property": o.split(".", 1)[1]} for o in _output_ids(entry)]
        return {"output": entry["output"], "outputs": outs if entry["output"].startswith("..") else outs[0],
                "inputs": [dep(d) for d in entry["inputs"]], "state": [dep(d) for d in entry["state"]],
                "changedPropIds": [f"{entry['inputs'][0]['id']}.{entry['inputs'][0]['property']}"]}


# How the failure handler marks a card's message: its text's class, and its figure's title.
FAILED_MARK, NOT_RUN = b"veltrana-failure", b"Not run: "


def shown_failure(content: dict) -> str | None:
    """The message a callback's answer writes into its card (its text, or its figure's title), or None."""
    answer = content.get("response", {})
    for ident, props in answer.items():
        for prop, value in props.items():
            if ident.startswith("loading-output-") and FAILED_MARK.decode() in json.dumps(value):
                return str(value.get("props", {}).get("children") if isinstance(value, dict) else value)
            if prop == "figure" and _titled_failure(value):
                return _titled_failure(value)
    # With no figure of its own, the handler titles the card's figure.
    return next(filter(None, (_titled_failure(p.get("figure")) for p in (content.get("sideUpdate") or {}).values()
                              if isinstance(p, dict))), None)


def _titled_failure(figure) -> str | None:
    title = ((figure or {}).get("layout") or {}).get("title") if isinstance(figure, dict) else None
    text = str(title.get("text", "") if isinstance(title, dict) else title or "")
    return text.replace("<br>", " ") if text.startswith(NOT_RUN.decode()) else None


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


# The callbacks that fill the pickers as the page loads.
PICKERS = ("preprocess-source-dropdown.options", "profile-phenotype-dropdown.options", "phenotype-dropdown.options",
           "diff-data-source-dropdown.options")


def load_page(page: Page, run: Run | None = None) -> None:
    started = time.perf_counter()
    page.load()
    for output in PICKERS:
        page.call("pickers", output)
    if run is not None:
        run.record(PAGE, time.perf_counter() - started)


def journey(page: Page, run: Run, my_path: MyPath, user: int, rng: random.Random, fresh: bool = False) -> None:
    """One page load and three analyses with this user's choices. With `fresh` the differential's FDR
    threshold is the user's own, so each run is computed rather than found published."""
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
    if fresh:
        fdr = round(rng.uniform(0.01, 0.1), 6)
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


def user_loop(url, run, my_path, user, journeys, auth=None, part=0, think=0.0, fresh=False):
    rng = random.Random(f"{user}/{part}")
    for _ in range(journeys):
        # Each journey is a visit of its own: a new connection, which may reach another worker.
        with requests.Session() as session:
            session.auth = auth
            try:
                page = Page(url, session, run.record)
                page.think = think
                journey(page, run, my_path, user, rng, fresh)
            except Exception as err:  # noqa: BLE001 - told in the table, the others go on
                run.record("journey", 0.0, f"{type(err).__name__}: {err}", count=False)


def _one_user(url, my_path, user, journeys, auth, part, think, fresh):
    # What this process inherited (the libraries this benchmark imports) stays out of its garbage
    # collector's full passes, which would otherwise pause it, mid-request, for a tenth of a second.
    gc.freeze()
    # Users arrive one by one, not all in the same millisecond: each starts within the first
    # ARRIVAL seconds. (Started at once, the 16 first page loads of each part queue behind one
    # another, and those are the slowest twentieth of all page loads.)
    time.sleep(random.Random(f"arrival {user}/{part}").uniform(0, ARRIVAL))
    run = Run()
    user_loop(url, run, my_path, user, journeys, auth, part, think, fresh)
    return run.times, run.errors, run.mixed


def together(url, run, my_path, users, journeys, auth=None, part=0, think=0.0, fresh=False) -> None:
    """`users` users at once, each in a process of its own (as each user has a browser of their own:
    one user's decoding never delays another's timings), with their own connections and choices
    (and logins, when `auth` lists one per user)."""
    import multiprocessing
    from concurrent.futures import ProcessPoolExecutor

    with ProcessPoolExecutor(users, mp_context=multiprocessing.get_context("fork")) as pool:
        done = [pool.submit(_one_user, url, my_path, u, journeys, auth[u] if isinstance(auth, list) else auth,
                            part, think, fresh) for u in range(users)]
        for future in done:
            times, errors, mixed = future.result()
            for kind, values in times.items():
                run.times.setdefault(kind, []).extend(values)
            run.errors += errors
            run.mixed += mixed


# -- a hostile login ----------------------------------------------------------------------

SLOWEST = "Wilcoxon(Unpaired)"  # the differential card's slowest test
LIBRARY = "bench_library.gmt"  # the gene sets of the hostile login's GSEA runs (see `write_library`)
BANDS = "95% confidence bands"  # the Kaplan-Meier card's costlier drawing
HOSTILE_KINDS = ("differential", "GSEA", "Kaplan-Meier", "Kaplan-Meier forged")
HOSTILE_REQUESTS = 500  # at most, per stream: it stops once the users are done
HEAD_START = 5.0  # seconds the hostile login runs before the users arrive, its line of jobs full by then
SAMPLE = 0.5  # seconds between two samples of the server's memory
MEMORY_GOAL_MB, HOSTILE_PAGE_GOAL, HOSTILE_DIFF_GOAL = 4096, 2.0, 3.0
# How a hostile request ended: a result; a message in its card; told that its job stopped (killed, out of
# memory or time); cancelled once the users were done; a 5xx; anything else (no answer, an internal error,
# a job that ended without a word).
ENDINGS = FINISHED, REFUSED, STOPPED, CANCELLED_RUN, SERVER_ERROR, FAILED = (
    "finished", "refused", "stopped", "cancelled", "5xx", "failed")


# A job's ending told in its card: killed, past its time, out of its memory.
STOPPED_TEXTS = tuple(NOT_RUN.decode() + t.split("{")[0]
                      for t in (DIED, TOO_LONG, "The analysis needed more than the {"))


class HostilePage(Page):
    """The hostile login's page: one request at a time, whose ending it tells (`ending`); it notes a job
    that waited in line, and presses the job's Cancel button once `stopped()`."""

    def __init__(self, url, session, stopped):
        super().__init__(url, session, self._note)
        self.stopped = stopped
        self.begin()

    def begin(self) -> None:
        self.errors, self.told = [], None

    def _note(self, kind, seconds, error=None, count=True):
        if error:
            self.errors.append(error)

    def polled(self, handles):
        if self.told is None and self.stopped():
            self.told = self.cancel(handles)

    def cancel(self, handles) -> str:
        """Presses the job's Cancel button as the page does (each callback of the button, the job's
        handle with them); what the card then says."""
        button = handles["cancel"][0]["id"]
        self.state[f"{button}.n_clicks"] = 1
        said = []
        for entry in {id(e): e for e in self.callbacks.values()}.values():
            if entry["inputs"][0]["id"] == button:
                reply = self._timed("cancel", lambda: self.post(self.body(entry), cancelJob=handles["job"]),
                                    ok=(200, 204))
                if reply is not None and reply.content:
                    said.append(json.dumps(reply.json().get("response")))
        return " ".join(said)

    def ending(self, answer: dict) -> tuple[str, str]:
        """(how the request ended, its message)."""
        shown = next((e.split(": ", 1)[1] for e in self.errors if e.startswith("failure shown: ")), None)
        others = [e for e in self.errors if not e.startswith("failure shown: ")]
        if any(e.startswith("HTTP 5") for e in others):
            return SERVER_ERROR, next(e for e in others if e.startswith("HTTP 5"))
        if shown:
            if "internal error" in shown:
                return FAILED, shown
            return (STOPPED if shown.startswith(STOPPED_TEXTS) else REFUSED), shown
        if self.told is not None and not answer:  # its last poll answers 204: the job is gone
            return (CANCELLED_RUN, "") if CANCELLED in self.told else (FAILED, f"cancelled, told {self.told!r}")
        if others or not answer:
            return FAILED, (others or ["no answer"])[0]
        return FINISHED, ""


def write_library(my_path: MyPath) -> None:
    """A user gene-set file as large as the shipped library, over the study's own genes: each of the
    library's sets with its genes mapped onto the study's. (The demo's genes are in no shipped set,
    so the GSEA card would refuse every run before its permutations.)"""
    import zlib

    import pandas as pd

    from veltrana.analyses.enrichment import get_offline_libraries, load_offline_library
    from veltrana.plugins.vocabulary import gene_of

    genes = sorted({gene_of(f) for path in my_path.paths["expression"].values()
                    for f in pd.read_csv(path, sep="\t", usecols=[0]).iloc[:, 0].astype(str)})
    shipped = load_offline_library(get_offline_libraries()[0])
    lines = ["\t".join([term, "", *sorted({genes[zlib.crc32(g.encode()) % len(genes)] for g in members})])
             for term, members in shipped.items()]
    os.makedirs(my_path.get_user_geneset_dir(), exist_ok=True)
    Path(my_path.get_user_geneset_dir(), LIBRARY).write_text("\n".join(lines) + "\n")


class HostilePlan:
    """The most expensive choices the page offers the hostile login, read from the page itself."""

    def __init__(self, page: Page):
        self.sources = options(page, "preprocess-source-dropdown.options")
        offered = options(page, "km-phenotype-dropdown.options")
        groups = {p: len(options_of(page, "km-sample-groups-dropdown.options", "km-sample-phenotype-dropdown.value", p))
                  for p in offered}
        page.state.update({"km-sample-phenotype-dropdown.value": None, "km-sample-groups-dropdown.value": []})
        self.largest = max(offered, key=groups.get)
        # Columns the card does not offer (an id, numbers): a forged request must be refused in the card.
        self.forged = sorted((c for c in options(page, "km-status-dropdown.options") if c not in offered),
                             key=lambda c: c != "Sample_ID")
        self.permutations = page.state.get("gsea-permutations-input.max") or 10_000
        self.library = LIBRARY if LIBRARY in options(page, "gsea-library-dropdown.options") else None
        for phenotype in options(page, "phenotype-dropdown.options"):
            values = options_of(page, "target-groups-dropdown.options", "phenotype-dropdown.value", phenotype)
            if len(values) >= 2:
                self.phenotype, self.target, self.reference = phenotype, values[0], values[1]
                break
        else:
            raise RuntimeError("no phenotype with two groups")


def options_of(page: Page, output: str, picker: str, value) -> list:
    page.call("pickers", output, **{picker: value})
    return options(page, output)


def hostile_request(page: HostilePage, plan: HostilePlan, kind: str, n: int, rng: random.Random) -> dict:
    """Sends the `n`th request of the hostile login, of `kind`; its answer."""
    if kind == "differential":  # its own FDR threshold: a new run, not the published one
        return page.call(kind, "diff-inter.data", **{
            "diff-data-source-dropdown.value": plan.sources, "phenotype-dropdown.value": plan.phenotype,
            "target-groups-dropdown.value": plan.target, "refer-groups-dropdown.value": plan.reference,
            "diff-exp-analysis-methods-dropdown.value": SLOWEST, "diff-fdr-input.value": round(rng.uniform(.01, .2), 6),
            "diff-log2fc-input.value": 1.0, "run-diff-button.n_clicks": n})
    if kind == "GSEA":  # on the last differential run's result
        page.call("pickers", "gsea-source-dropdown.options")
        return page.call(kind, "enrich-gsea-pres-inter.data", **{
            "gsea-permutations-input.value": plan.permutations, "gsea-run-button.n_clicks": n,
            **({"gsea-library-dropdown.value": plan.library} if plan.library else {})})
    # Each stream's forged requests go through the forged groupings in turn, Sample_ID first.
    phenotype = plan.largest if kind == "Kaplan-Meier" else plan.forged[n // len(HOSTILE_KINDS) % len(plan.forged)]
    return page.call(kind, "assoc-surv-fig.figure", **{
        "km-grouping-radio.value": "Phenotype", "km-phenotype-dropdown.value": phenotype,
        "km-options-checklist.value": [BANDS]})


def hostile_stream(url: str, auth, stream: int, stopped) -> list[tuple[str, str, str, bool]]:
    """One stream of the hostile login: the page's most expensive requests one after another, each
    kind in turn, until `stopped()`. (kind, ending, message, whether it waited in line) of each."""
    rng, done, page, plan, turn = random.Random(f"hostile {stream}"), [], None, None, stream
    with requests.Session() as session:
        session.auth = auth
        for n in range(HOSTILE_REQUESTS):
            if stopped():
                break
            kind = HOSTILE_KINDS[turn % len(HOSTILE_KINDS)]
            try:
                if plan is None:
                    kind = "page load"
                    page = HostilePage(url, session, stopped)
                    load_page(page)
                    plan = HostilePlan(page)
                    continue
                if kind == "GSEA" and not page.state.get("diff-inter.data"):
                    kind = "differential"  # the GSEA run's input first, the GSEA run next
                else:
                    turn += 1
                page.begin()
                answer = hostile_request(page, plan, kind, n, rng)
                done.append((kind, *page.ending(answer), page.queued))
            except Exception as err:  # noqa: BLE001 - counted, and the stream goes on
                done.append((kind, FAILED, f"{type(err).__name__}: {err}", False))
                time.sleep(1.0)
    return done


def hostile_login(url: str, auth, streams: int, stopped) -> list:
    """`streams` streams of one login at once (threads: they mostly wait for the server)."""
    from concurrent.futures import ThreadPoolExecutor

    with ThreadPoolExecutor(streams) as pool:
        return [r for done in pool.map(lambda s: hostile_stream(url, auth, s, stopped), range(streams)) for r in done]


def server_memory(master: int, stopped) -> dict:
    """Until `stopped()`, every SAMPLE s: the peak of the summed RSS of the server's processes (its master,
    workers, job launcher and jobs), the same of their PSS (pages shared since a fork counted once, not in
    each process: the memory they take together), and the most job processes seen at once (running or
    waiting)."""
    import psutil

    peak, pss, jobs = 0.0, 0.0, 0
    while not stopped():
        try:
            tree = [psutil.Process(master), *psutil.Process(master).children(recursive=True)]
        except psutil.Error:
            break
        rss_sum, pss_sum, running = 0, 0, 0
        for process in tree:
            try:
                memory = process.memory_full_info()
                rss_sum, pss_sum = rss_sum + memory.rss, pss_sum + getattr(memory, "pss", 0)
                running += process.name() == "veltrana-job"
            except psutil.Error:  # it has just ended
                pass
        peak, pss, jobs = max(peak, rss_sum / 2 ** 20), max(pss, pss_sum / 2 ** 20), max(jobs, running)
        time.sleep(SAMPLE)
    return {"peak_mb": peak, "peak_pss_mb": pss, "jobs": jobs}


class Aside:
    """`target(*args, stopped)` in a process of its own, forked now, while this one runs no other thread;
    `result()` tells it to stop and returns what it returned."""

    def __init__(self, target, *args):
        import multiprocessing

        context = multiprocessing.get_context("fork")
        self.stop = context.Event()
        self.receive, send = context.Pipe(duplex=False)
        self.process = context.Process(target=self._run, args=(send, target, args, self.stop), daemon=True)
        self.process.start()
        send.close()

    @staticmethod
    def _run(send, target, args, stop):
        try:
            send.send((True, target(*args, stop.is_set)))
        except BaseException as err:  # noqa: BLE001 - told to the waiting process
            send.send((False, f"{type(err).__name__}: {err}"))

    def result(self, seconds: float = REQUEST_TIMEOUT + 60):
        self.stop.set()
        deadline = time.monotonic() + seconds
        try:
            while not self.receive.poll(1.0):
                if not self.process.is_alive() or time.monotonic() > deadline:
                    raise RuntimeError(f"{self.process.name} ended without an answer, or did not stop")
            done, value = self.receive.recv()
            if not done:
                raise RuntimeError(value)
            return value
        finally:
            self.process.join(5)
            if self.process.is_alive():
                self.process.kill()


def hostile_phase(url, my_path, auths, journeys, master, think, hostile=None, streams=0) -> dict:
    """The users' journeys (fresh runs each), with the `hostile` login's streams at once when given;
    the users' figures, the server's peak memory, and each hostile request's ending."""
    memory = Aside(server_memory, master)
    attack = Aside(hostile_login, url, hostile, streams) if hostile else None
    try:
        if attack:
            time.sleep(HEAD_START)
        run, started = Run(), time.perf_counter()
        together(url, run, my_path, len(auths), journeys, auths, 2 if hostile else 1, think, fresh=True)
        elapsed = time.perf_counter() - started
    finally:  # the hostile streams stop once the users are done
        endings = attack.result() if attack else []
        peak = memory.result()
    return {"seconds": elapsed, "latency": {k: {"n": len(v), "p50": percentile(v, .5), "p95": percentile(v, .95)}
                                            for k, v in run.times.items()},
            "errors": run.errors, "mixed": run.mixed, **peak, "hostile": endings}


def measure_hostile(users: int, journeys: int, workers: int, threads: int, data: str | None, work: Path,
                    streams: int, think: float = 0.0) -> dict:
    """`users` logins' journeys alone, then again while one more login sends the page's most expensive
    requests on `streams` streams at once; the server with logins, its analyses as background jobs."""
    auths = add_logins(work / "users", [f"user-{u}" for u in range(users)] + ["hostile"])
    hostile = auths.pop()
    proc, url, my_path = serve_study(data, work, workers, threads,
                                     ("--background", "disk", "--users", str(work / "users")), write_library)
    try:
        warm = Run()  # every user's first journey, which reaches every request type in every worker
        together(url, warm, my_path, users, 1, auths)
        quiet = hostile_phase(url, my_path, auths, journeys, proc.pid, think)
        loud = hostile_phase(url, my_path, auths, journeys, proc.pid, think, hostile, streams)
    finally:
        stop_server(proc)
    return {"mode": "hostile", "users": users, "journeys": journeys, "workers": workers, "threads": threads,
            "streams": streams, "think": think, "warm_errors": warm.errors, "quiet": quiet, "hostile": loud,
            "table": hostile_table(quiet, loud)}


def _p95(phase: dict, kind: str) -> float:
    return phase["latency"].get(kind, {}).get("p95", float("nan"))


def hostile_table(quiet: dict, loud: dict) -> list[dict]:
    """The rows of the report: measure, quiet and hostile figures, their ratio, target, and whether it is met."""
    def ratio_row(measure, q, h, goal, unit):
        ratio = h / q if q else float("nan")
        return {"measure": measure, "quiet": q, "hostile": h, "ratio": ratio, "target": f"< {goal:g}x",
                "met": ratio < goal, "unit": unit}

    endings = [(ending, queued) for _kind, ending, _message, queued in loud["hostile"]]
    count = {e: sum(1 for x, _ in endings if x == e) for e in ENDINGS}
    rows = [ratio_row("page load p95 (all its requests)", _p95(quiet, PAGE), _p95(loud, PAGE), HOSTILE_PAGE_GOAL, "s"),
            ratio_row("differential, start to result, p95", _p95(quiet, "differential"), _p95(loud, "differential"),
                      HOSTILE_DIFF_GOAL, "s"),
            {"measure": "failed requests of the other users", "quiet": len(quiet["errors"]),
             "hostile": len(loud["errors"]), "target": "0", "met": not loud["errors"] and not loud["mixed"]},
            memory_row("peak memory of the server and its jobs (RSS summed)", quiet["peak_mb"], loud["peak_mb"]),
            memory_row("the same, pages shared since a fork counted once (PSS summed)", quiet["peak_pss_mb"],
                       loud["peak_pss_mb"]),
            {"measure": "hostile requests: finished", "hostile": count[FINISHED]},
            {"measure": 'hostile requests: queued first (saw "waiting:")', "hostile": sum(q for _, q in endings)},
            {"measure": "hostile requests: refused with a message", "hostile": count[REFUSED]},
            {"measure": "hostile requests: stopped, told in the card", "hostile": count[STOPPED]},
            {"measure": "hostile requests: cancelled once the users were done", "hostile": count[CANCELLED_RUN]},
            {"measure": "hostile requests: 5xx", "hostile": count[SERVER_ERROR], "target": "0",
             "met": not count[SERVER_ERROR]},
            {"measure": "hostile requests: failed otherwise (no answer, internal error, silent end)",
             "hostile": count[FAILED], "target": "0", "met": not count[FAILED]}]
    return rows


def memory_row(measure: str, quiet: float, loud: float) -> dict:
    return {"measure": measure, "quiet": quiet, "hostile": loud, "ratio": loud / quiet if quiet else None,
            "target": f"< {MEMORY_GOAL_MB / 1024:g} GB", "met": loud < MEMORY_GOAL_MB, "unit": "MB"}


def _shown(value, unit=None) -> str:
    if value is None or value == "":
        return "-"
    if unit == "s":
        return f"{1000 * value:.0f} ms"
    if unit == "MB":
        return f"{value / 1024:.2f} GB"
    return f"{value:.2f}x" if isinstance(value, float) else str(value)


def report_hostile(m: dict) -> str:
    q, h = m["quiet"], m["hostile"]
    lines = [f"{m['users']} users x {m['journeys']} journeys on {m['workers']} workers x {m['threads']} threads, "
             f"analyses as background jobs, logins; quiet {q['seconds']:.0f} s, then with one hostile login on "
             f"{m['streams']} streams {h['seconds']:.0f} s", "",
             "| measure | quiet | hostile | ratio | target | met |", "|---|---|---|---|---|---|"]
    for row in m["table"]:
        met = "" if "met" not in row else ("yes" if row["met"] else "NO")
        lines.append(f"| {row['measure']} | {_shown(row.get('quiet'), row.get('unit'))} | "
                     f"{_shown(row.get('hostile'), row.get('unit'))} | {_shown(row.get('ratio'))} | "
                     f"{row.get('target', '')} | {met} |")
    lines += ["", f"job processes at once, at most (running or waiting): quiet {q['jobs']}, hostile {h['jobs']}",
              "", "the hostile login's requests by kind:"]
    for kind in sorted({k for k, *_ in h["hostile"]}):
        mine = [(e, msg, w) for k, e, msg, w in h["hostile"] if k == kind]
        counts = ", ".join(f"{n} {x}" for x in ENDINGS if (n := sum(1 for e, *_ in mine if e == x)))
        lines.append(f"  {kind}: {len(mine)} ({counts}; {sum(w for *_, w in mine)} queued first)")
        for message in list(dict.fromkeys(msg for _, msg, _ in mine if msg))[:3]:
            lines.append(f"    {message[:160]}")
    for name, phase in (("quiet", q), ("hostile", h)):
        lines += [f"{name}: {kind} p50 {1000 * t['p50']:.0f} ms, p95 {1000 * t['p95']:.0f} ms (n {t['n']})"
                  for kind, t in sorted(phase["latency"].items()) if kind.startswith((PAGE, "differential"))]
        lines += [f"{name} error: {k}: {e}" for k, e in phase["errors"][:10]]
        lines += [f"{name} mixed result: user {u} {k}: got {g}, own {e}" for u, k, g, e in phase["mixed"][:10]]
    return "\n".join(lines)


def hostile_failed(m: dict) -> bool:
    """Any user's request failed or got another's result, a hostile request got a 5xx or no ending, or a
    forged request was drawn instead of refused."""
    loud = m["hostile"]
    return bool(m["quiet"]["errors"] or m["quiet"]["mixed"] or loud["errors"] or loud["mixed"]
                or any(e in (SERVER_ERROR, FAILED) for _k, e, *_ in loud["hostile"])
                or any(k == "Kaplan-Meier forged" and e == FINISHED for k, e, *_ in loud["hostile"]))


# -- the run ------------------------------------------------------------------------------

def percentile(values, share) -> float:
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, max(0, round(share * (len(ordered) - 1))))]


def add_logins(users_file: Path, names) -> list[tuple[str, str]]:
    """A login of each name, with a password of its own: each user of a lab has one (the server
    counts its caps of running jobs per login)."""
    from veltrana.serve import access

    auths = [(name, "bench-" + os.urandom(8).hex()) for name in names]
    for auth in auths:
        access.add_user(str(users_file), *auth)
    return auths


def serve_study(data: str | None, work: Path, workers: int, threads: int, extra=(), before=None):
    """(server process, url, MyPath) of `veltrana serve` on the demo or `data`, its output under `work`;
    `before(my_path)` is called before it starts."""
    if data:
        paths = demo.paths_for(data, str(work / "out"))
    else:
        from veltrana.__main__ import demo_paths

        paths = demo_paths(str(work / "out"))
    if before is not None:
        before(MyPath(paths))
    proc, url = start_server(data or os.path.dirname(paths["info"]), str(work / "out"), workers, threads,
                             work / "server.log", extra)
    return proc, url, MyPath(paths)


def measure(users: int, journeys: int, workers: int, threads: int, data: str | None, work: Path,
            login: bool = False, background: str | None = None, think: float = 0.0) -> dict:
    """Runs the benchmark; returns its figures. With `login` the server asks for one, and every request logs in;
    with `background` ("disk") the analyses run as background jobs of that manager."""
    auth, extra = None, ("--background", background) if background else ()
    if login:
        auth = add_logins(work / "users", [f"bench-{u}" for u in range(users)])
        extra += ("--users", str(work / "users"))
    proc, url, my_path = serve_study(data, work, workers, threads, extra)
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
                session.auth = auth[0] if auth else None
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
    parser.add_argument("--users", type=int, help="simulated users at once (default 16; 15 with --hostile)")
    parser.add_argument("--journeys", type=int, help="journeys per user (default 20; with --hostile 6 in each phase)")
    parser.add_argument("--workers", type=int, default=4, help="server worker processes (default 4)")
    parser.add_argument("--threads", type=int, default=4, help="threads per worker (default 4)")
    parser.add_argument("--data", help="a folder laid out like the demo (default: the demo)")
    parser.add_argument("--work", help="folder for the output and the server log (default: temporary)")
    parser.add_argument("--login", action="store_true", help="serve with a login (--users) and log in on every request")
    parser.add_argument("--background", choices=["disk"], help="run the analyses as background jobs (serve --background)")
    parser.add_argument("--think", type=float, default=0.0, metavar="SECONDS",
                        help="a user's time over each choice, on average (default 0: requests back to back)")
    parser.add_argument("--hostile", action="store_true",
                        help="the users alone, then with one more login sending the page's most expensive requests "
                             "(serve --login --background disk)")
    parser.add_argument("--streams", type=int, default=6, help="the hostile login's requests at once (default 6)")
    parser.add_argument("--json", metavar="FILE", help="also write the figures as JSON")
    parser.add_argument("--strict", action="store_true", help="exit 1 when a goal is missed too")
    args = parser.parse_args(argv)
    with tempfile.TemporaryDirectory(prefix="veltrana-load-") as tmp:
        work = Path(args.work or tmp)
        work.mkdir(parents=True, exist_ok=True)
        if args.hostile:
            m = measure_hostile(args.users or 15, args.journeys or 6, args.workers, args.threads, args.data, work,
                                args.streams, args.think)
        else:
            m = measure(args.users or 16, args.journeys or 20, args.workers, args.threads, args.data, work, args.login,
                        args.background, args.think)
    print((report_hostile if args.hostile else report)(m), flush=True)
    if args.json:
        Path(args.json).write_text(json.dumps(m, indent=1))
    if args.hostile:
        missed = not all(row["met"] for row in m["table"] if "met" in row)
        return 1 if hostile_failed(m) or (args.strict and missed) else 0
    failed = bool(m["errors"] or m["mixed"])
    missed = not rss_flat(m) or m["latency"][PAGE]["p95"] > PAGE_GOAL * m["single_page"]
    return 1 if failed or (args.strict and missed) else 0


if __name__ == "__main__":
    sys.exit(main())
