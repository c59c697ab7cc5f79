"""Analysis runs that are never overwritten.

A run's tables go into a folder of its own, named by a key of everything the run
depends on: the analysis, its settings and groups, and the fingerprints of the data
it read. The folder is written under a temporary name and published by renaming it,
so a reader sees a complete run or none; the page's stores hold paths inside it.

Because a run's folder depends only on its inputs:
- a reload or a second tab with the same choices reuses the published run;
- two tabs with different choices write different folders;
- a failed run leaves every published run untouched.

Layout under the output folder (``<key>`` is 16 hex digits)::

    differential/<key>/differential_summary.txt, <source>_differential.txt
    decomposition/<key>/decomposition_result.txt, <source>_PCA_*.txt
    clustering/<key>/feature_clustering_result.txt, <source>_feature_clustering.txt
    association/<key>/feature_sets.txt
    association/<key>/association_summary.txt, phenotype_feature_*.txt

Each folder holds ``run.json``: what the run was asked for and when it was made.
"""

from __future__ import annotations

import dataclasses
import datetime
import hashlib
import json
import os
import re
import shutil
import threading
import time
import uuid

MANIFEST = "run.json"
PARTIAL_PREFIX = ".partial-"
# The analysis folders that hold runs.
RUN_FOLDERS = ("differential", "decomposition", "clustering", "association")
_KEY = re.compile(r"^[0-9a-f]{16}$")
# A partial folder older than this was left by a run that was stopped (a cancelled
# background job is killed; no cleanup of its own runs): no run writes for so long.
STALE_PARTIAL_SECONDS = 3600
# The association card's choice of every feature of the source.
ALL_FEATURES = "All Features"


def run_key(kind: str, inputs: dict, data: list) -> str:
    """A short digest of an analysis, its inputs and the fingerprints of its data."""
    text = json.dumps({"kind": kind, "inputs": inputs, "data": list(data)}, sort_keys=True, default=str)
    return hashlib.sha256(text.encode()).hexdigest()[:16]


def is_published(folder) -> bool:
    return os.path.isfile(os.path.join(os.fspath(folder), MANIFEST))


def _manifest(kind: str, inputs: dict, data: list) -> str:
    created = datetime.datetime.now(datetime.timezone.utc).isoformat(timespec="seconds")
    return json.dumps({"kind": kind, "inputs": inputs, "data": list(data), "created": created},
                      indent=1, sort_keys=True, default=str)


def publish(parent: str, kind: str, inputs: dict, data: list, write) -> str:
    """The folder of the run (kind, inputs, data) under `parent`, made when not yet published.

    `write(folder, final)` writes the run's files into `folder`; tables that name other
    files of the run name them under `final`, where they will be once published. An
    exception from `write` removes the partial folder and propagates: nothing is published.
    """
    final = os.path.join(parent, run_key(kind, inputs, data))
    if is_published(final):
        return final
    os.makedirs(parent, exist_ok=True)
    with computing(final):
        if is_published(final):  # published while this one waited
            return final
        return _publish(parent, final, kind, inputs, data, write)


def computing(run_folder):
    """The lock held while the run of `run_folder` is computed: a second request for the same
    run (a click while the page-load run is still going, another tab, another worker or job)
    waits for the first and then reuses its run instead of computing it alongside."""
    from veltrana.runs.locks import lock_path, shared_lock

    parent, key = os.path.split(os.path.realpath(os.fspath(run_folder)))
    # With the output folder's other locks (each analysis folder lies in it).
    out_dir, area = os.path.split(parent)
    return shared_lock(lock_path(out_dir, f"run-{area}-{key}"))


def _publish(parent, final, kind, inputs, data, write) -> str:
    sweep_partials(parent)
    partial = os.path.join(parent, f"{PARTIAL_PREFIX}{uuid.uuid4().hex}")
    os.makedirs(partial)
    try:
        write(partial, final)
        with open(os.path.join(partial, MANIFEST), "w") as fh:
            fh.write(_manifest(kind, inputs, data))
        try:
            os.rename(partial, final)
        except OSError:
            # The same run was published meanwhile (by another thread, tab or worker).
            if not is_published(final):
                raise
            shutil.rmtree(partial, ignore_errors=True)
    except BaseException:
        shutil.rmtree(partial, ignore_errors=True)
        raise
    return final


