"""Reading and writing the tables of the dashboard.

Every table is parsed by the strict loader (`loader`): ids stay text, bad cells
are refused with their place. Parsed tables are cached by (real path, size,
modification time) and every caller gets a frame of its own that cannot alter the cache
(a numeric matrix over a read-only view, any other table as a copy), so repeated reads are
fast; input expression files also have a parsed copy on disk for the next start-up (`parsed`).
Reads are confined to the configured input files and the output folders of the configurations
this process was given.
"""

from __future__ import annotations

import os
import tempfile
import threading
from collections import OrderedDict

import numpy as np
import pandas as pd

from veltrana.study import instruments, loader, parsed, sample_tables
from veltrana.plugins.paths import output_folder_of, readable_anywhere

_CACHE_SIZE = 32
_cache: "OrderedDict[tuple, pd.DataFrame]" = OrderedDict()
_cache_lock = threading.Lock()
_loading: dict[tuple, threading.Lock] = {}


def _checked(path) -> str:
    if not isinstance(path, (str, os.PathLike)):
        raise ValueError(f"not a file path: {path!r}")
    if not readable_anywhere(path):
        raise ValueError(f"refusing to read {os.fspath(path)!r}: outside the configured locations")
    if not os.path.isfile(instruments.file_of(path)):
        raise FileNotFoundError(f"no such table: {os.fspath(path)!r}")
    return os.path.realpath(path)


def _key(real, reader) -> tuple:
    st = os.stat(instruments.file_of(real))
    return (real, st.st_ino, st.st_size, st.st_mtime_ns, reader.__name__)  # a file renamed over it is a new inode


def _shared(path, reader) -> pd.DataFrame:
    """`reader(path)` (a loader function), cached by (real path, size, mtime): the cached frame
    itself, which the caller must not change."""
    real = _checked(path)
    key = _key(real, reader)
    with _cache_lock:
        loading = _loading.setdefault(key, threading.Lock())
    # Several cards ask for the same matrix at page load: one parses, the others wait for it.
    with loading:
        with _cache_lock:
            hit = _cache.get(key)
            if hit is not None:
                _cache.move_to_end(key)
                return hit
        try:
            frame = reader(real)
            with _cache_lock:
                _cache[key] = frame
                while len(_cache) > _CACHE_SIZE:
                    _cache.popitem(last=False)
        finally:
            with _cache_lock:
                _loading.pop(key, None)
    return frame


def _cached(path, reader) -> pd.DataFrame:
    """`reader(path)`, cached: a frame of the caller's own that cannot change the cache.

    An expression matrix is not copied, which at 20,000 x 3,000 cost each card that reads it
    a second and 480 MB: the caller gets a frame over a read-only view of the cached values,
    so writing into it raises instead of reaching the cache (with copy-on-write pandas, a
    lazy copy that copies when written). Any other table is copied."""
    frame = _shared(path, reader)
    return _unalterable(frame) if reader in (read_matrix, _read_input) else frame.copy()


# pandas 3 (or pandas 2 told so) copies a frame's values when they are written to.
_COPY_ON_WRITE = int(pd.__version__.split(".")[0]) >= 3 or pd.options.mode.copy_on_write is True


def _unalterable(frame: pd.DataFrame) -> pd.DataFrame:
    """A frame over the same values as `frame` that cannot change it, without copying a numeric matrix.
    Its index and columns are views too, so renaming them leaves the cache's as they were."""
    if not (frame.shape[1] and frame._mgr.nblocks == 1 and frame.dtypes.iloc[0] == np.float64):
        return frame.copy()
    if _COPY_ON_WRITE:
        own = frame.copy(deep=False)
    else:
        values = frame.to_numpy().view()
        values.flags.writeable = False
        own = pd.DataFrame(values, copy=False)
    own.index, own.columns = frame.index.view(), frame.columns.view()
    return own


def _reader_of(path):
    return read_matrix if _is_matrix(path) else loader.read_result


def read_table(path) -> pd.DataFrame:
    """A table with its first column as index, ids and id columns as text (a fresh copy)."""
    return _cached(path, _reader_of(path))


