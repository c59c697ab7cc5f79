"""The one loader every table of the dashboard is read with.

Rules, the same for every file:

- Format: comma-separated when the name ends in ``.csv`` (or ``.csv.gz``), tab-separated otherwise
  (``.tsv``, ``.txt``, ``.tab``). Gzip is recognised by its content, so ``.gz`` is optional. Text is
  UTF-8, with or without a byte-order mark; line ends may be LF or CRLF. Empty lines are ignored; every
  other line must have as many fields as the header (or every one a field more: a header without a name
  for the id column, as R writes tables). Fields may be quoted ("a, b").
- Ids (the first column, and the header's cells) are text exactly as written: "01005" stays "01005".
  Surrounding spaces and tabs are trimmed, so "S001 " is "S001"; two ids equal after trimming are
  duplicates, and duplicate or empty ids are errors.
- Missing values are the empty cell and the tokens of MISSING_TOKENS, in any letter case and with
  surrounding spaces ("na", " NaN ").
- Numbers are decimal numbers with a '.' mark ("1.5", "-2e-3"), read as the double nearest to the
  decimal written (as Python's float() reads it), whichever way the file is parsed. In a numeric
  matrix any other text is an error, as are +/-inf and values whose magnitude exceeds MAX_MAGNITUDE. A "(Numerical" phenotype holding
  text is an error too: the loader refuses rather than guesses which of its cells are numbers.

Every error is a DataError (a ValueError) whose message names the file and the line, row id, column and
text at fault (the first few, and how many there are).
"""

from __future__ import annotations

import csv
import functools
import gzip
import hashlib
import io
import itertools
import os
import re
import threading
import zlib

import numpy as np
import pandas as pd

from veltrana.plugins import preprocess

__all__ = ["MISSING_TOKENS", "MAX_MAGNITUDE", "DataError", "read_expression", "read_sample_table",
           "read_feature_ids", "read_result", "file_fingerprint"]

# What a file reads as, in this version of the rules: raised with any change to them, so that
# parsed copies of files made under other rules are not used (see `parsed`).
# 2: numbers correctly rounded (the nearest double to the decimal written), on every path.
VERSION = 2

MISSING_TOKENS: frozenset[str] = frozenset({"", "NA", "NaN", "N/A", "#N/A", "null", "-"})

# No measured abundance, ratio or clinical value comes near this; below it squares and sums of
# thousands of values stay finite, so variances and distances never overflow.
MAX_MAGNITUDE: float = 1e15

# Columns of the host's own result tables that hold ids, kept as text even when they look numeric.
ID_COLUMNS = frozenset({"Feature", "Gene", "Protein", "ProteinName", "Sample", "Source", "BaseName",
                        "Patient_ID", "Phenotype", "Method", "Group"})

_SHOWN = 5  # offending cells listed in a message
_MISSING_UPPER = frozenset(t.upper() for t in MISSING_TOKENS)
# Every letter-case spelling of the tokens, for pandas' exact-match missing-value list.
_MISSING_SPELLINGS = sorted({"".join(p) for t in MISSING_TOKENS
                             for p in itertools.product(*({c.lower(), c.upper()} for c in t))})
@functools.cache
def _bool_field(sep: str) -> "re.Pattern[bytes]":
    """A cell after a separator that pandas would read as a truth value (1 or 0)."""
    mark = re.escape(sep.encode())
    return re.compile(mark + rb" *(?:[Tt]rue|TRUE|[Ff]alse|FALSE) *(?=" + mark + rb"|\r?\n|\Z)")
# Every truth value _bool_field matches ends in one of these, after one letter.
_BOOL_ENDS = (b"rue", b"RUE", b"alse", b"ALSE")
# pandas' round-trip converter reads each decimal as the nearest double; from 3.1 every converter
# does, and choosing one is deprecated.
EXACT_FLOATS = ({} if tuple(int(p) for p in pd.__version__.split(".")[:2]) >= (3, 1)
                else {"float_precision": "round_trip"})

# pandas parses a file of more than _WIDE columns in one go (see _read_csv).
_WIDE = 2048


def _truth_value_cell(data: bytes, sep: str) -> bool:
    """Whether `data` holds a cell that _bool_field matches.

    The same answer as its search, found from the rare letters: the search itself tries a match
    at every separator (seconds for a cohort)."""
    field = _bool_field(sep)
    for end in _BOOL_ENDS:
        at = data.find(end, 1)
        while at >= 0:
            start = at - 1  # the word's first letter; before it spaces, then the separator
            while start > 0 and data[start - 1] == 0x20:
                start -= 1
            if start > 0 and field.match(data, start - 1):
                return True
            at = data.find(end, at + 1)
    return False


