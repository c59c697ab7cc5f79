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
"""

from __future__ import annotations

import getpass
import hashlib
import hmac
import logging
import os
import secrets
import tempfile
import threading
import unicodedata

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
        with os.fdopen(fd, "w", encoding="utf-8") as fh:  # mkstemp's mode: the owner only
            fh.write("# Veltrana logins, written by 'veltrana adduser'\n")
            fh.writelines(f"{n}:{s}\n" for n, s in users.items())
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
            return False
        digest = hmac.new(self._key, password.encode("utf-8"), hashlib.sha256).digest()
        if seen is not None and seen[0] == stored and hmac.compare_digest(seen[1], digest):
            return True
        if not verify(stored, password):
            return False
        with self._lock:
            self._verified[name] = (stored, digest)
        return True


def require_login(app, path: str) -> Login:
    """Checks HTTP basic auth against the users file on every request of the Dash `app`."""
    import flask

    login = Login(path)

    @app.server.before_request
    def _check_login():
        auth = flask.request.authorization
        if auth is not None and auth.type == "basic" and login.check(auth.username, auth.password):
            return None
        return flask.Response("Login required.\n", status=401, mimetype="text/plain",
                              headers={"WWW-Authenticate": f'Basic realm="{REALM}", charset="UTF-8"'})

    return login
