"""Moderated tests: the linear models against R's limma and plain least squares, the card's
tables, designs with covariates and the F-test, and the methods offered after the described four."""

import os
import subprocess

import numpy as np
import pandas as pd
import pytest

from support import by_id, by_name, pair_patients, require_limma, write_preprocessed
from veltrana.plugins import callbacks
from veltrana.study import demo
from veltrana.analyses import moderated
from veltrana.analyses.differential import COVARIATES, F_TEST, MODERATED_METHODS
from veltrana.analyses.matrices import preprocessed_matrix

DESCRIBED = ["T-test(Unpaired)", "T-test(Paired)", "Wilcoxon(Unpaired)", "Wilcoxon(Paired)"]


def cohort(features=3000, n_a=7, n_b=6, seed=13, missing=0.12):
    """Target and reference arrays (samples x features) with feature-wise variances drawn from a
    scaled inverse-chi-square law, a tenth of the features shifted, and missing cells: scattered,
    a feature missing in a whole group, one missing everywhere and one constant."""
    rng = np.random.default_rng(seed)
    sd = np.sqrt(0.3 * 6 / rng.chisquare(6, features))
    base = rng.normal(20, 2, features)
    shift = np.where(rng.random(features) < 0.1, rng.normal(0, 1.5, features), 0.0)
    a = base + shift + rng.normal(0, 1, (n_a, features)) * sd
    b = base + rng.normal(0, 1, (n_b, features)) * sd
    for x in (a, b):
        x[rng.random(x.shape) < missing] = np.nan
    a[:, 0] = np.nan  # observed in the reference only
    b[:-1, 1] = np.nan  # one reference value
    a[:, 2] = b[:, 2] = np.nan  # never observed
    a[:, 3] = b[:, 3] = 17.25  # constant
    return a, b


# ---- against R -------------------------------------------------------------------

R_SCRIPT = r"""
suppressMessages(library(limma))
args <- commandArgs(TRUE)
y <- as.matrix(read.delim(args[1], header=FALSE))
s <- read.delim(args[2])
group <- as.numeric(s$group == "target")
design <- if (args[3] == "paired") model.matrix(~factor(s$patient) + group) else cbind(1, group)
fit <- eBayes(lmFit(y, design))
k <- ncol(design)
out <- data.frame(p=fit$p.value[, k], t=fit$t[, k], df_prior=fit$df.prior, s2_prior=fit$s2.prior)
write.table(out, args[4], sep="\t", row.names=FALSE, quote=FALSE)
"""


@pytest.fixture(scope="module")
def limma():
    require_limma()

    def run(a, b, paired, folder):
        y = np.vstack([a, b]).T
        np.savetxt(folder / "y.tsv", y, delimiter="\t", fmt="%.17g")  # NaN reads as NA
        patients = list(range(len(a))) + (list(range(len(b))) if paired else list(range(len(a), len(a) + len(b))))
        pd.DataFrame({"group": ["target"] * len(a) + ["reference"] * len(b), "patient": patients}) \
            .to_csv(folder / "s.tsv", sep="\t", index=False)
        (folder / "fit.R").write_text(R_SCRIPT)
        subprocess.run(["Rscript", str(folder / "fit.R"), str(folder / "y.tsv"), str(folder / "s.tsv"),
                        "paired" if paired else "unpaired", str(folder / "out.tsv")], check=True, timeout=300)
        return pd.read_csv(folder / "out.tsv", sep="\t")
    return run


def relative(ours, theirs):
    ours, theirs = np.asarray(ours, dtype=float), np.asarray(theirs, dtype=float)
    return np.nanmax(np.abs(ours - theirs) / np.abs(theirs))


