"""A study: which files the user serves, where results go, and what the data hold.

The front door turns its options (or a project file) into `my_paths`, reads every
table once with the strict loader and reconciles the samples of each expression
matrix with the sample table. What was left out is told, never dropped in silence:
the start-up report prints it and the data summary card shows it.

A project file (TOML) names the same things as the options; its paths are relative
to the file::

    info = "samples.tsv"         # or samples.xlsx#Sheet, .parquet; an .h5ad's obs when left out
    sample_column = "Sample ID"  # optional: the id column (default: the one matching the data)
    out = "results"              # optional
    gene_sets = "gene-sets"      # optional: a folder of .gmt files
    [expression]
    Protein = "prot.tsv"
    mRNA = "rna.csv.gz"
    [annotation]                 # optional
    Protein = "annot.tsv"
"""

from __future__ import annotations

import dataclasses
import filecmp
import os
import shutil
import tempfile
import tomllib

import numpy as np

from veltrana.serve import limits
from veltrana.plugins.paths import check_source_name

# How many ids a report lists before it only counts.
SHOWN_IDS = 5
_CONFIG_KEYS = {"data", "expression", "info", "sample_column", "annotation", "gene_sets", "out", "host", "port",
                "limits"}


class StudyError(ValueError):
    """A study that cannot be served as given; the message says what to change."""


# -- options and project file -> paths -------------------------------------------------

@dataclasses.dataclass
class Study:
    """The inputs of one study, with absolute paths."""

    expression: dict[str, str]
    info: str
    out_dir: str
    annotation: dict[str, str] = dataclasses.field(default_factory=dict)
    gene_sets: str | None = None
    sample_column: str | None = None

    def my_paths(self) -> dict:
        paths = {"expression": dict(self.expression), "info": self.info, "out_dir": self.out_dir}
        if self.annotation:
            paths["annotation"] = dict(self.annotation)
        return paths


def named_file(text: str, option: str) -> tuple[str, str]:
    """("mRNA", "rna.csv.gz") from "mRNA=rna.csv.gz"; the name may hold spaces, the split is at the first '='."""
    name, sep, path = text.partition("=")
    if not sep or not name.strip() or not path.strip():
        raise StudyError(f"{option} takes NAME=FILE (such as Protein=prot.tsv), got {text!r}")
    try:
        return check_source_name(name.strip()), path.strip()
    except ValueError as err:
        raise StudyError(f"{option} {text!r}: {err}") from None


def _named_files(values, option: str) -> dict[str, str]:
    files: dict[str, str] = {}
    for text in values or ():
        name, path = named_file(text, option)
        if name in files:
            raise StudyError(f"{option} names {name!r} twice")
        files[name] = path
    return files


def read_project_file(path: str) -> dict:
    """The options of a project file, paths made absolute against the file's folder."""
    try:
        with open(path, "rb") as fh:
            raw = tomllib.load(fh)
    except FileNotFoundError:
        raise StudyError(f"no project file {path}") from None
    except (OSError, UnicodeDecodeError) as err:
        raise StudyError(f"cannot read the project file {path}: {err}") from None
    except tomllib.TOMLDecodeError as err:
        raise StudyError(f"the project file {path} is not valid TOML: {err}") from None
    unknown = sorted(set(raw) - _CONFIG_KEYS)
    if unknown:
        raise StudyError(f"the project file {path} has unknown keys {unknown}; known: {sorted(_CONFIG_KEYS)}")
    base = os.path.dirname(os.path.abspath(path))

    def file(key, value):
        if not isinstance(value, str) or not value.strip():
            raise StudyError(f"the project file {path}: {key} must be a path in quotes, got {value!r}")
        return os.path.join(base, os.path.expanduser(value.strip()))

    options: dict = {}
    for key in ("data", "info", "out", "gene_sets"):
        if key in raw:
            options[key] = file(key, raw[key])
    for key in ("expression", "annotation"):
        if key in raw:
            table = raw[key]
            if not isinstance(table, dict):
                raise StudyError(f"the project file {path}: [{key}] must be a table of NAME = \"FILE\"")
            named = {}
            for name, value in table.items():
                try:
                    named[check_source_name(name)] = file(f"{key}.{name}", value)
                except ValueError as err:
                    raise StudyError(f"the project file {path}: [{key}] {err}") from None
            options[key] = named
    if "sample_column" in raw:
        if not isinstance(raw["sample_column"], str) or not raw["sample_column"].strip():
            raise StudyError(f"the project file {path}: sample_column must be a column name in quotes, "
                             f"got {raw['sample_column']!r}")
        options["sample_column"] = raw["sample_column"].strip()
    if "host" in raw:
        if not isinstance(raw["host"], str):
            raise StudyError(f"the project file {path}: host must be text, got {raw['host']!r}")
        options["host"] = raw["host"]
    if "port" in raw:
        if not isinstance(raw["port"], int) or isinstance(raw["port"], bool) or not 0 < raw["port"] < 65536:
            raise StudyError(f"the project file {path}: port must be a number from 1 to 65535, got {raw['port']!r}")
        options["port"] = raw["port"]
    if "limits" in raw:
        if not isinstance(raw["limits"], dict):
            raise StudyError(f"the project file {path}: [limits] must be a table of NAME = number")
        try:
            limits.configure(raw["limits"], f"the project file {path}: [limits]")
        except ValueError as err:
            raise StudyError(str(err)) from None
        options["limits"] = dict(raw["limits"])
    return options


