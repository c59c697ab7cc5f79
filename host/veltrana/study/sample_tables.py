"""Sample tables as labs write them.

The sample-id column is the one whose values match the data's sample names: the first column when
it matches as well as any other (the dashboard's own layout), otherwise the one column that matches
best; several such columns are refused naming them, and `--sample-column` chooses.

Phenotype types travel in the column names, as the native modules read them: "(Numerical" marks a
number. In a table that marks none of its columns "(Numerical" or "(Categorical", a column whose
values are all numbers is read as numerical and named "<name>(Numerical)"; the rest stay text.
A table that uses the marks is read as it always was: its unmarked columns are text. Columns the
dashboard reads by their exact names (the patient pairing, the survival columns) are never renamed.
"""

from __future__ import annotations

import collections
import dataclasses
import os
import threading

import numpy as np
import pandas as pd

from veltrana.study import instruments, loader
from veltrana.study.loader import DataError

# Read by name: the paired tests' patient column and the survival card's default columns.
FIXED_NAMES = frozenset({"Patient_ID", "Sample_ID", "Vital Status (at time of last contact)",
                         "Days between date collection and last contact", "Days between date collection and death"})

_columns: dict[str, str] = {}   # real path of a sample table -> its id column, chosen at start-up
_columns_lock = threading.Lock()


@dataclasses.dataclass(frozen=True)
class SampleTable:
    frame: pd.DataFrame
    id_column: str
    typed: dict[str, str]        # column as written -> "numerical" / "categorical", from its values


def _marked(name: str) -> bool:
    return "(Numerical" in name or "(Categorical" in name


def use_column(path, column: str | None) -> None:
    """Reads the sample table at `path` by its column `column` from now on (None: the first)."""
    with _columns_lock:
        if column is None:
            _columns.pop(os.path.realpath(os.fspath(path)), None)
        else:
            _columns[os.path.realpath(os.fspath(path))] = column


def column_of(path) -> str | None:
    with _columns_lock:
        return _columns.get(os.path.realpath(os.fspath(path)))


def choose_column(path, samples: set[str], given: str | None = None) -> str | None:
    """The id column of the sample table at `path` for data whose sample names are `samples`; None
    for the first column."""
    table = _table_of(path)
    table.need(table.header)
    if given is not None:
        if given not in table.header:
            raise DataError(f"{table.name}: no column {given!r} to take the sample ids from; the columns are "
                            f"{', '.join(map(repr, table.header))}")
        return None if given == table.header[0] else given
    matches = [len(samples & {t for t in table.texts(j) if t}) for j in range(len(table.header))]
    best = max(matches)
    if best == 0 or matches[0] == best:
        return None
    candidates = [table.header[j] for j, n in enumerate(matches) if n == best]
    if len(candidates) > 1:
        raise DataError(f"{table.name}: the columns {', '.join(map(repr, candidates))} all hold {best} of the "
                        "data's sample names; choose the sample-id column with --sample-column NAME "
                        "(sample_column in study.toml)")
    return candidates[0]


# What was made of the last files read, by the file's state: start-up scans the sample table to
# choose its id column, reads it to reconcile the samples and again to serve it (20,000 rows take
# about a second each time).
_kept: collections.OrderedDict = collections.OrderedDict()
_kept_lock = threading.Lock()
_KEPT = 4


def _kept_for(path, what, make):
    """make(), or what it made for the same `what` of the same file unchanged since."""
    try:
        st = os.stat(instruments.file_of(path))
    except OSError:
        return make()  # the reader says what is wrong with the path
    key = (os.path.realpath(os.fspath(path)), *loader.file_state(st), what)
    with _kept_lock:
        value = _kept.get(key)
    if value is None:
        value = make()
        with _kept_lock:
            _kept[key] = value
            while len(_kept) > _KEPT:
                _kept.popitem(last=False)
    return value


def _table_of(path) -> instruments.Table:
    return _kept_for(path, "table", lambda: instruments.table_of(path))


def read(path, column: str | None = None) -> SampleTable:
    """The sample table: one row per sample (index: the id column, text), one column per phenotype.
    A file read before and unchanged since is not parsed again (the frame is a fresh copy)."""
    column = column if column is not None else column_of(path)
    kept = _kept_for(path, ("read", column), lambda: _parse(path, column))
    return SampleTable(kept.frame.copy(), kept.id_column, dict(kept.typed))


def _parse(path, column: str | None) -> SampleTable:
    table = _table_of(path)
    table.need(table.header)
    k = 0 if column is None else table.index(column)
    if k is None:
        raise DataError(f"{table.name}: no column {column!r} to take the sample ids from")
    ids = table.texts(k)
    loader.unique_ids(table.name, ids, "sample id", table.places)
    ids = [str(i) for i in ids]
    marked = any(_marked(h) for h in table.header)
    data, names, typed = {}, [], {}
    for j, name in enumerate(table.header):
        if j == k:
            continue
        if "(Numerical" in name:
            data[name] = instruments.numbers(table, [j], ids)[:, 0]
        elif marked or "(Categorical" in name or name in FIXED_NAMES or not _all_numbers(table, j):
            if not marked and name not in FIXED_NAMES:
                typed[name] = "categorical"
            data[name] = _text(table.texts(j))
        else:
            typed[name] = "numerical"
            name = f"{name}(Numerical)"
            if name in table.header:
                raise DataError(f"{table.name}: column {name[:-11]!r} holds numbers, and {name!r} exists too")
            data[name] = instruments.numbers(table, [j], ids)[:, 0]
        names.append(name)
    index_name = table.header[k] or None
    frame = pd.DataFrame(data, index=pd.Index(ids, name=index_name), columns=pd.Index(names))
    return SampleTable(frame, table.header[k], typed)


def _text(texts: np.ndarray) -> np.ndarray:
    return np.array([np.nan if t is None or loader._is_missing_token(t) else t for t in texts], dtype=object)


def _all_numbers(table: instruments.Table, j: int) -> bool:
    """Whether every value of column j is a number (and there is one)."""
    column = table.columns[j]
    if column.dtype != object:
        return bool(np.isfinite(column).any())
    cells = np.array(["" if v is None else v for v in column], dtype=object)
    values, bad = loader._strict_floats(cells)
    return not bad.any() and bool(np.isfinite(values).any())
