"""Long analyses on background workers.

With a background manager, the five analysis callbacks (differential, decomposition,
clustering, association and enrichment runs) and the GSEA card's run are registered again,
after `build_app`, as Dash background callbacks: the request that starts a run returns at once with
signed handles, the run goes on in a process of the manager (a forked process with
`DiskcacheManager`, a Celery worker with `CeleryManager`), and the page polls for it.
While a run goes on, its button is disabled and a Cancel button beside it stops it.
Without a manager nothing here is called and the callbacks stay as `build_app` made them.

Dash names a background task after its function's source text, which the native
callbacks have none of; each one is therefore registered through `_runner`, a Python
function with real source that calls the native callback object. A failure is told
in the card from the job itself (Dash would pass only its text and traceback back to
the request, and the card would show an internal error). The task's name
also holds the callback's outputs, so each gets a name of its own, the same in every
process that builds the application (the web workers and the Celery workers).

A cancelled run is a killed process: the result store publishes a run by renaming a
complete folder, so a killed run leaves at most a `.partial-*` folder, never a run
that the page or a later run could take for a finished one (`results.publish` sweeps
such folders once they are old).
"""

from __future__ import annotations

import contextlib
import hashlib
import os
import threading
import time
import uuid

from dash import Input, Output, State, html

# (first output of the described callback, its run button or None, the Cancel button placed beside it,
#  the component after which the Cancel button goes)
ANALYSES = (
    ("diff-inter.data", "run-diff-button", "cancel-diff-button", "run-diff-button"),
    # The moderated tests' run (covariates, F-test), beside the described one: its button and Cancel.
    ("diff-designs-inter.data", "run-diff-button", "cancel-diff-button", "run-diff-button"),
    ("decomposition-inter.data", "run-decomposition-button", "cancel-decomposition-button",
     "run-decomposition-button"),
    ("feature-clustering-inter.data", "run-feature-clustering-button", "cancel-feature-clustering-button",
     "run-feature-clustering-button"),
    ("phenotype-feature-result-inter.data", "run-assoc-button", "cancel-assoc-button", "run-assoc-button"),
    ("enrich-ora-fig.figure", None, "cancel-enrich-button", "enrich-gene-sets-dropdown"),
    # The ranked enrichment (GSEA) card's run, beside the described ones.
    ("enrich-gsea-pres-inter.data", "gsea-run-button", "cancel-gsea-button", "gsea-run-button"),
    # The Kaplan-Meier card's curves and log-rank tests, drawn anew on each change of its pickers (no run
    # button, as the enrichment's): its Cancel button after its last picker.
    ("assoc-surv-fig.figure", None, "cancel-km-button", "km-options-checklist"),
)
# Where `veltrana serve --background disk` keeps its jobs' results, under the output folder.
DISK_FOLDER = ".background"
# Seconds a finished job's result stays readable (each request has a key of its own, see `_request_key`).
RESULT_SECONDS = 3600
# The niceness of a job: analyses yield the processor to the web workers, so that pages, pickers and
# figures stay quick for everyone while a lab's analyses run.
JOB_NICENESS = 10


def _request_key() -> str:
    """A key of each request that starts a job. Dash keys a job's result by the callback and its
    arguments only, and deletes a result once read: two users starting the same run at once would
    share one result, and one of them would never see it. With a key per request, each has its own."""
    return uuid.uuid4().hex


def _fresh_locks_in_child() -> None:
    """A job process is forked from a web worker whose other threads may hold a lock at that
    moment, which would then stay held for good in the job. The locks of the per-process caches
    start afresh there (the file locks of the output folder do so in `locks`)."""
    from veltrana import genesets
    from veltrana.study import loader
    from veltrana.runs import locks, results
    from veltrana.plugins import paths, tables

    global _cache_guard, _launcher_lock
    _cache_guard = threading.RLock()
    _launcher_lock = threading.Lock()
    tables._cache_lock = threading.Lock()
    tables._loading.clear()
    paths._configured_lock = threading.Lock()
    loader._hashes_lock = threading.Lock()
    results._figures_lock = threading.Lock()
    locks._shared_guard = threading.Lock()
    genesets._cache_lock = threading.Lock()


