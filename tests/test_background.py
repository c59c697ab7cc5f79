"""Long analyses as background jobs: the callbacks they replace, runs through the page's
protocol with a disk manager and a Celery worker, cancelling, and what a client may name."""

import base64
import json
import os
import re
import shutil
import socket
import subprocess
import sys
import threading
import time
from pathlib import Path

import pytest
import requests

from veltrana import __main__ as front
from veltrana.serve import background
from veltrana.plugins import callbacks, tables
from veltrana.serve import limits
from veltrana.runs import progress, results
from veltrana.cards import gsea_card

from support import by_id, children, make_app, walk

DIFF_OUTPUT = "..diff-inter.data...loading-output-diff-calculation.children.."
CHOICES = {"diff-data-source-dropdown.value": ["Protein"], "phenotype-dropdown.value": "Pathological_Status",
           "target-groups-dropdown.value": "Tumor", "refer-groups-dropdown.value": "Normal",
           "diff-exp-analysis-methods-dropdown.value": "T-test(Unpaired)", "diff-fdr-input.value": 0.05,
           "diff-log2fc-input.value": 1.0, "run-diff-button.n_clicks": 1}




def _walk(node, state):
    if isinstance(node, list):
        for child in node:
            _walk(child, state)
    elif isinstance(node, dict) and "props" in node:
        props = node["props"]
        for prop, value in props.items():
            if isinstance(props.get("id"), str) and prop not in ("id", "children"):
                state[f"{props['id']}.{prop}"] = value
            if isinstance(value, (dict, list)):
                _walk(value, state)


class Page:
    """One page load through a Flask test client: its signed end id, its values, its callbacks."""

    def __init__(self, client, login=None):
        self.client = client
        self.headers = {"Authorization": "Basic " + base64.b64encode(f"{login}:x".encode()).decode()} if login else {}
        html = client.get("/").get_data(as_text=True)
        config = json.loads(re.search(r'<script id="_dash-config" type="application/json">(.*?)</script>',
                                      html, re.S).group(1))
        self.end_id = config["end_id"]
        self.state = {}
        _walk(client.get("/_dash-layout").get_json(), self.state)
        self.entries = {entry["output"]: entry for entry in client.get("/_dash-dependencies").get_json()}

    def body(self, output, **values):
        entry = self.entries[output]
        state = {**self.state, **values}
        ids = entry["output"].strip(".").split("...")
        outs = [dict(zip(("id", "property"), o.rsplit(".", 1))) for o in ids]

        def dep(d):
            return {**d, "value": state.get(f"{d['id']}.{d['property']}")}

        return {"output": entry["output"], "outputs": outs if entry["output"].startswith("..") else outs[0],
                "inputs": [dep(d) for d in entry["inputs"]], "state": [dep(d) for d in entry["state"]],
                "changedPropIds": [f"{entry['inputs'][-1]['id']}.{entry['inputs'][-1]['property']}"]}

    def post(self, body, **query):
        reply = self.client.post("/_dash-update-component", query_string={"endId": self.end_id, **query},
                                 data=json.dumps(body), content_type="application/json", headers=self.headers)
        return reply.status_code, reply.get_json(silent=True)

    def start(self, output, **values):
        """Starts the background callback of `output`: (its body, its signed handles)."""
        body = self.body(output, **values)
        status, handles = self.post(body)
        assert status == 200 and set(handles) >= {"cacheKey", "job"}, (status, handles)
        return body, handles

    def poll(self, body, handles, seconds=60):
        """What the page receives once the job is over: (status, reply)."""
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            status, reply = self.post(body, cacheKey=handles["cacheKey"], job=handles["job"])
            if status != 200 or "response" in (reply or {}):
                return status, reply
            time.sleep(0.2)
        raise AssertionError("the job did not end")

    def cancel(self, cancel_id, job):
        body = self.body(f"{cancel_id}.id", **{f"{cancel_id}.n_clicks": 1})
        return self.post(body, cancelJob=job)


def _options(paths, **more):
    return {"data": None, "expression": dict(paths["expression"]), "info": paths["info"],
            "annotation": dict(paths.get("annotation", {})), "out": paths["out_dir"], **more}


