"""Host services of the differential-expression card.

`update_diff_inter` compares a target and a reference group of samples, defined
by one phenotype, feature by feature in each selected source, and writes:

- one table per source, `<source>_differential.txt` in the differential folder:
  index and "Feature" the feature id, then "Log2FC(median)" (median of the target
  minus median of the reference, on the log2 values), "Statistic", "P-value",
  "FDR" (Benjamini-Hochberg over the features that got a p-value), "-Log10(FDR)",
  "Significance", the group medians and the group counts;
- the summary `differential_summary.txt`: one row per source with "Source",
  "DiffPath", the method, the phenotype, the groups, their sample counts and the
  samples used ("TargetSampleIds", "ReferenceSampleIds", joined with ";").

Both go into a run folder of their own (see `results`): the same choices on the same
data reuse the published run; other choices never overwrite it.

"Significance" is "U" / "D" when FDR < the FDR threshold and the fold change is
positive / negative, "S-U" / "S-D" when moreover |Log2FC| >= log2(fold-change
threshold), and empty otherwise. Paired tests pair the target and reference
samples of one patient through the sample table's "Patient_ID" column.

Beyond the four described tests, `MODERATED_METHODS` offers moderated t-tests (see
`moderated`): "Statistic" is the ordinary t of the feature's linear model, and the table
adds "ModeratedT", "PriorDF" and "PriorVariance".
"""

from __future__ import annotations

import os
import warnings
from numbers import Real

import numpy as np
import pandas as pd

from .. import progress, results
from ..paths import configured, file_safe
from ..tables import read_info_file, save_result_path
from ..vocabulary import is_blank, selected
from . import group_tests as tests
from . import moderated
from .matrices import ensure_preprocessed, preprocessed_matrix

__all__ = ["MODERATED_METHODS", "update_diff_inter"]

METHODS = {
    "T-test(Unpaired)": (tests.welch_t, False),
    "T-test(Paired)": (tests.paired_t, True),
    "Wilcoxon(Unpaired)": (tests.mann_whitney, False),
    "Wilcoxon(Paired)": (tests.signed_rank, True),
}
# Offered after the described four.
MODERATED_METHODS = {
    "Moderated T-test(Unpaired)": (moderated.moderated_unpaired, False),
    "Moderated T-test(Paired)": (moderated.moderated_paired, True),
}
METHODS.update(MODERATED_METHODS)
PATIENT_COLUMN = "Patient_ID"
SUMMARY_FILE = "differential_summary.txt"


def _number(value, name):
    if isinstance(value, bool) or not isinstance(value, Real) or not np.isfinite(value):
        raise ValueError(f"the {name} must be a number, got {value!r}")
    return float(value)


def _thresholds(fdr, fold_change):
    fdr = _number(fdr, "FDR threshold")
    fold_change = _number(fold_change, "fold-change threshold")
    if not 0 < fdr <= 1:
        raise ValueError(f"the FDR threshold must lie in (0, 1], got {fdr!r}")
    if fold_change <= 0:
        raise ValueError(f"the fold-change threshold must be positive, got {fold_change!r}")
    return fdr, fold_change


def group_samples(info: pd.DataFrame, phenotype, group) -> list:
    """Sample ids whose phenotype value, as text, equals `group` (table order)."""
    return list(info.index[info[phenotype].astype(str) == str(group)])


def paired_samples(info: pd.DataFrame, target: list, reference: list):
    """(target, reference) sample lists of the patients that have a sample in both groups.

    A patient's first sample of each group (table order) is used.
    """
    if PATIENT_COLUMN not in info.columns:
        raise ValueError(f"paired tests need a {PATIENT_COLUMN!r} column in the sample table")
    patients = info[PATIENT_COLUMN]
    first_ref = {}
    for s in reference:
        if pd.notna(patients[s]):
            first_ref.setdefault(patients[s], s)
    pairs, seen = [], set()
    for s in target:
        p = patients[s]
        if pd.notna(p) and p in first_ref and p not in seen:
            seen.add(p)
            pairs.append((s, first_ref[p]))
    if not pairs:
        raise ValueError(f"no patient ({PATIENT_COLUMN}) has samples in both groups; a paired test needs pairs")
    return [a for a, _ in pairs], [b for _, b in pairs]


def significance(fdr: np.ndarray, log2fc: np.ndarray, fdr_cut: float, fc_cut: float) -> np.ndarray:
    """The codes "S-U", "U", "S-D", "D" or None per feature."""
    sig = (fdr < fdr_cut) & (log2fc != 0)
    strong = np.abs(log2fc) >= np.log2(fc_cut)
    up = log2fc > 0
    codes = np.full(len(fdr), None, dtype=object)
    codes[sig & up] = "U"
    codes[sig & ~up] = "D"
    codes[sig & up & strong] = "S-U"
    codes[sig & ~up & strong] = "S-D"
    return codes


