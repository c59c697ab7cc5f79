"""Expression data as instruments, search engines and the field's file formats write it.

A file is recognised by its content, never by its name alone:

- MaxQuant proteinGroups.txt ("Majority protein IDs", or "Protein IDs" beside intensity columns);
- DIA-NN protein-group matrices ("Protein.Group" and "Genes"; one column per run, headed by its file path);
- FragPipe combined_protein.tsv ("Protein ID" and "Entry Name");
- Spectronaut protein pivot reports ("[n] <sample>.PG.Quantity" columns, or "PG.ProteinGroups");
- GCT 1.2 / 1.3 (its first line "#1.2" or "#1.3");
- Excel workbooks (.xlsx; `FILE#Sheet` picks a sheet, the first otherwise), Parquet and AnnData (.h5ad).

Everything else is the plain text matrix of `loader`. The same rules hold as there: ids are text as
written, missing values are the empty cell and the loader's tokens, any other text where a number
belongs is refused with file, line (or sheet row), row id and column, and so are values beyond
MAX_MAGNITUDE. A file that looks like one of these but breaks its layout is refused naming the
column and what was expected.

The search engines write intensities: zeros and empty cells are missing, and the values are
log2-transformed here, once. The general formats hold values as written. What was read, converted
and removed is the reading's `note`, which the data summary shows.
"""

from __future__ import annotations

import csv
import dataclasses
import datetime
import gzip
import io
import operator
import os
import re
import threading
import zipfile

import numpy as np
import pandas as pd

from veltrana.study import loader
from veltrana.study.loader import DataError, unique_ids

__all__ = ["Reading", "Table", "file_of", "kind", "read", "table_of"]

_SHOWN = 5
# Raw intensities run to millions; a file whose largest value is below this holds logarithms.
_LOG_LOOKING = 100.0

_XLSX, _PARQUET, H5AD, _GCT = "Excel workbook", "Parquet", "AnnData", "GCT"
MAXQUANT, DIANN, FRAGPIPE, SPECTRONAUT = ("MaxQuant proteinGroups", "DIA-NN protein-group matrix",
                                          "FragPipe combined_protein", "Spectronaut protein pivot report")


@dataclasses.dataclass(frozen=True)
class Reading:
    """An expression file as read: the samples x features matrix and what the summary tells of it."""

    matrix: pd.DataFrame
    note: str
    annotation: pd.DataFrame | None = None   # Feature, Gene, Protein, from the file's own columns


@dataclasses.dataclass
class Table:
    """A table of any format: header, one array per column (float64, or object text with None for
    an empty cell) and where each data row is, for messages ("line 4", "row 4")."""

    name: str
    header: list[str]
    columns: list[np.ndarray]
    places: list[str]

    def index(self, name: str) -> int | None:
        return self.header.index(name) if name in self.header else None

    def need(self, names) -> None:
        """Reads the text of the columns `names` (those present) together: a text file's columns
        are read when first asked for, one pass over the file each time."""
        if isinstance(self.columns, _TextColumns):
            self.columns.load([j for j in map(self.index, names) if j is not None])

    def texts(self, j: int) -> np.ndarray:
        """Column j as trimmed text (numbers as written in a sheet: 1005, not 1005.0)."""
        column = self.columns[j]
        if column.dtype == object:
            return np.array([None if v is None else str(v).strip() for v in column], dtype=object)
        return np.array([None if v != v else _number_text(v) for v in column.tolist()], dtype=object)

    def layout_error(self, what: str, column: str, expected: str) -> DataError:
        return DataError(f"{self.name}: read as {what}, but column {column!r}: expected {expected}")


# -- files and their kinds ---------------------------------------------------------------------------

def file_of(path) -> str:
    """The file of a path that may name a workbook's sheet ("samples.xlsx#Clinical")."""
    return _split_sheet(path)[0]


def _split_sheet(path) -> tuple[str, str | None]:
    name = os.fspath(path)
    if "#" in name and not os.path.exists(name):
        file, _, sheet = name.rpartition("#")
        if file.lower().endswith((".xlsx", ".xlsm")) and sheet:
            return file, sheet
    return name, None


def _head(path, size: int = 1 << 16) -> bytes:
    with open(file_of(path), "rb") as fh:
        head = fh.read(size)
    if head[:2] == b"\x1f\x8b":
        try:
            with gzip.open(file_of(path), "rb") as fh:
                head = fh.read(size)
        except (OSError, EOFError):
            return b""  # the loader tells what is wrong with the compression
    return head[3:] if head.startswith(b"\xef\xbb\xbf") else head