def sweep_partials(parent, older_than: float = STALE_PARTIAL_SECONDS) -> int:
    """Removes the partial folders under `parent` untouched for `older_than` seconds; returns how many."""
    limit, removed = time.time() - older_than, 0
    try:
        names = os.listdir(parent)
    except OSError:
        return 0
    for name in names:
        folder = os.path.join(parent, name)
        try:
            stale = name.startswith(PARTIAL_PREFIX) and os.path.getmtime(folder) < limit
        except OSError:  # removed meanwhile by another sweep
            continue
        if stale and not os.path.islink(folder):
            shutil.rmtree(folder, ignore_errors=True)
            removed += 1
    return removed


def keyed_path(path, kind: str, inputs: dict, data: list = ()) -> str:
    """`path` moved into a run folder: `<folder of path>/<key>/<name of path>`.

    For results written file by file (the association card's): the run's last file is
    the one the page's store points to, so it is written last.
    """
    folder, name = os.path.split(os.fspath(path))
    return os.path.join(folder, run_key(kind, inputs, list(data)), name)


def mark_published(path, kind: str, inputs: dict, data: list = ()) -> None:
    """Writes the manifest beside a keyed file once the run's files are all written."""
    with open(os.path.join(os.path.dirname(os.fspath(path)), MANIFEST), "w") as fh:
        fh.write(_manifest(kind, inputs, list(data)))


def run_inputs(folder) -> dict:
    """What a published run was asked for (its manifest's inputs)."""
    with open(os.path.join(os.fspath(folder), MANIFEST)) as fh:
        return json.load(fh)["inputs"]


def list_runs(out_dir) -> list[dict]:
    """Every run folder under `out_dir`: {"path", "kind", "created", "bytes"} (partial ones too)."""
    runs = []
    for area in RUN_FOLDERS:
        parent = os.path.join(os.fspath(out_dir), area)
        if not os.path.isdir(parent):
            continue
        for name in sorted(os.listdir(parent)):
            folder = os.path.join(parent, name)
            if not os.path.isdir(folder) or os.path.islink(folder):
                continue
            if not (_KEY.match(name) or name.startswith(PARTIAL_PREFIX)):
                continue
            info = {"path": folder, "kind": area, "created": None}
            if is_published(folder):
                try:
                    with open(os.path.join(folder, MANIFEST)) as fh:
                        manifest = json.load(fh)
                    info["kind"], info["created"] = manifest.get("kind", area), manifest.get("created")
                except (OSError, ValueError):
                    pass
            info["bytes"] = sum(os.path.getsize(os.path.join(folder, f)) for f in os.listdir(folder)
                                if os.path.isfile(os.path.join(folder, f)))
            runs.append(info)
    return runs


def clean_results(out_dir) -> int:
    """Removes every stored run (and any partial one a stopped server left); returns how many."""
    runs = list_runs(out_dir)
    for run in runs:
        shutil.rmtree(run["path"], ignore_errors=True)
    return len(runs)


def data_fingerprints(my_path, sources, raws: dict | None = None) -> list[str]:
    """The fingerprints of what an analysis of `sources` reads: each source's preprocessed
    matrix (its raw file, of fingerprint `raws[source]` when taken already, and settings) and
    the sample table."""
    from veltrana.analyses.matrices import matrix_fingerprint
    from veltrana.study.loader import file_fingerprint
    from veltrana.study.sample_tables import column_of

    meta = my_path.get_meta_path()
    raws = raws or {}
    fingerprints = [matrix_fingerprint(my_path, s, raws.get(s)) for s in sources] + [file_fingerprint(meta)]
    if column_of(meta) is not None:  # the same file read by another id column is another sample table
        fingerprints.append(f"sample ids: {column_of(meta)}")
    return fingerprints


