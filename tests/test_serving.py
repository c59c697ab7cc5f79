"""Serving many users: gunicorn workers on one output folder, the login, the WSGI entry."""

import gzip
import json
import multiprocessing
import os
import signal
import socket
import subprocess
import sys
import time
from pathlib import Path

import pytest
import requests

from veltrana.serve import access, serving
from veltrana.study import demo
from veltrana import wsgi
from veltrana.plugins import callbacks
from veltrana.analyses import matrices

ROOT = Path(__file__).resolve().parent.parent


def _env():
    return dict(os.environ, MPLBACKEND="Agg", PYTHONPATH=os.pathsep.join(p for p in sys.path if p))


def _veltrana(*argv, stdin=""):
    return subprocess.run([sys.executable, "-m", "veltrana", *argv], input=stdin, env=_env(), capture_output=True,
                          text=True, timeout=120)


@pytest.fixture
def data_dir(fresh_paths):
    return os.path.dirname(fresh_paths["info"])


# -- many users at once ----------------------------------------------------------------------

@pytest.mark.parametrize("jobs", [(), ("--background", "disk")], ids=["in the request", "background jobs"])
def test_short_load_run_on_two_workers_with_a_login(data_dir, tmp_path, jobs):
    """4 users x 3 journeys against `veltrana serve --workers 2`, the analyses in the request or as
    background jobs the users poll for: no failure, every result the user's own."""
    figures = tmp_path / "load.json"
    done = subprocess.run([sys.executable, str(ROOT / "bench" / "load.py"), "--users", "4", "--journeys", "3",
                           "--workers", "2", "--threads", "2", "--data", data_dir, "--work", str(tmp_path / "work"),
                           "--login", "--json", str(figures), *jobs], env=_env(), capture_output=True, text=True,
                          timeout=240)
    assert done.returncode == 0, done.stdout + done.stderr
    m = json.loads(figures.read_text())
    assert m["errors"] == [] and m["mixed"] == []
    assert len(m["rss"]) == 2 and all(all(v) for v in m["rss"].values())
    assert {"page load", "differential", "decomposition", "clustering"} <= set(m["latency"])
    assert ("job poll" in m["latency"]) == bool(jobs)
    assert m["latency"]["differential"]["n"] == 12
    # Every journey's runs were published once, whichever worker ran them.
    out = tmp_path / "work" / "out"
    assert not list(out.glob("*/.partial-*"))
    assert len(list((out / "preprocess").glob("*.npz"))) == 2


# -- one preprocessing per source across processes ----------------------------------------------

def _preprocess_at_once(paths, settings, log, barrier, done):
    from veltrana.plugins import preprocess

    real = preprocess.preprocess

    def counted(raw, chosen):
        with open(log, "a") as fh:
            fh.write(f"{os.getpid()}\n")
        time.sleep(0.5)  # a window in which every other process would start its own
        return real(raw, chosen)

    preprocess.preprocess = counted
    my_path = callbacks.MyPath(paths)
    barrier.wait()
    if settings is None:
        path = matrices.ensure_preprocessed(my_path, "Protein")
    else:
        matrices.run_preprocess(my_path, "Protein", settings)
        path = my_path.get_preprocess_path("Protein")
    done.put((path, matrices.preprocessed_matrix(my_path, "Protein").shape))


@pytest.mark.parametrize("settings", [None, {"Transformation": "NA", "Normalization": "MedianNorm",
                                             "Filter": 30, "Imputation": "GlobalMin"}],
                         ids=["stored settings at start", "new settings from the card"])
def test_processes_preprocessing_one_source_at_once_make_one_matrix(fresh_paths, tmp_path, settings):
    if settings is not None:  # the stored matrix exists; the card asks for other settings
        matrices.ensure_preprocessed(callbacks.MyPath(fresh_paths), "Protein")
    log = tmp_path / "runs.log"
    context = multiprocessing.get_context("fork")
    barrier, done = context.Barrier(3), context.Queue()
    team = [context.Process(target=_preprocess_at_once, args=(fresh_paths, settings, str(log), barrier, done))
            for _ in range(3)]
    for p in team:
        p.start()
    answers = [done.get(timeout=60) for _ in team]
    for p in team:
        p.join(30)
    assert [p.exitcode for p in team] == [0, 0, 0]
    assert len(log.read_text().split()) == 1  # one process preprocessed, the others reused its matrix
    assert len({a for a in answers}) == 1
    my_path = callbacks.MyPath(fresh_paths)
    assert matrices._up_to_date(my_path, "Protein", settings)
    folder = Path(my_path.get_preprocess_dir())
    assert sorted(p.name for p in folder.iterdir() if "Protein" in p.name) == \
        ["Protein_preprocessed.npz", "Protein_settings.json"]