@pytest.mark.parametrize("paired", [False, True], ids=["unpaired", "paired"])
def test_limma_gives_the_same_p_values_and_prior(limma, tmp_path, paired):
    a, b = cohort(n_b=7 if paired else 6)
    r = limma(a, b, paired, tmp_path)
    fit = moderated._fit_pairs if paired else moderated._fit_groups
    d0, s0 = moderated.prior(*fit(a, b)[2:])
    _, t, p, columns = moderated.moderate(*fit(a, b))
    np.testing.assert_array_equal(np.isnan(p), r["p"].isna())
    assert relative(p, r["p"].to_numpy()) < 1e-9
    # The constant feature's t is rounding noise in R (about 1e-14), exactly 0 here.
    np.testing.assert_allclose(t, r["t"], rtol=1e-9, atol=1e-12)
    assert abs(d0 / r["df_prior"][0] - 1) < 1e-9 and abs(s0 / r["s2_prior"][0] - 1) < 1e-9
    assert np.isfinite(d0) and 1 < d0 < 50  # the generated prior is recovered (6 df), not degenerate
    np.testing.assert_array_equal(columns["PriorDF"], d0)


# ---- the closed forms are the linear models ------------------------------------------

def least_squares(y, design):
    """(coefficient of the last column, residual variance, residual df) of one feature's
    observed values, or NaNs when the last column is not estimable."""
    seen = ~np.isnan(y)
    x, y = design[seen], y[seen]
    rank = np.linalg.matrix_rank(x) if len(y) else 0
    df = len(y) - rank
    beta, *_ = np.linalg.lstsq(x, y, rcond=None)
    rss = np.sum((y - x @ beta) ** 2)
    estimable = rank > np.linalg.matrix_rank(x[:, :-1]) if len(y) else False
    return (beta[-1] if estimable else np.nan), (rss / df if df > 0 else np.nan), df


@pytest.mark.parametrize("paired", [False, True], ids=["unpaired", "paired"])
def test_closed_forms_equal_least_squares_on_each_features_own_rows(paired):
    a, b = cohort(features=120, n_b=7 if paired else 6, missing=0.3, seed=4)
    n_a, n_b = len(a), len(b)
    if paired:
        patient = np.eye(n_a)[np.r_[np.arange(n_a), np.arange(n_b)]]
        design = np.column_stack([patient, np.r_[np.ones(n_a), np.zeros(n_b)]])
        coefficient, _, s2, df = moderated._fit_pairs(a, b)
    else:
        design = np.column_stack([np.ones(n_a + n_b), np.r_[np.ones(n_a), np.zeros(n_b)]])
        coefficient, _, s2, df = moderated._fit_groups(a, b)
    y = np.vstack([a, b])
    expected = np.array([least_squares(y[:, j], design) for j in range(y.shape[1])])
    np.testing.assert_allclose(coefficient, expected[:, 0], rtol=1e-10, atol=1e-12)
    np.testing.assert_allclose(s2, expected[:, 1], rtol=1e-9, atol=1e-20)
    np.testing.assert_array_equal(df, expected[:, 2])


def test_prior_edge_cases():
    df = np.full(500, 4.0)
    # Identical variances spread no more than sampling: an infinite prior df, every variance the prior's.
    d0, s0 = moderated.prior(np.full(500, 0.2), df)
    assert np.isinf(d0) and s0 == pytest.approx(0.2)
    coefficient = np.linspace(-1, 1, 500)
    ordinary, t, p, _ = moderated.moderate(coefficient, np.ones(500), np.full(500, 0.2), df)
    np.testing.assert_allclose(t, coefficient / np.sqrt(0.2))
    assert p[0] == pytest.approx(2 * __import__("scipy").stats.t.sf(1 / np.sqrt(0.2), 2000))  # the pooled df
    with pytest.raises(ValueError, match="residual degrees of freedom"):
        moderated.prior(np.full(5, np.nan), np.zeros(5))


def test_twenty_thousand_features_by_five_hundred_samples_in_well_under_a_second():
    import time
    rng = np.random.default_rng(1)
    a, b = rng.normal(size=(250, 20000)), rng.normal(size=(250, 20000))
    a[rng.random(a.shape) < 0.1] = np.nan
    start = time.perf_counter()
    for test in (moderated.moderated_unpaired, moderated.moderated_paired):
        test(a, b)
    assert time.perf_counter() - start < 4  # both; ~0.3 s each on a quiet machine


# ---- the card ------------------------------------------------------------------------