_COMMA_DECIMAL = re.compile(r"^[+-]?\d*,\d+$")
_EXPONENT = r"[+-]?(\d+\.?\d*|\.\d+)[eE][+-]?\d+"


class DataError(ValueError):
    """A table that cannot be read as it stands; the message says where and why."""


# -- bytes, text and lines --------------------------------------------------------------------------

def _name(path) -> str:
    return os.fspath(path)


def separator(path) -> str:
    """',' for .csv files (optionally .gz), a tab for everything else."""
    name = _name(path).lower()
    if name.endswith(".gz"):
        name = name[:-3]
    return "," if name.endswith(".csv") else "\t"


def _read_bytes(path) -> bytes:
    with open(path, "rb") as fh:
        data = fh.read()
    if data[:2] == b"\x1f\x8b":
        try:
            data = gzip.decompress(data)
        except (OSError, EOFError, zlib.error) as exc:
            raise DataError(f"{_name(path)}: the gzip compression is corrupt or truncated ({exc})") from None
    return data


def _decode(path, data: bytes) -> tuple[bytes, str]:
    """(the bytes without a byte-order mark, their text)."""
    nul = data.find(b"\x00")
    if nul >= 0:
        line = data.count(b"\n", 0, nul) + 1
        raise DataError(f"{_name(path)}, line {line}: binary content (a NUL byte); expected a text table")
    try:
        data = data[3:] if data.startswith(b"\xef\xbb\xbf") else data
        return data, data.decode("utf-8")
    except UnicodeDecodeError as exc:
        line = data.count(b"\n", 0, exc.start) + 1
        raise DataError(f"{_name(path)}, line {line}: not UTF-8 text (byte 0x{data[exc.start]:02X}); "
                        "save the file as UTF-8") from None


def unique_ids(name: str, values, what: str, places) -> None:
    """Refuses empty and repeated ids of the file `name`; `places` says where each one is ("line 3")."""
    seen: dict[str, str] = {}
    dups = []
    for value, place in zip(values, places):
        if value is None or not str(value).strip():
            raise DataError(f"{name}, {place}: an empty {what}")
        if value in seen:
            dups.append(f"{value!r} ({seen[value]} and {place})")
        else:
            seen[value] = place
    if dups:
        raise DataError(f"{name}: {len(dups)} duplicate {what}(s) after trimming spaces: {', '.join(dups[:_SHOWN])}")