def _header_cells(path, head: bytes) -> list[str]:
    line = head.split(b"\n", 1)[0].rstrip(b"\r").decode("utf-8", "replace")
    return [c.strip().strip('"') for c in line.split(loader.separator(file_of(path)))]


_SPECTRONAUT_QUANTITY = re.compile(r"^\[(\d+)\] (.+)\.PG\.Quantity$")
_MAXQUANT_VALUES = ("LFQ intensity ", "Intensity ", "Reporter intensity ")


def kind(path) -> str | None:
    """What `path` holds, by its content; None for the plain text matrix (and anything the loader
    refuses as it reads it)."""
    head = _head(path)
    if head.startswith(b"PK\x03\x04") and _is_workbook(file_of(path)):
        return _XLSX
    if head.startswith(b"\xd0\xcf\x11\xe0"):
        raise DataError(f"{file_of(path)}: a legacy Excel (.xls) workbook; save it as .xlsx")
    if head.startswith(b"PAR1"):
        return _PARQUET
    if head.startswith(b"\x89HDF\r\n\x1a\n"):
        return H5AD
    if head.startswith((b"#1.2", b"#1.3")):
        return _GCT
    return _engine(_header_cells(path, head))


def _engine(header: list[str]) -> str | None:
    """The search engine whose table has this header: its id column beside a column only its tables
    have (a plain matrix may name its id column as an engine does, and is still a plain matrix)."""
    cells = set(header)
    if cells & {"Protein IDs", "Majority protein IDs"} and (
            cells & {"Reverse", "Potential contaminant", "Only identified by site"}
            or any(h.startswith(_MAXQUANT_VALUES) for h in cells)):
        return MAXQUANT
    if "Protein.Group" in cells and cells & {"Genes", "Protein.Ids", "Protein.Names"}:
        return DIANN
    if "Protein ID" in cells and "Entry Name" in cells:
        return FRAGPIPE
    if any(_SPECTRONAUT_QUANTITY.match(h) for h in cells) or {"PG.ProteinGroups", "PG.Genes"} <= cells:
        return SPECTRONAUT
    return None


def _is_workbook(path) -> bool:
    try:
        with zipfile.ZipFile(path) as archive:
            return "xl/workbook.xml" in archive.namelist()
    except (zipfile.BadZipFile, OSError):
        return False


# -- tables of every format ---------------------------------------------------------------------------

class _Scan(loader._Scan):
    """The loader's text table whose first column need not hold unique ids (a search engine's
    table may begin with any column; the id column is checked where it is chosen)."""

    def _unique(self, names, what, places):
        if what != "row id":
            super()._unique(names, what, places)


def table_of(path) -> Table:
    """The table of a text file, a workbook's sheet, a Parquet file or an AnnData's obs."""
    found = kind(path)
    if found == _XLSX:
        return _sheet(path)
    if found == _PARQUET:
        return _frame_table(_read_parquet(path), file_of(path))
    if found == H5AD:
        obs = _read_h5ad(path, obs_only=True).obs
        return _frame_table(obs.rename_axis(obs.index.name or "obs_names").reset_index(), f"{path} (obs)")
    scan = _Scan(path)
    return Table(scan.path, list(scan.header), _TextColumns(scan), [f"line {n}" for n in scan.lines])