def test_a_matrix_another_process_renamed_over_is_read_anew(fresh_paths):
    """The readers' cache of one worker must not serve a matrix another worker replaced, even
    one of the same size stamped with the same time (coarse file-system clocks)."""
    import pandas as pd

    from veltrana.plugins import tables

    my_path = callbacks.MyPath(fresh_paths)
    path = my_path.get_preprocess_path("Protein")
    first = pd.DataFrame([[1.0, 2.0], [3.0, 4.0]], index=["01005", "01006"], columns=["A", "B"])
    tables.save_result_path(path, first)
    stamp = os.stat(path).st_mtime_ns
    assert tables.read_expr_path(path).equals(first)
    tables.save_result_path(path, first * 10)  # as another worker would: written beside, renamed over
    os.utime(path, ns=(stamp, stamp))
    assert tables.read_expr_path(path).equals(first * 10)


# -- the login ----------------------------------------------------------------------------------

def test_adduser_round_trip(tmp_path):
    users = tmp_path / "users"
    added = _veltrana("adduser", str(users), "alice", stdin="first secret\n")
    assert added.returncode == 0 and "Added alice" in added.stdout, added.stderr
    assert _veltrana("adduser", str(users), "bob", stdin="bobs\n").returncode == 0
    changed = _veltrana("adduser", str(users), "alice", stdin="second secret\n")
    assert changed.returncode == 0 and "Changed the password of alice" in changed.stdout
    text = users.read_text()
    assert "secret" not in text and users.stat().st_mode & 0o077 == 0
    login = access.Login(str(users))
    assert login.check("alice", "second secret") and login.check("bob", "bobs")
    assert not login.check("alice", "first secret") and not login.check("carol", "bobs")
    # Refused with one line, the file untouched.
    for argv, stdin, message in ((("a:b",), "x\n", "login name"), (("carol",), "\n", "password must not be empty")):
        refused = _veltrana("adduser", str(users), *argv, stdin=stdin)
        assert refused.returncode == 1 and message in refused.stderr and len(refused.stderr.splitlines()) == 1
    assert users.read_text() == text


def test_passwords_are_salted_and_a_changed_file_is_read_again(tmp_path):
    users = str(tmp_path / "users")
    access.add_user(users, "alice", "pw")
    access.add_user(users, "bob", "pw")
    stored = access.read_users(users)
    assert stored["alice"] != stored["bob"]  # the same password, two salts
    login = access.Login(users)
    assert login.check("alice", "pw") and login.check("alice", "pw")  # the second from memory
    access.add_user(users, "alice", "new")
    assert not login.check("alice", "pw") and login.check("alice", "new")
    Path(users).write_text("alice:plain-text-password\n")
    assert not login.check("alice", "new")  # an unusable file refuses everyone


@pytest.fixture
def guarded(data_dir, tmp_path, monkeypatch):
    """The served application with a login: alice / right."""
    from veltrana.plugins import vistro

    monkeypatch.setattr(vistro, "tlock", vistro.tlock)  # serving replaces it; put back afterwards
    users = str(tmp_path / "users")
    access.add_user(users, "alice", "right")
    options = {"data": data_dir, "out": str(tmp_path / "out"), "expression": {}, "annotation": {}}
    app = serving.serving_app(options, users)
    return app, callbacks.MyPath(demo.paths_for(data_dir, str(tmp_path / "out"))).paths


def _basic(name, password):
    import base64

    return {"Authorization": "Basic " + base64.b64encode(f"{name}:{password}".encode()).decode()}