def _published(out_dir):
    return sorted(p for p in (os.path.join(out_dir, "differential", n)
                              for n in os.listdir(os.path.join(out_dir, "differential"))) if results.is_published(p))


# -- the callbacks, with and without a manager -------------------------------------------------------

def test_a_manager_changes_only_the_five_analyses_and_places_their_cancel_buttons(fresh_paths):
    described = make_app(fresh_paths)
    plain = front.create_app(fresh_paths)
    shutil.rmtree(os.path.join(fresh_paths["out_dir"], background.DISK_FOLDER), ignore_errors=True)
    managed = front.create_app(fresh_paths, manager=background.disk_manager(fresh_paths["out_dir"]))

    def wiring(app):
        return [(s["output"], s["inputs"], s["state"], s["prevent_initial_call"]) for s in app._callback_list]

    # Without a manager: the registrations exactly as build_app makes them (the extra cards'
    # own callbacks come after them), no Cancel buttons.
    count = len(described._callback_list)
    assert plain._callback_list[:count] == described._callback_list
    assert list(plain.callback_map)[:count] == list(described.callback_map)
    assert by_id(plain.layout, "cancel-diff-button") is None
    # With one: the same 44 in the same order; the five analyses (and the GSEA run) background jobs.
    cancels = list(dict.fromkeys(cancel for _o, _b, cancel, _a in background.ANALYSES))
    told = len(cancels)  # each Cancel button's "Cancelled" text, registered last (the card's two runs share one)
    assert wiring(managed)[:count] == wiring(described) and wiring(managed)[count:-told] == wiring(plain)[count:]
    assert [s["inputs"] for s in managed._callback_list[-told:]] == [
        [{"id": cancel, "property": "n_clicks"}] for cancel in cancels]
    moved = [i + 1 for i, s in enumerate(managed._callback_list) if managed.callback_map[s["output"]].get("background")]
    assert moved[:5] == [17, 25, 30, 38, 43] and len(moved) == len(background.ANALYSES)
    running = managed._callback_list[16]["running"]
    assert running["running"] == {"run-diff-button.disabled": True, "cancel-diff-button.disabled": False}
    for _output, button, cancel, anchor in background.ANALYSES:
        assert by_id(managed.layout, cancel).disabled is True
        holder = next(c for c in walk(managed.layout) if anchor in _kid_ids(c))
        assert _kid_ids(holder).index(cancel) == _kid_ids(holder).index(anchor) + 1
    assert background.manager_of(plain) is None


def _kid_ids(component):
    return [getattr(k, "id", None) for k in children(component)]


def test_background_options_are_checked(tmp_path):
    assert background.manager_for(None, None, str(tmp_path)) is None
    for kind, broker, words in (("celery", None, "needs --broker"), ("disk", "redis://h:1/0", "cannot go with"),
                                (None, "http://h:1/0", "redis:// URL"), ("threads", None, "unknown")):
        with pytest.raises(ValueError, match=words):
            background.manager_for(kind, broker, str(tmp_path))


# -- runs with the disk manager ---------------------------------------------------------------------

@pytest.fixture
def disk_app(fresh_paths):
    app = front.start(_options(fresh_paths, background="disk"))
    yield app, fresh_paths
    background.stop_launcher(background.manager_of(app))
    limits.reset()


