"""Parsed copies of the input expression files, so that a restart on unchanged data parses nothing.

The strict loader's reading of an expression file is kept under the output folder as an
uncompressed .npz of numpy arrays (never a pickle: the output folder may be shared): the
samples-by-features values, the ids as text, each sample's count of missing values, which is all
that start-up needs (`Outline`), and the missing cells as bits, which is all the missing-values card
needs. One copy per input file, replaced when the file changes.

A copy serves only the file it was made from: it holds the raw file's fingerprint (its content)
and the loader's version, and is used only when both match and it is a regular file of this user
that no one else may write. Anything else (another file's copy, a damaged copy: the zip's checksums,
one planted by another user) is passed over, the file parsed strictly and the copy written anew.
"""

from __future__ import annotations

import dataclasses
import hashlib
import logging
import os
import stat
import tempfile
import zipfile

import numpy as np
import pandas as pd

from veltrana.study import loader

log = logging.getLogger("veltrana")

FOLDER = "parsed"  # under the output folder
COPY_VERSION = 2  # 2: the missing cells as bits
_UNREADABLE = (OSError, ValueError, KeyError, EOFError, zipfile.BadZipFile)


@dataclasses.dataclass(frozen=True)
class Outline:
    """What start-up reports of an expression file, without its values."""

    samples: list[str]     # in the file's order
    features: list[str]
    missing: np.ndarray    # per sample: its features with no value

    @classmethod
    def of(cls, frame: pd.DataFrame) -> "Outline":
        return cls([str(s) for s in frame.index], [str(f) for f in frame.columns],
                   np.isnan(frame.to_numpy(dtype=np.float64)).sum(axis=1))


def copy_path(out_dir, raw_path) -> str:
    """Where the parsed copy of `raw_path` lives: named by a digest of its real path."""
    name = hashlib.sha256(os.path.realpath(raw_path).encode("utf-8", "surrogateescape")).hexdigest()[:16]
    return os.path.join(os.fspath(out_dir), FOLDER, f"{name}.npz")


def _key(raw_path) -> str:
    # pandas parses the numbers: another version may read a digit string differently.
    return (f"copy {COPY_VERSION}; loader {loader.VERSION}; pandas {pd.__version__}; "
            f"file {loader.file_fingerprint(raw_path)}")


def read_expression(raw_path, out_dir) -> pd.DataFrame:
    """`loader.read_expression(raw_path)`, from its parsed copy in `out_dir` when that is current;
    otherwise parsed, and the copy written."""
    _recall(copy_path(out_dir, raw_path), raw_path)
    key = _key(raw_path)
    frame = _load(copy_path(out_dir, raw_path), key, values=True)
    if frame is None:
        frame = loader.read_expression(raw_path)
        content = loader.file_content(raw_path)
        if _key(raw_path) == key:  # not changed while it was parsed
            _store(copy_path(out_dir, raw_path), key, frame, content)
    return frame


def read_outline(raw_path, out_dir) -> Outline | None:
    """The outline of `raw_path` from its parsed copy in `out_dir`; None when there is no current copy."""
    _recall(copy_path(out_dir, raw_path), raw_path)
    return _load(copy_path(out_dir, raw_path), _key(raw_path), values=False)


