"""The job launcher: the analyses' jobs forked from a process that runs no other threads.

A process forked from a web worker inherits the worker's locks as they are at that moment: a lock
another thread held (the import lock while it imports a module, a cache's lock) stays held for
good in the child, which then waits for ever the first time it needs it. The launcher is forked
once, while the server still has only its main thread (before gunicorn forks its workers), and
never starts a thread; the workers ask it, over a Unix socket in a private folder, to start each
job. Every job is then two processes:

- the job's process, whose pid the page's handles name (a Cancel kills it and what it forked):
  it waits in line until the launcher admits it, then forks the run and watches it;
- the run, with its address space bounded: it calls the background callback's job function,
  which stores the outputs (or the card's message) as the job's result.

The launcher admits at most `jobs` runs in all and `jobs_per_login` per login at once (see
`limits`); the others wait in line, and their card's progress text says how many are ahead. A
run that ends without a result (killed by the kernel, or past its time) gets a message as its
result from its job's process, so the card always tells how the run ended.
"""

from __future__ import annotations

import os
import pickle
import resource
import select
import signal
import socket
import struct
import tempfile
import time

from veltrana.serve import limits

# What a run that ended without a result leaves as its message (see `background.ending`).
DIED = "The analysis stopped unexpectedly ({how}, possibly out of memory); nothing was stored"
TOO_LONG = "The analysis ran longer than the {seconds:,} s an analysis may take on this server; nothing was stored"
WAITING = "waiting: {ahead} {noun} ahead"
_HEADER = struct.Struct("!I")
_ANSWER_SECONDS = 10


# ---- messages over the socket: a length, then a pickle (only this server's processes reach the socket) ----

def _send(sock, value) -> None:
    data = pickle.dumps(value, protocol=pickle.HIGHEST_PROTOCOL)
    sock.sendall(_HEADER.pack(len(data)) + data)


def _receive(sock):
    def exactly(n):
        data = b""
        while len(data) < n:
            chunk = sock.recv(n - len(data))
            if not chunk:
                raise ConnectionError("the job launcher closed the connection")
            data += chunk
        return data

    return pickle.loads(exactly(_HEADER.unpack(exactly(_HEADER.size))[0]))


def ask(address: str, request: dict) -> dict:
    """The launcher's answer to `request` (from a web worker)."""
    try:
        with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as sock:
            sock.settimeout(_ANSWER_SECONDS)
            sock.connect(address)
            _send(sock, request)
            return _receive(sock)
    except (OSError, ConnectionError) as err:
        raise RuntimeError(f"the server's job launcher did not answer ({err}); restart the server") from None


# ---- the launcher ----------------------------------------------------------------------------------

class Launcher:
    """Starts the launcher process; `address` is where the workers reach it."""

    def __init__(self, manager):
        self.folder = tempfile.mkdtemp(prefix="veltrana-jobs-")  # 0700: only this user reaches the socket
        self.address = os.path.join(self.folder, "launcher")
        listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        listener.bind(self.address)
        listener.listen(64)
        parent = os.getpid()
        self.pid = os.fork()
        if self.pid == 0:  # the launcher
            code = 1
            try:
                _name("veltrana-jobs")
                _Loop(manager, listener, parent).run()
                code = 0
            finally:
                os._exit(code)
        listener.close()

    def stop(self) -> None:
        try:
            os.kill(self.pid, signal.SIGTERM)
            os.waitpid(self.pid, 0)
        except (ProcessLookupError, ChildProcessError):
            pass


class _Waiting:
    def __init__(self, pid, login, go, progress_key):
        self.pid, self.login, self.go, self.progress_key = pid, login, go, progress_key
        self.told = None