def test_a_differential_run_on_the_disk_manager_publishes_its_run(disk_app):
    app, paths = disk_app
    page = Page(app.server.test_client())
    # The page holds the study's paths in short forms, which the services take for the study's.
    assert os.path.dirname(paths["info"]) not in json.dumps(page.state["Paths.data"])
    # The job is forked while another thread of the web worker holds the readers' cache lock.
    with tables._cache_lock:
        body, handles = page.start(DIFF_OUTPUT, **CHOICES)
        status, reply = page.poll(body, handles, seconds=30)
    assert status == 200, reply
    run = reply["response"]["diff-inter"]["data"]
    assert run.endswith("differential_summary.txt") and results.is_published(os.path.dirname(run))
    assert _published(paths["out_dir"]) == [os.path.dirname(run)]
    # The GSEA card's run on that result goes as a job too.
    gsea = next(key for key in page.entries if key.startswith("..enrich-gsea-pres-inter.data"))
    body, handles = page.start(gsea, **{
        "diff-inter.data": run, "gsea-source-dropdown.value": "Protein", "gsea-statistic-dropdown.value":
        gsea_card.SIGNED_P, "gsea-library-dropdown.value": "demo_pathways.gmt", "gsea-permutations-input.value": 10,
        "gsea-run-button.n_clicks": 1})
    status, reply = page.poll(body, handles, seconds=60)
    assert results.is_published(reply["response"]["enrich-gsea-pres-inter"]["data"]), reply
    # Another page load cannot read that job: its handles are bound to the page that started it.
    other = Page(app.server.test_client())
    assert other.end_id != page.end_id
    status, reply = other.post(body, cacheKey=handles["cacheKey"], job=handles["job"])
    assert "response" not in (reply or {})
    # A run that cannot be made says why in its card, as without a manager, and leaves the run shown.
    body, handles = page.start(DIFF_OUTPUT, **{**CHOICES, "refer-groups-dropdown.value": "Tumor"})
    status, reply = page.poll(body, handles)
    told = reply["response"]["loading-output-diff-calculation"]["children"]
    assert "the target and reference groups are the same" in json.dumps(told)
    assert "diff-inter" not in reply["response"]
    # What the server wrote (the run, the matrices, the locks, the job cache) is its user's alone.
    assert os.path.isfile(os.path.join(paths["out_dir"], background.DISK_FOLDER, "cache.db"))
    # (The demo's gene-set library there was written by the test's set-up, not by the server.)
    assert _open_to_others(paths["out_dir"], but="user") == []


def _open_to_others(folder, but=None):
    found = []
    for parent, folders, files in os.walk(folder):
        folders[:] = [f for f in folders if f != but]
        found += [p for p in (os.path.join(parent, n) for n in folders + files)
                  if os.stat(p).st_mode & 0o077]
    return found


# -- the job cache ---------------------------------------------------------------------------------

class _Planted:
    ran = []

    def __reduce__(self):
        return (_Planted.ran.append, ("unpickled",))


def test_the_job_cache_loads_only_what_this_server_signed(tmp_path):
    import pickle
    import sqlite3

    from veltrana.serve import jobcache

    cache = jobcache.open_cache(str(tmp_path / "jobs"))
    values = {"small": {"done": [1, "a"]}, "large": ["x" * 50_000], "number": 1.5, "text": "secret"}
    for key, value in values.items():
        cache.set(key, value)
    assert {key: cache.get(key) for key in values} == values and cache.get(("a", 1)) is None
    assert os.stat(tmp_path / "jobs").st_mode & 0o077 == 0 and _open_to_others(tmp_path / "jobs") == []
    # A pickle (or a plain value) written into the database by someone else is refused unread.
    db = sqlite3.connect(tmp_path / "jobs" / "cache.db")
    with db:
        db.execute("UPDATE Cache SET mode = 4, value = ? WHERE key = 'small'", (pickle.dumps(_Planted()),))
        db.execute("UPDATE Cache SET mode = 1, value = 'forged' WHERE key = 'text'")
    db.close()
    # So is a stored file whose content was changed.
    (stored,) = [os.path.join(p, n) for p, _f, names in os.walk(tmp_path / "jobs") for n in names
                 if n.endswith(".val")]
    with open(stored, "r+b") as fh:
        fh.seek(-5, os.SEEK_END)
        fh.write(b"xxxxx")
    assert [cache.get(key) for key in ("small", "text", "large")] == [None, None, None]
    assert _Planted.ran == [] and cache.get("number") == 1.5
    # Another server (another key) reads nothing of this one's.
    jobcache._key[:] = [b"k" * 32]
    try:
        assert jobcache.open_cache(str(tmp_path / "jobs")).get("number") is None
    finally:
        jobcache._key.clear()


KM_OUTPUT = "..assoc-surv-fig.figure...loading-output-km.children.."


