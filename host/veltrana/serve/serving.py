"""`veltrana serve`: the dashboard under gunicorn, for a lab that shares one installation.

The application is built once, in gunicorn's master process, before the workers are
forked (gunicorn's preload): every table is read, the samples reconciled and every
source preprocessed there, so the workers start with the stored matrices and the
configured paths already in memory. What the workers do later that must happen once
across all of them (preprocessing a source, a gene-set call writing into the shared
output folder) is guarded by file locks in the output folder.

Debug is never on here. Binding an address other than loopback without a login
(`--users FILE`) is allowed, with a warning.
"""

from __future__ import annotations

import gc
import ipaddress
import os
import sys
import threading

from gunicorn.app.base import BaseApplication

# Seconds a request may take before gunicorn restarts its worker: analyses of a large
# cohort take longer than gunicorn's default of 30 s.
DEFAULT_TIMEOUT = 600
LOOPBACK_NAMES = {"localhost", "localhost.localdomain", "ip6-localhost"}


def is_loopback(host: str) -> bool:
    """Whether `host` only accepts connections from this machine."""
    if host in LOOPBACK_NAMES:
        return True
    try:
        return ipaddress.ip_address(host.strip("[]")).is_loopback
    except ValueError:
        return False


def exposure_warning(host: str, users: str | None) -> str | None:
    """The warning printed when the dashboard is reachable from other machines without a login."""
    if users or is_loopback(host):
        return None
    return (f"veltrana: warning: serving on {host} without a login: anyone who reaches this address can use "
            "the dashboard and read its data; give --users FILE (see veltrana adduser)")


def masked_url(url: str) -> str:
    """`url` with its password (if any) as ***, fit to be printed or logged."""
    from urllib.parse import urlsplit, urlunsplit

    parts = urlsplit(url)
    if parts.password is None:
        return url
    host = parts.netloc.rpartition("@")[2]
    return urlunsplit(parts._replace(netloc=f"{parts.username or ''}:***@{host}"))


def broker_warning(url: str) -> str | None:
    """The warning printed when the broker on another machine has no password: whoever reaches it can
    read the results and queue analyses."""
    from urllib.parse import urlsplit

    parts = urlsplit(url)
    if parts.password or is_loopback(parts.hostname or "localhost"):
        return None
    return (f"veltrana: warning: the broker {masked_url(url)} has no password: anyone who reaches it can read "
            "the analyses' results and start analyses; give one (redis://:PASSWORD@host:port/db)")


def serving_app(options: dict, users: str | None = None):
    """The application as served to many users: the front door's application, the gene-set
    calls locked across processes, and the login when `users` names a file."""
    from veltrana import deferred
    from veltrana.serve import access, background
    from veltrana.serve.app import paths_of, start
    from veltrana.runs import locks

    login = access.read_users(users) if users else None  # a bad users file stops the start early
    app = start(options)
    out_dir = os.path.abspath(paths_of(options)[0]["out_dir"])
    locks.share_gene_set_lock(out_dir)
    if login is not None:  # failed logins counted in the output folder, across the workers
        access.require_login(app, users, out_dir=out_dir)
    serve_fixed_layout(app)
    draw_figures_at_low_priority(app)
    finish_setup(app)
    deferred.import_all()  # before the workers fork: they share the libraries, and none imports them
    freeze_startup_objects()
    # Jobs are forked by a launcher forked now, while this process has no other thread.
    background.start_launcher(app)
    return app


def freeze_startup_objects() -> None:
    """Leaves what start-up made (the study, the page, the libraries: some 250,000 objects) out of
    the garbage collector's full passes. Each such pass walked them all, about 100 ms in which a
    worker answered no one; it now walks only what requests made. The workers forked after this
    also keep sharing those objects' memory pages with the master."""
    gc.collect()
    gc.freeze()


def finish_setup(app) -> None:
    """Lets Dash finish setting itself up now, in the process that forks the workers. Dash does so
    on a worker's first request, and marks it done before it is: the first requests of a threaded
    worker, at once, could read the callbacks while they were being completed (an error page, or
    dependencies without the Cancel buttons' callbacks)."""
    app.server.test_client().get(app.config.routes_pathname_prefix)


# The niceness of the threads that draw figures: pages and pickers go first on a busy server.
FIGURE_NICENESS = 10
_figure_pool = []
_figure_pool_lock = threading.Lock()


def _figure_pool_afresh() -> None:
    """A forked worker starts its own threads (and a lock no thread of its parent may hold)."""
    global _figure_pool_lock
    _figure_pool.clear()
    _figure_pool_lock = threading.Lock()


