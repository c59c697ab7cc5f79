"""Libraries imported on first use.

Building and serving the page needs dash, pandas and plotly; the statistics libraries (scipy.stats,
scikit-learn, gseapy with its plotting, lifelines) take seconds more to import and are first needed
by an analysis. The analyses reach them through the stand-ins here, and `warm_up` imports them in
a thread once the front door's server answers, so a restart serves at once and the first analysis
rarely waits. A server that forks workers imports them before it forks (`import_all`).
"""

from __future__ import annotations

import importlib
import threading

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
            self._module = importlib.import_module(self._name)
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


def warm_up() -> threading.Thread:
    """Imports LIBRARIES in a daemon thread. Only for a process that forks no children after this
    (a fork while another thread imports can leave the child's import lock held)."""
    thread = threading.Thread(target=import_all, name="veltrana-warm-up", daemon=True)
    thread.start()
    return thread


def import_all() -> None:
    """Imports LIBRARIES now: in a process that forks workers, so that they share them."""
    for library in LIBRARIES:
        try:
            importlib.import_module(library)
        except Exception:  # noqa: BLE001  the analysis that needs it will say why
            pass
