"""Libraries imported on first use.

Building and serving the page needs dash, pandas and plotly; the statistics libraries (scipy.stats,
scikit-learn, gseapy with its plotting, lifelines) take seconds more to import and are first needed
by an analysis. The analyses reach them through the stand-ins here, so a restart serves at once. The
front door imports them in a thread once it has answered its first request, while the browser loads
the page's scripts (`import_after_first_answer`; sooner, they slowed that answer: one interpreter
lock), and its callbacks wait until that is done; a server that forks workers imports them before
it forks (`import_all`), so they share them.

Every import here goes through one lock (`load`; the native modules' deferred names too): two
threads importing a package with import cycles at once (lifelines) fail with "partially initialized
module".
"""

from __future__ import annotations

import importlib
import threading

_lock = threading.RLock()


def load(module_name: str):
    """importlib.import_module(module_name), one import at a time."""
    with _lock:
        return importlib.import_module(module_name)


# What the analyses import through these stand-ins (and the native modules on first use).
LIBRARIES = ("scipy.stats", "scipy.special", "scipy.linalg", "scipy.cluster.hierarchy", "sklearn.decomposition",
             "sklearn.metrics", "sklearn.linear_model", "sklearn.model_selection", "gseapy", "lifelines")


class Module:
    """A module imported when one of its attributes is first read."""

    __slots__ = ("_name", "_module")

    def __init__(self, name: str):
        self._name = name
        self._module = None

    def __getattr__(self, attr):
        if self._module is None:
            self._module = load(self._name)
        return getattr(self._module, attr)

    def __repr__(self) -> str:
        return f"<module {self._name!r}, imported on first use>"


def module(name: str) -> Module:
    return Module(name)


def name(module_name: str, attr: str):
    """A callable stand-in for `from module_name import attr` (a function or class that is called)."""
    source = Module(module_name)

    def call(*args, **kwargs):
        return getattr(source, attr)(*args, **kwargs)

    call.__name__ = call.__qualname__ = attr
    call.__doc__ = f"{module_name}.{attr}, imported on first call."
    return call


def import_all() -> None:
    """Imports LIBRARIES now: in a process that forks workers, so that they share them."""
    for library in LIBRARIES:
        try:
            load(library)
        except Exception:  # noqa: BLE001  the analysis that needs it will say why
            pass


def import_after_first_answer(server) -> None:
    """Imports LIBRARIES in a thread once the Flask `server` has answered its first request; the
    callbacks wait for it (none imports beside it). Only for a process that forks nothing after: a
    fork during an import can leave the child's import lock held."""
    import flask

    lock = threading.Lock()
    started = []

    @server.after_request
    def start_importing(response):
        with lock:
            if not started:
                started.append(threading.Thread(target=import_all, name="veltrana-imports", daemon=True))
                started[0].start()
        return response

    @server.before_request
    def wait_for_imports():
        if started and flask.request.path.endswith("/_dash-update-component"):
            started[0].join()
