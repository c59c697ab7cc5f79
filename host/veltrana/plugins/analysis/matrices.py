"""The preprocessed matrix of each data source, which every analysis card reads.

A source's matrix is written at `MyPath.get_preprocess_path(source)` with one row per
sample and one column per feature, and its settings beside it as JSON. A source that
was never preprocessed gets the settings the preprocessing card shows by default.

The server runs callbacks on several threads: a source is preprocessed by one thread at
a time, and files are replaced whole (written beside, then renamed), so a reader never
sees half a matrix.
"""

from __future__ import annotations

import json
import os
import threading

import pandas as pd

from ..tables import read_expr_path, read_raw_expression, save_result_path

# The card's starting values: no transform (inputs are log2 ratios already), no
# normalisation, features with more than 50 % missing values dropped, no imputation.
DEFAULT_SETTINGS = {"Transformation": "NA", "Normalization": "NA", "Filter": "50", "Imputation": "NA"}

_locks: dict[str, threading.RLock] = {}
_locks_guard = threading.Lock()


def _lock_for(path: str) -> threading.RLock:
    with _locks_guard:
        return _locks.setdefault(os.path.realpath(path), threading.RLock())


def _replace_with(path: str, write) -> None:
    """Calls `write(temporary path)`, then renames the result onto `path`."""
    tmp = f"{path}.{os.getpid()}.{threading.get_ident()}.tmp"
    try:
        write(tmp)
        os.replace(tmp, path)
    finally:
        if os.path.exists(tmp):
            os.remove(tmp)


def load_settings(my_path, source) -> dict:
    """The stored settings of a source, or the defaults."""
    path = my_path.get_preprocess_settings_path(source)
    if os.path.exists(path):
        with open(path) as fh:
            stored = json.load(fh)
        return {k: stored.get(k, v) for k, v in DEFAULT_SETTINGS.items()}
    return dict(DEFAULT_SETTINGS)


def _write_settings(path: str, settings: dict) -> None:
    with open(path, "w") as fh:
        json.dump({k: settings[k] for k in DEFAULT_SETTINGS}, fh)


def run_preprocess(my_path, source, settings: dict) -> pd.DataFrame:
    """Preprocesses the raw matrix of `source`, writes matrix and settings, returns the matrix.

    Settings that keep no feature raise ValueError and leave the stored matrix as it was.
    """
    from .. import preprocess  # the native module

    out = my_path.get_preprocess_path(source)
    with _lock_for(out):
        raw = read_raw_expression(my_path.get_expr_path(source))
        result = preprocess.preprocess(raw, settings)
        if result.shape[1] == 0:
            raise ValueError(f"the settings {settings} keep no feature of {source!r}; nothing was written")
        os.makedirs(os.path.dirname(out), exist_ok=True)
        _replace_with(out, lambda tmp: save_result_path(tmp, result))
        _replace_with(my_path.get_preprocess_settings_path(source), lambda tmp: _write_settings(tmp, settings))
    return result


def ensure_preprocessed(my_path, source) -> str:
    """The path of the preprocessed matrix of `source`, made with its settings if not yet there."""
    path = my_path.get_preprocess_path(source)
    if not os.path.exists(path):
        with _lock_for(path):
            if not os.path.exists(path):  # another thread may have made it meanwhile
                run_preprocess(my_path, source, load_settings(my_path, source))
    return path


def preprocessed_matrix(my_path, source) -> pd.DataFrame:
    """The samples-by-features matrix of `source`, preprocessed with its settings if not yet done."""
    return read_expr_path(ensure_preprocessed(my_path, source))
