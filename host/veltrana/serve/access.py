"""The login of a shared server: HTTP basic auth against a file of hashed passwords.

The users file holds one line per login (`#` starts a comment)::

    alice:scrypt:16384:8:1:<salt, hex>:<hash, hex>

written by `veltrana adduser FILE NAME`. Passwords are hashed with scrypt and a random
salt of their own, and compared in constant time. `require_login(app, FILE)` checks every
request the server receives (the page, its layout and dependency routes, the callbacks,
the assets and component scripts) before Flask routes it.

A password is hashed once per process and login: a request that repeats verified
credentials is compared against a keyed digest kept in memory, so the page's many
requests do not each pay for scrypt. The file is read again when it changes, so an
added login or a changed password takes effect without a restart. Basic auth sends the
password with every request: serve it behind a proxy that speaks TLS.

Guessing is throttled: after 5 failed logins in a row from one client address, or for one
login name, every request of that address or name is answered 429 with `Retry-After`, for
30 s, doubling with each further failure up to 15 minutes; its password is not even
checked meanwhile. The counts are kept in the output folder's `.locks/` (when the server
names it to `require_login`), shared by its worker processes. A name that is not in the file costs the same scrypt as one
that is, so the answer's timing does not tell which names exist. Each failure is logged on
the "veltrana" logger (the address and the name, never the password), and so is each
lock-out when it starts.
"""

from __future__ import annotations

import functools
import getpass
import hashlib
import hmac
import ipaddress
import logging
import math
import os
import secrets
import sqlite3
import tempfile
import threading
import time
import unicodedata
import weakref

log = logging.getLogger("veltrana")

SCHEME = "scrypt"
COST = (2 ** 14, 8, 1)  # scrypt's n, r, p
REALM = "Veltrana"


class UsersFileError(ValueError):
    """A users file that cannot be used as it is; the message names the line."""


def check_name(name) -> str:
    if not isinstance(name, str) or not name:
        raise ValueError("a login name must not be empty")
    if ":" in name or any(c.isspace() or unicodedata.category(c).startswith("C") for c in name):
        raise ValueError(f"the login name {name!r} holds a ':', a space or a control character")
    return name


def _scrypt(password: str, salt: bytes, n: int, r: int, p: int) -> bytes:
    return hashlib.scrypt(password.encode("utf-8"), salt=salt, n=n, r=r, p=p, maxmem=256 * 1024 * 1024, dklen=32)


def hash_password(password: str) -> str:
    """The stored form of a password: scheme, cost, salt and hash."""
    if not password:
        raise ValueError("the password must not be empty")
    salt = secrets.token_bytes(16)
    n, r, p = COST
    return f"{SCHEME}:{n}:{r}:{p}:{salt.hex()}:{_scrypt(password, salt, n, r, p).hex()}"


def verify(stored: str, password: str) -> bool:
    """Whether `password` hashes to the stored form (a malformed one matches nothing)."""
    try:
        scheme, n, r, p, salt, digest = stored.split(":")
        if scheme != SCHEME:
            return False
        computed = _scrypt(password, bytes.fromhex(salt), int(n), int(r), int(p))
        return hmac.compare_digest(computed, bytes.fromhex(digest))
    except (ValueError, TypeError, MemoryError):
        return False


@functools.lru_cache(maxsize=None)
def _dummy_stored() -> str:
    """A stored password no one knows, of the same cost as the users': an unknown name is checked
    against it. Made once per process (the workers inherit the master's)."""
    return hash_password(secrets.token_urlsafe(24))


def _parse(text: str, path: str) -> dict[str, str]:
    users: dict[str, str] = {}
    for number, line in enumerate(text.splitlines(), 1):
        line = line.strip()
        if not line or line.startswith("#"):
            continue
        name, sep, stored = line.partition(":")
        if not sep or not stored.startswith(SCHEME + ":") or stored.count(":") != 5:
            raise UsersFileError(f"{path}, line {number}: not NAME:{SCHEME}:... as 'veltrana adduser' writes it")
        if name in users:
            raise UsersFileError(f"{path}, line {number}: the login {name!r} is listed twice")
        users[name] = stored
    return users