class _TextColumns:
    """The columns of a text table, each read as text when first asked for: a search engine's table
    has hundreds of columns, of which a reading needs a few as text and its values as numbers."""

    def __init__(self, scan: _Scan):
        self.scan, self.loaded = scan, {0: np.array(scan.ids, dtype=object)}

    def __len__(self) -> int:
        return len(self.scan.header)

    def __getitem__(self, j: int) -> np.ndarray:
        self.load([j])
        return self.loaded[j]

    def load(self, columns: list[int]) -> None:
        """Reads the text of `columns` not read yet, in one pass over the file."""
        wanted = sorted(set(columns) - set(self.loaded))
        if wanted:
            self.loaded.update(zip(wanted, self.read(wanted, dtype=str, na_filter=False).T))

    def read(self, columns: list[int], **options) -> np.ndarray:
        """`columns` as pandas parses them with `options` (rows x columns, in the order asked)."""
        scan = self.scan
        if scan.rows is not None:  # quoted fields: split by the csv module already
            return np.array([[cells[j] for j in columns] for cells in scan.rows], dtype=object)
        if scan.lines[-1] - scan.lines[0] == len(scan.lines) - 1:
            where = {"skiprows": scan.header_line, "nrows": len(scan.lines)}
        else:
            data = set(scan.lines)
            where = {"skiprows": [i for i in range(scan.lines[-1]) if i + 1 not in data], "skip_blank_lines": False}
        frame = pd.read_csv(io.BytesIO(scan.data), sep=scan.sep, header=None, engine="c", encoding="utf-8",
                            usecols=columns, quoting=csv.QUOTE_NONE, low_memory=False, **where, **options)
        if len(frame) != len(scan.lines):
            raise DataError(f"{scan.path}: {len(frame)} rows parsed, {len(scan.lines)} expected")
        return frame[columns].to_numpy()

    def _native(self, columns: list[int]) -> np.ndarray | None:
        """`columns` by the loader's native parser, from a matrix of just those columns; None when a
        cell is not a plain number or missing token."""
        from veltrana.plugins import preprocess

        scan, sep = self.scan, self.scan.sep.encode()
        lines = scan.data.split(b"\n")
        get = operator.itemgetter(0, *columns)  # the first field stands in for the id
        picked = [sep.join(get(lines[n - 1].rstrip(b"\r").split(sep))) for n in scan.lines]
        data = b"\n".join([sep.join([b"id", *(b"c" for _ in columns)]), *picked]) + b"\n"
        return preprocess.parse_numeric_rows(data, 1, len(picked), len(columns), scan.sep)

    def numbers(self, columns: list[int], extra_missing: frozenset[str]) -> np.ndarray | None:
        """`columns` parsed as numbers by pandas in one pass; None when a cell needs the strict reading."""
        if self.scan.rows is not None:
            return None
        if not extra_missing:
            values = self._native(columns)
            if values is not None:
                return values
        try:
            values = self.read(columns, dtype="float64", na_values=loader._MISSING_SPELLINGS + sorted(extra_missing),
                               keep_default_na=False, **loader.EXACT_FLOATS).astype(float)
        except (ValueError, TypeError):
            return None
        # pandas reads True/false as 1/0: such a file gets the strict reading
        if ((values == 1) | (values == 0)).any() and loader._truth_value_cell(self.scan.data, self.scan.sep):
            return None
        return values


def _number_text(v: float) -> str:
    return str(int(v)) if float(v).is_integer() and abs(v) < 1e15 else repr(float(v))


def _cell_text(cell) -> str | None:
    """A workbook cell as text, as the sheet shows it: ids formatted "00000" keep their zeros."""
    value = cell.value
    if value is None:
        return None
    if isinstance(value, bool):
        return "TRUE" if value else "FALSE"
    if isinstance(value, (int, float)):
        text = _number_text(value)
        fmt = getattr(cell, "number_format", "") or ""
        if float(value).is_integer() and value >= 0 and set(fmt) == {"0"}:
            text = text.zfill(len(fmt))
        return text
    if isinstance(value, (datetime.datetime, datetime.date)):
        return value.date().isoformat() if isinstance(value, datetime.datetime) and not value.time() \
            else value.isoformat()
    return str(value)


def _sheet(path) -> Table:
    file, sheet = _split_sheet(path)
    book = _workbook(file, values=True)
    try:
        if sheet is not None and sheet not in book.sheetnames:
            raise DataError(f"{file}: no sheet {sheet!r}; the sheets are {', '.join(map(repr, book.sheetnames))}")
        name = f"{file}#{sheet or book.sheetnames[0]}"
        rows = [(r, [_cell_text(c) for c in row])
                for r, row in enumerate(book[sheet or book.sheetnames[0]].iter_rows(), 1)]
    finally:
        book.close()
    if any(c is None for _, cells in rows for c in cells):
        _unsaved_formulas(file, name)
    rows = [(r, cells) for r, cells in rows if any(c is not None and c.strip() for c in cells)]
    if not rows:
        raise DataError(f"{name}: the sheet is empty")
    (_, header), body = rows[0], rows[1:]
    if not body:
        raise DataError(f"{name}, row {rows[0][0]}: only a header, no data rows")
    width = max(j + 1 for _, cells in rows for j, c in enumerate(cells) if c is not None and c.strip())
    header = [(c or "").strip() for c in header[:width]] + [""] * (width - len(header))
    columns = [np.array([(cells[j] if j < len(cells) else None) for _, cells in body], dtype=object)
               for j in range(width)]
    unique_ids(name, header, "column", [f"row {rows[0][0]} column {_letters(j)}" for j in range(width)])
    return Table(name, header, columns, [f"row {r}" for r, _ in body])


