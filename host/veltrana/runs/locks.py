"""Locks that hold across the threads of one process and across processes.

Several server processes (gunicorn workers) share one output folder. A step that must
run once at a time there (preprocessing a source, a gene-set call writing into the
enrichment folder) takes a `SharedLock`: a thread lock for the threads of this process,
then a file lock (`filelock`) in the output folder for the other processes. Waiting
threads of one process wait on the thread lock, so only one of them polls the file.
"""

from __future__ import annotations

import os
import threading
import weakref

from filelock import FileLock, Timeout

LOCK_FOLDER = ".locks"  # under the output folder

_shared: dict[str, "SharedLock"] = {}
_shared_guard = threading.Lock()


class SharedLock:
    """A re-entrant lock held by one thread of one process at a time."""

    def __init__(self, path: str):
        self.path = path
        self._reset()
        _every.add(self)

    def _reset(self) -> None:
        self._thread = threading.RLock()
        self._held = 0  # by the thread that holds `_thread`
        # One counter for the process: `_thread` already admits one thread at a time.
        self._file = FileLock(self.path, mode=0o600, thread_local=False)

    def acquire(self, blocking: bool = True, timeout: float = -1) -> bool:
        if not self._thread.acquire(blocking, timeout):
            return False
        try:
            if self._held == 0:
                os.makedirs(os.path.dirname(self.path), mode=0o700, exist_ok=True)
                self._file.acquire(timeout=timeout if blocking else 0)
        except Timeout:
            self._thread.release()
            return False
        except BaseException:
            self._thread.release()
            raise
        self._held += 1
        return True

    def release(self) -> None:
        self._held -= 1
        if self._held == 0:
            self._file.release()
        self._thread.release()

    def locked(self) -> bool:
        """Whether a thread of this process holds the lock."""
        return self._held > 0

    def __enter__(self):
        self.acquire()
        return self

    def __exit__(self, *exc):
        self.release()


_every: "weakref.WeakSet[SharedLock]" = weakref.WeakSet()


def _after_fork() -> None:
    # A forked worker (gunicorn preloads the application, then forks) holds none of its
    # parent's locks, and must not share the parent's open lock files.
    for lock in list(_every):
        lock._reset()


os.register_at_fork(after_in_child=_after_fork)


def lock_path(out_dir: str, name: str) -> str:
    """The file of the lock `name` (a plain file name) of an output folder."""
    return os.path.join(os.path.realpath(out_dir), LOCK_FOLDER, f"{name}.lock")


def shared_lock(path: str) -> SharedLock:
    """The one `SharedLock` of this process for the lock file `path`."""
    with _shared_guard:
        lock = _shared.get(path)
        if lock is None:
            lock = _shared[path] = SharedLock(path)
        return lock


def share_gene_set_lock(out_dir: str) -> None:
    """Makes the dashboard's gene-set call lock hold across the processes sharing `out_dir`:
    the calls write their tables into the output folder's enrichment folder."""
    from veltrana.plugins import vistro

    vistro.tlock = shared_lock(lock_path(out_dir, "gene-set-calls"))