@dataclasses.dataclass(frozen=True)
class Snapshot:
    """The data of one run, looked at once: each source's preprocessed matrix made or found up to
    date, and the fingerprints that key the run. The run reads its matrices from here rather than
    checking each file again on the way (`study_snapshot`)."""

    my_path: object
    sources: tuple
    fingerprints: list

    def matrix(self, source):
        """The preprocessed matrix of `source` (one of the snapshot's sources)."""
        from veltrana.plugins.tables import read_expr_path

        if source not in self.sources:
            raise KeyError(f"the source {source!r} is not among this run's ({list(self.sources)})")
        return read_expr_path(self.my_path.get_preprocess_path(source))


def study_snapshot(my_path, sources) -> Snapshot:
    """The Snapshot of `sources`: each raw file fingerprinted once, its matrix made when missing or
    stale, and the run's data fingerprints (the same as `data_fingerprints` gives)."""
    from veltrana.analyses.matrices import ensure_preprocessed
    from veltrana.study.loader import file_fingerprint

    raws = {s: file_fingerprint(my_path.get_expr_path(s)) for s in sources}
    for source in sources:
        ensure_preprocessed(my_path, source, raws[source])
    return Snapshot(my_path, tuple(sources), data_fingerprints(my_path, sources, raws))


def _result_identity(my_path, path):
    """A result path from the page with its size and time when it lies in the output folder
    (runs never change, but a table written elsewhere by hand may)."""
    if not isinstance(path, str) or not path:
        return None
    from veltrana.plugins.paths import inside

    if inside(path, my_path.get_out_dir()) and os.path.isfile(path):
        st = os.stat(path)
        return [path, st.st_size, st.st_mtime_ns]
    return path


def feature_sets_path(my_path, diff_path, decomposition_path, clustering_path) -> str:
    """Where the feature sets collected from these three results go."""
    inputs = {name: _result_identity(my_path, p) for name, p in
              (("differential", diff_path), ("decomposition", decomposition_path), ("clustering", clustering_path))}
    return keyed_path(my_path.get_feature_sets_path(), "feature-sets", inputs)


def association_paths(my_path, source, phenotype, sample_phenotype, groups, feature_set,
                      feature_sets) -> dict:
    """The files of one association run: {"summary", "correlation", "logistic"} in a
    folder keyed by the choices and the data they read, and the "lock" held while it is computed."""
    source = my_path.check_source(source)
    # "All Features" reads no feature set: a new differential run does not make it a new run.
    sets = None if feature_set == ALL_FEATURES else _result_identity(my_path, feature_sets)
    inputs = {"source": source, "phenotype": phenotype, "sample_phenotype": sample_phenotype,
              "groups": groups, "feature_set": feature_set, "feature_sets": sets}
    data = data_fingerprints(my_path, [source])
    summary = keyed_path(my_path.get_feature_association_summary_path(), "association", inputs, data)
    folder = os.path.dirname(summary)
    return {"summary": summary, "inputs": inputs, "data": data, "lock": computing(folder),
            "correlation": os.path.join(folder, os.path.basename(my_path.get_phenotype_feature_correlation_path())),
            "logistic": os.path.join(folder, os.path.basename(my_path.get_phenotype_feature_logistic_path()))}


# ---- figures of unchanged inputs --------------------------------------------------
# A reload asks for the same figures again; those that cost more than a moment are
# kept, keyed by everything they are drawn from (their files by size and time).

_FIGURES_KEPT = 24
_figures: "dict[str, object]" = {}
_figures_lock = threading.Lock()


def file_state(path) -> list:
    """[path, size, mtime] of a file (or [path] when it is not there)."""
    try:
        st = os.stat(path)
    except (OSError, TypeError, ValueError):
        return [str(path)]
    return [os.fspath(path), st.st_size, st.st_mtime_ns]


def kept_figure(kind: str, inputs, build):
    """`build()`, or the figure it gave for the same `inputs` before.

    The figure is handed out as it is: the page only serialises it, and whoever edits
    a figure works on its own copy (prefer_webgl builds a new one)."""
    key = run_key(kind, {"inputs": inputs}, [])
    with _figures_lock:
        if key in _figures:
            _figures[key] = _figures.pop(key)  # most recently used last
            return _figures[key]
    figure = build()
    with _figures_lock:
        _figures[key] = figure
        while len(_figures) > _FIGURES_KEPT:
            _figures.pop(next(iter(_figures)))
    return figure