def test_the_kaplan_meier_card_draws_in_a_job_with_its_cancel_button_beside_its_pickers(disk_app):
    app, _paths = disk_app
    key, index = background._entry(app, "assoc-surv-fig.figure")
    assert key == KM_OUTPUT and app.callback_map[key].get("background")
    assert app._callback_list[index]["running"]["running"] == {"cancel-km-button.disabled": False}
    controls = _kid_ids(by_id(app.layout, "km-control"))
    at = controls.index("km-options-checklist")
    assert controls[at + 1:at + 3] == ["cancel-km-button", "km-progress"]
    assert by_id(app.layout, "cancel-km-button").disabled is True
    # The request returns handles at once; the curves and the log-rank table come from the job.
    page = Page(app.server.test_client())
    assert "cancel-km-button.id" in page.entries  # Dash's callback that cancels the job
    body, handles = page.start(KM_OUTPUT, **{"km-phenotype-dropdown.value": "Pathological_Status"})
    status, reply = page.poll(body, handles)
    assert status == 200 and "km-pvalue-table" in json.dumps(reply["response"]["loading-output-km"])
    # A grouping the card does not offer is refused in the card, by the job.
    body, handles = page.start(KM_OUTPUT, **{"km-phenotype-dropdown.value": "Sample_ID"})
    status, reply = page.poll(body, handles)
    assert "Sample_ID" in json.dumps(reply["response"]["loading-output-km"])
    assert "Not run" in reply["response"]["assoc-surv-fig"]["figure"]["layout"]["title"]["text"]


def _slow_differential(started):
    """A differential run that writes its folder and then takes a minute."""
    def run(kwargs):
        my_path = callbacks.configured(kwargs.get("Paths"))

        def write(folder, final):
            with open(os.path.join(folder, "differential_summary.txt"), "w") as fh:
                fh.write("Source\n")
            next(progress.each(["Protein", "Glycoform"], "Differential analysis"))
            open(started, "w").close()
            time.sleep(60)

        return os.path.join(results.publish(my_path.get_diff_dir(), "differential", {"slow": 1}, [], write),
                            "differential_summary.txt")
    return run


def _alive(processes):
    import psutil

    return {p.pid for p in processes if p.is_running() and p.status() != psutil.STATUS_ZOMBIE}


def _running_jobs(app):
    """The pids of the jobs' processes: the children of the application's job launcher."""
    import psutil

    launcher = background.manager_of(app).launcher
    return _alive(psutil.Process(launcher.process.pid).children()) if launcher else set()


def _run_of(job):
    """The process in which a job's run goes on."""
    import psutil

    return psutil.Process(job).children()[0]


def _started(page, output, flag, **values):
    body, handles = page.start(output, **values)
    deadline = time.monotonic() + 30
    while not flag.exists() and time.monotonic() < deadline:
        time.sleep(0.1)
    assert flag.exists(), "the job did not start"
    return body, handles


def test_a_cancelled_run_publishes_nothing_and_no_other_page_can_cancel_it(disk_app, monkeypatch, tmp_path):
    app, paths = disk_app
    started = tmp_path / "started"
    monkeypatch.setattr(callbacks, "update_diff_inter", _slow_differential(str(started)))
    page = Page(app.server.test_client())
    body, handles = _started(page, DIFF_OUTPUT, started, **CHOICES)
    job = _running_jobs(app)
    assert len(job) == 1
    # The job yields the processor to the web workers, and the page is told where it is.
    import psutil

    assert psutil.Process(*job).nice() >= background.JOB_NICENESS
    assert _run_of(*job).nice() >= background.JOB_NICENESS
    _status, reply = page.post(body, cacheKey=handles["cacheKey"], job=handles["job"])
    assert reply["progress"] == {"diff-progress.children": "Differential analysis: Protein (1 of 2)"}

    # A handle presented by another page load, or a made-up pid, cancels nothing.
    other = Page(app.server.test_client())
    other.cancel("cancel-diff-button", handles["job"])
    other.cancel("cancel-diff-button", str(os.getpid()))
    _status, reply = page.post(body, cacheKey=handles["cacheKey"], job=handles["job"])
    assert "response" not in (reply or {})

    assert _running_jobs(app) == job

    run = _run_of(*job)
    page.cancel("cancel-diff-button", handles["job"])
    assert _running_jobs(app) == set() and _alive([run]) == set()
    told = next(key for key in page.entries if key.startswith("diff-progress.children"))
    _status, reply = page.post(page.body(told, **{"cancel-diff-button.n_clicks": 1}))
    assert reply["response"]["diff-progress"]["children"] == background.CANCELLED == "Cancelled; nothing was stored"
    status, reply = page.poll(body, handles, seconds=10)
    assert status == 204 or "response" not in (reply or {}), reply
    differential = os.path.join(paths["out_dir"], "differential")
    assert _published(paths["out_dir"]) == []
    partial = [n for n in os.listdir(differential)]
    assert len(partial) == 1 and partial[0].startswith(results.PARTIAL_PREFIX)

    # The next run sweeps it once it is old enough to be no running one's.
    folder = os.path.join(differential, partial[0])
    results.publish(differential, "differential", {"other": 1}, [], lambda f, _: None)
    assert os.path.isdir(folder)
    os.utime(folder, (time.time() - 2 * results.STALE_PARTIAL_SECONDS,) * 2)
    results.publish(differential, "differential", {"other": 2}, [], lambda f, _: None)
    assert not os.path.exists(folder)