def read_missing(raw_path, out_dir) -> tuple[pd.Index, pd.Index, np.ndarray] | None:
    """(samples, features, missing cells as a boolean matrix) of `raw_path` from its parsed copy in
    `out_dir`, without reading its values; None when there is no current copy."""
    _recall(copy_path(out_dir, raw_path), raw_path)
    key = _key(raw_path)

    def missing(stored):
        outline = _stored(stored, key, values=False)
        if outline is None:
            return None
        bits, shape = stored["missing_bits"], (len(outline.samples), len(outline.features))
        if bits.dtype != np.uint8 or bits.shape != (shape[0], (shape[1] + 7) // 8):
            raise ValueError(f"missing cells of {bits.dtype} {bits.shape} for a matrix of {shape}")
        mask = np.unpackbits(bits, axis=1, count=shape[1]).view(bool)
        if not np.array_equal(mask.sum(axis=1), outline.missing):
            raise ValueError("missing cells that do not add up to the missing counts")
        return (pd.Index(outline.samples), pd.Index(outline.features, name=str(stored["name"]) or None), mask)

    return _opened(copy_path(out_dir, raw_path), missing)


def _own_file(fh, path) -> bool:
    """A regular file of this user that no one else may write (a planted one is told in the log)."""
    st = os.fstat(fh.fileno())
    if stat.S_ISREG(st.st_mode) and st.st_uid == os.getuid() and not st.st_mode & 0o022:
        return True
    log.warning("parsed copy %s is not this server's own private file; ignored", path)
    return False


def _load(path, key, values: bool):
    """The frame (`values`) or the outline stored at `path` under `key`; None when absent, stale,
    not this user's own, or damaged."""
    return _opened(path, lambda stored: _stored(stored, key, values))


def _recall(path, raw_path) -> None:
    """Tells the loader the raw file's content hash kept with its parsed copy, when the file's state
    is the one it was hashed in: a restart then reads no raw byte (hashing 500 MB takes a second)."""
    def recall(stored):
        if "content" in stored.files:
            state = tuple(int(n) for n in str(stored["state"]).split())
            try:
                loader.remember_content(raw_path, state, str(stored["content"]))
            except OSError:
                pass  # a raw file that is gone: its reader says so

    _opened(path, recall)


def _opened(path, use):
    """use(the stored arrays of the parsed copy at `path`); None when absent, not this user's own,
    or damaged."""
    try:
        fh = open(os.open(path, os.O_RDONLY | os.O_NOFOLLOW), "rb")
    except (FileNotFoundError, NotADirectoryError):
        return None
    except OSError as err:
        log.warning("parsed copy %s cannot be opened (%s); the file is parsed again", path, err)
        return None
    with fh:
        if not _own_file(fh, path):
            return None
        try:
            with np.load(fh, allow_pickle=False) as stored:
                return use(stored)
        except _UNREADABLE as err:
            log.warning("parsed copy %s is unreadable (%s); the file is parsed again", path, err)
            return None


def _stored(stored, key: str, values: bool):
    if str(stored["key"]) != key:
        return None
    outline = Outline(_ids(stored["samples"]), _ids(stored["features"]), stored["missing"])
    _check(outline)
    if not values:
        return outline
    matrix = stored["values"]  # read to its end, which checks the zip's CRC
    if matrix.dtype != np.float64 or matrix.shape != (len(outline.samples), len(outline.features)):
        raise ValueError(f"values of {matrix.dtype} {matrix.shape} for {len(outline.samples)} samples "
                         f"and {len(outline.features)} features")
    return pd.DataFrame(matrix, index=pd.Index(outline.samples), copy=False,
                        columns=pd.Index(outline.features, name=str(stored["name"]) or None))


def _ids(stored: np.ndarray) -> list[str]:
    if stored.ndim != 1 or stored.dtype.kind != "U":
        raise ValueError(f"ids stored as {stored.dtype} of {stored.ndim} dimensions")
    return stored.tolist()


def _check(outline: Outline) -> None:
    missing = outline.missing
    if missing.shape != (len(outline.samples),) or missing.dtype.kind not in "iu" \
            or (len(missing) and not 0 <= missing.min() <= missing.max() <= len(outline.features)):
        raise ValueError("missing counts that do not fit the ids")


def _store(path: str, key: str, frame: pd.DataFrame, content: tuple) -> None:
    """Writes the copy beside its place and renames it there; a failure (a full disk, a folder
    that is not writable) is logged and costs only the next start-up's parse."""
    folder = os.path.dirname(path)
    out_dir = os.path.dirname(folder)
    if os.path.exists(out_dir) and not (os.path.isdir(out_dir) and os.access(out_dir, os.W_OK | os.X_OK)):
        return  # an output folder that start-up refuses, saying why
    values = frame.to_numpy(dtype=np.float64)
    missing = np.isnan(values)
    outline = Outline([str(s) for s in frame.index], [str(f) for f in frame.columns], missing.sum(axis=1))
    try:
        os.makedirs(folder, mode=0o700, exist_ok=True)
        fd, partial = tempfile.mkstemp(dir=folder, prefix=".writing-", suffix=".part")
        try:
            with os.fdopen(fd, "wb") as fh:
                os.fchmod(fh.fileno(), 0o600)  # the server's files are its own (mkstemp's mode, said outright)
                np.savez(fh, key=np.array(key), values=values, missing_bits=np.packbits(missing, axis=1),
                         samples=np.array(outline.samples, dtype=str), features=np.array(outline.features, dtype=str),
                         missing=outline.missing, name=np.array(str(frame.columns.name or "")),
                         state=np.array(" ".join(map(str, content[0]))), content=np.array(content[1]))
            os.replace(partial, path)
        except BaseException:
            os.unlink(partial)
            raise
    except OSError as err:
        log.warning("parsed copy %s not written (%s); the next start-up parses the file again", path, err)