_fork_hook = []


# Held around every use of the job cache in this process, and while a job process is forked. SQLite
# keeps its locks' bookkeeping per process: a job forked while another thread of the web worker is
# inside a cache transaction inherits that thread's locks as held, and its own writes then wait on
# them until they time out (the finished run is lost). `_fresh_locks_in_child` renews it in the job.
_cache_guard = threading.RLock()
# The manager's methods that reach the cache, or fork.
_GUARDED = ("call_job_fn", "get_result", "job_running", "terminate_job", "terminate_unhealthy_job",
            "get_progress", "result_ready", "get_updated_props", "clear_cache_entry",
            "get_or_create_signing_secret")


def _guarded(method):
    def guarded(self, *args, **kwargs):
        with _cache_guard:
            return method(self, *args, **kwargs)

    guarded.__name__ = method.__name__
    return guarded


def _until_dead(process, seconds: float = 1.0) -> None:
    """Waits until a killed job has stopped. Not until it is gone: it stays a zombie until the worker
    that forked it reaps it, which a wait from another worker would sit out, holding up every poll."""
    import psutil

    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        try:
            if process.status() == psutil.STATUS_ZOMBIE:
                return
        except psutil.Error:
            return
        time.sleep(0.005)


# Where the start time of each job's process is kept, by its pid, in the job cache.
_JOB_KEY = "veltrana-job-"


def _disk_manager_class():
    import psutil
    from dash import DiskcacheManager

    class JobsOnThisMachine(DiskcacheManager):
        """Dash's manager, made safe where it lost finished runs or reached other processes.

        - A job is known by its pid and its process's start time. Dash knew it by the pid alone:
          once a job had ended, its pid could be another job's or a thread's of a web worker (a
          pid names threads too), which then passed for the job "still running" (the page waited
          for good), or was killed when that old job was cancelled or its result read (a web
          worker killed, or another user's run).
        - A poll reads the job's result, then asks whether the job still runs, and takes "no
          result and not running" for a cancelled job. A job that writes its result and ends
          between the two looks would lose a finished run: a job whose result has meanwhile
          arrived counts as running, so the next poll takes it.
        - Forks and cache reads are kept apart (see `_cache_guard`)."""

        _polled = threading.local()

        launcher = None

        def call_job_fn(self, key, job_fn, args, context):
            registry_key = next(k for k, fn in self.func_registry.items() if fn is job_fn)
            answer = launcher_of(self).ask({
                "registry_key": registry_key, "key": key, "progress_key": self._make_progress_key(key),
                "args": args, "context": dict(context), "login": _login()})
            if "error" in answer:
                raise RuntimeError(f"the server's job launcher refused the job: {answer['error']}")
            if answer["create_time"] is not None:
                self.handle.set(_JOB_KEY + str(answer["pid"]), answer["create_time"], expire=RESULT_SECONDS)
            return answer["pid"]

        def _process(self, job):
            """The job's process while it runs, else None."""
            try:
                process = psutil.Process(int(job))
                if (process.create_time() == self.handle.get(_JOB_KEY + str(int(job)))
                        and process.status() != psutil.STATUS_ZOMBIE):
                    return process
            except (psutil.Error, TypeError, ValueError):
                pass
            return None

        def get_result(self, key, job):
            self._polled.key = key
            return super().get_result(key, job)

        def job_running(self, job):
            if job and self._process(job) is not None:
                return True
            key = getattr(self._polled, "key", None)
            return key is not None and self.result_ready(key)

        def terminate_job(self, job):
            process = self._process(job) if job else None
            if process is None:
                return
            # The job's process first: it would otherwise see its run killed and tell a death.
            try:
                tree = [process, *process.children(recursive=True)]
            except psutil.Error:  # it has just ended
                tree = [process]
            for running in tree:
                try:
                    running.kill()
                except psutil.Error:
                    pass
            deadline = time.monotonic() + 1.0
            for running in tree:
                _until_dead(running, max(0.0, deadline - time.monotonic()))

    for name in _GUARDED:
        setattr(JobsOnThisMachine, name, _guarded(getattr(JobsOnThisMachine, name)))
    return JobsOnThisMachine