def read_users(path: str) -> dict[str, str]:
    """Login name -> stored password of a users file; an unusable file raises."""
    try:
        with open(path, encoding="utf-8") as fh:
            text = fh.read()
    except FileNotFoundError:
        raise UsersFileError(f"no users file {path}; write one with 'veltrana adduser {path} NAME'") from None
    except (OSError, UnicodeDecodeError) as err:
        raise UsersFileError(f"cannot read the users file {path}: {err}") from None
    users = _parse(text, path)
    if not users:
        raise UsersFileError(f"the users file {path} lists no login; add one with 'veltrana adduser {path} NAME'")
    return users


def add_user(path: str, name: str, password: str) -> bool:
    """Adds the login `name` to the users file (created when missing), or changes its
    password; True when it was there. The file is replaced whole, readable by its owner only."""
    check_name(name)
    stored = hash_password(password)
    users = read_users(path) if os.path.exists(path) else {}
    existed = name in users
    users[name] = stored
    folder = os.path.dirname(os.path.abspath(path))
    fd, partial = tempfile.mkstemp(dir=folder, prefix=".users-")
    try:
        with os.fdopen(fd, "w", encoding="utf-8") as fh:
            os.fchmod(fd, 0o600)  # mkstemp's mode, made explicit: the replaced file's mode is not kept
            fh.write("# Veltrana logins, written by 'veltrana adduser'\n")
            fh.writelines(f"{n}:{s}\n" for n, s in users.items())
            fh.flush()
            os.fsync(fd)  # the new file's content on disk before it replaces the old one
        os.replace(partial, path)
    except BaseException:
        if os.path.exists(partial):
            os.unlink(partial)
        raise
    return existed


def read_password(stream) -> str:
    """The new password: asked twice at a terminal, otherwise the first line of `stream`."""
    if stream.isatty():
        first = getpass.getpass("Password: ")
        if first != getpass.getpass("Password again: "):
            raise ValueError("the two passwords differ")
        return first
    line = stream.readline()
    return line[:-1] if line.endswith("\n") else line


class Login:
    """The logins of a users file, read again when the file changes."""

    def __init__(self, path: str):
        self.path = os.path.abspath(path)
        self._lock = threading.Lock()
        self._stamp = None
        self._users: dict[str, str] = {}
        self._key = secrets.token_bytes(32)  # keys the digests of verified passwords, this process only
        self._verified: dict[str, tuple[str, bytes]] = {}
        self.throttle: Throttle | None = None  # the failed logins' counts, set by `require_login`
        _dummy_stored()  # made now, so that no request pays for it
        self._refresh()

    def _refresh(self) -> None:
        try:
            st = os.stat(self.path)
            stamp = (st.st_ino, st.st_size, st.st_mtime_ns)
        except OSError:
            stamp = None
        with self._lock:
            if stamp == self._stamp and stamp is not None:
                return
        try:
            users = read_users(self.path)
        except UsersFileError as err:
            log.error("%s; every request is refused until it is fixed", err)
            users = {}
        with self._lock:
            self._stamp, self._users, self._verified = stamp, users, {}

    def check(self, name, password) -> bool:
        """Whether (name, password) is a login of the file."""
        if not isinstance(name, str) or not isinstance(password, str):
            return False
        self._refresh()
        with self._lock:
            stored = self._users.get(name)
            seen = self._verified.get(name)
        if stored is None:
            verify(_dummy_stored(), password)  # as long as a known name's check: timing tells no names
            return False
        digest = hmac.new(self._key, password.encode("utf-8"), hashlib.sha256).digest()
        if seen is not None and seen[0] == stored and hmac.compare_digest(seen[1], digest):
            return True
        if not verify(stored, password):
            return False
        with self._lock:
            self._verified[name] = (stored, digest)
        return True