def run_kwargs(paths, method, **over):
    kw = {"diff-data-source-dropdown": ["Protein"], "preprocess-source-dropdown": [], "run-diff-button": 1,
          "diff-exp-analysis-methods-dropdown": method, "target-groups-dropdown": "Tumor",
          "refer-groups-dropdown": "Normal", "phenotype-dropdown": "Pathological_Status",
          "diff-fdr-input": 0.05, "diff-log2fc-input": 1.5, "Paths": paths}
    kw.update(over)
    return kw


@pytest.mark.parametrize("method", [m for m in MODERATED_METHODS if m != F_TEST])
def test_card_writes_the_described_columns_and_the_moderated_ones(fresh_paths, method):
    write_preprocessed(fresh_paths)
    pairs = pair_patients(fresh_paths) if "Paired" in method else None
    summary = pd.read_csv(callbacks.update_diff_inter(run_kwargs(fresh_paths, method)), sep="\t")
    table = pd.read_csv(summary["DiffPath"][0], sep="\t", index_col=0, keep_default_na=False,
                        na_values=[""])
    assert list(table.columns[:11]) == ["Feature", "Log2FC(median)", "Statistic", "P-value", "FDR", "-Log10(FDR)",
                                        "Significance", "TargetMedian", "ReferenceMedian", "TargetCount",
                                        "ReferenceCount"]
    assert list(table.columns[11:]) == ["ModeratedT", "PriorDF", "PriorVariance"]
    if pairs:
        assert summary["TargetSampleIds"][0].split(";") == [t for t, _ in pairs]
    matrix = preprocessed_matrix(callbacks.MyPath(fresh_paths), "Protein")
    target = summary["TargetSampleIds"][0].split(";")
    reference = summary["ReferenceSampleIds"][0].split(";")
    a, b = (matrix.loc[s].to_numpy(dtype=float) for s in (target, reference))
    ordinary, t, p, _ = moderated.moderate(*(moderated._fit_pairs if pairs else moderated._fit_groups)(a, b))
    np.testing.assert_allclose(table["P-value"], p, rtol=1e-12)
    np.testing.assert_allclose(table["ModeratedT"], t, rtol=1e-12)
    np.testing.assert_allclose(table["Statistic"], ordinary, rtol=1e-12)
    assert table["PriorDF"].nunique() == 1 and (table["PriorVariance"] > 0).all()
    strong = (table["FDR"] < 0.05) & (table["Log2FC(median)"].abs() >= np.log2(1.5))
    assert set(table["Significance"][strong & (table["Log2FC(median)"] > 0)]) <= {"S-U"}
    assert table["Significance"][table["FDR"] >= 0.05].isna().all()




def test_front_door_offers_the_moderated_methods_after_the_described_ones(fresh_paths, layout_state):
    import veltrana.__main__ as front

    alone = by_id(layout_state.build_layout(fresh_paths), "diff-exp-analysis-methods-dropdown")
    assert [o["value"] for o in alone.options] == DESCRIBED
    served = by_id(front.create_app(fresh_paths).layout, "diff-exp-analysis-methods-dropdown")
    assert [o["value"] for o in served.options] == DESCRIBED + list(MODERATED_METHODS)
    assert served.value == alone.value
    with pytest.raises(KeyError, match="no-such-dropdown"):
        front.with_options(layout_state.build_layout(fresh_paths), "no-such-dropdown", ["x"])


# ---- designs: covariates and the F-test ------------------------------------------------

@pytest.fixture
def design_study(tmp_path):
    """A demo cohort (60 samples, 1,200 proteins, ~15 % missing) with a lab's design: a 'Batch' of
    three runs, four ages missing, stages I-IV and a stage 'V' of one sample, a protein never
    measured in stage IV and one never in batch b3."""
    paths = demo.write_demo(str(tmp_path / "data"), n_samples=60, n_proteins=1200, n_glycoforms=30)
    info = pd.read_csv(paths["info"], sep="\t", index_col=0, dtype=str, keep_default_na=False)
    info["Batch"] = np.random.default_rng(7).choice(["b1", "b2", "b3"], len(info), p=[.45, .4, .15])
    info.loc[info.index[[3, 11, 19, 40]], "Age(Numerical)"] = ""
    info.loc[info.index[info["Pathological_Status"] == "Tumor"][0], "Tumor_Stage(Categorical)"] = "V"
    info.to_csv(paths["info"], sep="\t")
    raw = pd.read_csv(paths["expression"]["Protein"], sep="\t", index_col=0)
    raw.loc[raw.index[0], info.index[info["Tumor_Stage(Categorical)"] == "IV"]] = np.nan
    raw.loc[raw.index[1], info.index[info["Batch"] == "b3"]] = np.nan
    raw.to_csv(paths["expression"]["Protein"], sep="\t")
    write_preprocessed(paths)
    return paths