def _workbook(file, values: bool):
    """The workbook read lazily (its formulas' saved values, or the formulas); from its bytes, as
    openpyxl goes by the name's extension and a workbook is recognised by its content."""
    import openpyxl

    with open(file, "rb") as fh:
        data = io.BytesIO(fh.read())
    try:
        return openpyxl.load_workbook(data, read_only=True, data_only=values)
    except (zipfile.BadZipFile, KeyError, ValueError, OSError) as err:
        raise DataError(f"{file}: not a readable Excel workbook ({err})") from None


def _unsaved_formulas(file, name) -> None:
    """Refuses formulas whose value the workbook does not hold (written by a program that does not
    compute them): read as values they would be empty cells, silently missing."""
    book, values = _workbook(file, values=False), _workbook(file, values=True)
    try:
        sheet = name.rpartition("#")[2]
        found = [f"row {c.row}, column {_letters(c.column - 1)}: {c.value!r}"
                 for row, kept in zip(book[sheet].iter_rows(), values[sheet].iter_rows())
                 for c, v in zip(row, kept) if c.data_type == "f" and v.value is None]
    finally:
        book.close()
        values.close()
    if found:
        raise DataError(f"{name}: {len(found)} formula cell(s) hold no saved value ({'; '.join(found[:_SHOWN])}); "
                        "open the workbook in a spreadsheet program and save it, so that its values are stored")


def _letters(j: int) -> str:
    text = ""
    j += 1
    while j:
        j, rest = divmod(j - 1, 26)
        text = chr(65 + rest) + text
    return text


def _read_parquet(path) -> pd.DataFrame:
    import pyarrow
    import pyarrow.parquet as pq

    try:
        frame = pq.read_table(file_of(path)).to_pandas()
    except (pyarrow.ArrowException, OSError) as err:
        raise DataError(f"{file_of(path)}: not a readable Parquet file ({err})") from None
    if not isinstance(frame.index, pd.RangeIndex):  # a pandas index kept in the file
        frame = frame.reset_index()
    return frame


def _frame_table(frame: pd.DataFrame, name: str) -> Table:
    header = [str(c).strip() for c in frame.columns]
    unique_ids(name, header, "column", [f"column {j + 1}" for j in range(len(header))])
    columns = []
    for _, column in frame.items():
        if pd.api.types.is_numeric_dtype(column) and not pd.api.types.is_bool_dtype(column):
            columns.append(column.to_numpy(dtype=np.float64, na_value=np.nan))
        else:
            columns.append(np.array([None if v is None or (isinstance(v, float) and v != v) or v is pd.NA
                                     else str(v) for v in column.astype(object).tolist()], dtype=object))
    if not len(frame):
        raise DataError(f"{name}: only a header, no data rows")
    return Table(name, header, columns, [f"row {i + 1}" for i in range(len(frame))])


def _read_h5ad(path, obs_only: bool = False):
    import anndata
    import h5py

    try:
        if obs_only:
            with h5py.File(file_of(path), "r") as fh:
                return anndata.AnnData(obs=anndata.io.read_elem(fh["obs"]))
        return anndata.read_h5ad(file_of(path))
    except (OSError, KeyError, ValueError, TypeError) as err:
        raise DataError(f"{file_of(path)}: not a readable AnnData (.h5ad) file ({err})") from None