os.register_at_fork(after_in_child=_figure_pool_afresh)


def _lower_thread_priority() -> None:
    try:  # on Linux a thread has a niceness of its own
        os.setpriority(os.PRIO_PROCESS, threading.get_native_id(), FIGURE_NICENESS)
    except (OSError, AttributeError):
        pass


def _pool():
    """This process's figure threads, started by the first figure (two at once start one pool)."""
    with _figure_pool_lock:
        if not _figure_pool:
            from concurrent.futures import ThreadPoolExecutor

            _figure_pool.append(ThreadPoolExecutor(4, "veltrana-figure", initializer=_lower_thread_priority))
        return _figure_pool[0]


def draw_figures_at_low_priority(app) -> None:
    """Runs the callbacks that send a figure in threads of lower priority than the rest."""
    import contextvars

    for key, entry in app.callback_map.items():
        if ".figure" not in key or entry.get("background"):
            continue
        draw = entry["callback"]

        def low(*args, _draw=draw, **kwargs):
            context = contextvars.copy_context()
            return _pool().submit(context.run, _draw, *args, **kwargs).result()

        for name in ("__wrapped__", "__name__", "__qualname__"):
            if hasattr(draw, name):
                setattr(low, name, getattr(draw, name))
        entry["callback"] = low


def serve_fixed_layout(app) -> None:
    """Answers the layout route from bytes made once: every page load asks for the same
    layout, which takes longer to serialise and compress than the rest of the page."""
    import gzip

    import flask
    from dash._utils import to_json

    if callable(app.layout):  # a layout made per request stays so
        return
    plain = to_json(app.get_layout()).encode("utf-8")
    packed = gzip.compress(plain, compresslevel=6)
    route = app.config.routes_pathname_prefix + "_dash-layout"

    @app.server.before_request
    def _fixed_layout():
        if flask.request.path != route or flask.request.method != "GET":
            return None
        gzipped = "gzip" in flask.request.headers.get("Accept-Encoding", "")
        response = flask.Response(packed if gzipped else plain, mimetype="application/json")
        if gzipped:
            response.headers["Content-Encoding"] = "gzip"
        response.headers["Vary"] = "Accept-Encoding"
        return response


class Server(BaseApplication):
    """gunicorn run from Python: its settings from a dict, the application loaded once, in the master."""

    def __init__(self, load, settings: dict):
        self._load = load
        self._settings = settings
        super().__init__()

    def load_config(self):
        for key, value in self._settings.items():
            self.cfg.set(key, value)

    def load(self):
        return self._load()


def gunicorn_settings(host: str, port: int, workers: int, threads: int, timeout: int = DEFAULT_TIMEOUT) -> dict:
    if workers < 1 or threads < 1:
        raise ValueError("--workers and --threads must be at least 1")
    return {"bind": f"[{host}]:{port}" if ":" in host else f"{host}:{port}",
            "workers": workers, "threads": threads,
            "worker_class": "gthread" if threads > 1 else "sync",
            "preload_app": True, "timeout": timeout, "graceful_timeout": 30,
            # Longer than the page's one-second polls of a running job: a connection the server
            # closed as idle just as the page sent its next poll would come back reset.
            "keepalive": 5,
            "accesslog": None, "errorlog": "-", "loglevel": "warning",
            "proc_name": "veltrana"}


def serve(options: dict, workers: int, threads: int, users: str | None, timeout: int = DEFAULT_TIMEOUT) -> int:
    """Builds the application (every start-up check first), then serves it until stopped."""
    host, port = options.get("host", "127.0.0.1"), options.get("port", 8050)
    settings = gunicorn_settings(host, port, workers, threads, timeout)
    app = serving_app(options, users)
    warning = exposure_warning(host, users)
    if warning:
        print(warning, file=sys.stderr, flush=True)
    broker = options.get("broker")
    if broker and broker_warning(broker):
        print(broker_warning(broker), file=sys.stderr, flush=True)
    jobs = ({"disk": ", analyses as background jobs",
             "celery": f", analyses on Celery workers of {masked_url(broker or '')}"}
            .get("celery" if broker else options.get("background"), ""))
    print(f"Veltrana dashboard on http://{host}:{port}/ ({workers} worker(s) x {threads} thread(s)"
          f"{', login required' if users else ''}{jobs})", flush=True)
    # gunicorn reads sys.argv when it sets itself up; it must not see ours.
    saved, sys.argv = sys.argv, sys.argv[:1]
    try:
        Server(lambda: app.server, settings).run()
    finally:
        sys.argv = saved
    return 0
