"""The preprocessed matrix of each data source, which every analysis card reads.

A source's matrix is written at `MyPath.get_preprocess_path(source)` with one row per
sample and one column per feature, and its settings beside it as JSON. A source that
was never preprocessed gets the settings the preprocessing card shows by default.

The server runs callbacks on several threads, and may run several processes on one output
folder: a source is preprocessed by one thread of one process at a time (a thread lock and
a file lock in the output folder), a process that finds the matrix made by another reuses
it, and files are replaced whole (written beside, then renamed), so a reader never sees
half a matrix.

The settings file also keeps the fingerprint of the raw file the matrix was made from, so
a replaced data file is noticed and its matrix rebuilt. A matrix that would hold infinite
values, or missing values after an imputation, is refused: later steps would carry them.
"""

from __future__ import annotations

import contextlib
import hashlib
import json
import os
import threading

import numpy as np
import pandas as pd

from veltrana import deferred

from veltrana.study.loader import file_fingerprint
from veltrana.runs.locks import SharedLock, lock_path, shared_lock
from veltrana.plugins.tables import read_expr_path, read_info_file, read_raw_expression, save_result_path

# The card's starting values: no transform (inputs are log2 ratios already), no
# normalisation, features with more than 50 % missing values dropped, no imputation.
DEFAULT_SETTINGS = {"Transformation": "NA", "Normalization": "NA", "Filter": 50, "Imputation": "NA"}
# The parameters of the imputations beyond the card's own, with their defaults: stored with
# the settings of a run that uses one, so that a rerun gives the same matrix.
IMPUTATION_PARAMETERS = {
    "KNN": {"ImputationNeighbours": 5},
    "DownshiftedNormal": {"ImputationShift": 1.8, "ImputationWidth": 0.3, "ImputationSeed": 20260101},
}
FINGERPRINT_KEY = "RawFingerprint"  # beside the settings in the JSON file
# The per-group missing-value rule, beside the described ratio and instead of it: keep a feature
# with at least "MinValid" values in at least one group of "Phenotype" (before imputing).
GROUP_FILTER = "GroupFilter"
_SHOWN = 5  # features named in a message

def _lock_for(my_path, source) -> SharedLock:
    """The lock of the preprocessing of `source`, shared by every process on the output folder."""
    name = os.path.basename(my_path.get_preprocess_path(source))
    return shared_lock(lock_path(my_path.get_out_dir(), f"preprocess-{name}"))


def _replace_with(path: str, write) -> None:
    """Calls `write(temporary path)`, then renames the result onto `path`."""
    tmp = f"{path}.{os.getpid()}.{threading.get_ident()}.tmp"
    try:
        write(tmp)
        os.replace(tmp, path)
    finally:
        if os.path.exists(tmp):
            os.remove(tmp)


def _stored(my_path, source) -> dict:
    path = my_path.get_preprocess_settings_path(source)
    if not os.path.exists(path):
        return {}
    with open(path) as fh:
        return json.load(fh)


def with_parameters(settings: dict) -> dict:
    """The described settings of `settings`, and the parameters of its imputation (defaults
    where absent)."""
    out = {k: settings[k] for k in DEFAULT_SETTINGS}
    for key, default in IMPUTATION_PARAMETERS.get(str(settings["Imputation"]), {}).items():
        out[key] = settings.get(key, default)
    if settings.get(GROUP_FILTER):
        rule = settings[GROUP_FILTER]
        out[GROUP_FILTER] = {"Phenotype": str(rule["Phenotype"]), "MinValid": int(rule["MinValid"])}
    return out


def load_settings(my_path, source) -> dict:
    """The stored settings of a source, or the defaults."""
    stored = _stored(my_path, source)
    return with_parameters({**DEFAULT_SETTINGS, **stored})


def _same_settings(a: dict, b: dict) -> bool:
    # The ratio may come as a number (50) or as text ("50", the card's first value).
    def canon(s):
        return {k: (v if k == GROUP_FILTER else str(v) if k in DEFAULT_SETTINGS and k != "Filter" else float(v))
                for k, v in with_parameters(s).items()}
    try:
        return canon(a) == canon(b)
    except (KeyError, TypeError, ValueError):
        return False


def _write_settings(path: str, settings: dict, fingerprint: str) -> None:
    stored = with_parameters(settings)
    # One spelling of the ratio in every stored file: 50 (the card's), never "50" (the defaults').
    ratio = float(stored["Filter"])
    stored["Filter"] = int(ratio) if ratio.is_integer() else ratio
    stored[FINGERPRINT_KEY] = fingerprint
    with open(path, "w") as fh:
        json.dump(stored, fh)