# -- failed logins: counted per client address and per login name ---------------------------

FAILURES_ALLOWED = 5       # failed logins in a row, of one address or one name, before a lock-out
FIRST_LOCKOUT = 30         # seconds; each further failure doubles it ...
MAX_LOCKOUT = 15 * 60      # ... up to this
FORGET_AFTER = 24 * 3600   # seconds without a failure after which a count starts again
COUNTS_FILE = "logins.sqlite"  # in the output folder's .locks/
PROXIES_VARIABLE = "VELTRANA_PROXIES"


def lockout(failures: int) -> int:
    """Seconds a name or an address is refused after its `failures`-th failure in a row."""
    if failures < FAILURES_ALLOWED:
        return 0
    return min(MAX_LOCKOUT, FIRST_LOCKOUT * 2 ** min(failures - FAILURES_ALLOWED, 20))


def _counted(row, now: float) -> tuple[int, float, float]:
    """A count (failures, last failure, locked until) after one more failure at `now`."""
    failures = row[0] + 1 if row is not None and now - row[1] < FORGET_AFTER else 1
    return failures, now, now + lockout(failures)


class _MemoryCounts:
    """The counts of this process: used when there is no shared file, or when it cannot be read or
    written, so that a failure there still throttles (per process) rather than letting guesses
    through. Beside a working file they hold its latest counts of the keys this process saw fail."""

    def __init__(self):
        self._rows: dict[str, tuple[int, float, float]] = {}
        self._pruned = 0.0
        self.renew()

    def renew(self) -> None:
        self._lock = threading.Lock()

    def rows(self, keys) -> dict:
        with self._lock:
            return {k: self._rows[k] for k in keys if k in self._rows}

    def fail(self, keys, now: float) -> dict:
        with self._lock:
            return self._put({k: _counted(self._rows.get(k), now) for k in keys}, now)

    def put(self, rows: dict, now: float) -> dict:
        with self._lock:
            return self._put(rows, now)

    def _put(self, rows: dict, now: float) -> dict:
        if now - self._pruned > 60:  # forgotten counts go, at most once a minute (a walk over all)
            self._rows = {k: r for k, r in self._rows.items() if now - r[1] < FORGET_AFTER}
            self._pruned = now
        self._rows.update(rows)
        return rows

    def clear(self, keys) -> None:
        with self._lock:
            for k in keys:
                self._rows.pop(k, None)


class _SharedCounts:
    """The counts every process of the server sees: a SQLite table, whose file locks order the
    processes' updates. One connection per thread, opened anew in a forked process."""

    def __init__(self, path: str):
        self.path = path
        self.renew()

    def renew(self) -> None:
        self._local = threading.local()

    def _db(self) -> sqlite3.Connection:
        db = getattr(self._local, "db", None)
        if db is None:
            db = self._local.db = self._open()
        return db

    def _open(self) -> sqlite3.Connection:
        os.makedirs(os.path.dirname(self.path), mode=0o700, exist_ok=True)
        fd = os.open(self.path, os.O_RDWR | os.O_CREAT | os.O_NOFOLLOW, 0o600)
        try:
            os.fchmod(fd, 0o600)  # SQLite gives its journal the file's mode: both the owner's only
        finally:
            os.close(fd)
        db = sqlite3.connect(self.path, timeout=2, isolation_level=None)
        db.execute("CREATE TABLE IF NOT EXISTS failures (key TEXT PRIMARY KEY, failures INTEGER NOT NULL, "
                   "last REAL NOT NULL, until REAL NOT NULL)")
        db.execute("CREATE INDEX IF NOT EXISTS failures_last ON failures (last)")
        return db

    def _using(self, work):
        try:
            return work(self._db())
        except BaseException:
            self._local.db = None  # a connection in doubt is not used again
            raise

    @staticmethod
    def _select(db, keys) -> dict:
        marks = ",".join("?" * len(keys))
        return {k: (n, last, until) for k, n, last, until in
                db.execute(f"SELECT key, failures, last, until FROM failures WHERE key IN ({marks})", keys)}

    def rows(self, keys) -> dict:
        return self._using(lambda db: self._select(db, keys))

    def fail(self, keys, now: float) -> dict:
        def work(db):
            with db:  # one transaction, written at once: two processes never count from the same row
                db.execute("BEGIN IMMEDIATE")
                rows = self._select(db, keys)
                after = {k: _counted(rows.get(k), now) for k in keys}
                db.executemany("INSERT OR REPLACE INTO failures VALUES (?, ?, ?, ?)",
                               [(k, *row) for k, row in after.items()])
                db.execute("DELETE FROM failures WHERE last < ?", (now - FORGET_AFTER,))
            return after
        return self._using(work)

    def clear(self, keys) -> None:
        self._using(lambda db: db.execute(f"DELETE FROM failures WHERE key IN ({','.join('?' * len(keys))})", keys))