def _told(reply) -> str:
    return json.dumps(reply["response"]["loading-output-diff-calculation"])


def test_a_run_that_ends_without_its_result_is_told_in_its_card(disk_app, monkeypatch, tmp_path):
    app, paths = disk_app
    manager = background.manager_of(app)
    page = Page(app.server.test_client())
    # Killed by the kernel (what the out-of-memory killer does): the card says so, nothing is published.
    started = tmp_path / "started"
    monkeypatch.setattr(callbacks, "update_diff_inter", _slow_differential(str(started)))
    body, handles = _started(page, DIFF_OUTPUT, started, **CHOICES)
    _run_of(*_running_jobs(app)).kill()
    status, reply = page.poll(body, handles, seconds=20)
    assert "The analysis stopped unexpectedly (signal 9, possibly out of memory); nothing was stored" in _told(reply)
    assert "diff-inter" not in reply["response"] and _published(paths["out_dir"]) == []

    # Past its time, or beyond its memory: stopped, and told.
    background.stop_launcher(manager)
    limits.configure({"job_seconds": 2, "job_memory_mb": 300})
    started.unlink()
    body, handles = _started(page, DIFF_OUTPUT, started, **CHOICES)
    status, reply = page.poll(body, handles, seconds=20)
    assert "ran longer than the 2 s an analysis may take on this server; nothing was stored" in _told(reply)

    def greedy(_kwargs):
        return bytearray(2 ** 30)

    monkeypatch.setattr(callbacks, "update_diff_inter", greedy)
    background.stop_launcher(manager)  # jobs are forked from the launcher: it must see the new service
    body, handles = page.start(DIFF_OUTPUT, **CHOICES)
    status, reply = page.poll(body, handles, seconds=20)
    assert "needed more than the 300 MB of memory an analysis may take" in _told(reply)


def _waiting(page, body, handles):
    _status, reply = page.post(body, cacheKey=handles["cacheKey"], job=handles["job"])
    return (reply or {}).get("progress", {}).get("diff-progress.children")


def _runs(app):
    import psutil

    return [job for job in _running_jobs(app) if psutil.Process(job).children()]