def matrix_fingerprint(my_path, source, raw: str | None = None) -> str:
    """A short digest of the raw file's fingerprint (`raw`, when the caller took it already) and the
    stored preprocessing settings of `source`."""
    raw = raw or file_fingerprint(my_path.get_expr_path(source))
    settings = json.dumps({k: str(v) for k, v in load_settings(my_path, source).items()}, sort_keys=True)
    return hashlib.sha256(f"{raw}:{settings}".encode()).hexdigest()[:16]


def _first(features, mask: np.ndarray) -> str:
    """The count of cells in `mask` and the first features holding one."""
    hit = np.flatnonzero(mask.any(axis=0))
    names = ", ".join(repr(str(features[i])) for i in hit[:_SHOWN])
    more = ", ..." if len(hit) > _SHOWN else ""
    return f"{int(mask.sum())} value(s) in {len(hit)} feature(s) ({names}{more})"


def check_input(raw: pd.DataFrame, source, settings: dict) -> None:
    """Log2 needs positive values: zero gives -inf and a negative value would pass for missing."""
    if str(settings.get("Transformation")) != "Log2":
        return
    values = raw.to_numpy(dtype=float)
    with np.errstate(invalid="ignore"):
        bad = values <= 0
    if bad.any():
        raise ValueError(f"Log2 of {source!r} is undefined for {_first(raw.columns, bad)}: they are zero or "
                         "negative. Values that are log ratios already need no transformation; nothing was written")


def check_output(result: pd.DataFrame, source, settings: dict) -> None:
    """Refuses infinite values, and missing values left by an imputation."""
    values = result.to_numpy(dtype=float)
    infinite = np.isinf(values)
    if infinite.any():
        raise ValueError(f"preprocessing {source!r} with {settings} produced infinite values: "
                         f"{_first(result.columns, infinite)}; nothing was written")
    missing = np.isnan(values)
    if str(settings.get("Imputation")) != "NA" and missing.any():
        raise ValueError(f"the imputation {settings.get('Imputation')!r} of {source!r} left missing "
                         f"{_first(result.columns, missing)}; nothing was written")


def _up_to_date(my_path, source, settings: dict | None = None, raw: str | None = None) -> bool:
    """True when the matrix exists and was made from today's raw file (its fingerprint `raw`, when the
    caller took it already), with `settings` when given."""
    if not os.path.exists(my_path.get_preprocess_path(source)):
        return False
    stored = _stored(my_path, source)
    if stored.get(FINGERPRINT_KEY) != (raw or file_fingerprint(my_path.get_expr_path(source))):
        return False
    return settings is None or _same_settings(stored, settings)


def run_preprocess(my_path, source, settings: dict, raw_fingerprint: str | None = None) -> pd.DataFrame:
    """Preprocesses the raw matrix of `source`, writes matrix and settings, returns the matrix.

    Settings that keep no feature, or a result the checks refuse, raise ValueError and leave
    the stored matrix as it was. Unchanged settings and raw file (of `raw_fingerprint`, when the
    caller took it already) reuse the stored matrix."""
    from veltrana.plugins import preprocess  # the native module

    out = my_path.get_preprocess_path(source)
    with _lock_for(my_path, source):
        raw_path = my_path.get_expr_path(source)
        fingerprint = raw_fingerprint or file_fingerprint(raw_path)
        if _up_to_date(my_path, source, settings, fingerprint):
            return read_expr_path(out)
        raw = without_empty_samples(read_raw_expression(raw_path))
        check_input(raw, source, settings)
        if settings.get(GROUP_FILTER):  # the group rule in the ratio's place, then the imputation
            result = preprocess.preprocess(raw, {**settings, "Filter": 100, "Imputation": "NA"})
            result = keep_valid_in_a_group(result, my_path, settings[GROUP_FILTER])
            result = impute(preprocess, result, settings)
        else:
            result = preprocess.preprocess(raw, settings)
        if result.shape[1] == 0:
            raise ValueError(f"the settings {settings} keep no feature of {source!r}; nothing was written")
        check_output(result, source, settings)
        os.makedirs(os.path.dirname(out), exist_ok=True)
        save_result_path(out, result)
        _replace_with(my_path.get_preprocess_settings_path(source),
                      lambda tmp: _write_settings(tmp, settings, fingerprint))
    return result


