"""The cache of background jobs (their results, progress and handles) under the output folder.

diskcache unpickles what it reads, so a value planted in the folder by anyone who can
write there would run code in the server. Here every value (and every key that is not
plain text or a number) is stored pickled with an HMAC-SHA256 tag in front, made with a
key that lives only in memory: made once in the process that builds the application and
inherited by the web workers and jobs forked from it. A value whose tag does not verify
is never unpickled: it is logged and reads as missing. Values written by a previous
server run read as missing too, which costs nothing: a job's result lives an hour at most.

Processes that do not share a parent (gunicorn without --preload, so that each worker
builds its own application) share the key through the environment variable
VELTRANA_JOB_KEY (hex, at least 32 bytes), set the same for all of them.
"""

from __future__ import annotations

import contextlib
import hashlib
import hmac
import io
import logging
import os
import pickle
import secrets
import sqlite3

import diskcache
from diskcache.core import MODE_PICKLE, UNKNOWN

log = logging.getLogger("veltrana")

KEY_VARIABLE = "VELTRANA_JOB_KEY"
_TAG = hashlib.sha256().digest_size
_key: list[bytes] = []


def secret_key() -> bytes:
    """This server's key: from VELTRANA_JOB_KEY when set, otherwise made once for this process and
    its forked children."""
    if not _key:
        given = os.environ.get(KEY_VARIABLE, "").strip()
        if given:
            try:
                key = bytes.fromhex(given)
            except ValueError:
                raise ValueError(f"{KEY_VARIABLE} must be hexadecimal") from None
            if len(key) < 32:
                raise ValueError(f"{KEY_VARIABLE} must hold at least 32 bytes (64 hex digits)")
        else:
            key = secrets.token_bytes(32)
        _key.append(key)
    return _key[0]


class Tampered(OSError):
    """A stored value whose tag does not verify; diskcache reads an OSError from its disk as missing."""


def _signed(data: bytes) -> bytes:
    return hmac.new(secret_key(), data, hashlib.sha256).digest() + data


def _verified(blob: bytes) -> bytes:
    tag, data = blob[:_TAG], blob[_TAG:]
    if len(tag) != _TAG or not hmac.compare_digest(tag, hmac.new(secret_key(), data, hashlib.sha256).digest()):
        raise Tampered("a job cache entry has no valid signature")
    return data


class SignedDisk(diskcache.Disk):
    """diskcache's Disk with every value (and every pickled key) signed, and checked before loading."""

    def put(self, key):
        db_key, raw = super().put(key)
        return (db_key, raw) if raw else (sqlite3.Binary(_signed(bytes(db_key))), False)

    def get(self, key, raw):
        if raw:
            return super().get(key, raw)
        return pickle.loads(_verified(bytes(key)))

    def store(self, value, read, key=UNKNOWN):
        blob = _signed(pickle.dumps(value.read() if read else value, protocol=self.pickle_protocol))
        if len(blob) < self.min_file_size:
            return 0, MODE_PICKLE, None, sqlite3.Binary(blob)
        filename, full_path = self.filename(key, value)
        self._write(full_path, io.BytesIO(blob), "xb")
        os.chmod(full_path, 0o600)
        return len(blob), MODE_PICKLE, filename, None

    def fetch(self, mode, filename, value, read):
        try:
            if mode != MODE_PICKLE:  # never written here: planted
                raise Tampered(f"a job cache entry of a kind this server does not write (mode {mode})")
            if value is None:
                with open(os.path.join(self._directory, filename), "rb") as stored:
                    value = stored.read()
            data = _verified(bytes(value))
        except Tampered as refused:
            log.warning("job cache %s: %s; read as missing", self._directory, refused)
            raise
        loaded = pickle.loads(data)
        return io.BytesIO(loaded) if read else loaded


def open_cache(folder: str, **settings) -> diskcache.Cache:
    """The job cache in `folder` (made private to this user), its values signed; `settings` go to
    diskcache.Cache (size_limit and the like)."""
    secret_key()  # made here, before the workers and jobs fork
    os.makedirs(folder, mode=0o700, exist_ok=True)
    os.chmod(folder, 0o700)
    cache = diskcache.Cache(folder, disk=SignedDisk, **settings)
    # The database and the journal files that opening it made (later ones take the database's mode).
    for suffix in ("", "-wal", "-shm"):
        with contextlib.suppress(FileNotFoundError):
            os.chmod(os.path.join(folder, diskcache.core.DBNAME + suffix), 0o600)
    return cache