def _gct(path) -> tuple[Table, str]:
    """A GCT file's table (the id column, then the samples) and its version."""
    data, text = loader._decode(path, loader._read_bytes(path))
    lines = [(n, line.rstrip("\r")) for n, line in enumerate(text.split("\n"), 1)]
    lines = [(n, line) for n, line in lines if line.strip("\t ")]
    name = os.fspath(path)
    version = lines[0][1].split("\t")[0].strip()
    if len(lines) < 3:
        raise DataError(f"{name}: a {version} file needs its dimensions line and a header")
    dims = [d.strip() for d in lines[1][1].split("\t") if d.strip()]
    want = 2 if version == "#1.2" else 4
    if len(dims) != want or not all(d.isdigit() for d in dims):
        raise DataError(f"{name}, line {lines[1][0]}: expected the {want} dimensions of a GCT {version[1:]} "
                        f"file (rows, columns{', row and column metadata' if want == 4 else ''}), got {lines[1][1]!r}")
    rows, cols, row_meta, col_meta = (int(d) for d in (dims + ["1", "0"])[:4])
    header_n, header = lines[2][0], [c.strip() for c in lines[2][1].split("\t")]
    if version == "#1.2" and header[:2] != ["Name", "Description"]:
        raise DataError(f"{name}, line {header_n}: a GCT 1.2 header begins 'Name', 'Description'; got {header[:2]}")
    if len(header) != 1 + row_meta + cols:
        raise DataError(f"{name}, line {header_n}: {len(header)} header fields; the dimensions say "
                        f"1 + {row_meta} row metadata + {cols} samples")
    body = lines[3 + col_meta:]
    if len(body) != rows:
        raise DataError(f"{name}: {len(body)} data rows; the dimensions line says {rows}")
    split = [line.split("\t") for _, line in body]
    wrong = [(n, len(cells)) for (n, _), cells in zip(body, split) if len(cells) != len(header)]
    if wrong:
        listed = "; ".join(f"line {n}: {k} fields" for n, k in wrong[:_SHOWN])
        raise DataError(f"{name}: {len(wrong)} line(s) do not have the header's {len(header)} fields ({listed})")
    unique_ids(name, header[1 + row_meta:], "sample", [f"line {header_n}"] * cols)
    keep = [0, *range(1 + row_meta, len(header))]
    columns = [np.array([cells[j] for cells in split], dtype=object) for j in keep]
    return Table(name, [header[j] for j in keep], columns, [f"line {n}" for n, _ in body]), version[1:]


# -- checks and numbers -------------------------------------------------------------------------------

def _cells_error(table: Table, ids, names, where, texts, problem: str) -> DataError:
    rows, cols = where
    shown = "; ".join(f"{table.places[r]}, row {ids[r]!r}, column {names[c]!r}: {t!r}"
                      for r, c, t in zip(rows[:_SHOWN], cols[:_SHOWN], texts[:_SHOWN]))
    more = f" and {len(rows) - _SHOWN} more" if len(rows) > _SHOWN else ""
    return DataError(f"{table.name}: {len(rows)} cell(s) {problem}: {shown}{more}")


def numbers(table: Table, columns: list[int], ids, extra_missing: frozenset[str] = frozenset()) -> np.ndarray:
    """The values of `columns` (rows x columns), parsed strictly: missing tokens as NaN, text that is
    not a number and values beyond MAX_MAGNITUDE refused naming each cell."""
    names = [table.header[j] for j in columns]
    values = table.columns.numbers(columns, extra_missing) if isinstance(table.columns, _TextColumns) else None
    if values is not None:
        _check_magnitude(table, ids, names, values, lambda r, c: table.columns[columns[c]][r])
        return values
    values = np.empty((len(table.places), len(columns)))
    texts = np.empty(values.shape, dtype=object)
    for k, j in enumerate(columns):
        column = table.columns[j]
        if column.dtype == object:
            texts[:, k] = column
        else:
            values[:, k], texts[:, k] = column, [repr(v) for v in column]
    kept = [k for k, j in enumerate(columns) if table.columns[j].dtype == object]
    if kept:
        parsed, bad = _parse(texts[:, kept], extra_missing)
        if bad.any():
            rows, cols = np.nonzero(bad)
            raise _cells_error(table, ids, names, (rows, [kept[c] for c in cols]),
                               [str(texts[r, kept[c]]) for r, c in zip(rows, cols)], "are not numbers")
        values[:, kept] = parsed
    _check_magnitude(table, ids, names, values, lambda r, c: texts[r, c])
    return values


def _check_magnitude(table: Table, ids, names, values: np.ndarray, text_at) -> None:
    with np.errstate(invalid="ignore"):
        huge = np.abs(values) > loader.MAX_MAGNITUDE
    if huge.any():
        where = np.nonzero(huge)
        raise _cells_error(table, ids, names, where, [str(text_at(r, c)).strip() for r, c in zip(*where)],
                           f"are infinite or beyond +/-{loader.MAX_MAGNITUDE:g}")


def _parse(cells: np.ndarray, extra_missing: frozenset[str]) -> tuple[np.ndarray, np.ndarray]:
    """(values, bad) of text cells as the loader reads them: pandas parses the many plain numbers and
    empty cells at once; the few others (missing tokens, text) go through the loader's strict reading."""
    flat = pd.Series(cells.ravel(), dtype=object).fillna("")
    empty = (flat == "").to_numpy()
    values = pd.to_numeric(flat.where(~empty, "nan"), errors="coerce").to_numpy(dtype=float, copy=True)
    bad = np.zeros(len(flat), dtype=bool)
    unsure = np.isnan(values) & ~empty
    if extra_missing:
        unsure &= ~flat.str.strip().isin(list(extra_missing)).to_numpy()
    if unsure.any():
        values[unsure], bad[unsure] = loader._strict_floats(flat[unsure].to_numpy(dtype=object))
    numbers = ~np.isnan(values) & ~unsure  # read again, the nearest double as the loader reads it
    values[numbers] = flat[numbers].astype(float).to_numpy()
    return values.reshape(cells.shape), bad.reshape(cells.shape)