def test_the_login_guards_every_route(guarded):
    app, paths = guarded
    client = app.server.test_client()
    body = {"output": "numeric-info-inter.data", "outputs": {"id": "numeric-info-inter", "property": "data"},
            "inputs": [{"id": "Paths", "property": "data", "value": paths}], "state": [],
            "changedPropIds": ["Paths.data"]}
    page = client.get("/")
    assert page.status_code == 401 and page.headers["WWW-Authenticate"].startswith("Basic")
    ok = _basic("alice", "right")
    page = client.get("/", headers=ok)
    assert page.status_code == 200
    script = page.get_data(as_text=True).split('src="')[1].split('"')[0]  # a component script
    assert client.get(script, headers=ok).status_code == 200
    # The layout made once is the application's layout, compressed for those who accept it.
    from dash._utils import to_json

    for encoding in ("gzip", "identity"):
        layout = client.get("/_dash-layout", headers={**ok, "Accept-Encoding": encoding})
        data = gzip.decompress(layout.data) if encoding == "gzip" else layout.data
        assert layout.status_code == 200 and data.decode() == to_json(app.get_layout())
    answer = client.post("/_dash-update-component", json=body, headers=ok)
    assert answer.status_code == 200 and "numeric-info-inter" in answer.get_json()["response"]
    # The gene-set calls write into the shared output folder: their lock holds across processes.
    from veltrana.plugins import vistro

    assert vistro.tlock.path.startswith(os.path.realpath(paths["out_dir"]))
    # Every route refuses the others: asked to log in, and throttled once this address (the test
    # client's) has failed 5 times; no login or another scheme is not a failure.
    answers = []
    for headers in ({}, _basic("alice", "wrong"), _basic("mallory", "right"), {"Authorization": "Bearer right"}):
        for path in ("/", "/_dash-layout", "/_dash-dependencies", "/assets/none.css", "/_favicon.ico",
                     "/_dash-component-suites/dash/deps/react@18.3.1.min.js", "/no-such-page"):
            answers.append(client.get(path, headers=headers))
        answers.append(client.post("/_dash-update-component", json=body, headers=headers))
    assert [a.status_code for a in answers] == [401] * 8 + [401] * 4 + [429] * 4 + [429] * 8 + [401] * 8
    assert all((b"Login required" if a.status_code == 401 else b"Too many failed logins") in a.data for a in answers)


# -- the login: guesses throttled, failures logged, names not told ------------------------------

class Clock:
    """The throttle's wall clock, moved by the test."""

    def __init__(self):
        self.now = 1_000_000.0

    def __call__(self):
        return self.now


def _throttled_app(users, out_dir, clock):
    """A small application behind the login of `users`, as one worker of a server on `out_dir`:
    its requests (name, password, address) -> the answer, and its login."""
    import types

    import flask

    app = types.SimpleNamespace(server=flask.Flask(__name__))
    app.server.route("/")(lambda: "in")
    login = access.require_login(app, users, out_dir=out_dir, proxies=0)
    login.throttle.clock = clock
    client = app.server.test_client()

    def ask(name, password, address="10.0.0.1"):
        return client.get("/", headers=_basic(name, password), environ_base={"REMOTE_ADDR": address})

    return ask, login


@pytest.fixture
def throttled(tmp_path):
    """A worker of a server with the logins alice / right and bob / bobs, and its throttle's clock."""
    users = str(tmp_path / "users")
    access.add_user(users, "alice", "right")
    access.add_user(users, "bob", "bobs")
    clock = Clock()
    ask, login = _throttled_app(users, str(tmp_path / "out"), clock)
    return ask, clock, login


def _statuses(answers):
    return [(a.status_code, a.headers.get("Retry-After")) for a in answers]


def test_five_failures_from_one_address_lock_it_out_even_for_a_right_password(throttled):
    ask, clock, _ = throttled
    answers = [ask(f"guess{i}", "wrong") for i in range(5)]
    assert _statuses(answers) == [(401, None)] * 4 + [(429, "30")]
    assert b"try again in 30 s" in answers[-1].data
    clock.now += 10
    assert _statuses([ask("alice", "right")]) == [(429, "20")]  # a right password, from the same address
    assert ask("alice", "right", "10.0.0.2").status_code == 200  # alice elsewhere
    clock.now += 20
    assert ask("alice", "right").status_code == 200