def keep_valid_in_a_group(frame: pd.DataFrame, my_path, rule: dict) -> pd.DataFrame:
    """The features with at least rule["MinValid"] values in at least one group of rule["Phenotype"]
    (samples without a value of the phenotype belong to no group)."""
    from veltrana.analyses.batches import batches_of

    info = read_info_file(my_path.get_meta_path())
    groups = batches_of(info, rule["Phenotype"], frame.index)
    counts = frame.notna().groupby(groups.to_numpy()).sum()  # groups x features; no group: dropped
    return frame.loc[:, (counts >= int(rule["MinValid"])).any(axis=0).to_numpy()]


def impute(preprocess, frame: pd.DataFrame, settings: dict) -> pd.DataFrame:
    """The imputation step alone, with the parameters stored for it."""
    p = with_parameters(settings)
    names = {"ImputationNeighbours": "k", "ImputationShift": "shift", "ImputationWidth": "width",
             "ImputationSeed": "seed"}
    return preprocess.impute(frame, p["Imputation"], **{names[k]: v for k, v in p.items() if k in names})


def without_empty_samples(raw: pd.DataFrame) -> pd.DataFrame:
    """The matrix without its samples that have no value at all (a failed run): such a sample
    takes part in no analysis (it would sit at the origin of a PCA, count in a group, break a
    correlation), and start-up names it."""
    present = raw.notna().to_numpy().any(axis=1)
    return raw if present.all() else raw.loc[present]


def ensure_preprocessed(my_path, source, raw: str | None = None) -> str:
    """The path of the preprocessed matrix of `source`, made with its stored settings when it is
    missing or its raw file (of fingerprint `raw`, when the caller took it already) changed since."""
    path = my_path.get_preprocess_path(source)
    if not _up_to_date(my_path, source, raw=raw):
        with _lock_for(my_path, source):
            if not _up_to_date(my_path, source, raw=raw):  # another thread or process may have made it meanwhile
                run_preprocess(my_path, source, load_settings(my_path, source), raw)
    return path


def preprocessed_matrix(my_path, source) -> pd.DataFrame:
    """The samples-by-features matrix of `source`, preprocessed with its settings if not yet done."""
    return read_expr_path(ensure_preprocessed(my_path, source))


# ---- cells of a matrix -----------------------------------------------------------------

def take(values: np.ndarray, rows: np.ndarray, columns: np.ndarray, share: bool = False) -> np.ndarray:
    """values[rows][:, columns], a new array, gathered along the memory layout (pandas keeps a
    matrix features by samples, so its rows of samples are columns in memory). With `share`,
    all rows and columns in order give a read-only view of `values`, for a caller that only reads."""
    if values.flags.f_contiguous and not values.flags.c_contiguous:
        return take(values.T, columns, rows, share).T
    every = [len(p) == n and np.array_equal(p, np.arange(n)) for p, n in zip((rows, columns), values.shape)]
    if all(every) and share:
        view = values.view()
        view.flags.writeable = False
        return view
    part = values if every[0] else np.take(values, rows, axis=0)
    if every[1]:
        return part.copy() if every[0] else part
    return np.take(part, columns, axis=1)


# ---- per-feature moments ---------------------------------------------------------------
# A cohort's matrix holds tens of millions of values: the frame methods take several passes
# and copies over it; these take one native pass, and give their values to the bit.

def feature_means(values: np.ndarray) -> np.ndarray:
    """The mean of each column of a samples-by-features array over its present values: what
    DataFrame.mean gives for a frame with missing values, which sums each feature as one
    contiguous run (NaN for a feature without values). Natively, without a transposed copy."""
    return _feature_moments(values)[1]


blas = deferred.module("scipy.linalg.blas")


def add_products(gram: np.ndarray, block: np.ndarray, of_columns: bool, lower: bool) -> np.ndarray:
    """gram + block.T @ block (`of_columns`) or gram + block @ block.T, into one triangle of the
    Fortran-ordered `gram`, in place: a Gram matrix summed block by block without a square
    temporary. dsyrk takes a column-major operand: the block itself, or its transpose with the
    other product."""
    transposed = not block.flags.f_contiguous
    return blas.dsyrk(1.0, block.T if transposed else block, beta=1.0, c=gram, trans=int(of_columns != transposed),
                      lower=int(lower), overwrite_c=1)


