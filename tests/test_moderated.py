"""Moderated t-tests: the linear models against R's limma and plain least squares, the card's
table, and the two methods offered after the described four."""

import os
import shutil
import subprocess

import numpy as np
import pandas as pd
import pytest

from support import by_id, pair_patients, write_preprocessed
from veltrana.plugins import callbacks
from veltrana.plugins.analysis import moderated
from veltrana.plugins.analysis.differential import MODERATED_METHODS
from veltrana.plugins.analysis.matrices import preprocessed_matrix

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


def limma_available() -> bool:
    if shutil.which("Rscript") is None:
        return False
    done = subprocess.run(["Rscript", "-e", "library(limma)"], capture_output=True)
    return done.returncode == 0


@pytest.fixture(scope="module")
def limma():
    if not limma_available():
        if os.environ.get("VELTRANA_REQUIRE_BROWSER") == "1":
            pytest.fail("Rscript with limma is missing (VELTRANA_REQUIRE_BROWSER=1)")
        pytest.skip("Rscript with limma is not installed")

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


@pytest.mark.parametrize("method", list(MODERATED_METHODS))
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


@pytest.fixture
def layout_state(monkeypatch):
    """create_app gives the layout module the study's phenotypes; later tests get the old ones back."""
    from veltrana.plugins import layout

    for name in ("info_df", "phenotypes", "groups"):
        monkeypatch.setattr(layout, name, getattr(layout, name))
    return layout


def test_front_door_offers_the_moderated_methods_after_the_described_ones(fresh_paths, layout_state):
    import veltrana.__main__ as front

    alone = by_id(layout_state.build_layout(fresh_paths), "diff-exp-analysis-methods-dropdown")
    assert [o["value"] for o in alone.options] == DESCRIBED
    served = by_id(front.create_app(fresh_paths).layout, "diff-exp-analysis-methods-dropdown")
    assert [o["value"] for o in served.options] == DESCRIBED + list(MODERATED_METHODS)
    assert served.value == alone.value
    with pytest.raises(KeyError, match="no-such-dropdown"):
        front.with_options(layout_state.build_layout(fresh_paths), "no-such-dropdown", ["x"])