def test_five_failures_for_one_name_lock_it_out_from_every_address(throttled):
    ask, clock, _ = throttled
    answers = [ask("alice", "wrong", f"10.0.1.{i}") for i in range(5)]
    assert _statuses(answers) == [(401, None)] * 4 + [(429, "30")]
    assert _statuses([ask("alice", "right", "10.0.2.1")]) == [(429, "30")]
    assert ask("bob", "bobs", "10.0.1.1").status_code == 200  # another name from a failing address
    clock.now += 30
    assert ask("alice", "right", "10.0.2.1").status_code == 200


def test_a_lock_out_doubles_with_each_further_failure_up_to_15_minutes(throttled):
    ask, clock, _ = throttled
    for _ in range(4):
        ask("alice", "wrong")
    waits = []
    for _ in range(7):
        answer = ask("alice", "wrong")
        assert answer.status_code == 429
        waits.append(int(answer.headers["Retry-After"]))
        clock.now += waits[-1]
    assert waits == [30, 60, 120, 240, 480, 900, 900]
    assert [access.lockout(n) for n in range(1, 7)] == [0, 0, 0, 0, 30, 60]


def test_a_success_clears_the_count_of_its_name_and_address(throttled):
    ask, clock, _ = throttled
    for _ in range(4):
        assert ask("alice", "wrong").status_code == 401
    assert ask("alice", "right").status_code == 200
    for _ in range(4):
        assert ask("alice", "wrong").status_code == 401  # counted from nought again
    assert ask("alice", "wrong").status_code == 429
    clock.now += 30
    assert ask("alice", "right").status_code == 200  # after the lock-out: cleared, not doubled
    assert ask("alice", "wrong").status_code == 401
    # A day without a failure forgets a count too.
    for _ in range(3):
        ask("bob", "wrong", "10.0.3.1")
    clock.now += access.FORGET_AFTER
    assert [ask("bob", "wrong", "10.0.3.1").status_code for _ in range(4)] == [401] * 4


def test_a_locked_out_login_is_not_even_checked(throttled, monkeypatch):
    ask, clock, _ = throttled
    for _ in range(5):
        ask("alice", "wrong")
    calls = []
    real = access._scrypt
    monkeypatch.setattr(access, "_scrypt", lambda *a: calls.append(a) or real(*a))
    assert [ask("alice", p).status_code for p in ("right", "wrong", "right")] == [429] * 3
    assert calls == []  # no scrypt: the lock-out costs the server nothing, and tells nothing
    clock.now += 30
    assert ask("alice", "right").status_code == 200 and len(calls) == 1


def test_failures_are_logged_with_address_and_name_never_the_password(throttled, caplog):
    ask, clock, _ = throttled
    caplog.set_level("WARNING", logger="veltrana")
    for i in range(7):
        ask("alice\nforged line", f"secret-{i}", "10.0.0.9")
    failures = [r.getMessage() for r in caplog.records if r.getMessage().startswith("failed login as")]
    assert failures == ["failed login as 'alice\\nforged line' from 10.0.0.9"] * 5  # 2 refused unchecked
    lockouts = [r.getMessage() for r in caplog.records if "locked out" in r.getMessage()]
    assert lockouts == ["address 10.0.0.9 locked out for 30 s after 5 failed logins in a row",
                        "name 'alice\\nforged line' locked out for 30 s after 5 failed logins in a row"]
    assert all(r.name == "veltrana" and r.levelname == "WARNING" for r in caplog.records)
    assert "secret" not in caplog.text and "\nforged" not in caplog.text


def test_an_unknown_name_costs_one_scrypt_as_a_known_name_does(throttled, monkeypatch):
    ask, _, login = throttled
    calls = []
    real = access._scrypt
    monkeypatch.setattr(access, "_scrypt", lambda *a: calls.append(a[2:]) or real(*a))

    def cost(name, password, address):
        calls.clear()
        ask(name, password, address)
        return list(calls)

    unknown, known = cost("carol", "wrong", "10.0.4.1"), cost("alice", "wrong", "10.0.4.2")
    assert unknown == known == [access.COST]  # one scrypt each, of the same cost
    assert cost("alice", "right", "10.0.4.3") == [access.COST]
    assert cost("alice", "right", "10.0.4.3") == []  # verified before: from memory
    assert cost("carol", "right", "10.0.4.4") == [access.COST]  # an unknown name never is