# Values in one block of a centred matrix: a Gram matrix is summed block by block, so a cohort's
# matrix is never copied whole (8 MB at a time instead of 480 MB at 20,000 x 3,000; two blocks
# live at once, and larger blocks were no faster but raised the page load's peak memory).
BLOCK_VALUES = 1 << 20


def centred_blocks(numbers, kept, means, by_columns: bool):
    """(block, its rows or columns) of the `kept` columns of `numbers`, missing values filled with
    their feature's mean and every feature centred on it: blocks of columns (`by_columns`) or of
    rows, each a new array."""
    samples, features = numbers.shape[0], len(kept)
    if by_columns:
        step = max(1, BLOCK_VALUES // samples)
        parts = [slice(start, min(start + step, features)) for start in range(0, features, step)]
    else:
        step = max(1, BLOCK_VALUES // features)
        parts = [slice(start, min(start + step, samples)) for start in range(0, samples, step)]
    every = features == numbers.shape[1]  # a slice's copy, in the values' own order, is the cheapest
    for part in parts:
        if by_columns:
            block = numbers[:, part].copy(order="K") if every else numbers[:, kept[part]]
        else:
            block = numbers[part].copy(order="K") if every else numbers[part][:, kept]
        block -= means[part] if by_columns else means
        np.copyto(block, 0.0, where=np.isnan(block))  # the mean, centred
        yield block, part


# ---- the features' Gram matrix, shared -----------------------------------------------------
# The PCA of a cohort of many samples and the clustering of its features both start from the
# products of its centred features (the z-scores' are these over the two spreads), seconds of
# the processor each at 20,000 samples, and the page's first load asks for both at once. A
# caller that asks while another computes them for the same read-only matrix waits and shares.

class _Shared:
    def __init__(self):
        self.done, self.gram, self.users = threading.Event(), None, 0


_shared_grams: dict = {}
_shared_lock = threading.Lock()


def _centred_gram(numbers, kept, means) -> np.ndarray:
    gram = np.zeros((len(kept), len(kept)), order="F")
    for block, _ in centred_blocks(numbers, kept, means, by_columns=False):
        gram = add_products(gram, block, of_columns=True, lower=True)
    gram.flags.writeable = False  # a shared one is read by several callers
    return gram


@contextlib.contextmanager
def feature_gram(numbers: np.ndarray, kept: np.ndarray, means: np.ndarray):
    """C.T @ C in the lower triangle (the upper one 0) of a read-only Fortran-ordered array, C the
    `kept` columns of `numbers` centred on their `means`, missing values 0 (their mean, centred).

    While the block runs, another thread asking for the same of the same read-only array gets
    this one. A read-only array is taken as unchanging (the host's matrices are read-only views
    of its cache, which no one writes); a writable one, which may change meanwhile, is never shared."""
    kept, means = np.asarray(kept, dtype=np.intp), np.asarray(means, dtype=float)
    if numbers.flags.writeable:
        yield _centred_gram(numbers, kept, means)
        return
    # The array's memory, layout and the columns asked: two live arrays with all of these equal
    # hold the same values (an entry lives only while a caller holding its array is inside).
    key = (numbers.__array_interface__["data"][0], numbers.shape, numbers.strides, numbers.dtype.str,
           hashlib.sha256(kept.tobytes() + means.tobytes()).hexdigest())
    with _shared_lock:
        entry = _shared_grams.get(key)
        owner = entry is None
        if owner:
            entry = _shared_grams[key] = _Shared()
        entry.users += 1
    try:
        if owner:
            try:
                entry.gram = _centred_gram(numbers, kept, means)
            finally:
                entry.done.set()
        entry.done.wait()
        # Its owner failed: this caller tries on its own.
        yield _centred_gram(numbers, kept, means) if entry.gram is None else entry.gram
    finally:
        with _shared_lock:
            entry.users -= 1
            if not entry.users and _shared_grams.get(key) is entry:
                del _shared_grams[key]


def feature_moments(values: np.ndarray) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """(present values, feature_means, variances with ddof=1 where there are two values) of each
    column, from one pass."""
    return _feature_moments(values)


def feature_variances(values: np.ndarray) -> np.ndarray:
    """The variance (ddof=1) of each column over its present values, as DataFrame.var gives it
    (NaN below two values)."""
    count, _, variances = _feature_moments(values)
    variances[count < 2] = np.nan
    return variances


def _feature_moments(values: np.ndarray):
    from veltrana.plugins import preprocess  # the native kernels

    return preprocess.column_moments(np.asarray(values, dtype=float))
