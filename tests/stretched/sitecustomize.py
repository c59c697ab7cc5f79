"""Test support, on PYTHONPATH of a served dashboard only: imports that take long in a process
that runs several threads (a web worker), as a first import of a large module does on a busy
machine. The module's own import lock is held while it runs: a process forked meanwhile inherits
that lock as held, and waits for ever the first time it imports the module itself."""

import importlib.machinery
import os
import sys
import threading
import time

_NAMES = set(filter(None, os.environ.get("VELTRANA_STRETCHED_IMPORTS", "").split(",")))
_SECONDS = float(os.environ.get("VELTRANA_STRETCHED_SECONDS", "3"))


class _SlowLoader:
    def __init__(self, loader):
        self.loader = loader

    def create_module(self, found):
        return self.loader.create_module(found)

    def exec_module(self, module):
        time.sleep(_SECONDS)  # with the module's lock held, the global import lock free
        self.loader.exec_module(module)


class _Stretched:
    @staticmethod
    def find_spec(name, path=None, target=None):
        if name not in _NAMES or threading.active_count() < 2:
            return None
        found = importlib.machinery.PathFinder.find_spec(name, path, target)
        if found is not None and found.loader is not None:
            found.loader = _SlowLoader(found.loader)
        return found


sys.meta_path.insert(0, _Stretched())