class _Scan:
    """The structure of a table: header cells, row ids and the file line of each data row.

    A file with quotes is split by the csv module (`rows` holds each data row's cells); otherwise only
    ids and field counts are taken here and pandas parses the values from `text` in one pass.
    """

    def __init__(self, path, results: bool = False):
        # `results`: a table the host wrote, which may hold no rows (or nothing at all).
        self.path = _name(path)
        self.sep = separator(path)
        self.data, self.text = _decode(path, _read_bytes(path))
        # (line number, first field, field count, all cells or None) of each non-blank line
        records = self._quoted() if '"' in self.text else self._plain()
        if not records and results:
            records = [(1, "", 1, [""])]
        if not records:
            raise DataError(f"{self.path}: the file is empty")
        (self.header_line, _, width, header), body = records[0], records[1:]
        self.header = [c.strip() for c in header]
        if not body and not results:
            raise DataError(f"{self.path}, line {self.header_line}: only a header, no data rows")
        if len(body) > 1 and all(k == width + 1 for _, _, k, _ in body):
            # Every row one field longer: the header names only the value columns, as R writes tables.
            self.header, width = [""] + self.header, width + 1
        wrong = [(n, k) for n, _, k, _ in body if k != width]
        if wrong:
            listed = "; ".join(f"line {n}: {k} fields" for n, k in wrong[:_SHOWN])
            raise DataError(f"{self.path}: {len(wrong)} line(s) do not have the header's {width} fields "
                            f"({listed})")
        self.lines = [n for n, _, _, _ in body]
        self.ids = [first.strip() for _, first, _, _ in body]
        self.rows = [cells for _, _, _, cells in body] if self.quoted else None
        self._unique(self.ids, "row id", [f"line {n}" for n in self.lines])
        self._unique(self.header[1:], "column", [f"line {self.header_line} field {j}" for j in range(2, width + 1)])

    def _blank(self, cells) -> bool:
        return all(not c.strip() for c in cells)

    def _plain(self):
        self.quoted = False
        lines = self.text.split("\n")
        if "\r" in self.text:
            lines = [s[:-1] if s.endswith("\r") else s for s in lines]
        strip = self.sep + " \t"
        records = []
        for n, line in enumerate(lines, 1):
            if not line.strip(strip):
                continue  # empty, or only separators
            cells = line.split(self.sep) if not records else None  # the header is split in full
            records.append((n, line.split(self.sep, 1)[0], line.count(self.sep) + 1, cells))
        return records

    def _quoted(self):
        self.quoted = True
        reader = csv.reader(io.StringIO(self.text, newline=""), delimiter=self.sep)
        records = []
        try:
            for cells in reader:
                if cells and not self._blank(cells):
                    records.append((reader.line_num, cells[0], len(cells), cells))
        except csv.Error as exc:
            raise DataError(f"{self.path}, line {reader.line_num}: {exc}") from None
        return records

    def _unique(self, names, what, places):
        unique_ids(self.path, names, what, places)

    def frame(self, **options) -> pd.DataFrame:
        """The value columns (after the first) as pandas parses them with `options`."""
        if self.quoted or self.lines[-1] - self.lines[0] == len(self.lines) - 1:
            # No blank line between data rows (or quoted fields, which may span lines): pandas skips
            # the lines up to the header and blank lines after the last row itself.
            where = {"skiprows": self.header_line, "nrows": len(self.lines)}
        else:  # only the data lines; pandas counts lines from 0, ours from 1
            data = set(self.lines)
            skip = [i for i in range(self.lines[-1]) if i + 1 not in data]
            where = {"skiprows": skip, "skip_blank_lines": False}
        if not self.quoted:
            where["quoting"] = csv.QUOTE_NONE
        frame = self._read_csv(self.data, **where, **options)
        if len(frame) != len(self.ids):
            raise DataError(f"{self.path}: {len(frame)} rows parsed, {len(self.ids)} expected")
        return frame

    def _read_csv(self, data: bytes, **options) -> pd.DataFrame:
        # pandas' default (low_memory) converts ~256 KB of a file at a time, column by column:
        # for 20,000 columns that is a few rows at a time and the per-column cost dominates.
        options.setdefault("low_memory", len(self.header) <= _WIDE)
        options.setdefault("usecols", range(1, len(self.header)))
        return pd.read_csv(io.BytesIO(data), sep=self.sep, header=None, engine="c", encoding="utf-8",
                           **EXACT_FLOATS, **options)

    def cells(self) -> np.ndarray:
        """The value cells (rows x columns after the first) as an object array of text."""
        if self.rows is not None:
            return np.array([cells[1:] for cells in self.rows], dtype=object).reshape(len(self.rows), -1)
        if len(self.header) < 2 or not self.ids:
            return np.empty((len(self.ids), len(self.header) - 1), dtype=object)
        return self.frame(dtype=str, na_filter=False).to_numpy(dtype=object)

    def fast_floats(self) -> np.ndarray | None:
        """All value cells parsed in one pass (natively for an unquoted file), or None when some cell
        needs a closer look."""
        if not self.ids:
            return np.empty((0, len(self.header) - 1))
        if len(self.header) < 2:
            return None
        if not self.quoted:
            values = preprocess.parse_numeric_rows(self.data, self.header_line, len(self.ids),
                                                   len(self.header) - 1, self.sep)
            if values is not None:
                return values
        try:
            values = self.frame(dtype="float64", na_values=_MISSING_SPELLINGS,
                                keep_default_na=False).to_numpy(dtype=float)
        except (ValueError, TypeError):
            return None
        # pandas reads True/false/... as 1/0: only then is the text searched for such a value
        # cell (a separator before it; ids, which come first on a line, may hold any letters).
        if ((values == 1) | (values == 0)).any() and _truth_value_cell(self.data, self.sep):
            return None
        return values


# -- cells to numbers -------------------------------------------------------------------------------

def _per_text(cells, f, dtype) -> np.ndarray:
    """`f` of each cell's text, called once per distinct text: a column of 20,000 samples holds
    a few phenotype values, or a few missing tokens among its numbers."""
    codes, distinct = pd.factorize(np.asarray(cells, dtype=object), use_na_sentinel=False)
    return np.array([f(t) for t in distinct], dtype=dtype)[codes]


def _is_missing_token(text: str) -> bool:
    return text.strip().upper() in _MISSING_UPPER


def _missing(text: pd.Series) -> np.ndarray:
    return _per_text(text, _is_missing_token, bool)