def test_jobs_beyond_the_caps_wait_in_line_and_say_so(disk_app, monkeypatch, tmp_path):
    app, _paths = disk_app
    limits.configure({"jobs": 2, "jobs_per_login": 1})
    monkeypatch.setattr(callbacks, "update_diff_inter", _slow_differential(str(tmp_path / "started")))
    alice, bob, carol = (Page(app.server.test_client(), login) for login in ("alice", "bob", "carol"))
    first = _started(alice, DIFF_OUTPUT, tmp_path / "started", **CHOICES)
    # Alice's second run waits for her first; Bob's starts; Carol's waits for a free place.
    second = alice.start(DIFF_OUTPUT, **CHOICES)
    bobs = bob.start(DIFF_OUTPUT, **CHOICES)
    carols = carol.start(DIFF_OUTPUT, **CHOICES)
    deadline = time.monotonic() + 20
    while len(_runs(app)) < 2 and time.monotonic() < deadline:
        time.sleep(0.1)
    assert len(_running_jobs(app)) == 4 and len(_runs(app)) == 2
    assert _waiting(alice, *second) == "waiting: 1 analysis ahead"
    assert _waiting(carol, *carols) == "waiting: 3 analyses ahead"  # the running two, and Alice's in line
    # Alice's first run cancelled: her second, first in line, starts; Carol's still waits.
    before = set(_runs(app))
    alice.cancel("cancel-diff-button", first[1]["job"])
    deadline = time.monotonic() + 20
    while len(set(_runs(app)) - before) < 1 and time.monotonic() < deadline:
        time.sleep(0.1)
    assert len(_runs(app)) == 2 and len(_running_jobs(app)) == 3
    assert _waiting(carol, *carols) == "waiting: 2 analyses ahead"
    for page, (_body, handles) in ((alice, second), (bob, bobs), (carol, carols)):
        page.cancel("cancel-diff-button", handles["job"])
    assert _running_jobs(app) == set()

    # One login never holds every place, and a freed place goes to the login with the fewest runs going on,
    # not to one that came earlier with more.
    background.stop_launcher(background.manager_of(app))
    limits.configure({"jobs": 3, "jobs_per_login": 5})
    alices = [alice.start(DIFF_OUTPUT, **CHOICES) for _ in range(3)]
    bobs = [bob.start(DIFF_OUTPUT, **CHOICES) for _ in range(2)]
    carols = carol.start(DIFF_OUTPUT, **CHOICES)
    deadline = time.monotonic() + 20
    while len(_runs(app)) < 3 and time.monotonic() < deadline:
        time.sleep(0.1)
    assert len(_runs(app)) == 3 and _waiting(alice, *alices[2]) == "waiting: 2 analyses ahead"
    assert _waiting(carol, *carols) == "waiting: 5 analyses ahead"
    alice.cancel("cancel-diff-button", alices[0][1]["job"])
    deadline = time.monotonic() + 20
    while _waiting(carol, *carols) is None and time.monotonic() < deadline:
        time.sleep(0.1)
    assert _waiting(alice, *alices[2]) != ""  # still waiting, behind Carol
    for page, (_body, handles) in ((alice, alices[1]), (alice, alices[2]), *((bob, b) for b in bobs),
                                   (carol, carols)):
        page.cancel("cancel-diff-button", handles["job"])


def test_a_job_is_known_by_its_process_not_by_a_pid_that_may_be_reused(tmp_path):
    manager = background.disk_manager(str(tmp_path))
    done = subprocess.run([sys.executable, "-c", "import os; print(os.getpid())"], capture_output=True, text=True)
    gone = int(done.stdout)  # a process that has ended
    manager.get_result("key", None)
    assert manager.job_running(gone) is False  # no result: cancelled, and no error for a vanished process
    manager.terminate_job(gone)
    manager.handle.set("key", "the run's result")  # written just before the job ended
    assert manager.job_running(gone) is True  # so the next poll takes the result
    assert manager.get_result("key", None) == "the run's result"

    # A pid that now names another process (or a thread of a web worker) is no job: it neither
    # passes for a running one nor is killed when the old job is cancelled.
    other = subprocess.Popen([sys.executable, "-c", "import time; time.sleep(60)"])
    try:
        manager.get_result("another key", None)
        assert manager.job_running(other.pid) is False
        manager.terminate_job(other.pid)
        assert other.poll() is None
    finally:
        other.kill()
        other.wait()


# -- a run on a Celery worker, with a Redis server of its own ------------------------------------------

def _free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