_launcher_lock = threading.Lock()


def launcher_of(manager):
    """The job launcher of `manager`, started now if it was not (`start_launcher`)."""
    with _launcher_lock:
        if manager.launcher is None:
            from veltrana.serve.launcher import Launcher

            manager.launcher = _Asking(Launcher(manager))
        return manager.launcher


class _Asking:
    def __init__(self, launcher):
        self.process = launcher

    def ask(self, request):
        from veltrana.serve.launcher import ask

        return ask(self.process.address, request)


def stop_launcher(manager) -> None:
    """Stops `manager`'s job launcher and the jobs it runs (a new one starts with the next job)."""
    with _launcher_lock:
        if getattr(manager, "launcher", None) is not None:
            manager.launcher.process.stop()
            manager.launcher = None


def start_launcher(app) -> None:
    """Starts the job launcher of `app`'s disk manager, if it has one. Call it while this process runs
    no other thread: after the application is built, before the server forks its workers."""
    manager = manager_of(app)
    if manager is not None and hasattr(manager, "launcher"):
        launcher_of(manager)


def _login() -> str:
    """The login of the request that starts a job ("" without logins)."""
    try:
        import flask

        auth = flask.request.authorization
        return (auth.username or "") if auth else ""
    except RuntimeError:  # outside a request
        return ""


def disk_manager(out_dir: str):
    """Jobs in processes of this machine, their results in a cache folder under the output folder."""
    from veltrana.serve import jobcache

    if not _fork_hook:
        os.register_at_fork(after_in_child=_fresh_locks_in_child)
        _fork_hook.append(True)

    cache = jobcache.open_cache(os.path.join(out_dir, DISK_FOLDER), size_limit=2 ** 30)
    return _disk_manager_class()(cache, cache_by=[_request_key], expire=RESULT_SECONDS)


def celery_app(broker: str):
    """The Celery application whose broker and result store are `broker` (a redis:// URL)."""
    from celery import Celery

    app = Celery("veltrana", broker=broker, backend=broker)
    app.conf.update(result_expires=RESULT_SECONDS, broker_connection_retry_on_startup=True,
                    worker_hijack_root_logger=False, task_track_started=True)
    return app


# A login's runs on Celery workers, admitted one place at a time: the expired places (of runs whose
# worker died) dropped, then a place taken if the login has fewer than its cap. 0: admitted; else how
# many of the login's runs hold places.
_TAKE_PLACE = """
redis.call('ZREMRANGEBYSCORE', KEYS[1], '-inf', ARGV[1])
local held = redis.call('ZCARD', KEYS[1])
if held < tonumber(ARGV[2]) then
  redis.call('ZADD', KEYS[1], ARGV[3], ARGV[4])
  redis.call('EXPIRE', KEYS[1], ARGV[5])
  return 0
end
return held
"""


class LoginPlaces:
    """The places of each login's runs on the Celery workers, kept on the broker (a Redis server)
    so that every worker sees the same ones. A worker's own `--concurrency` caps the runs in all."""

    def __init__(self, broker: str):
        import redis

        self.redis = redis.Redis.from_url(broker)
        self.take = self.redis.register_script(_TAKE_PLACE)

    def _key(self, login: str) -> str:
        return "veltrana-places-" + hashlib.sha256(login.encode("utf-8")).hexdigest()[:32]

    @contextlib.contextmanager
    def held(self, login: str, tell=None, pause: float = 0.25):
        """Waits for a place of `login` (telling how many of its runs are ahead), holds it while the run goes."""
        from veltrana.serve.launcher import WAITING
        from veltrana.serve import limits

        place, key, told = uuid.uuid4().hex, self._key(login), None
        seconds = limits.get("job_seconds")
        while True:
            now = time.time()
            held = self.take(keys=[key], args=[now, limits.get("jobs_per_login"), now + seconds + 60, place,
                                               seconds + 120])
            if not held:
                break
            text = WAITING.format(ahead=held, noun="analysis" if held == 1 else "analyses")
            if tell is not None and text != told:
                tell(text)
                told = text
            time.sleep(pause)
        if told and tell is not None:
            tell("")
        try:
            yield
        finally:
            self.redis.zrem(key, place)