def _strict_floats(cells: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """(values, bad): numbers parsed, missing tokens as NaN; `bad` marks cells that are neither."""
    flat = pd.Series(cells.ravel(), dtype=object)
    missing = _missing(flat)
    values = pd.to_numeric(flat.where(~missing, "nan"), errors="coerce").to_numpy(dtype=float, copy=True)
    bad = np.isnan(values) & ~missing
    numbers = ~bad & ~missing  # read again, correctly rounded as everywhere else
    values[numbers] = flat[numbers].astype(float).to_numpy()
    if bad.any():  # "1e400" is a number too large, not text: it is told as such
        huge = flat[bad].str.strip().str.fullmatch(_EXPONENT).to_numpy(dtype=bool)
        values[np.flatnonzero(bad)[huge]] = np.inf
        bad[np.flatnonzero(bad)[huge]] = False
    return values.reshape(cells.shape), bad.reshape(cells.shape)


def _describe(path, lines, ids, columns, where, texts, problem, hint="") -> DataError:
    rows, cols = where
    shown = "; ".join(f"line {lines[r]}, row {ids[r]!r}, column {columns[c]!r}: {t!r}"
                      for r, c, t in zip(rows[:_SHOWN], cols[:_SHOWN], texts[:_SHOWN]))
    more = f" and {len(rows) - _SHOWN} more" if len(rows) > _SHOWN else ""
    return DataError(f"{path}: {len(rows)} cell(s) {problem}: {shown}{more}{hint}")


def _check_numbers(scan: _Scan, columns, values, bad, cells) -> None:
    """Raises DataError for text that is not a number, and for infinite or oversized values."""
    if bad is not None and bad.any():
        where = np.nonzero(bad)
        texts = [str(cells[r, c]) for r, c in zip(*where)]
        hint = ""
        if sum(bool(_COMMA_DECIMAL.match(t.strip())) for t in texts) > len(texts) // 2:
            hint = ". The numbers use ',' as the decimal mark; write them with '.' (1.5, not 1,5)"
        raise _describe(scan.path, scan.lines, scan.ids, columns, where, texts, "are not numbers", hint)
    with np.errstate(invalid="ignore"):
        huge = (values > MAX_MAGNITUDE) | (values < -MAX_MAGNITUDE)  # inf too; NaN compares False
    if huge.any():
        where = np.nonzero(huge)
        cells = scan.cells() if cells is None else cells  # the text as written, for the message
        texts = [str(cells[r, c]).strip() for r, c in zip(*where)]
        raise _describe(scan.path, scan.lines, scan.ids, columns, where, texts,
                        f"are infinite or beyond +/-{MAX_MAGNITUDE:g}")


def _numeric_block(scan: _Scan) -> np.ndarray:
    columns = scan.header[1:]
    values, cells = scan.fast_floats(), None
    if values is None:
        cells = scan.cells()
        values, bad = _strict_floats(cells)
        _check_numbers(scan, columns, values, bad, cells)
    else:
        _check_numbers(scan, columns, values, None, None)
    return values


# -- the readers --------------------------------------------------------------------------------

def read_expression(path) -> pd.DataFrame:
    """An expression file (features as rows, samples as columns) as a samples x features float64 matrix.

    Index (samples) and columns (features) are text exactly as written, trimmed. Instrument outputs
    and the field's other formats, recognised by their content, are read by `instruments`."""
    from veltrana.study import instruments

    if instruments.kind(path) is not None:
        return instruments.read(path).matrix.copy()
    scan = _Scan(path)
    values = _numeric_block(scan)
    frame = pd.DataFrame(values.T, index=pd.Index(scan.header[1:]),
                         columns=pd.Index(scan.ids, name=scan.header[0] or None))
    return frame


def read_feature_ids(path) -> list[str]:
    """The feature ids (first column) of an expression file; the values are not parsed."""
    from veltrana.study import instruments

    if instruments.kind(path) is not None:
        return [str(f) for f in instruments.read(path).matrix.columns]
    return list(_Scan(path).ids)


def _text_column(cells: np.ndarray) -> pd.Series:
    """The cells trimmed, missing tokens as NaN."""
    return pd.Series(_per_text(cells, lambda t: np.nan if _is_missing_token(t) else t.strip(), object),
                     dtype=object)


def read_sample_table(path, sample_column: str | None = None) -> pd.DataFrame:
    """The sample table: one row per sample (index text), one column per phenotype.

    "(Numerical" columns are float64 and must hold only numbers or missing tokens; the other columns are
    text (object) with NaN for missing cells. The id column, the formats and the phenotypes typed from
    their values: see `sample_tables`."""
    from veltrana.study import sample_tables

    return sample_tables.read(path, sample_column).frame


def read_result(path) -> pd.DataFrame:
    """A table the host wrote, which may have no rows. The index and the id columns (ID_COLUMNS) are
    text; pandas infers the type of the other columns (integers, floats, text), which the host wrote."""
    scan = _Scan(path, results=True)
    columns = scan.header[1:]
    index = pd.Index(scan.ids, name=scan.header[0] or None)
    if not scan.ids or not columns:
        frame = pd.DataFrame(index=index, columns=pd.Index(columns), dtype=object)
        return frame
    # object, not str: pandas 3 would make them its own string arrays, whose comparison with a value
    # the page sends (a dict, a huge number) raises instead of answering False.
    ids = {j + 1: object for j, name in enumerate(columns) if name in ID_COLUMNS}
    frame = _number_columns(scan, ids)
    if frame is None:
        frame = scan.frame(dtype=ids, na_values=_MISSING_SPELLINGS, keep_default_na=False, low_memory=False)
    frame.index = index
    frame.columns = pd.Index(columns)
    return frame


def _number_columns(scan, ids: dict) -> pd.DataFrame | None:
    """The table's value columns with the types pandas infers, the columns of fractions and gaps
    parsed natively in one pass; None for a quoted file or a line of another length.

    pandas parses each number exactly but slowly (a differential table of 20,000 features took
    0.4 s, a PCA's contributions seconds). A column of numbers only is float64 either way, and
    parsed natively to the same doubles; the id columns, the columns holding text, and columns
    of whole numbers (which may have been written as integers) are left to pandas."""
    if scan.quoted:
        return None
    parsed = preprocess.parse_numeric_columns(scan.data, scan.header_line, len(scan.ids),
                                              len(scan.header) - 1, scan.sep)
    if parsed is None:
        return None
    values, text = parsed
    whole = np.isfinite(values).all(axis=0) & (values == np.round(values)).all(axis=0)
    frame = pd.DataFrame(values, columns=range(1, values.shape[1] + 1))
    by_pandas = sorted({int(j) + 1 for j in np.flatnonzero(text | whole)} | set(ids))
    if by_pandas:
        exact = scan.frame(usecols=by_pandas, dtype=ids,
                           na_values=_MISSING_SPELLINGS, keep_default_na=False, low_memory=False)
        frame = frame.drop(columns=exact.columns).join(exact)[frame.columns]
    return frame


# -- fingerprints -------------------------------------------------------------------------------

_hashes: dict[tuple, str] = {}
_hashes_lock = threading.Lock()


def file_fingerprint(path) -> str:
    """A short hex digest of a file's size, modification time and content.

    The content hash is computed once per state of the file (`file_state`)."""
    real, st = _real_stat(path)
    content = _content(real, st)
    return hashlib.sha256(f"{st.st_size}:{st.st_mtime_ns}:{content}".encode()).hexdigest()[:16]


def file_state(st: os.stat_result) -> tuple[int, int, int, int]:
    """(inode, size, modification time, change time): a write to the file changes its change time,
    which no one can set back, so an equal state is an unchanged file."""
    return (st.st_ino, st.st_size, st.st_mtime_ns, st.st_ctime_ns)


def file_content(path) -> tuple[tuple[int, int, int, int], str]:
    """(the file's state, the SHA-256 of its content), the state taken before the content is read."""
    real, st = _real_stat(path)
    return file_state(st), _content(real, st)


def remember_content(path, state, content: str) -> bool:
    """Takes `content` as the content hash of the file at `path` if its state is still `state` (as
    `file_content` gave them, in an earlier process); True when it is."""
    real, st = _real_stat(path)
    if file_state(st) != tuple(state):
        return False
    with _hashes_lock:
        _hashes[(real, *file_state(st))] = content
    return True


def _real_stat(path) -> tuple[str, os.stat_result]:
    from veltrana.study.instruments import file_of

    real = os.path.realpath(file_of(path))  # a workbook's sheet: the workbook
    return real, os.stat(real)


def _content(real: str, st: os.stat_result) -> str:
    key = (real, *file_state(st))
    with _hashes_lock:
        content = _hashes.get(key)
    if content is None:
        digest = hashlib.sha256()
        with open(real, "rb") as fh:
            for block in iter(lambda: fh.read(1 << 20), b""):
                digest.update(block)
        content = digest.hexdigest()
        with _hashes_lock:
            _hashes[key] = content
    return content