@pytest.fixture
def redis_url(tmp_path):
    server = shutil.which("redis-server")
    if server is None:
        if os.environ.get("VELTRANA_REQUIRE_SERVICES") or os.environ.get("VELTRANA_REQUIRE_BROWSER"):
            pytest.fail("redis-server is not installed (apt-get install redis-server)")
        pytest.skip("redis-server is not installed")
    port = _free_port()
    process = subprocess.Popen([server, "--port", str(port), "--bind", "127.0.0.1", "--save", "",
                                "--appendonly", "no", "--dir", str(tmp_path)],
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            try:
                socket.create_connection(("127.0.0.1", port), timeout=0.2).close()
                break
            except OSError:
                time.sleep(0.05)
        yield f"redis://127.0.0.1:{port}/0"
    finally:
        process.terminate()
        process.wait(10)


def test_a_differential_run_on_a_celery_worker(fresh_paths, redis_url, tmp_path):
    data = os.path.dirname(fresh_paths["info"])
    log = open(tmp_path / "worker.log", "w")
    worker = subprocess.Popen([sys.executable, "-m", "veltrana", "worker", "--broker", redis_url, "--data", data,
                               "--concurrency", "1"], stdout=log, stderr=subprocess.STDOUT,
                              env=dict(os.environ, MPLBACKEND="Agg",
                                       PYTHONPATH=os.pathsep.join(p for p in sys.path if p)))
    try:
        app = front.start(_options(fresh_paths, broker=redis_url))
        page = Page(app.server.test_client())
        body, handles = page.start(DIFF_OUTPUT, **CHOICES)
        status, reply = page.poll(body, handles, seconds=60)
        assert status == 200, (reply, (tmp_path / "worker.log").read_text())
        run = reply["response"]["diff-inter"]["data"]
        assert results.is_published(os.path.dirname(run))
        assert _published(fresh_paths["out_dir"]) == [os.path.dirname(run)]
    finally:
        worker.terminate()
        worker.wait(20)
        log.close()


# -- jobs of a served dashboard ---------------------------------------------------------------------

def _bench_load():
    sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "bench"))
    try:
        import load
    finally:
        sys.path.pop(0)
    return load


def test_a_job_started_while_a_web_worker_imports_a_module_does_not_hang(fresh_paths, tmp_path, monkeypatch):
    """A web worker's first figure imports plotly's trace modules; here one of those imports takes
    seconds, with its import lock held. A job started meanwhile on the same worker, drawing a figure
    itself, must still end: jobs are not forked from the threaded web workers."""
    load = _bench_load()
    monkeypatch.setattr(load, "REQUEST_TIMEOUT", 60.0)  # a job that hangs fails the test within a minute
    stretched = Path(__file__).resolve().parent / "stretched"
    monkeypatch.syspath_prepend(str(stretched))  # the server's PYTHONPATH is this process's path
    monkeypatch.setenv("VELTRANA_STRETCHED_IMPORTS", "plotly.graph_objs.layout._xaxis")
    monkeypatch.setenv("VELTRANA_STRETCHED_SECONDS", "6")
    data = os.path.dirname(fresh_paths["info"])
    proc, url = load.start_server(data, str(tmp_path / "out"), 1, 4, tmp_path / "server.log",
                                  ("--background", "disk"))
    try:
        run = load.Run()
        pages = [load.Page(url, requests.Session(), run.record) for _ in range(2)]
        for page in pages:
            page.load()
        drawing = threading.Thread(target=pages[0].call, args=("figure", "preprocess-figure.figure"),
                                   kwargs={"preprocess-source-dropdown.value": "Protein"})
        drawing.start()
        time.sleep(1.0)  # the worker is now inside the stretched import
        answer = pages[1].call("survival", "assoc-surv-fig.figure",
                               **{"km-phenotype-dropdown.value": "Pathological_Status"})
        drawing.join()
        # (the bench client reads the card's log-rank table as a message; only that one is expected)
        assert [e for e in run.errors if e[0] != "survival"] == [] and "km-pvalue-table" in json.dumps(answer)
    finally:
        load.stop_server(proc)


def test_a_logins_runs_on_celery_workers_hold_places_within_its_cap(redis_url):
    limits.configure({"jobs_per_login": 1})
    try:
        places = background.LoginPlaces(redis_url)
        told, order = [], []
        first = places.held("alice")
        first.__enter__()

        def second():
            with places.held("alice", told.append, pause=0.05):
                order.append("alice's second")

        waiting = threading.Thread(target=second)
        waiting.start()
        with places.held("bob"):  # another login is not held back
            order.append("bob")
        time.sleep(0.3)
        assert order == ["bob"] and told == ["waiting: 1 analysis ahead"]
        first.__exit__(None, None, None)
        waiting.join(10)
        assert order == ["bob", "alice's second"] and told[-1] == ""
        # A place whose run's worker died is freed once past its time.
        places.redis.zadd(places._key("carol"), {"a dead worker's run": time.time() - 1})
        with places.held("carol"):
            order.append("carol")
        assert order[-1] == "carol"
    finally:
        limits.reset()