def merged_options(args) -> dict:
    """The project file's options with the command line's over them; paths absolute.

    --expression and --annotation override the project file name by name.
    """
    options = read_project_file(args.config) if getattr(args, "config", None) else {}
    options.update({key: os.path.abspath(os.path.expanduser(value))
                    for key, value in (("data", args.data), ("info", args.info), ("out", args.out),
                                       ("gene_sets", args.gene_sets)) if value})
    options.update({key: value for key, value in (("host", args.host), ("port", args.port),
                                                  ("sample_column", getattr(args, "sample_column", None)))
                    if value is not None})
    for key, option in (("expression", "--expression"), ("annotation", "--annotation")):
        given = {name: os.path.abspath(os.path.expanduser(p))
                 for name, p in _named_files(getattr(args, key), option).items()}
        options[key] = {**options.get(key, {}), **given}
    return options


def study_from(options: dict) -> Study | None:
    """The study the merged options name (None: serve the demo)."""
    if options.get("data"):
        if options["expression"] or options.get("info"):
            raise StudyError("give either a data folder (--data) or the files (--expression, --info), not both")
        return _folder_study(options)
    if not options["expression"] and not options.get("info"):
        if options["annotation"]:
            raise StudyError("--annotation needs the study's files (--expression and --info)")
        return None
    if not options["expression"]:
        raise StudyError("name at least one expression matrix: --expression NAME=FILE")
    if not options.get("info"):
        options = {**options, "info": _obs_table(options["expression"])}
    stray = sorted(set(options["annotation"]) - set(options["expression"]))
    if stray:
        raise StudyError(f"annotation for unknown sources {stray}; the sources are {sorted(options['expression'])}")
    info = options["info"]
    out = options.get("out") or os.path.join(os.path.dirname(info), "results")
    return Study(expression=options["expression"], info=info, out_dir=out,
                 annotation=options["annotation"], gene_sets=options.get("gene_sets"),
                 sample_column=options.get("sample_column"))


def _obs_table(expression: dict[str, str]) -> str:
    """The sample table when none is named: the obs of the one AnnData file among the matrices."""
    from veltrana.study import instruments

    h5ad = [p for p in expression.values() if os.path.isfile(p) and instruments.kind(p) == instruments.H5AD]
    if len(h5ad) != 1:
        raise StudyError("name the sample table: --info FILE" + (" (several AnnData files hold one)" if h5ad else ""))
    return h5ad[0]


def _folder_study(options) -> Study:
    """A folder laid out like the demo (the fixed file names)."""
    from veltrana.study import demo

    folder = options["data"]
    if not os.path.isdir(folder):
        raise StudyError(f"no data folder {folder}")
    missing = [f for f in (demo.PROTEIN_FILE, demo.GLYCOFORM_FILE, demo.INFO_FILE)
               if not os.path.isfile(os.path.join(folder, f))]
    if missing:
        raise StudyError(f"{folder} lacks {', '.join(missing)}")
    paths = demo.paths_for(folder, options.get("out"))
    annotation = {**paths.get("annotation", {}), **options["annotation"]}
    return Study(expression=paths["expression"], info=paths["info"], out_dir=paths["out_dir"],
                 annotation=annotation, gene_sets=options.get("gene_sets"))


# -- user gene-set libraries ----------------------------------------------------------