def _ids(table: Table, j: int, rows=None) -> list[str]:
    """The feature ids of column j (of `rows`, a mask), checked: none empty, none repeated."""
    texts = table.texts(j)
    places = table.places
    if rows is not None:
        texts, places = texts[rows], [p for p, keep in zip(places, rows) if keep]
    unique_ids(table.name, texts, f"{table.header[j]!r} value", places)
    return [str(t) for t in texts]


def _log2_intensities(table: Table, values: np.ndarray, names: list[str], ids) -> tuple[np.ndarray, int]:
    """log2 of raw intensities, zeros missing; (values, zeros). Negative values and a file that holds
    logarithms already are refused: taking their log again would show wrong numbers."""
    negative = values < 0
    if negative.any():
        where = np.nonzero(negative)
        raise _cells_error(table, ids, names, where, [repr(float(values[r, c])) for r, c in zip(*where)],
                           "are negative; intensities are never below zero")
    finite = values[np.isfinite(values) & (values > 0)]
    if finite.size and finite.max() < _LOG_LOOKING:
        raise DataError(f"{table.name}: the intensities are all below {_LOG_LOOKING:g} (largest {finite.max():g}): "
                        "they look log-transformed already; write them as a plain matrix (feature id, then one "
                        "column per sample) to use them as they are")
    zeros = int((values == 0).sum())
    with np.errstate(divide="ignore"):
        logged = np.log2(np.where(values == 0, np.nan, values))
    return logged, zeros


def _matrix(values: np.ndarray, samples: list[str], features: list[str], id_name: str) -> pd.DataFrame:
    return pd.DataFrame(np.ascontiguousarray(values.T), index=pd.Index(samples),
                        columns=pd.Index(features, name=id_name))


def _annotation(table: Table, features, rows, gene: str | None, protein: str | None) -> pd.DataFrame:
    frame = pd.DataFrame({"Feature": features})
    for label, column in (("Gene", gene), ("Protein", protein)):
        j = table.index(column) if column else None
        if j is not None:
            texts = table.texts(j)
            frame[label] = list(texts[rows] if rows is not None else texts)
    return frame


def _intensity_reading(table: Table, id_col: str, chosen: list[tuple[int, str]], what: str,
                       gene: str | None, protein: str | None, rows=None, removed: str = "",
                       extra_missing=frozenset()) -> Reading:
    """The reading of a search engine's table: the id column, the chosen (column, sample) pairs,
    intensities made log2 with zeros missing, and `rows` (a mask) kept."""
    table.need([id_col, gene, protein])
    j = table.index(id_col)
    all_ids = [str(t) for t in table.texts(j)]
    columns = [c for c, _ in chosen]
    samples = [s for _, s in chosen]
    unique_ids(table.name, samples, "sample", [f"column {table.header[c]!r}" for c in columns])
    values = numbers(table, columns, all_ids, extra_missing)
    features = _ids(table, j, rows)
    if rows is not None:
        values = values[rows]
    names = [table.header[c] for c in columns]
    logged, zeros = _log2_intensities(table, values, names, features)
    note = f"{what}, log2-transformed"
    if zeros:
        note += f"; {zeros} zero intensit{'y' if zeros == 1 else 'ies'} read as missing"
    if removed:
        note += f"; {removed}"
    return Reading(_matrix(logged, samples, features, id_col), note,
                   _annotation(table, features, rows, gene, protein))


# -- the search engines -------------------------------------------------------------------------------

def _prefixed(table: Table, prefix: str) -> list[tuple[int, str]]:
    return [(j, h[len(prefix):].strip()) for j, h in enumerate(table.header)
            if h.startswith(prefix) and h[len(prefix):].strip()]


_FLAGS = ("Reverse", "Potential contaminant", "Contaminant", "Only identified by site")