class Throttle:
    """Failed logins counted per key (a client address, a login name): in a file that all the
    server's processes share when given one, otherwise (or while the file fails) in this process."""

    def __init__(self, path: str | None = None, clock=time.time):
        self.clock = clock  # wall time: a lock-out in the file holds across processes and restarts
        self._memory = _MemoryCounts()
        self._shared = _SharedCounts(path) if path else None
        self._broken = False
        _throttles.add(self)

    def renew(self) -> None:
        self._memory.renew()
        if self._shared is not None:
            self._shared.renew()

    def _try_shared(self, method, *args):
        """The shared file's answer, or None when it cannot be had (told once, not on every request)."""
        if self._shared is None:
            return None
        try:
            answer = getattr(self._shared, method)(*args)
        except Exception as err:  # whatever it is, the request goes on, counted in this process
            if not self._broken:
                log.error("the failed-login counts in %s cannot be used (%s); counting in each process alone "
                          "until they can", self._shared.path, err)
            self._broken = True
            return None
        if self._broken:
            log.warning("the failed-login counts in %s are in use again", self._shared.path)
            self._broken = False
        return answer

    def seen(self, keys) -> dict:
        """key -> (failures, last failure, locked until) of the keys that failed lately."""
        shared = self._try_shared("rows", keys)
        return self._memory.rows(keys) if shared is None else shared

    def failed(self, keys) -> dict:
        """Counts one more failure of each key; their counts after it."""
        now = self.clock()
        shared = self._try_shared("fail", keys, now)
        return self._memory.fail(keys, now) if shared is None else self._memory.put(shared, now)

    def succeeded(self, keys, seen: dict) -> None:
        """A login of these keys went through: their counts start again."""
        self._memory.clear(keys)  # cheap; it may hold counts another process has since cleared in the file
        if seen:  # the file is written only when it holds a count, not on each of the page's requests
            self._try_shared("clear", keys)

    def wait(self, rows: dict) -> int:
        """Whole seconds until none of `rows` is locked out any more; 0 when none is."""
        left = max((row[2] for row in rows.values()), default=0) - self.clock()
        return math.ceil(min(left, MAX_LOCKOUT)) if left > 0 else 0  # a clock set back waits no longer


_throttles: "weakref.WeakSet[Throttle]" = weakref.WeakSet()


def _renew_throttles() -> None:
    # A forked process (a worker, a job) holds no lock of its parent's threads and must not use the
    # parent's SQLite connections.
    for throttle in list(_throttles):
        throttle.renew()


os.register_at_fork(after_in_child=_renew_throttles)


def counts_path(out_dir: str) -> str:
    """The file of the failed-login counts of an output folder."""
    from veltrana.runs.locks import LOCK_FOLDER

    return os.path.join(os.path.realpath(out_dir), LOCK_FOLDER, COUNTS_FILE)