def install_gene_sets(folder: str, out_dir: str) -> list[str]:
    """Copies the .gmt files of `folder` into the dashboard's gene-set folder when new or
    changed; returns the names copied. Copies, not links: the dashboard refuses files that
    resolve outside its folder."""
    if not os.path.isdir(folder):
        raise StudyError(f"no gene-set folder {folder}")
    libraries = sorted(f for f in os.listdir(folder) if f.lower().endswith(".gmt")
                       and os.path.isfile(os.path.join(folder, f)))
    if not libraries:
        raise StudyError(f"the gene-set folder {folder} holds no .gmt file")
    target = os.path.join(out_dir, "user", "database", "enrichment")
    os.makedirs(target, exist_ok=True)
    copied = []
    for name in libraries:
        source, dest = os.path.join(folder, name), os.path.join(target, name)
        if os.path.isfile(dest) and not os.path.islink(dest) and filecmp.cmp(source, dest, shallow=False):
            continue
        fd, partial = tempfile.mkstemp(dir=target, prefix=".copying-")
        os.close(fd)
        try:
            shutil.copyfile(source, partial)
            os.chmod(partial, 0o600)  # copyfile keeps no mode; the server's files are its own
            os.replace(partial, dest)
        except BaseException:
            os.unlink(partial)
            raise
        copied.append(name)
    return copied


# -- reconciliation -------------------------------------------------------------------

@dataclasses.dataclass
class SourceReport:
    name: str
    path: str
    features: int
    samples: list[str]            # in the matrix's order, all in the sample table
    only_in_matrix: list[str]
    only_in_table: list[str]
    missing_share: float          # of the cells of the samples used
    hints: list[str]              # why ids may not have matched
    note: str = ""                # how the file was read: what was converted and removed
    no_value: list[str] = dataclasses.field(default_factory=list)  # in the table, but no value at all


@dataclasses.dataclass
class Report:
    info_path: str
    table_samples: int
    phenotypes: list[str]
    sources: list[SourceReport]
    empty_cells: dict[str, int]   # phenotype -> samples used with no value (only phenotypes with any)
    used_samples: int             # samples used by at least one source
    id_column: str = ""           # the sample table's id column
    typed: dict[str, str] = dataclasses.field(default_factory=dict)  # phenotype -> type found from its values


def _near_misses(extra: list[str], other: list[str]) -> list[str]:
    """Ids that would have matched but for surrounding spaces or letter case."""
    key = {o.strip().casefold(): o for o in other}
    return [f"{e!r} ~ {key[e.strip().casefold()]!r}" for e in extra if e.strip().casefold() in key]


def reconcile_source(name: str, path: str, outline, table_ids: list[str]) -> SourceReport:
    """The samples of one matrix (its `tables.raw_expression_outline`) against the sample table's ids."""
    in_table = set(table_ids)
    ids = outline.samples
    in_matrix = set(ids)
    samples = [s for s in ids if s in in_table]
    only_matrix = [s for s in ids if s not in in_table]
    only_table = [s for s in table_ids if s not in in_matrix]
    if not samples:
        hint = ""
        near = _near_misses(only_matrix, only_table)
        if near:
            hint = f" (ids that differ only in spaces or case: {', '.join(near[:SHOWN_IDS])})"
        raise StudyError(f"{name} ({path}) shares no sample id with the sample table{hint}; "
                         f"matrix ids begin {_listed(ids)}, table ids begin {_listed(table_ids)}")
    # A sample without any value (a failed run) takes part in no analysis (see matrices).
    blank = np.asarray(outline.missing) == len(outline.features)
    no_value = [s for s, b in zip(ids, blank) if b and s in in_table]
    if len(no_value) == len(samples):
        raise StudyError(f"{name} ({path}): none of its samples in the sample table has a value")
    samples = [s for s in samples if s not in set(no_value)]
    used = np.array([i in in_table for i in ids], dtype=bool) & ~blank
    cells = int(used.sum()) * len(outline.features)
    share = float(outline.missing[used].sum()) / cells if cells else 0.0
    hints = _near_misses(only_matrix, only_table)
    return SourceReport(name, path, len(outline.features), samples, only_matrix, only_table, share, hints,
                        no_value=no_value)