def _maxquant(table: Table) -> Reading:
    id_col = next((c for c in ("Protein IDs", "Majority protein IDs") if c in table.header), None)
    if id_col is None:
        raise table.layout_error(MAXQUANT, "Protein IDs", "a 'Protein IDs' or 'Majority protein IDs' column")
    chosen, what = _prefixed(table, "LFQ intensity "), "LFQ intensities"
    if not chosen:
        reporter = _prefixed(table, "Reporter intensity corrected ")
        # With several experiments, "... corrected 1" sums channel 1 over them: the per-experiment
        # columns "... corrected 1 <experiment>" are the samples.
        if any(" " in s for _, s in reporter):
            reporter = [(j, s) for j, s in reporter if " " in s]
        chosen, what = reporter, "TMT reporter intensities (corrected)"
    if not chosen:
        labels = {"Intensity L", "Intensity M", "Intensity H"} & set(table.header)
        chosen = [(j, s) for j, s in _prefixed(table, "Intensity ")
                  if not (labels and s.split(" ", 1)[0] in ("L", "M", "H"))]
        what = "intensities"
    if not chosen:
        raise table.layout_error(MAXQUANT, "LFQ intensity <sample>", "'LFQ intensity <sample>', 'Reporter "
                                 "intensity corrected <n> <sample>' or 'Intensity <sample>' columns")
    table.need([id_col, "Gene names", "Protein names", *_FLAGS])
    ids = table.texts(table.index(id_col))
    for prefix, flag in (("REV__", "Reverse"), ("CON__", "Potential contaminant")):
        if table.index(flag) is None and (flag != "Potential contaminant" or table.index("Contaminant") is None) \
                and any(t and t.startswith(prefix) for t in ids):
            # the rows that column marks would be kept as proteins
            raise table.layout_error(MAXQUANT, flag, f"a {flag!r} column marking the {prefix}... rows with '+'")
    drop = np.zeros(len(table.places), dtype=bool)
    counts = []
    for flag in _FLAGS:
        j = table.index(flag)
        if j is None:
            continue
        texts = table.texts(j)
        odd = [r for r, t in enumerate(texts) if t not in (None, "", "+")]
        if odd:
            shown = "; ".join(f"{table.places[r]}: {texts[r]!r}" for r in odd[:_SHOWN])
            raise DataError(f"{table.name}: read as {MAXQUANT}, but column {flag!r}: expected '+' or an empty "
                            f"cell; {len(odd)} other value(s) ({shown})")
        marked = np.array([t == "+" for t in texts], dtype=bool)
        if marked.any():
            counts.append(f"{flag.lower()} {int(marked.sum())}")
        drop |= marked
    removed = ""
    if drop.any():
        removed = f"{int(drop.sum())} reverse/contaminant rows removed ({', '.join(counts)})"
    return _intensity_reading(table, id_col, chosen, what, "Gene names", "Protein names", ~drop, removed)


_DIANN_ANNOTATION = {"Protein.Group", "Protein.Ids", "Protein.Names", "Genes", "First.Protein.Description",
                     "N.Sequences", "N.Proteotypic.Sequences"}
_RUN_EXTENSIONS = (".raw", ".mzml", ".mzxml", ".d", ".wiff", ".wiff2", ".dia", ".tdf")


def _run_name(header: str) -> str:
    """The sample of a DIA-NN run column: the file's base name without its extension."""
    base = re.split(r"[\\/]", header.rstrip("\\/"))[-1]
    stem, ext = os.path.splitext(base)
    while ext.lower() in _RUN_EXTENSIONS and stem:
        base = stem
        stem, ext = os.path.splitext(base)
    return base


def _diann(table: Table) -> Reading:
    runs = [(j, _run_name(h)) for j, h in enumerate(table.header) if h not in _DIANN_ANNOTATION]
    if not runs:
        raise table.layout_error(DIANN, table.header[-1], "one column per run after the annotation columns")
    return _intensity_reading(table, "Protein.Group", runs, "DIA-NN MaxLFQ protein-group quantities",
                              "Genes", "Protein.Names")


def _fragpipe(table: Table) -> Reading:
    chosen = [(j, h[:-len(" MaxLFQ Intensity")].strip()) for j, h in enumerate(table.header)
              if h.endswith(" MaxLFQ Intensity")]
    what = "MaxLFQ intensities"
    if not chosen:
        others = (" MaxLFQ Intensity", " Unique Intensity", " Total Intensity", " Razor Intensity")
        chosen = [(j, h[:-len(" Intensity")].strip()) for j, h in enumerate(table.header)
                  if h.endswith(" Intensity") and not h.endswith(others)]
        what = "intensities"
    chosen = [(j, s) for j, s in chosen if s]
    if not chosen:
        raise table.layout_error(FRAGPIPE, "<sample> Intensity", "'<sample> MaxLFQ Intensity' or "
                                 "'<sample> Intensity' columns")
    return _intensity_reading(table, "Protein ID", chosen, what, "Gene", "Entry Name")