def test_the_counts_are_shared_by_forked_worker_processes(throttled):
    """Two workers forked after the throttle was in use (as gunicorn forks them): the second fails
    for alice where the first left off, and the master, a third process, finds her locked out."""
    ask, clock, login = throttled
    assert ask("alice", "right").status_code == 200  # the master's connection, open before the forks
    context = multiprocessing.get_context("fork")

    def worker(n, expected):
        answers = [ask("alice", "wrong", f"10.0.5.{n}{i}").status_code for i in range(len(expected))]
        os._exit(0 if answers == expected else 1)

    for n, expected in enumerate(([401, 401, 401], [401, 429])):
        p = context.Process(target=worker, args=(n, expected))
        p.start()
        p.join(60)
        assert p.exitcode == 0, n
    assert _statuses([ask("alice", "right", "10.0.6.1")]) == [(429, "30")]
    assert ask("bob", "wrong", "10.0.6.1").status_code == 401  # the master goes on counting its own


def test_a_success_in_one_worker_clears_the_count_in_every_worker(throttled, tmp_path):
    ask, clock, _ = throttled
    other, _ = _throttled_app(str(tmp_path / "users"), str(tmp_path / "out"), clock)
    for _ in range(4):
        assert ask("alice", "wrong").status_code == 401
    assert other("alice", "right").status_code == 200
    assert ask("alice", "wrong").status_code == 401  # the 1st failure in a row, not the 5th
    for _ in range(3):
        other("alice", "wrong")
    assert ask("alice", "wrong").status_code == 429


def test_the_counts_file_is_the_owners_only(throttled, tmp_path):
    ask, _, _ = throttled
    ask("alice", "wrong")
    counts = tmp_path / "out" / ".locks" / access.COUNTS_FILE
    assert counts.stat().st_mode & 0o777 == 0o600
    assert counts.parent.stat().st_mode & 0o777 == 0o700
    assert list(counts.parent.iterdir()) == [counts]  # no journal left behind


def test_counts_that_cannot_be_shared_still_throttle_each_process(tmp_path, caplog):
    """A failure to record in the shared file neither fails the request nor lets guesses through:
    this process's own counts hold, and the trouble is logged once."""
    users = str(tmp_path / "users")
    access.add_user(users, "alice", "right")
    (tmp_path / "out").write_text("a file where the output folder should be")
    ask, _ = _throttled_app(users, str(tmp_path / "out"), Clock())
    caplog.set_level("WARNING", logger="veltrana")
    assert [ask("alice", "wrong").status_code for _ in range(6)] == [401] * 4 + [429] * 2
    assert ask("alice", "right").status_code == 429
    errors = [r for r in caplog.records if r.levelname == "ERROR"]
    assert len(errors) == 1 and "cannot be used" in errors[0].getMessage()


@pytest.mark.parametrize("proxies, counted_apart", [(0, False), (1, True)], ids=["default", "one proxy"])
def test_x_forwarded_for_is_honoured_only_when_configured(tmp_path, proxies, counted_apart):
    """Behind one trusted proxy a client's address is the last entry of X-Forwarded-For (entries
    before it are the client's own say); by default the header is ignored."""
    import flask

    request = flask.Request.from_values(environ_base={"REMOTE_ADDR": "127.0.0.1"},
                                        headers={"X-Forwarded-For": "6.6.6.6, 192.0.2.7"})
    assert access.client_address(request, proxies) == ("192.0.2.7" if counted_apart else "127.0.0.1")
    forged = flask.Request.from_values(environ_base={"REMOTE_ADDR": "127.0.0.1"},
                                       headers={"X-Forwarded-For": "not an address"})
    assert access.client_address(forged, proxies) == "127.0.0.1"
    assert access.trusted_proxies({}) == 0 and access.trusted_proxies({"VELTRANA_PROXIES": "1"}) == 1
    with pytest.raises(ValueError, match="VELTRANA_PROXIES"):
        access.trusted_proxies({"VELTRANA_PROXIES": "yes"})


def test_an_ipv6_host_is_counted_by_its_64_bit_prefix():
    assert access.address_key("2001:db8:1:2:aaaa::1") == access.address_key("2001:db8:1:2:bbbb::2") == \
        "address 2001:db8:1:2::/64"
    assert access.address_key("::ffff:192.0.2.7") == access.address_key("192.0.2.7") == "address 192.0.2.7"