def reconcile(my_paths: dict, sample_column: str | None = None) -> Report:
    """Reads every table of `my_paths` with the strict loader and reconciles the samples.

    The reads go through the host's cached readers, so the preprocessing that follows at
    start-up does not parse the same files again; a matrix parsed at an earlier start-up
    is not read at all (its outline is kept with its parsed copy).

    The sample table's id column is `sample_column`, or the one whose values match the data's
    sample names (see `sample_tables`); the reads after this one use it."""
    from veltrana.study import instruments, sample_tables
    from veltrana.plugins import tables
    from veltrana.plugins.paths import MyPath

    MyPath(my_paths)  # the readers read only what a configuration names
    info_path = my_paths["info"]
    outlines = {name: _read(tables.raw_expression_outline, path) for name, path in my_paths["expression"].items()}
    data_samples = {s for o in outlines.values() for s in o.samples}
    id_column = _read(lambda p: sample_tables.choose_column(p, data_samples, sample_column), info_path)
    sample_tables.use_column(info_path, id_column)
    described = sample_tables.read(info_path)
    table = _read(tables.read_info_file, info_path)
    table_ids = [str(i) for i in table.index]
    sources = []
    for name, path in my_paths["expression"].items():
        source = reconcile_source(name, path, outlines[name], table_ids)
        source.note = instruments.read(path).note if instruments.kind(path) is not None else ""
        sources.append(source)
    used = {s for r in sources for s in r.samples}
    rows = table.loc[[i in used for i in table_ids]]
    empty = {str(c): int(n) for c, n in rows.isna().sum().items() if n}
    return Report(info_path, len(table_ids), [str(c) for c in table.columns], sources, empty, len(used),
                  described.id_column, described.typed)


def _read(reader, path):
    """A table through the loader; a missing or unreadable file becomes a StudyError."""
    from veltrana.study.instruments import file_of

    if not os.path.exists(file_of(path)):
        raise StudyError(f"no such file: {file_of(path)}")
    if os.path.isdir(path):
        raise StudyError(f"{path} is a folder, not a table")
    try:
        return reader(path)
    except (PermissionError, IsADirectoryError) as err:
        raise StudyError(f"cannot read {path}: {err.strerror}") from None


def _listed(ids: list[str]) -> str:
    """The first ids, quoted so that spaces show, and how many more."""
    shown = ", ".join(repr(i) for i in ids[:SHOWN_IDS])
    rest = len(ids) - SHOWN_IDS
    return f"{shown} and {rest} more" if rest > 0 else shown


def left_out(source: SourceReport) -> list[str]:
    """One sentence per kind of sample left out of a source."""
    lines = []
    if source.only_in_matrix:
        lines.append(f"{len(source.only_in_matrix)} sample(s) of the matrix are not in the sample table: "
                     f"{_listed(source.only_in_matrix)}")
    if source.only_in_table:
        lines.append(f"{len(source.only_in_table)} sample(s) of the sample table have no column in the matrix: "
                     f"{_listed(source.only_in_table)}")
    if source.hints:
        lines.append(f"ids that differ only in spaces or letter case: {', '.join(source.hints[:SHOWN_IDS])}")
    if source.no_value:
        lines.append(f"{len(source.no_value)} sample(s) have no value at all in the matrix (a failed run?) and take "
                     f"part in no analysis: {_listed(source.no_value)}")
    return lines


def sample_table_lines(report: Report) -> list[str]:
    """How the sample table was read: its id column, and the phenotypes typed from their values."""
    lines = []
    if report.id_column:
        lines.append(f"sample ids from the column {report.id_column!r}")
    if report.typed:
        kinds = {kind: [p for p, k in report.typed.items() if k == kind] for kind in ("numerical", "categorical")}
        lines.append("phenotypes typed from their values: " + "; ".join(
            f"{kind}: {', '.join(names)}" for kind, names in kinds.items() if names))
    return lines


def report_text(report: Report) -> str:
    """The start-up report printed to the terminal."""
    lines = [f"Sample table {report.info_path}: {report.table_samples} samples, "
             f"{len(report.phenotypes)} phenotypes"]
    lines.extend(f"  {line}" for line in sample_table_lines(report))
    for s in report.sources:
        lines.append(f"{s.name} ({s.path}): {s.features} features, {len(s.samples)} samples used, "
                     f"{100 * s.missing_share:.1f} % missing")
        if s.note:
            lines.append(f"  read as: {s.note}")
        lines.extend(f"  left out: {line}" for line in left_out(s))
    if report.empty_cells:
        shown = ", ".join(f"{p}: {n}" for p, n in report.empty_cells.items())
        lines.append(f"Samples with no value, of the {report.used_samples} used: {shown}")
    return "\n".join(lines)
