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

The moderated tests take covariates (`COVARIATES`, the card's "Adjust for"): the model is
~ covariates + group (a text phenotype dummy-coded against its first value, a numerical one
linear), "Log2FC(adjusted)" the group's coefficient. Samples missing a covariate are left
out, and the summary counts them ("LeftOutForCovariates"). The described tests refuse
covariates given to them (the card runs them without and says so, see `designs`).

The moderated F-test (`F_TEST`) asks whether any group of the phenotype differs: every group
with at least two samples, the first (in the pickers' order) the baseline. Its table has
"F", "P-value", "FDR", "-Log10(FDR)", "Significance" ("F" when FDR < the threshold, "S-F"
when moreover the largest difference of group means reaches log2(fold-change threshold)),
"LargestDifference", then "Mean(<group>)" and "Count(<group>)" per group. Its summary row
names the groups ("Groups", "GroupSamples", "SampleIds"; "LeftOutGroups" those too small).
"""

from __future__ import annotations

import os
import warnings
from numbers import Real

import numpy as np
import pandas as pd

from veltrana.runs import progress, results
from veltrana.plugins.paths import configured, file_safe
from veltrana.plugins.tables import read_info_file, save_result_path
from veltrana.plugins.vocabulary import is_blank, selected
from veltrana.analyses import group_tests as tests
from veltrana.analyses import moderated

__all__ = ["MODERATED_METHODS", "update_diff_inter"]

METHODS = {
    "T-test(Unpaired)": (tests.welch_t, False),
    "T-test(Paired)": (tests.paired_t, True),
    "Wilcoxon(Unpaired)": (tests.mann_whitney, False),
    "Wilcoxon(Paired)": (tests.signed_rank, True),
}
F_TEST = "Moderated F-test"
# Offered after the described four (the F-test is run by `f_test_table`, not a two-group test).
MODERATED_METHODS = {
    "Moderated T-test(Unpaired)": (moderated.moderated_unpaired, False),
    "Moderated T-test(Paired)": (moderated.moderated_paired, True),
    F_TEST: (None, False),
}
METHODS.update(MODERATED_METHODS)
PATIENT_COLUMN = "Patient_ID"
COVARIATES = "diff-covariates-dropdown"
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
    patient_of = info[PATIENT_COLUMN].to_dict()  # looked up once: a cohort has thousands of samples
    first_ref = {}
    for s in reference:
        if pd.notna(patient_of[s]):
            first_ref.setdefault(patient_of[s], s)
    pairs, seen = [], set()
    for s in target:
        p = patient_of[s]
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


# The described tests take each feature on its own: they run over blocks of features, so that no
# copy of a group's whole matrix is made (a cohort's groups are hundreds of MB); the moderated
# ones pool the features' variances and take the groups whole.
PER_FEATURE_TESTS = (tests.welch_t, tests.paired_t, tests.mann_whitney, tests.signed_rank)
BLOCK_VALUES = 1 << 21  # values of both groups in one block of features (16 MB)


def _rows(matrix: pd.DataFrame, samples: list) -> np.ndarray:
    rows = matrix.index.get_indexer(samples)
    if np.any(rows < 0):
        raise KeyError(f"samples not in the matrix: {[s for s, r in zip(samples, rows) if r < 0][:5]}")
    return rows


def _group_blocks(matrix: pd.DataFrame, target: list, reference: list):
    """(a, b) of each block of features: the target's and the reference's rows of those columns,
    in Fortran order (each feature's values contiguous, as the kernels and numpy sum them)."""
    by_feature = matrix.to_numpy(dtype=float, copy=False).T  # a view of the host's matrices
    rows_a, rows_b = _rows(matrix, target), _rows(matrix, reference)
    width = max(1, BLOCK_VALUES // max(1, len(rows_a) + len(rows_b)))
    for j in range(0, max(1, by_feature.shape[0]), width):
        block = by_feature[j:j + width]
        yield np.asfortranarray(block[:, rows_a].T), np.asfortranarray(block[:, rows_b].T)


def _medians_and_counts(a: np.ndarray, b: np.ndarray) -> list[np.ndarray]:
    """Both groups' medians and numbers of values, feature by feature."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)  # all-missing features have no median
        med_a, med_b = tests.nanmedian_columns(a), tests.nanmedian_columns(b)
    return [med_a, med_b, np.sum(~np.isnan(a), axis=0), np.sum(~np.isnan(b), axis=0)]


def _block_columns(a: np.ndarray, b: np.ndarray, test) -> list[np.ndarray]:
    statistic, p = test(a, b)
    return [statistic, p, *_medians_and_counts(a, b)]


def differential_table(matrix: pd.DataFrame, target: list, reference: list, method: str,
                       fdr_cut: float, fc_cut: float, covariates=None) -> pd.DataFrame:
    """The per-feature table of one source (samples of both lists must be rows of `matrix`);
    `covariates`, rows of target then reference samples, makes the moderated test adjust for them."""
    test, paired = METHODS[method]
    adjusted = covariates is not None and covariates.shape[1] > 0
    extra = {}
    if test in PER_FEATURE_TESTS and not adjusted:
        blocks = [_block_columns(a, b, test) for a, b in _group_blocks(matrix, target, reference)]
        statistic, p, med_a, med_b, count_a, count_b = (np.concatenate(c) for c in zip(*blocks))
    else:
        a = matrix.loc[target].to_numpy(dtype=float)
        b = matrix.loc[reference].to_numpy(dtype=float)
        if adjusted:
            design = two_group_design(len(a), len(b), paired, covariates)
            statistic, p, *more = moderated.moderated_t(np.vstack([a, b]), design)
        else:
            statistic, p, *more = test(a, b)  # the moderated tests add columns of their own
        extra = more[0] if more else {}
        med_a, med_b, count_a, count_b = _medians_and_counts(a, b)
    fdr = tests.bh_fdr(p)
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
        "TargetCount": count_a,
        "ReferenceCount": count_b,
        **extra,
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
    if method != F_TEST and str(target) == str(reference):
        raise ValueError(f"the target and reference groups are the same ({target!r})")

    info = read_info_file(my_path.get_meta_path())
    if phenotype not in info.columns:
        raise ValueError(f"unknown phenotype {phenotype!r}")
    covariates = chosen_covariates(kwargs_dict.get(COVARIATES), method, info, phenotype)
    inputs = {"sources": sources, "method": method, "phenotype": phenotype, "fdr": fdr_cut, "fold_change": fc_cut}
    if method != F_TEST:  # the F-test takes every group, whatever the pickers hold
        inputs.update(target=str(target), reference=str(reference))
    if covariates:  # runs without covariates keep the keys they always had
        inputs["covariates"] = covariates

    def write(folder, final):
        rows = []
        for source in progress.each(sources, "Differential analysis"):
            matrix = study.matrix(source)
            name = f"{file_safe(source)}_differential.txt"
            if method == F_TEST:
                table, row = f_test_table(info, matrix, phenotype, covariates, fdr_cut, fc_cut, source)
            else:
                table, row = _two_group_run(info, matrix, phenotype, target, reference, method, covariates,
                                            fdr_cut, fc_cut, source)
            save_result_path(os.path.join(folder, name), table)
            rows.append({"Source": source, "DiffPath": os.path.join(final, name), "Method": method,
                         "Phenotype": phenotype, **row})
        save_result_path(os.path.join(folder, SUMMARY_FILE), pd.DataFrame(rows))

    study = results.study_snapshot(my_path, sources)  # each file looked at once for the whole run
    run = results.publish(my_path.get_diff_dir(), "differential", inputs, study.fingerprints, write)
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


def _two_group_run(info, matrix, phenotype, target, reference, method, covariates, fdr_cut, fc_cut, source):
    """(table, summary row but its Source, DiffPath, Method and Phenotype) of a two-group test."""
    a, b, left_out = _groups_in(info, matrix, phenotype, target, reference, method, source, covariates)
    design = covariate_matrix(info, a + b, covariates) if covariates else None
    table = differential_table(matrix, a, b, method, fdr_cut, fc_cut, design)
    row = {"Target": str(target), "Reference": str(reference), "TargetSamples": len(a), "ReferenceSamples": len(b),
           "FDRThreshold": fdr_cut, "FoldChangeThreshold": fc_cut, "TargetSampleIds": ";".join(map(str, a)),
           "ReferenceSampleIds": ";".join(map(str, b))}
    return table, row | _covariate_columns(covariates, left_out)


def _covariate_columns(covariates, left_out) -> dict:
    return {"Covariates": ";".join(covariates), "LeftOutForCovariates": left_out} if covariates else {}


def _groups_in(info, matrix, phenotype, target, reference, method, source, covariates=()):
    """(target, reference, samples left out for a missing covariate) of one source's matrix,
    paired when the test pairs."""
    in_matrix = set(matrix.index)
    a = [s for s in group_samples(info, phenotype, target) if s in in_matrix]
    b = [s for s in group_samples(info, phenotype, reference) if s in in_matrix]
    (a, b), left_out = complete_cases(info, [a, b], covariates)
    if METHODS[method][1]:
        a, b = paired_samples(info, a, b)
    for group, samples in ((target, a), (reference, b)):
        if len(samples) < tests.MIN_VALUES:
            raise ValueError(f"group {group!r} of {phenotype!r} has {len(samples)} usable sample(s) in "
                             f"{source}; a test needs at least {tests.MIN_VALUES}")
    return a, b, left_out


# ---- designs: covariates and the F-test -------------------------------------------------

def chosen_covariates(value, method, info: pd.DataFrame, phenotype) -> list[str]:
    """The phenotypes to adjust for, checked: columns of the sample table other than the one
    compared, for a moderated test only."""
    chosen = selected(value) if value is None or isinstance(value, (str, list, tuple)) else [value]
    if not chosen:
        return []
    if any(not isinstance(c, str) for c in chosen):
        raise ValueError(f"'Adjust for' takes phenotype names, got {value!r}")
    if method not in MODERATED_METHODS:
        raise ValueError(f"'Adjust for' applies to the moderated tests only; {method!r} cannot adjust for "
                         f"{', '.join(chosen)}: clear it or choose a moderated test")
    unknown = [c for c in chosen if c not in info.columns]
    if unknown:
        raise ValueError(f"unknown phenotype(s) to adjust for: {', '.join(map(repr, unknown))}")
    if phenotype in chosen:
        raise ValueError(f"{phenotype!r} is the phenotype compared; it cannot also be adjusted for")
    return list(dict.fromkeys(chosen))


def complete_cases(info: pd.DataFrame, groups: list, covariates) -> tuple[list, int]:
    """(each list of samples without those missing a covariate, how many were left out)."""
    if not covariates:
        return groups, 0
    complete = info[covariates].notna().all(axis=1)
    kept = [[s for s in samples if complete[s]] for samples in groups]
    return kept, sum(len(g) for g in groups) - sum(len(g) for g in kept)


def covariate_matrix(info: pd.DataFrame, samples: list, covariates) -> pd.DataFrame:
    """The covariates' design columns for `samples`: a numerical phenotype as it is, a text one as
    indicators of its values but the first (sorted); a covariate with one value is refused."""
    columns = {}
    for name in covariates:
        values = info.loc[samples, name]
        if values.nunique() < 2:
            shown = f" ({values.iloc[0]})" if len(values) else ""
            raise ValueError(f"the covariate {name!r} has one value{shown} among the {len(samples)} samples "
                             "compared; it adjusts nothing: leave it out")
        if pd.api.types.is_numeric_dtype(values):
            columns[name] = values.to_numpy(dtype=float)
        else:
            text = values.astype(str)
            for level in sorted(text.unique())[1:]:
                columns[f"{name}={level}"] = (text == level).to_numpy(dtype=float)
    return pd.DataFrame(columns, index=pd.Index(samples))


def two_group_design(n_a: int, n_b: int, paired: bool, covariates: pd.DataFrame) -> np.ndarray:
    """Rows of target then reference samples: intercept (or the patients, when paired: row i of
    each group is patient i), the covariates, then the target indicator."""
    if paired:
        patient = np.eye(n_a)[np.r_[np.arange(n_a), np.arange(n_b)]]
        base, names = np.column_stack([np.ones(n_a + n_b), patient[:, 1:]]), ["patients"] * n_a
    else:
        base, names = np.ones((n_a + n_b, 1)), ["intercept"]
    design = np.column_stack([base, covariates.to_numpy(dtype=float), np.r_[np.ones(n_a), np.zeros(n_b)]])
    check_design(design, [*names, *covariates.columns, "the groups compared"])
    return design


def check_design(design: np.ndarray, names: list) -> None:
    """ValueError naming the first column that the columns before it already explain."""
    aliased = moderated.aliased_columns(design)
    if aliased:
        k = aliased[0]
        before = [n for n in dict.fromkeys(names[:k]) if n != "intercept"]
        raise ValueError(f"{names[k]} cannot be told apart from {', '.join(before) or 'the intercept'} among the "
                         "samples compared (confounded): no test can separate them; leave out a covariate")


def f_test_table(info, matrix, phenotype, covariates, fdr_cut, fc_cut, source):
    """(table, summary row) of the moderated F-test over the phenotype's groups in one source."""
    in_matrix = set(matrix.index)
    labels = info[phenotype].dropna().astype(str)
    samples = [s for s in labels.index if s in in_matrix]
    (samples,), left_out = complete_cases(info, [samples], covariates)
    counts = labels[samples].value_counts()
    order = list(dict.fromkeys(labels[samples]))  # the pickers' order
    groups = [g for g in order if counts[g] >= tests.MIN_VALUES]
    small = [g for g in order if counts[g] < tests.MIN_VALUES]
    if len(groups) < 2:
        raise ValueError(f"the phenotype {phenotype!r} has {len(groups)} group(s) with at least {tests.MIN_VALUES} "
                         f"usable samples in {source}; an F-test compares two or more")
    samples = [s for s in samples if labels[s] in groups]
    group_of = labels[samples].to_numpy()
    indicators = np.column_stack([group_of == g for g in groups[1:]]).astype(float)
    extra = covariate_matrix(info, samples, covariates) if covariates else pd.DataFrame(index=samples)
    design = np.column_stack([np.ones(len(samples)), extra.to_numpy(dtype=float), indicators])
    check_design(design, ["intercept", *extra.columns, *(f"the groups of {phenotype!r}",) * len(groups[1:])])
    y = matrix.loc[samples].to_numpy(dtype=float)
    tested = list(range(design.shape[1] - len(groups) + 1, design.shape[1]))
    fstat, p, d0, s0 = moderated.moderated_f(y, design, tested)
    table = _f_columns(matrix, y, group_of, groups, fstat, p, fdr_cut, fc_cut)
    table["PriorDF"], table["PriorVariance"] = d0, s0
    row = {"Groups": ";".join(groups), "GroupSamples": ";".join(str(int(counts[g])) for g in groups),
           "LeftOutGroups": ";".join(small), "FDRThreshold": fdr_cut, "FoldChangeThreshold": fc_cut,
           "SampleIds": ";".join(map(str, samples))}
    return table, row | _covariate_columns(covariates, left_out)


def _f_columns(matrix, y, group_of, groups, fstat, p, fdr_cut, fc_cut) -> pd.DataFrame:
    fdr = tests.bh_fdr(p)
    observed = {g: ~np.isnan(y[group_of == g]) for g in groups}
    with np.errstate(invalid="ignore", divide="ignore"):
        means = {g: np.nansum(y[group_of == g], axis=0) / observed[g].sum(axis=0) for g in groups}
    stacked = np.vstack(list(means.values()))
    seen = np.isfinite(stacked)
    # The highest group mean minus the lowest, over the groups the feature was seen in.
    largest = np.where(seen.sum(axis=0) >= 2, np.max(np.where(seen, stacked, -np.inf), axis=0)
                       - np.min(np.where(seen, stacked, np.inf), axis=0), np.nan)
    codes = np.full(len(fdr), None, dtype=object)
    hit = fdr < fdr_cut
    codes[hit] = "F"
    codes[hit & (largest >= np.log2(fc_cut))] = "S-F"
    features = [str(f) for f in matrix.columns]
    return pd.DataFrame({
        "Feature": features, "F": fstat, "P-value": p, "FDR": fdr,
        "-Log10(FDR)": -np.log10(np.clip(fdr, np.finfo(float).tiny, None)), "Significance": codes,
        "LargestDifference": largest,
        **{f"Mean({g})": means[g] for g in groups},
        **{f"Count({g})": observed[g].sum(axis=0) for g in groups},
    }, index=pd.Index(features))
