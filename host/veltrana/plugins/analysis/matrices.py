"""The preprocessed matrix of each data source, which every analysis card reads.

A source's matrix is written at `MyPath.get_preprocess_path(source)` with one row per
sample and one column per feature, and its settings beside it as JSON. A source that
was never preprocessed gets the settings the preprocessing card shows by default.
"""

from __future__ import annotations

import json
import os

import pandas as pd

from ..tables import read_expr_path, read_raw_expression, save_result_path

# The card's starting values: no transform (inputs are log2 ratios already), no
# normalisation, features with more than 50 % missing values dropped, no imputation.
DEFAULT_SETTINGS = {"Transformation": "NA", "Normalization": "NA", "Filter": "50", "Imputation": "NA"}


def load_settings(my_path, source) -> dict:
    """The stored settings of a source, or the defaults."""
    path = my_path.get_preprocess_settings_path(source)
    if os.path.exists(path):
        with open(path) as fh:
            stored = json.load(fh)
        return {k: stored.get(k, v) for k, v in DEFAULT_SETTINGS.items()}
    return dict(DEFAULT_SETTINGS)


def run_preprocess(my_path, source, settings: dict) -> pd.DataFrame:
    """Preprocesses the raw matrix of `source`, writes matrix and settings, returns the matrix."""
    from .. import preprocess  # the native module

    raw = read_raw_expression(my_path.get_expr_path(source))
    result = preprocess.preprocess(raw, settings)
    save_result_path(my_path.get_preprocess_path(source), result)
    with open(my_path.get_preprocess_settings_path(source), "w") as fh:
        json.dump({k: settings[k] for k in DEFAULT_SETTINGS}, fh)
    return result


def preprocessed_matrix(my_path, source) -> pd.DataFrame:
    """The samples-by-features matrix of `source`, preprocessed with its settings if not yet done."""
    path = my_path.get_preprocess_path(source)
    if os.path.exists(path):
        return read_expr_path(path)
    return run_preprocess(my_path, source, load_settings(my_path, source))