def differential_table(matrix: pd.DataFrame, target: list, reference: list, method: str,
                       fdr_cut: float, fc_cut: float) -> pd.DataFrame:
    """The per-feature table of one source (samples of both lists must be rows of `matrix`)."""
    test, _ = METHODS[method]
    a = matrix.loc[target].to_numpy(dtype=float)
    b = matrix.loc[reference].to_numpy(dtype=float)
    statistic, p, *extra = test(a, b)  # the moderated tests add columns of their own
    fdr = tests.bh_fdr(p)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)  # all-missing features have no median
        med_a, med_b = tests.nanmedian_columns(a), tests.nanmedian_columns(b)
    log2fc = med_a - med_b
    # An FDR that underflows to 0 is drawn at the smallest positive double.
    minus_log10 = -np.log10(np.clip(fdr, np.finfo(float).tiny, None))
    features = [str(f) for f in matrix.columns]
    return pd.DataFrame({
        "Feature": features,
        "Log2FC(median)": log2fc,
        "Statistic": statistic,
        "P-value": p,
        "FDR": fdr,
        "-Log10(FDR)": minus_log10,
        "Significance": significance(fdr, log2fc, fdr_cut, fc_cut),
        "TargetMedian": med_a,
        "ReferenceMedian": med_b,
        "TargetCount": np.sum(~np.isnan(a), axis=0),
        "ReferenceCount": np.sum(~np.isnan(b), axis=0),
        **(extra[0] if extra else {}),
    }, index=pd.Index(features))


def update_diff_inter(kwargs_dict: dict) -> str:
    """Runs the card's test on each selected source; returns the summary path ("" when nothing to run)."""
    my_path = configured(kwargs_dict.get("Paths"))
    sources = [my_path.check_source(s) for s in selected(kwargs_dict.get("diff-data-source-dropdown"))]
    phenotype = kwargs_dict.get("phenotype-dropdown")
    target = kwargs_dict.get("target-groups-dropdown")
    reference = kwargs_dict.get("refer-groups-dropdown")
    # The pickers fill in one after another at page load: until all are set there is nothing to run.
    if not sources or any(is_blank(v) for v in (phenotype, target, reference)):
        if sources and not is_blank(phenotype) and is_blank(target) and is_blank(reference):
            # The group pickers stay empty for a phenotype with fewer than two groups: say so.
            _two_groups(read_info_file(my_path.get_meta_path()), phenotype)
        return ""
    method = kwargs_dict.get("diff-exp-analysis-methods-dropdown")
    if method not in METHODS:
        raise ValueError(f"unknown test method {method!r}; choose one of {list(METHODS)}")
    fdr_cut, fc_cut = _thresholds(kwargs_dict.get("diff-fdr-input"), kwargs_dict.get("diff-log2fc-input"))
    if str(target) == str(reference):
        raise ValueError(f"the target and reference groups are the same ({target!r})")

    info = read_info_file(my_path.get_meta_path())
    if phenotype not in info.columns:
        raise ValueError(f"unknown phenotype {phenotype!r}")
    inputs = {"sources": sources, "method": method, "phenotype": phenotype, "target": str(target),
              "reference": str(reference), "fdr": fdr_cut, "fold_change": fc_cut}

    def write(folder, final):
        rows = []
        for source in progress.each(sources, "Differential analysis"):
            matrix = preprocessed_matrix(my_path, source)
            a, b = _groups_in(info, matrix, phenotype, target, reference, method, source)
            name = f"{file_safe(source)}_differential.txt"
            save_result_path(os.path.join(folder, name), differential_table(matrix, a, b, method, fdr_cut, fc_cut))
            rows.append({"Source": source, "DiffPath": os.path.join(final, name), "Method": method,
                         "Phenotype": phenotype, "Target": str(target), "Reference": str(reference),
                         "TargetSamples": len(a), "ReferenceSamples": len(b), "FDRThreshold": fdr_cut,
                         "FoldChangeThreshold": fc_cut, "TargetSampleIds": ";".join(map(str, a)),
                         "ReferenceSampleIds": ";".join(map(str, b))})
        save_result_path(os.path.join(folder, SUMMARY_FILE), pd.DataFrame(rows))

    for source in sources:
        ensure_preprocessed(my_path, source)
    run = results.publish(my_path.get_diff_dir(), "differential", inputs,
                          results.data_fingerprints(my_path, sources), write)
    return os.path.join(run, SUMMARY_FILE)


def _two_groups(info: pd.DataFrame, phenotype) -> None:
    """ValueError when `phenotype` has fewer than two groups among the samples."""
    if phenotype not in info.columns:
        return
    groups = [str(g) for g in info[phenotype].dropna().unique()]
    if len(groups) < 2:
        shown = f" ({', '.join(map(repr, groups))})" if groups else ""
        raise ValueError(f"the phenotype {phenotype!r} has {len(groups)} group(s){shown}; "
                         "a differential test compares two: pick another phenotype")


def _groups_in(info, matrix, phenotype, target, reference, method, source):
    """(target, reference) samples of one source's matrix, paired when the test pairs."""
    in_matrix = set(matrix.index)
    a = [s for s in group_samples(info, phenotype, target) if s in in_matrix]
    b = [s for s in group_samples(info, phenotype, reference) if s in in_matrix]
    if METHODS[method][1]:
        a, b = paired_samples(info, a, b)
    for group, samples in ((target, a), (reference, b)):
        if len(samples) < tests.MIN_VALUES:
            raise ValueError(f"group {group!r} of {phenotype!r} has {len(samples)} usable sample(s) in "
                             f"{source}; a test needs at least {tests.MIN_VALUES}")
    return a, b