# The login places of Celery runs, in the processes of a server or worker that has a broker.
login_places: LoginPlaces | None = None


def celery_manager(broker: str):
    """Jobs on Celery workers (`veltrana worker`), on this machine or others; each login's runs within its cap."""
    global login_places
    from dash import CeleryManager

    class JobsOnWorkers(CeleryManager):
        def call_job_fn(self, key, job_fn, args, context):
            return super().call_job_fn(key, job_fn, args, {**context, LOGIN_KEY: _login()})

    login_places = LoginPlaces(broker)
    return JobsOnWorkers(celery_app(broker), cache_by=[_request_key], expire=RESULT_SECONDS)


# Where a Celery run finds the login that started it, in its callback context.
LOGIN_KEY = "veltrana_login"


def _admitted(set_progress):
    """The place of this run's login on the Celery workers (nothing to wait for elsewhere: the disk
    manager's launcher admits its runs before they start)."""
    if login_places is None:
        return contextlib.nullcontext()
    from dash._callback_context import context_value

    login = (context_value.get() or {}).get(LOGIN_KEY) or ""
    return login_places.held(login, set_progress) if login else contextlib.nullcontext()


def manager_for(background: str | None, broker: str | None, out_dir: str):
    """The manager that `--background` and `--broker` name, or None (the callbacks run in the request)."""
    if broker:
        if background not in (None, "celery"):
            raise ValueError(f"--broker runs the analyses on Celery workers; it cannot go with --background "
                             f"{background}")
        if not broker.startswith(("redis://", "rediss://")):
            raise ValueError(f"--broker must be a redis:// URL, not {broker!r}")
        return celery_manager(broker)
    if background == "celery":
        raise ValueError("--background celery needs --broker redis://host:port/db")
    if background == "disk":
        return disk_manager(out_dir)
    if background is not None:
        raise ValueError(f"unknown --background {background!r}; choose disk, or give --broker")
    return None


class JobEnded(ValueError):
    """A run that ended without its result: told in its card as it is."""


# Set in a job's process whose run ended without a result: the message its card shows instead.
ending = None


def yield_processor() -> None:
    """Lowers this job's priority to JOB_NICENESS (never raises it: a Celery worker's process runs many jobs)."""
    try:
        os.setpriority(os.PRIO_PROCESS, 0, max(JOB_NICENESS, os.getpriority(os.PRIO_PROCESS, 0)))
    except OSError:  # not allowed here: the job runs at the priority it has
        pass


def _runner(native):
    from dash.exceptions import PreventUpdate

    from veltrana.cards import failures
    from veltrana.runs import progress

    def run_analysis(set_progress, *args):
        if ending:  # the run ended without a result; its job's process tells how
            return failures.on_error(JobEnded(ending))
        yield_processor()
        try:
            with _admitted(set_progress), progress.reporting(set_progress):
                return native(*args)
        except PreventUpdate:
            raise
        except MemoryError:
            from veltrana.serve import limits

            return failures.on_error(JobEnded(
                f"The analysis needed more than the {limits.get('job_memory_mb'):,} MB of memory an analysis may "
                "take on this server; nothing was stored"))
        except Exception as exc:  # told in the card, in the user's words, as in a request
            return failures.on_error(exc)

    run_analysis.__name__ = run_analysis.__qualname__ = native.__name__
    return run_analysis


def _entry(app, first_output: str) -> tuple[str, int]:
    """(key in the callback map, index in the callback list) of the callback whose first output is given."""
    for index, entry in enumerate(app._callback_list):
        key = entry["output"]
        if key.strip(".").split("...")[0] == first_output:
            return key, index
    raise KeyError(f"no callback has the output {first_output}")