def test_the_users_file_is_written_for_its_owner_only(tmp_path):
    users = tmp_path / "users"
    old = os.umask(0)  # the mode must not come from the umask
    try:
        access.add_user(str(users), "alice", "pw")
        assert users.stat().st_mode & 0o777 == 0o600
        users.chmod(0o644)  # as written by hand
        access.add_user(str(users), "bob", "pw")
        assert users.stat().st_mode & 0o777 == 0o600
    finally:
        os.umask(old)
    assert sorted(access.read_users(str(users))) == ["alice", "bob"]
    assert [p.name for p in tmp_path.iterdir()] == ["users"]  # no partial file left


# -- serve and its WSGI entry ---------------------------------------------------------------------

@pytest.mark.parametrize("host, users, warned", [("127.0.0.1", None, False), ("::1", None, False),
                                                 ("localhost", None, False), ("0.0.0.0", None, True),
                                                 ("192.168.1.20", None, True), ("0.0.0.0", "users", False)])
def test_a_server_reachable_from_elsewhere_without_a_login_is_warned_about(host, users, warned):
    assert (serving.exposure_warning(host, users) is not None) == warned


@pytest.mark.parametrize("url, shown, warned", [
    ("redis://:s3cret@10.0.0.5:6379/0", "redis://:***@10.0.0.5:6379/0", False),
    ("rediss://lab:s3cret@[::1]:6379/2", "rediss://lab:***@[::1]:6379/2", False),
    ("redis://10.0.0.5:6379/0", "redis://10.0.0.5:6379/0", True),
    ("redis://127.0.0.1:6379/0", "redis://127.0.0.1:6379/0", False)])
def test_broker_urls_are_shown_without_their_password_and_an_open_remote_broker_is_warned_about(url, shown, warned):
    assert serving.masked_url(url) == shown
    warning = serving.broker_warning(url)
    assert (warning is not None) == warned and "s3cret" not in (warning or "")


def test_the_single_process_server_warns_beyond_loopback_and_refuses_debug_there(tmp_path):
    from veltrana import __main__ as front

    assert front.exposure("127.0.0.1", True) is None and "with no login" in front.exposure("0.0.0.0", False)
    done = _veltrana("--host", "0.0.0.0", "--debug", "--out", str(tmp_path / "out"))
    assert done.returncode == 1 and "--debug is refused on 0.0.0.0" in done.stderr, done.stderr
    assert not (tmp_path / "out").exists()


def test_serve_refuses_bad_options_in_one_line(tmp_path):
    for argv, message in ((("--workers", "0"), "at least 1"), (("--users", str(tmp_path / "none")), "no users file"),
                          (("--debug",), "unrecognized arguments"), (("--jobs-per-login", "0"), "jobs_per_login"),
                          (("--jobs", "-2"), "at least 1")):
        done = _veltrana("serve", "--out", str(tmp_path / "out"), *argv)
        assert done.returncode == 1 and message in done.stderr and len(done.stderr.splitlines()) == 1, done.stderr


def test_wsgi_options_come_from_the_environment(tmp_path):
    options, users = wsgi.options_from({"VELTRANA_EXPRESSION": "Protein=p.tsv; Phospho sites=ph.tsv",
                                        "VELTRANA_INFO": "s.tsv", "VELTRANA_OUT": "out", "VELTRANA_USERS": "u"})
    assert options["expression"] == {"Protein": os.path.abspath("p.tsv"), "Phospho sites": os.path.abspath("ph.tsv")}
    assert options["info"] == os.path.abspath("s.tsv") and users == os.path.abspath("u")
    config = tmp_path / "study.toml"
    config.write_text('info = "s.tsv"\n[expression]\nmRNA = "r.tsv"\n')
    options, users = wsgi.options_from({"VELTRANA_CONFIG": str(config), "VELTRANA_EXPRESSION": " "})
    assert options["expression"] == {"mRNA": str(tmp_path / "r.tsv")} and users is None
    assert options["background"] is None and options["broker"] is None
    options, _ = wsgi.options_from({"VELTRANA_CONFIG": str(config), "VELTRANA_BROKER": "redis://127.0.0.1:6379/0"})
    assert options["broker"] == "redis://127.0.0.1:6379/0"