def _parsed_folder(real) -> str | None:
    """Where the parsed copy of an input expression file lives; None for a file that `instruments`
    reads (an instrument's output, a workbook, Parquet, GCT, AnnData): it is read at each start, as
    its reading also tells the data summary what was converted and removed."""
    out_dir = output_folder_of(real)
    return out_dir if out_dir and instruments.kind(real) is None else None


def _read_input(real) -> pd.DataFrame:
    """An input expression file, through its parsed copy in the output folder of its study."""
    out_dir = _parsed_folder(real)
    return parsed.read_expression(real, out_dir) if out_dir else loader.read_expression(real)


def read_raw_expression(path) -> pd.DataFrame:
    """An input expression file (features as rows) as a samples-by-features float matrix (read-only)."""
    return _cached(path, _read_input)


def _from_matrix_or_copy(path, from_copy, from_frame):
    """from_frame(the input expression file's matrix) when it is in memory, else from_copy(file,
    output folder) from its parsed copy on disk; the file parsed only when neither is current."""
    real = _checked(path)
    with _cache_lock:
        frame = _cache.get(_key(real, _read_input))
    if frame is None:
        out_dir = _parsed_folder(real)
        found = from_copy(real, out_dir) if out_dir else None
        if found is not None:
            return found
        frame = _shared(real, _read_input)
    return from_frame(frame)


def raw_expression_outline(path) -> parsed.Outline:
    """The samples, features and missing counts of an input expression file, its values not read
    when its parsed copy is current."""
    return _from_matrix_or_copy(path, parsed.read_outline, parsed.Outline.of)


def raw_missing(path) -> tuple[pd.Index, pd.Index, np.ndarray]:
    """(samples, features, missing cells) of an input expression file, its values not read when its
    parsed copy is current (it keeps them as bits). The mask is the caller's own."""
    return _from_matrix_or_copy(path, parsed.read_missing, lambda frame: (
        frame.index.copy(), frame.columns.copy(), np.isnan(frame.to_numpy(dtype=float, copy=False))))


def read_expr_path(path) -> pd.DataFrame:
    """A table the host wrote: a preprocessed matrix (samples as rows; its values read-only: copy it
    to change them) or a differential table."""
    return _cached(path, _reader_of(path))


# ---- the binary matrix store ------------------------------------------------------
# A preprocessed matrix is read by every card and rewritten by every preprocessing:
# as text a cohort of 500 x 20,000 takes seconds each way, as numpy arrays a fraction
# of a second. Ids are stored as text arrays and come back as text.
MATRIX_SUFFIX = ".npz"


def _is_matrix(path) -> bool:
    return os.fspath(path).endswith(MATRIX_SUFFIX)


def read_matrix(path) -> pd.DataFrame:
    """A matrix written by `save_result_path` at a ".npz" path: float values, text ids."""
    try:
        with np.load(path, allow_pickle=False) as stored:
            values, index, columns = stored["values"], stored["index"], stored["columns"]
    except (OSError, ValueError, KeyError) as err:
        raise loader.DataError(f"{path}: not a stored matrix ({err})") from None
    if values.shape != (len(index), len(columns)):
        raise loader.DataError(f"{path}: a stored matrix of shape {values.shape} with "
                               f"{len(index)} row and {len(columns)} column ids")
    return pd.DataFrame(values, index=pd.Index(index.astype(object)), columns=pd.Index(columns.astype(object)))


def _write_matrix(fh, frame: pd.DataFrame) -> None:
    try:
        values = frame.to_numpy(dtype=float)
    except (TypeError, ValueError):
        raise ValueError("only a numeric matrix is stored as a matrix file") from None
    np.savez(fh, values=values, index=np.array([str(i) for i in frame.index], dtype=str),
             columns=np.array([str(c) for c in frame.columns], dtype=str))


def read_result_path(path) -> pd.DataFrame:
    """A result table the host or the dashboard wrote."""
    return _cached(path, _reader_of(path))


def read_feature_ids(path) -> list[str]:
    """The feature ids of an input expression file (from its parsed copy when current; else its
    values are left unparsed)."""
    real = _checked(path)
    out_dir = _parsed_folder(real)
    outline = parsed.read_outline(real, out_dir) if out_dir else None
    return outline.features if outline is not None else loader.read_feature_ids(real)