def _dependencies(kind, dependencies) -> list:
    return [kind(s["id"], s["property"]) for s in dependencies]


def _reregister(app, manager, first_output: str, button: str | None, cancel: str) -> None:
    key, index = _entry(app, first_output)
    entry = app._callback_list[index]
    native = app.callback_map[key]["callback"].__wrapped__
    listed = key.startswith("..")
    outputs = [Output(*o.rsplit(".", 1)) for o in key.strip(".").split("...")]
    running = [(Output(cancel, "disabled"), False, True)]
    if button:
        running.insert(0, (Output(button, "disabled"), True, False))
    order = list(app.callback_map)
    del app.callback_map[key]
    del app._callback_list[index]
    app.callback(outputs if listed else outputs[0], _dependencies(Input, entry["inputs"]),
                 _dependencies(State, entry["state"]), prevent_initial_call=entry.get("prevent_initial_call"),
                 background=True, manager=manager, running=running, cancel=[Input(cancel, "n_clicks")],
                 # The default in a list: Dash passes over a falsy one, and the last text would stay.
                 progress=Output(progress_id(cancel), "children"), progress_default=[""],
                 )(_runner(native))
    # Back in its place, so that the callback map reads in registration order as before.
    app._callback_list.insert(index, app._callback_list.pop())
    entries = app.callback_map
    app.callback_map = {k: entries[k] for k in order}


# What a run's card says once its Cancel button has stopped it.
CANCELLED = "Cancelled; nothing was stored"


def run_in_background(app, manager) -> None:
    """Registers the analysis callbacks of `app` (made by `build_app`) as background callbacks of `manager`."""
    for first_output, button, cancel, _after in ANALYSES:
        _reregister(app, manager, first_output, button, cancel)
    # The Cancel button is enabled only while its run goes on: a press stops it (Dash's own
    # callback on the button kills the job), and the card says so.
    for cancel in dict.fromkeys(cancel for _o, _b, cancel, _a in ANALYSES):
        app.callback(Output(progress_id(cancel), "children", allow_duplicate=True), Input(cancel, "n_clicks"),
                     prevent_initial_call=True)(_told_cancelled)


def _told_cancelled(_clicks):
    return CANCELLED


def progress_id(cancel_id: str) -> str:
    """The id of the text beside a Cancel button that tells where its run is."""
    return cancel_id.removeprefix("cancel-").removesuffix("-button") + "-progress"


def cancel_button(cancel_id: str):
    return html.Button("Cancel", id=cancel_id, n_clicks=0, disabled=True, className="veltrana-cancel",
                       style={"marginLeft": "8px"})


def progress_text(cancel_id: str):
    return html.Span("", id=progress_id(cancel_id), className="veltrana-progress",
                     style={"marginLeft": "8px", "fontStyle": "italic"})


def place_cancel_buttons(page) -> None:
    """Puts each analysis's Cancel button, and the text that tells where its run is, right after its
    run button (the enrichment's after its gene-set picker) in the page's tree."""
    after = {anchor: cancel for _out, _button, cancel, anchor in ANALYSES}
    stack = [page]
    while stack:
        component = stack.pop()
        kids = getattr(component, "children", None)
        if not isinstance(kids, (list, tuple)):
            kids = [kids] if hasattr(kids, "to_plotly_json") else []
        kids = list(kids)
        for i in range(len(kids) - 1, -1, -1):
            anchor = getattr(kids[i], "id", None)
            if anchor in after:
                cancel = after.pop(anchor)
                kids[i + 1:i + 1] = [cancel_button(cancel), progress_text(cancel)]
                component.children = kids
        stack.extend(k for k in kids if hasattr(k, "to_plotly_json"))
    if after:
        raise LookupError(f"the page lacks {sorted(after)} beside which the Cancel buttons go")


def manager_of(app):
    """The background manager of `app`'s analysis callbacks (None when they run in the request)."""
    key, _index = _entry(app, ANALYSES[0][0])
    return (app.callback_map[key].get("background") or {}).get("manager")