def _free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def test_own_gunicorn_serves_the_entry_with_its_login_and_workers_preprocess(data_dir, tmp_path):
    """The application built in gunicorn's master; the login holds on the page and the callbacks,
    and a worker preprocesses with the locks it inherited."""
    users = str(tmp_path / "users")
    access.add_user(users, "alice", "right")
    port = _free_port()
    env = dict(_env(), VELTRANA_DATA=data_dir, VELTRANA_OUT=str(tmp_path / "out"), VELTRANA_USERS=users)
    log = open(tmp_path / "gunicorn.log", "w")
    server = subprocess.Popen([sys.executable, "-m", "gunicorn", "--preload", "-w", "2", "-b", f"127.0.0.1:{port}",
                               "veltrana.wsgi:server"], env=env, stdout=log, stderr=subprocess.STDOUT)
    url = f"http://127.0.0.1:{port}"
    try:
        for _ in range(600):
            try:
                if requests.get(url + "/", timeout=2, auth=("alice", "right")).status_code == 200:
                    break
            except requests.RequestException:
                pass
            assert server.poll() is None, (tmp_path / "gunicorn.log").read_text()
            time.sleep(0.2)
        body = {"output": "preprocess-source-dropdown.options", "outputs": {"id": "x", "property": "y"},
                "inputs": [], "state": [], "changedPropIds": []}
        for auth in (None, ("alice", "wrong")):
            assert requests.get(url + "/", auth=auth, timeout=10).status_code == 401
            assert requests.post(url + "/_dash-update-component", json=body, auth=auth, timeout=10).status_code == 401
        assert requests.get(url + "/_dash-layout", auth=("alice", "right"), timeout=10).status_code == 200
        paths = demo.paths_for(data_dir, str(tmp_path / "out"))
        values = [1, "Glycoform", paths, "NA", 30, "MedianNorm", "GlobalMin"]
        deps = requests.get(url + "/_dash-dependencies", auth=("alice", "right"), timeout=10).json()
        entry = next(d for d in deps if d["output"].startswith("..preprocess-figure.figure"))
        body = {"output": entry["output"], "outputs": [{"id": o.split(".")[0], "property": o.split(".")[1]}
                                                      for o in entry["output"][2:-2].split("...")],
                "inputs": [dict(d, value=v) for d, v in zip(entry["inputs"], values)],
                "state": [dict(d, value=v) for d, v in zip(entry["state"], values[2:])],
                "changedPropIds": ["preprocess-button.n_clicks"]}
        answer = requests.post(url + "/_dash-update-component", json=body, auth=("alice", "right"), timeout=60)
        assert answer.status_code == 200 and "sideUpdate" not in answer.json(), answer.text[:500]
        assert json.loads(Path(callbacks.MyPath(paths).get_preprocess_settings_path("Glycoform")).read_text()
                          )["Imputation"] == "GlobalMin"
    finally:
        server.send_signal(signal.SIGTERM)
        server.wait(30)
        log.close()
    assert len(list((tmp_path / "out" / "preprocess").glob("*.npz"))) == 2


def test_figures_are_drawn_in_threads_of_lower_priority_with_the_request_context():
    import threading

    import dash
    from dash import Input, Output, dcc, html

    app = dash.Dash(__name__)
    app.layout = html.Div([dcc.Input(id="x"), dcc.Graph(id="fig"), html.Div(id="text")])
    seen = {}

    def niceness():
        return os.getpriority(os.PRIO_PROCESS, threading.get_native_id())

    @app.callback(Output("fig", "figure"), Input("x", "value"))
    def draw(value):
        seen["figure"] = niceness(), dash.ctx.triggered_id, threading.current_thread().name
        if value == "fail":
            raise ValueError("told as in the request")
        return {"data": [], "layout": {"title": {"text": value}}}

    @app.callback(Output("text", "children"), Input("x", "value"))
    def text(value):
        seen["text"] = niceness(), threading.current_thread().name
        return value

    serving.draw_figures_at_low_priority(app)
    client = app.server.test_client()
    start = niceness()

    def send(output, prop, value):
        body = {"output": f"{output}.{prop}", "outputs": {"id": output, "property": prop},
                "inputs": [{"id": "x", "property": "value", "value": value}], "changedPropIds": ["x.value"]}
        return client.post("/_dash-update-component", json=body)

    answer = send("fig", "figure", "drawn")
    assert answer.get_json()["response"]["fig"]["figure"]["layout"]["title"]["text"] == "drawn"
    assert seen["figure"][0] == max(start, serving.FIGURE_NICENESS) and seen["figure"][1] == "x"
    assert seen["figure"][2].startswith("veltrana-figure")
    send("text", "children", "plain")
    assert seen["text"] == (start, threading.current_thread().name)  # the rest keeps the request's priority
    assert send("fig", "figure", "fail").status_code == 500  # an error passes through as in the request