DESIGN_R = r"""
suppressMessages(library(limma))
a <- commandArgs(TRUE)
y <- as.matrix(read.delim(a[1], row.names=1, check.names=FALSE))
s <- read.delim(a[2], stringsAsFactors=FALSE, colClasses=c(sample="character"))
covs <- strsplit(a[3], ",")[[1]]
s <- s[complete.cases(s[, c("group", covs)]), ]
if (a[4] == "F") {
  sizes <- table(s$group)
  s <- s[s$group %in% names(sizes)[sizes >= 2], ]
  s$g <- factor(s$group, levels=unique(s$group))
  design <- model.matrix(as.formula(paste("~", paste(c(covs, "g"), collapse=" + "))), s)
  coef <- grep("^g", colnames(design))
} else {
  if (a[4] == "paired") s$block <- factor(s$patient)
  s$target <- as.numeric(s$group == "Tumor")
  terms <- c(if (a[4] == "paired") "block", covs, "target")
  design <- model.matrix(as.formula(paste("~", paste(terms, collapse=" + "))), s)
  coef <- ncol(design)
}
fit <- eBayes(lmFit(y[, s$sample], design))
top <- topTable(fit, coef=coef, number=Inf, sort.by="none")
several <- length(coef) > 1
write.table(data.frame(stat=if (several) top$F else top$t, p=top$P.Value, fdr=top$adj.P.Val,
                       logFC=if (several) NA else top$logFC, d0=fit$df.prior, s0=fit$s2.prior, n=nrow(s)),
            a[5], sep="\t", row.names=FALSE, quote=FALSE)
"""
SHORT = {"Age(Numerical)": "age", "Gender(Categorical)": "sex", "Batch": "batch"}


def limma_design(folder, matrix, frame, covariates, kind):
    """limma's table for the samples of `frame` (sample, group, the covariates, patient), which R
    filters itself: complete cases, and for the F-test the groups of two samples or more."""
    matrix.T.to_csv(folder / "y.tsv", sep="\t", na_rep="NA")
    frame.rename(columns=SHORT).to_csv(folder / "s.tsv", sep="\t", index=False, na_rep="NA")
    (folder / "design.R").write_text(DESIGN_R)
    subprocess.run(["Rscript", str(folder / "design.R"), str(folder / "y.tsv"), str(folder / "s.tsv"),
                    ",".join(SHORT[c] for c in covariates), kind, str(folder / "out.tsv")], check=True, timeout=300)
    return pd.read_csv(folder / "out.tsv", sep="\t")