class _Loop:
    def __init__(self, manager, listener, parent):
        self.manager, self.listener, self.parent = manager, listener, parent
        self.running: dict[int, str] = {}  # admitted jobs' pids, their logins
        self.line: list[_Waiting] = []
        self.jobs: set[int] = set()  # every job's process not yet reaped
        self.stopping = False

    def run(self) -> None:
        wake_r, wake_w = os.pipe()
        os.set_blocking(wake_w, False)
        signal.set_wakeup_fd(wake_w)
        signal.signal(signal.SIGCHLD, lambda *_: None)
        signal.signal(signal.SIGTERM, self._stop)
        signal.signal(signal.SIGINT, signal.SIG_IGN)  # Ctrl-C in a terminal reaches the server, which stops us
        self.wake = (wake_r, wake_w)
        while not self.stopping and os.getppid() == self.parent:
            ready, _, _ = select.select([self.listener, wake_r], [], [], 0.5)
            if wake_r in ready:
                os.read(wake_r, 512)
            self._reap()
            if self.listener in ready:
                self._serve_one()
            self._admit()
        for pid in self.jobs:  # the server is gone: its jobs' results would reach no one
            _kill_tree(pid)

    def _stop(self, *_):
        self.stopping = True

    def _serve_one(self) -> None:
        try:
            conn, _ = self.listener.accept()
        except OSError:
            return
        with conn:
            try:
                conn.settimeout(_ANSWER_SECONDS)
                request = _receive(conn)
                _send(conn, self._start(request))
            except Exception as err:  # a broken request ends that request, never the launcher
                try:
                    _send(conn, {"error": f"{type(err).__name__}: {err}"})
                except OSError:
                    pass

    def _start(self, request: dict) -> dict:
        go_r, go_w = os.pipe()
        pid = os.fork()
        if pid == 0:
            code = 1
            try:
                os.close(go_w)
                self._close_inherited()
                _job(self.manager, request, go_r)
                code = 0
            finally:
                os._exit(code)
        os.close(go_r)
        self.jobs.add(pid)
        self.line.append(_Waiting(pid, request.get("login") or "", go_w, request["progress_key"]))
        return {"pid": pid, "create_time": _create_time(pid)}

    def _close_inherited(self) -> None:
        """A job keeps nothing of the launcher's: not its socket, nor the other jobs' lines."""
        self.listener.close()
        for fd in (*self.wake, *(w.go for w in self.line)):
            try:
                os.close(fd)
            except OSError:
                pass
        signal.set_wakeup_fd(-1)
        for sig in (signal.SIGCHLD, signal.SIGTERM, signal.SIGINT):
            signal.signal(sig, signal.SIG_DFL)

    def _reap(self) -> None:
        while self.jobs:
            try:
                pid, _status = os.waitpid(-1, os.WNOHANG)
            except ChildProcessError:
                self.jobs.clear()
                return
            if pid == 0:
                return
            self.jobs.discard(pid)
            self.running.pop(pid, None)
            for waiting in [w for w in self.line if w.pid == pid]:  # cancelled while it waited
                os.close(waiting.go)
                self.line.remove(waiting)

    def _runs_of(self, login: str) -> int:
        """How many runs of `login` go on (runs without a login are not counted per login)."""
        return sum(1 for each in self.running.values() if each == login) if login else 0

    def _admit(self) -> None:
        """Starts waiting runs while places are free: first those of the logins with the fewest runs going on,
        in the order they came, so that one login's many runs do not keep the others waiting behind them."""
        cap = limits.get("jobs")
        # One place is always left to the other logins: a login's long runs never hold them all.
        per_login = min(limits.get("jobs_per_login"), max(1, cap - 1))
        while len(self.running) < cap:
            allowed = [w for w in self.line if self._runs_of(w.login) < per_login]
            if not allowed:
                break
            chosen = min(allowed, key=lambda w: (self._runs_of(w.login), self.line.index(w)))
            self.running[chosen.pid] = chosen.login
            self.line.remove(chosen)
            try:
                os.write(chosen.go, b"g")
            except OSError:
                pass
            os.close(chosen.go)
            if chosen.told:
                self._tell(chosen.progress_key, "")
        for position, waiting in enumerate(self.line):
            mine = self._runs_of(waiting.login)
            if mine >= per_login:  # held back by its own login's runs
                ahead = mine + sum(1 for w in self.line[:position] if w.login == waiting.login)
            else:
                ahead = len(self.running) + position
            text = WAITING.format(ahead=ahead, noun="analysis" if ahead == 1 else "analyses")
            if text != waiting.told:
                self._tell(waiting.progress_key, text)
                waiting.told = text

    def _tell(self, progress_key: str, text: str) -> None:
        try:
            self.manager.handle.set(progress_key, [text])
        except Exception:  # the text is a courtesy; the line goes on without it
            pass


def _name(name: str) -> None:
    """The process's name as `ps` and `top` show it: the launcher and its jobs apart from the web workers."""
    try:
        with open("/proc/self/comm", "w") as fh:
            fh.write(name)
    except OSError:
        pass


def _create_time(pid: int):
    import psutil

    try:
        return psutil.Process(pid).create_time()
    except psutil.Error:
        return None


def _kill_tree(pid: int) -> None:
    import psutil

    try:
        process = psutil.Process(pid)
        for each in [process, *process.children(recursive=True)]:
            each.kill()
    except psutil.Error:
        pass


# ---- a job's process and its run -----------------------------------------------------------------------

def _job(manager, request: dict, go: int) -> None:
    """Waits to be admitted, runs the job function in a child of its own, tells how that ended."""
    from veltrana.serve import background

    _name("veltrana-job")
    background.yield_processor()
    if os.read(go, 1) != b"g":  # the launcher is gone
        return
    os.close(go)
    job_fn = manager.func_registry[request["registry_key"]]
    arguments = (request["key"], request["progress_key"], request["args"], request["context"])
    seconds = limits.get("job_seconds")
    run = os.fork()
    if run == 0:
        code = 1
        try:
            _bound_memory()
            job_fn(*arguments)
            code = 0
        finally:
            os._exit(code)
    status = _wait(run, time.monotonic() + seconds)
    if status is None:
        _kill_tree(run)
        os.waitpid(run, 0)
        message = TOO_LONG.format(seconds=seconds)
    elif os.WIFEXITED(status) and os.WEXITSTATUS(status) == 0:
        return
    else:
        how = (f"signal {os.WTERMSIG(status)}" if os.WIFSIGNALED(status)
               else f"exit status {os.WEXITSTATUS(status)}")
        message = DIED.format(how=how)
    if manager.handle.get(request["key"]) is None:  # its result, if any, was stored before it ended
        background.ending = message
        job_fn(*arguments)  # stores the message the way a failing run would


def _wait(pid: int, deadline: float):
    """The run's wait status, or None once the deadline has passed."""
    pause = 0.01
    while time.monotonic() < deadline:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            return status
        time.sleep(pause)
        pause = min(pause * 2, 0.25)
    return None


def _bound_memory() -> None:
    """The run may take `job_memory_mb` beyond what it shares with the server it was forked from."""
    import psutil

    extra = limits.get("job_memory_mb") * 2 ** 20
    try:
        size = psutil.Process().memory_info().vms + extra
        _soft, hard = resource.getrlimit(resource.RLIMIT_AS)
        resource.setrlimit(resource.RLIMIT_AS, (size if hard == resource.RLIM_INFINITY else min(size, hard), hard))
    except (OSError, ValueError, psutil.Error):  # not allowed here: the run goes unbounded
        pass