def trusted_proxies(environ=None) -> int:
    """How many proxies in front of the server append the client's address to X-Forwarded-For
    (VELTRANA_PROXIES). 0 by default: without such a proxy, a client can write that header itself."""
    text = (os.environ if environ is None else environ).get(PROXIES_VARIABLE, "").strip() or "0"
    if not text.isdigit() or int(text) > 10:
        raise ValueError(f"{PROXIES_VARIABLE} must be a number of proxies from 0 to 10, got {text!r}")
    return int(text)


def client_address(request, proxies: int = 0) -> str:
    """The client's address: the peer's, or, behind `proxies` trusted proxies, the address that the
    one the client reached saw (the `proxies`-th entry from the right of X-Forwarded-For; entries
    further left are the client's own say). The peer's when that entry is missing or no address."""
    if proxies:
        hops = [hop.strip() for hop in request.environ.get("HTTP_X_FORWARDED_FOR", "").split(",")]
        if len(hops) >= proxies:
            try:
                return str(ipaddress.ip_address(hops[-proxies]))
            except ValueError:
                pass
    return request.remote_addr or "unknown"


def address_key(address: str) -> str:
    """The key an address's failures are counted under. An IPv6 host usually holds a whole /64:
    its failures count together."""
    try:
        ip = ipaddress.ip_address(address)
    except ValueError:
        return f"address {address!r}"
    if ip.version == 6:
        if ip.ipv4_mapped is not None:
            return f"address {ip.ipv4_mapped}"
        return f"address {ipaddress.IPv6Network((int(ip) >> 64 << 64, 64))}"
    return f"address {ip}"


def _ask_login():
    import flask

    return flask.Response("Login required.\n", status=401, mimetype="text/plain",
                          headers={"WWW-Authenticate": f'Basic realm="{REALM}", charset="UTF-8"'})


def _too_many(seconds: int):
    import flask

    return flask.Response(f"Too many failed logins; try again in {seconds} s.\n", status=429, mimetype="text/plain",
                          headers={"Retry-After": str(seconds)})


def admit(login: Login, throttle: Throttle, name: str, password: str, address: str):
    """None to let a request with these credentials through, otherwise the answer refusing it."""
    keys = (address_key(address), f"name {name!r}")
    seen = throttle.seen(keys)
    wait = throttle.wait(seen)
    if wait:  # not checked at all: no scrypt, and a right password is not told from a wrong one
        return _too_many(wait)
    if login.check(name, password):
        throttle.succeeded(keys, seen)
        return None
    log.warning("failed login as %r from %s", name, address)
    # Requests checked at once may each pass the test above before any failure is counted: a
    # burst can overshoot the allowance by the server's threads, and then locks out all the longer.
    after = throttle.failed(keys)
    for key, (failures, _, until) in after.items():
        if failures >= FAILURES_ALLOWED:
            log.warning("%s locked out for %d s after %d failed logins in a row", key,
                        round(until - throttle.clock()), failures)
    wait = throttle.wait(after)
    return _too_many(wait) if wait else _ask_login()


def require_login(app, path: str, out_dir: str | None = None, proxies: int | None = None) -> Login:
    """Checks HTTP basic auth against the users file on every request of the Dash `app`. Failed
    logins are counted in `out_dir`'s .locks/, for all the server's processes; without `out_dir`,
    in each process alone (a server of N workers then allows N times the failures). `proxies`:
    see `trusted_proxies` (read from the environment when not given)."""
    import flask

    login = Login(path)
    login.throttle = Throttle(counts_path(out_dir) if out_dir else None)
    proxies = trusted_proxies() if proxies is None else proxies

    @app.server.before_request
    def _check_login():
        auth = flask.request.authorization
        if auth is None or auth.type != "basic":
            return _ask_login()
        address = client_address(flask.request, proxies)
        return admit(login, login.throttle, auth.username or "", auth.password or "", address)

    return login