def read_info_file(path) -> pd.DataFrame:
    """The sample-information table: one row per sample, one column per phenotype; its id column
    the one start-up chose (`sample_tables`), which is part of the cache key."""
    column = sample_tables.column_of(path)

    def read_sample_table(real):
        return loader.read_sample_table(real, column)

    read_sample_table.__name__ = f"read_sample_table[{column!r}]"
    return _cached(path, read_sample_table)


# ---- tab-separated tables, written fast when nothing needs quoting -------------------
# A result table of a cohort can be large (the ROC table of 20,000 features is 160 MB);
# pandas' writer takes seconds where joining the texts takes a fraction. The bytes are
# those pandas writes: floats as repr, missing values empty; anything else goes to pandas.

def _plain_texts(values: pd.Index | pd.Series) -> list | None:
    """The cells of one column as pandas writes them, or None when they need pandas."""
    if values.dtype == np.float64:
        return [repr(v) if v == v else "" for v in values.tolist()]
    if values.dtype == np.int64:
        return [str(v) for v in values.tolist()]
    if values.dtype != object:
        return None
    texts = []
    for v in values.tolist():
        if v is None or (isinstance(v, float) and v != v):
            texts.append("")
        elif isinstance(v, str) and not any(c in v for c in '\t\n\r"'):
            texts.append(v)
        else:
            return None
    return texts


def _column_values(frame: pd.DataFrame):
    """Each column's values; a frame of one number type is read as one block (a wide table,
    20,000 features, costs seconds column by column)."""
    dtypes = set(frame.dtypes)
    if frame.shape[1] > 1 and dtypes in ({np.dtype(np.float64)}, {np.dtype(np.int64)}):
        return frame.to_numpy().T
    return (frame.iloc[:, j] for j in range(frame.shape[1]))


def _write_plain(fh, frame: pd.DataFrame) -> bool:
    """Writes `frame` as pandas' to_csv(sep="\t") would; False (nothing written) when it cannot."""
    if isinstance(frame.columns, pd.MultiIndex) or isinstance(frame.index, pd.MultiIndex):
        return False
    header = [frame.index.name if frame.index.name is not None else "", *frame.columns]
    columns = [_plain_texts(frame.index), *(_plain_texts(c) for c in _column_values(frame))]
    if any(c is None for c in columns) or _plain_texts(pd.Index(header, dtype=object)) is None:
        return False
    fh.write("\t".join(header) + "\n")
    fh.writelines("\t".join(row) + "\n" for row in zip(*columns))
    return True


def save_result_path(path, frame: pd.DataFrame) -> str:
    """Writes `frame` as a tab-separated table (index included), or as a binary matrix at a
    ".npz" path, creating its folder (see replace_result_path)."""

    def write(partial):
        if _is_matrix(path):
            with open(partial, "wb") as fh:
                _write_matrix(fh, frame)
        else:
            with open(partial, "w", newline="") as fh:
                if not _write_plain(fh, frame):
                    frame.to_csv(fh, sep="\t")

    return replace_result_path(path, write)


def replace_result_path(path, write) -> str:
    """Calls `write(partial)` to write a result file beside its place (readable by the server
    alone), then moves it to `path`, creating its folder; returns the path.

    A reader on another thread sees the old file or the new one, never a partly written
    file; a failed write leaves nothing behind.
    """
    folder = os.path.dirname(os.fspath(path))
    if folder:
        os.makedirs(folder, exist_ok=True)
    fd, partial = tempfile.mkstemp(dir=folder or ".", prefix=".writing-", suffix=".part")
    os.close(fd)
    try:
        os.chmod(partial, 0o600)  # the server's files are its own (mkstemp's mode, said outright)
        write(partial)
        os.replace(partial, path)
    except BaseException:
        os.unlink(partial)
        raise
    return os.fspath(path)


def read_text(path) -> str:
    """A table's text exactly as written (for a download), from the configured locations only."""
    with open(_checked(path), newline="") as fh:
        return fh.read()