@pytest.mark.parametrize("kind", ["F", "unpaired", "paired"])
def test_adjusted_tests_and_the_f_test_equal_limma(limma, design_study, tmp_path, kind):
    from veltrana.plugins.tables import read_info_file
    covariates = ["Age(Numerical)", "Batch"] if kind == "paired" else ["Age(Numerical)", "Gender(Categorical)", "Batch"]
    pairs = pair_patients(design_study) if kind == "paired" else None
    method = {"F": F_TEST, "unpaired": "Moderated T-test(Unpaired)", "paired": "Moderated T-test(Paired)"}[kind]
    phenotype = "Tumor_Stage(Categorical)" if kind == "F" else "Pathological_Status"
    summary = pd.read_csv(callbacks.update_diff_inter(run_kwargs(
        design_study, method, **{"phenotype-dropdown": phenotype, COVARIATES: covariates})), sep="\t")
    table = pd.read_csv(summary["DiffPath"][0], sep="\t", index_col=0, keep_default_na=False, na_values=[""])
    matrix = preprocessed_matrix(callbacks.MyPath(design_study), "Protein")
    info = read_info_file(design_study["info"])
    if pairs:  # the pairs the card made, row i of each group patient i
        a, b = (summary[c][0].split(";") for c in ("TargetSampleIds", "ReferenceSampleIds"))
        frame = info.loc[a + b, covariates].assign(sample=a + b, group=["Tumor"] * len(a) + ["Normal"] * len(b),
                                                   patient=list(range(len(a))) * 2)
    else:
        frame = info.loc[matrix.index, covariates].assign(sample=matrix.index, group=info.loc[matrix.index, phenotype])
    r = limma_design(tmp_path, matrix, frame, covariates, kind)

    statistic = "F" if kind == "F" else "ModeratedT"
    np.testing.assert_array_equal(table["P-value"].isna(), r["p"].isna())
    assert np.isnan(table["P-value"].iloc[0]) == (kind == "F")  # no stage IV value: no F
    assert relative(table["P-value"], r["p"]) < 1e-9 and relative(table["FDR"], r["fdr"]) < 1e-9
    np.testing.assert_allclose(table[statistic].to_numpy(), r["stat"], rtol=1e-9, atol=1e-12)
    assert abs(table["PriorDF"].iloc[0] / r["d0"][0] - 1) < 1e-9 and abs(table["PriorVariance"].iloc[0] / r["s0"][0] - 1) < 1e-9
    if kind == "F":
        assert set(summary["Groups"][0].split(";")) == {"I", "II", "III", "IV"} and summary["LeftOutGroups"][0] == "V"
        assert len(summary["SampleIds"][0].split(";")) == r["n"][0]
    else:
        np.testing.assert_allclose(table["Log2FC(adjusted)"].to_numpy(), r["logFC"], rtol=1e-9, atol=1e-12)
        assert summary["TargetSamples"][0] + summary["ReferenceSamples"][0] == r["n"][0]
    if kind == "unpaired":  # every sample is Tumor or Normal: the four without an age are left out
        assert summary["LeftOutForCovariates"][0] == 4 and summary["Covariates"][0] == ";".join(covariates)


def test_general_fit_equals_the_closed_form_with_no_covariate():
    """The block and one-by-one paths of fit_design, on intercept + group, give the two-group
    closed form (features missing a whole group fall to the one-by-one path)."""
    a, b = cohort(features=1500, missing=0.3, seed=5)
    design = np.column_stack([np.ones(len(a) + len(b)), np.r_[np.ones(len(a)), np.zeros(len(b))]])
    coefficients, unscaled, s2, df = moderated.fit_design(np.vstack([a, b]), design)
    expected = moderated._fit_groups(a, b)
    np.testing.assert_allclose(coefficients[:, 1], expected[0], rtol=1e-10, atol=1e-12)
    np.testing.assert_allclose(unscaled[:, 1], expected[1], rtol=1e-12)
    np.testing.assert_allclose(s2, expected[2], rtol=1e-9, atol=1e-20)
    np.testing.assert_array_equal(df, expected[3])


def edit_info(paths, **columns):
    """Rewrites the sample table with `columns` set (a value, or a function of the table)."""
    info = pd.read_csv(paths["info"], sep="\t", index_col=0, dtype=str, keep_default_na=False)
    for name, value in columns.items():
        info[name] = value(info) if callable(value) else value
    info.to_csv(paths["info"], sep="\t")