def _spectronaut(table: Table) -> Reading:
    if "PG.ProteinGroups" not in table.header:
        raise table.layout_error(SPECTRONAUT, "PG.ProteinGroups", "a 'PG.ProteinGroups' column (the protein groups)")
    chosen = [(j, m.group(2).strip()) for j, h in enumerate(table.header)
              for m in [_SPECTRONAUT_QUANTITY.match(h)] if m]
    if not chosen:
        raise table.layout_error(SPECTRONAUT, "[n] <sample>.PG.Quantity", "'[n] <sample>.PG.Quantity' columns")
    # Spectronaut writes "Filtered" for a quantity its q-value filter removed.
    return _intensity_reading(table, "PG.ProteinGroups", chosen, "Spectronaut protein-group quantities",
                              "PG.Genes", "PG.ProteinNames", extra_missing=frozenset({"Filtered"}))


_ENGINES = {MAXQUANT: _maxquant, DIANN: _diann, FRAGPIPE: _fragpipe, SPECTRONAUT: _spectronaut}


# -- the general formats -------------------------------------------------------------------------------

def _plain(table: Table, what: str) -> Reading:
    """A table laid out like the text matrix: feature ids, then one column per sample; values as written."""
    if len(table.header) < 2:
        raise DataError(f"{table.name}: expected a feature id column, then one column per sample")
    features = _ids(table, 0)
    values = numbers(table, list(range(1, len(table.header))), features)
    return Reading(_matrix(values, table.header[1:], features, table.header[0] or None), f"{what}, values as written")


def _h5ad(path) -> Reading:
    import scipy.sparse

    data = _read_h5ad(path)
    name = os.fspath(file_of(path))
    matrix = data.X
    if matrix is None:
        raise DataError(f"{name}: the AnnData file holds no X matrix")
    matrix = matrix.toarray() if scipy.sparse.issparse(matrix) else np.asarray(matrix)
    if matrix.dtype.kind not in "fiub":
        raise DataError(f"{name}: X holds {matrix.dtype} values; expected numbers (samples x features)")
    samples, features = [str(s).strip() for s in data.obs_names], [str(f).strip() for f in data.var_names]
    unique_ids(name, samples, "sample (obs name)", [f"obs {i + 1}" for i in range(len(samples))])
    unique_ids(name, features, "feature (var name)", [f"var {i + 1}" for i in range(len(features))])
    values = matrix.astype(np.float64)
    with np.errstate(invalid="ignore"):
        huge = np.abs(values) > loader.MAX_MAGNITUDE
    if huge.any():
        r, c = (int(i[0]) for i in np.nonzero(huge))
        raise DataError(f"{name}: {int(huge.sum())} value(s) of X are infinite or beyond "
                        f"+/-{loader.MAX_MAGNITUDE:g}: sample {samples[r]!r}, feature {features[c]!r}: {float(values[r, c])!r}")
    return Reading(pd.DataFrame(values, index=pd.Index(samples), columns=pd.Index(features)),
                   "AnnData X (samples x features), values as written")


def _read(path) -> Reading:
    found = kind(path)
    if found == H5AD:
        return _h5ad(path)
    if found == _GCT:
        table, version = _gct(path)
        return _plain(table, f"GCT {version}")
    if found in _ENGINES:
        return _ENGINES[found](table_of(path))
    if found == _XLSX:
        table = _sheet(path)
        engine = _engine(table.header)
        return _ENGINES[engine](table) if engine else _plain(table, f"Excel sheet {table.name.rpartition('#')[2]!r}")
    if found == _PARQUET:
        return _plain(table_of(path), "Parquet table")
    raise DataError(f"{path}: not one of the instrument or table formats")


_readings: dict[tuple, Reading] = {}
_readings_lock = threading.Lock()


def read(path) -> Reading:
    """The reading of an expression file that `kind` recognises, kept per file state in memory: the
    matrix, the summary's note and the annotation all come from one parse."""
    real = os.path.realpath(os.fspath(path))
    st = os.stat(file_of(real))
    key = (real, st.st_ino, st.st_size, st.st_mtime_ns)
    with _readings_lock:
        hit = _readings.get(key)
    if hit is None:
        hit = _read(real)
        with _readings_lock:
            _readings[key] = hit
            while len(_readings) > 8:
                _readings.pop(next(iter(_readings)))
    return hit