def test_the_served_application_is_set_up_before_its_first_request(guarded):
    app, _paths = guarded
    assert app._got_first_request["setup_server"]
    before = list(app.callback_map)
    assert app.server.test_client().get("/", headers=_basic("alice", "right")).status_code == 200
    assert list(app.callback_map) == before  # nothing left for a worker's first requests to add


ARENAS_USED = """
import ctypes, os, sys, tempfile, threading
from veltrana.serve.arenas import limit_arenas
print(limit_arenas() if sys.argv[-1] == "limited" else "-")
libc = ctypes.CDLL(None)
libc.malloc.restype, libc.malloc.argtypes = ctypes.c_void_p, [ctypes.c_size_t]
libc.fopen.restype = ctypes.c_void_p
held, ready = [], threading.Barrier(8)
def allocate():
    ready.wait()  # all at once, as the server's request threads
    held.extend(libc.malloc(1000) for _ in range(100))
threads = [threading.Thread(target=allocate) for _ in range(8)]
[t.start() for t in threads]; [t.join() for t in threads]
path = os.path.join(tempfile.mkdtemp(), "info.xml")
out = libc.fopen(path.encode(), b"w"); libc.malloc_info(0, ctypes.c_void_p(out)); libc.fclose(ctypes.c_void_p(out))
print(open(path).read().count("<heap nr="))
"""


@pytest.mark.skipif(not sys.platform.startswith("linux") or os.environ.get("MALLOC_ARENA_MAX") is not None,
                    reason="glibc's arenas, unset in the environment")
def _printed(snippet: str, *args, env=None) -> list:
    """The words a snippet prints in a fresh interpreter (the C library's settings are per process)."""
    done = subprocess.run([sys.executable, "-c", snippet, *args], capture_output=True, text=True, timeout=60,
                          env={**os.environ, "PYTHONPATH": os.pathsep.join(p for p in sys.path if p), **(env or {})})
    assert done.returncode == 0, done.stderr
    return done.stdout.split()


def test_the_server_keeps_two_memory_arenas_however_many_threads_allocate(tmp_path):
    assert _printed(ARENAS_USED, "limited") == ["True", "2"]
    assert int(_printed(ARENAS_USED, "default")[1]) > 2  # what the cap is for
    assert _printed(ARENAS_USED, "limited", env={"MALLOC_ARENA_MAX": "3"})[0] == "False"  # the environment decides


FREED_BLOCK = """
import ctypes, sys
from veltrana.serve.arenas import map_large_blocks
print(map_large_blocks() if sys.argv[-1] == "mapped" else "-")
libc = ctypes.CDLL(None)
libc.malloc.restype, libc.malloc.argtypes = ctypes.c_void_p, [ctypes.c_size_t]
libc.free.argtypes = [ctypes.c_void_p]
def resident():
    return int(open("/proc/self/statm").read().split()[1]) * 4096
size = 8 << 20
libc.free(libc.malloc(size))  # a mapped block freed: glibc now takes such blocks from its arena
block, pin = libc.malloc(size), libc.malloc(1000)  # the pin keeps the block off the arena's top
ctypes.memset(block, 1, size)
before = resident()
libc.free(block)
print(before - resident() > size // 2)
"""


@pytest.mark.skipif(not sys.platform.startswith("linux") or os.environ.get("MALLOC_MMAP_THRESHOLD_") is not None,
                    reason="glibc's mapped blocks, unset in the environment")
def test_a_large_block_freed_in_the_server_goes_back_to_the_system():
    assert _printed(FREED_BLOCK, "mapped") == ["True", "True"]
    assert _printed(FREED_BLOCK, "default") == ["-", "False"]  # what the setting is for
    # The environment decides.
    assert _printed(FREED_BLOCK, "mapped", env={"MALLOC_MMAP_THRESHOLD_": "65536"})[0] == "False"