def test_covariates_are_checked_left_out_when_missing_counted_and_keyed(fresh_paths):
    write_preprocessed(fresh_paths)
    status = "Pathological_Status"
    edit_info(fresh_paths, Site=lambda i: np.where(i[status] == "Tumor", "A", "B"), Lab="L1",
              **{"Age(Numerical)": lambda i: ["" if k == 2 else a for k, a in enumerate(i["Age(Numerical)"])]})

    def run(method="Moderated T-test(Unpaired)", covariates=(), **over):
        return callbacks.update_diff_inter(run_kwargs(fresh_paths, method, **{COVARIATES: list(covariates)}, **over))

    for method, covariates, refusal in (
            ("Wilcoxon(Unpaired)", ["Age(Numerical)"], "moderated tests only"),
            ("Moderated T-test(Unpaired)", ["Height"], "unknown phenotype"),
            ("Moderated T-test(Unpaired)", [status], "phenotype compared"),
            ("Moderated T-test(Unpaired)", [["Age(Numerical)"]], "phenotype names"),
            ("Moderated T-test(Unpaired)", ["Lab"], "one value"),
            ("Moderated T-test(Unpaired)", ["Age(Numerical)", "Site"], "apart from Age"),
            (F_TEST, ["Site"], "confounded")):
        with pytest.raises(ValueError, match=refusal):
            run(method, covariates)

    plain, adjusted = run(), run(covariates=["Age(Numerical)", "Gender(Categorical)"])
    assert os.path.dirname(plain) != os.path.dirname(adjusted)
    assert run(covariates=["Age(Numerical)", "Gender(Categorical)"]) == adjusted  # the same run, reused
    before, after = (pd.read_csv(p, sep="\t").iloc[0] for p in (plain, adjusted))
    assert "Covariates" not in before and after["LeftOutForCovariates"] == 1
    assert after["TargetSamples"] + after["ReferenceSamples"] == before["TargetSamples"] + before["ReferenceSamples"] - 1
    # The F-test takes every group, whatever the pickers hold, and needs two of two samples or more.
    f_run = run(F_TEST, **{"target-groups-dropdown": "Normal"})
    assert run(F_TEST, **{"target-groups-dropdown": "Tumor"}) == f_run
    edit_info(fresh_paths, Pair=lambda i: ["x", "x", "y"] + [""] * (len(i) - 3))
    with pytest.raises(ValueError, match="1 group"):
        run(F_TEST, **{"phenotype-dropdown": "Pair"})


def test_served_card_adjusts_and_draws_the_f_test_beside_the_described_run(fresh_paths, layout_state):
    import dash
    import veltrana.__main__ as front
    from veltrana.cards import gsea_card

    write_preprocessed(fresh_paths)
    app = front.create_app(fresh_paths)
    card = by_id(app.layout, "diff-exp-analysis-control-card")
    ids = [getattr(k, "id", None) for k in card.children]
    picker = card.children[ids.index(COVARIATES)]
    assert ids.index(COVARIATES) == ids.index("diff-exp-analysis-methods-dropdown") + 2
    assert [o["value"] for o in picker.options] == layout_state.phenotypes and picker.value == [] and picker.multi

    cbs = by_name(app)
    page = app.layout["Paths"].data
    values = [["Protein"], [], 1, F_TEST, "Tumor", "Normal", "Smoking(Categorical)", 0.05, 1.5, page]
    # The described run leaves the moderated methods to the designs' run, and the other way round.
    assert cbs["update_diff_inter"](*values) == (dash.no_update, "")
    assert cbs["update_diff_designs_inter"](*values[:3], "Wilcoxon(Unpaired)", *values[4:], []) == (dash.no_update, "")
    _, note = cbs["update_diff_designs_inter"](*values[:3], "Wilcoxon(Unpaired)", *values[4:], ["Age(Numerical)"])
    assert note == "'Adjust for' applies to the moderated tests only: Wilcoxon(Unpaired) ran without Age(Numerical)"
    f_run, _ = cbs["update_diff_designs_inter"](*values, ["Age(Numerical)"])
    assert cbs["show_design_run"](f_run) == f_run
    figure, _ = cbs["update_diff_volcano"](1, f_run, "Protein", page)
    table = pd.read_csv(pd.read_csv(f_run, sep="\t")["DiffPath"][0], sep="\t", index_col=0)
    assert figure.layout.xaxis.title.text == "Largest difference of group means (log2)"
    assert sum(len(t.x) for t in figure.data) == len(table) and "adjusted for Age(Numerical)" in figure.layout.title.text
    assert "Mean(Never)" in table.columns and table["LargestDifference"].min() >= 0
    with pytest.raises(ValueError, match="no direction"):
        gsea_card.feature_scores(table, gsea_card.SIGNED_P)

    values[3], values[6] = "Moderated T-test(Unpaired)", "Pathological_Status"
    t_run, _ = cbs["update_diff_designs_inter"](*values, ["Gender(Categorical)"])
    figure, _ = cbs["update_diff_volcano"](1, t_run, "Protein", page)
    assert figure.layout.xaxis.title.text == "Log2FC(median)"  # the described volcano, its title extended
    assert figure.layout.title.text.endswith("; adjusted for Gender(Categorical)")
