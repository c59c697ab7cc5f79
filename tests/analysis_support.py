"""Test data for the analysis cards: preprocessed matrices and paired samples."""

import json
import os

import pandas as pd

from veltrana.plugins import callbacks
from veltrana.plugins.analysis.matrices import DEFAULT_SETTINGS, FINGERPRINT_KEY
from veltrana.plugins.loader import file_fingerprint


def write_preprocessed(my_paths) -> None:
    """Writes each source's matrix as the default preprocessing leaves it (features >50 % missing dropped)."""
    my_path = callbacks.MyPath(my_paths)
    os.makedirs(my_path.get_preprocess_dir(), exist_ok=True)
    for source in my_path.sources():
        raw = callbacks.read_raw_expression(my_path.get_expr_path(source))
        keep = raw.isna().mean() * 100 <= float(DEFAULT_SETTINGS["Filter"])
        callbacks.save_result_path(my_path.get_preprocess_path(source), raw.loc[:, keep])
        # The settings beside it name the raw file it came from, so it is not rebuilt.
        with open(my_path.get_preprocess_settings_path(source), "w") as fh:
            json.dump(dict(DEFAULT_SETTINGS, **{FINGERPRINT_KEY: file_fingerprint(my_path.get_expr_path(source))}),
                      fh)


def pair_patients(my_paths) -> list:
    """Gives each Normal sample the Patient_ID of one Tumor sample (a paired design); returns the pairs."""
    info = pd.read_csv(my_paths["info"], sep="\t", index_col=0)
    tumor = list(info.index[info["Pathological_Status"] == "Tumor"])
    normal = list(info.index[info["Pathological_Status"] == "Normal"])
    pairs = list(zip(tumor, normal))
    for t, n in pairs:
        info.loc[n, "Patient_ID"] = info.loc[t, "Patient_ID"]
    info.to_csv(my_paths["info"], sep="\t")
    return pairs


def write_raw_as_preprocessed(my_path) -> None:
    """Writes each source's matrix as read, unfiltered, as its preprocessed matrix."""
    for source in my_path.sources():
        callbacks.save_result_path(my_path.get_preprocess_path(source),
                                   callbacks.read_raw_expression(my_path.get_expr_path(source)))


def write_numeric_phenotypes(my_path) -> str:
    """Writes the numerical phenotype columns where the profiling card leaves them; returns the path."""
    info = callbacks.read_info_file(my_path.get_meta_path())
    return callbacks.save_result_path(os.path.join(my_path.get_out_dir(), "profile", "numeric.txt"),
                                      info[[c for c in info.columns if "(Numerical" in c]])
