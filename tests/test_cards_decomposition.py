"""The decomposition card: its tree, its callbacks and the host's PCA."""

import os
import subprocess

import numpy as np
import pandas as pd
import pytest

from support import by_id, by_name, require_limma, write_preprocessed
from veltrana.plugins import callbacks, layout, vistro
from veltrana.analyses import batches, decomposition, matrices


@pytest.fixture
def ready_paths(fresh_paths):
    write_preprocessed(fresh_paths)
    return fresh_paths


def run(paths, sources=("Protein", "Glycoform")):
    return callbacks.update_decomposition_inter({"run-decomposition-button": 1, "preprocess-source-dropdown": [],
                                                 "decomposition-data-source-dropdown": list(sources),
                                                 "decomposition-method-dropdown": "PCA", "Paths": paths})


def test_card_tree(monkeypatch):
    monkeypatch.setattr(layout, "phenotypes", ["Gender", "Pathological_Status"])
    card = layout.build_decomposition_card()
    assert (card.id, card.className) == ("decomposition-card", "row")
    control, figures = card.children
    assert (control.id, control.className) == ("decomposition_control-card", "four columns")
    assert [c.children for c in control.children if type(c).__name__ in ("H5", "P")] == [
        "Dimensionality Reduction Analysis", "Process data source(s)", "Select method"]
    sources = by_id(control, "decomposition-data-source-dropdown")
    assert (sources.options, sources.value, sources.multi) == ([], "", True)
    method = by_id(control, "decomposition-method-dropdown")
    assert (method.options, method.value) == ([{"label": "PCA", "value": "PCA"}], "PCA")
    assert by_id(control, "run-decomposition-button").children == "Refresh DECOMP"
    assert by_id(control, "loading-decomposition").children.id == "loading-output-decomposition"

    assert (figures.id, figures.className) == ("decomposition-figure-card", "eight columns")
    pickers, panels = figures.children
    assert pickers.className == panels.className == "row" and getattr(pickers, "id", None) is None
    phenotype = by_id(pickers, "decomposition-figure-phenotype-dropdown")
    assert phenotype.value == "Pathological_Status" and len(phenotype.options) == 2
    assert [p.children[0].children for p in panels.children] == ["PCA (2-D plot)", "PCA Variance ratio"]
    for gid in ("decomposition-figure-1", "decomposition-figure-2"):
        assert by_id(panels, gid).figure.layout.height == 400

    monkeypatch.setattr(layout, "phenotypes", [])
    empty = by_id(layout.build_decomposition_figure_control_card(), "decomposition-figure-phenotype-dropdown")
    assert (empty.options, empty.value) == ([], "")


def test_run_keeps_the_selected_sources_over_the_option_list(fresh_paths, monkeypatch):
    seen = []
    monkeypatch.setattr(callbacks, "update_decomposition_inter", lambda kw: seen.append(kw) or "result.txt")
    update = by_name(vistro.build_app(fresh_paths))["update_decomposition_inter"]
    options = [{"label": "Protein", "value": "Protein"}]
    assert update(2, options, options, ["Protein"], "PCA", fresh_paths) == "result.txt"
    assert seen == [{"run-decomposition-button": 2, "preprocess-source-dropdown": options,
                     "decomposition-data-source-dropdown": ["Protein"], "decomposition-method-dropdown": "PCA",
                     "Paths": fresh_paths}]
    os.remove(fresh_paths["info"])
    assert update(2, options, options, ["Protein"], "PCA", fresh_paths) is None and len(seen) == 1


def test_phenotype_picker_skips_numerical_columns(fresh_paths, monkeypatch):
    cbs = by_name(vistro.build_app(fresh_paths))
    options, value = cbs["update_decomposition_figure_phenotype"](0, [])
    info = pd.read_csv(fresh_paths["info"], sep="\t", index_col=0)
    assert [o["value"] for o in options] == [c for c in info.columns if "(Numerical" not in c]
    assert value == "Pathological_Status"
    only_numbers = pd.DataFrame({"Age(Numerical)": [1.0]}, index=["S1"])
    monkeypatch.setattr(callbacks, "read_info_file", lambda path: only_numbers)
    assert cbs["update_decomposition_figure_phenotype"](0, []) == ([], None)


@pytest.mark.parametrize("stored", [None, "", "/no/such/result.txt"])
def test_no_stored_result_shows_placeholders(fresh_paths, stored):
    cbs = by_name(vistro.build_app(fresh_paths))
    assert cbs["update_decomposition_figure_source"](0, [], stored, fresh_paths) == ([], None)
    fig, loading = cbs["update_decomposition_figure1"](0, stored, "Protein", "Pathological_Status", fresh_paths)
    assert fig.layout.height == 500 and fig.layout.paper_bgcolor == "LightSteelBlue" and loading == ""
    fig = cbs["update_decomposition_figure2"](0, stored, "Protein", "Pathological_Status", fresh_paths)
    assert fig.layout.height == 500 and not fig.data


def test_pca_results_and_figures(ready_paths):
    my_path = callbacks.MyPath(ready_paths)
    path = run(ready_paths)
    result = callbacks.read_result_path(path)
    assert list(result["Source"]) == ["Protein", "Glycoform"] and set(result["Method"]) == {"PCA"}
    folder = os.path.dirname(path)
    contribution = pd.read_csv(os.path.join(folder, "Protein_PCA_contribution.txt"), sep="\t", index_col=0)
    matrix = callbacks.read_expr_path(my_path.get_preprocess_path("Protein"))
    assert list(contribution.columns) == [str(c) for c in matrix.columns]
    scaled = contribution.loc["Scaled"]
    assert scaled.max() == pytest.approx(1.0) and (scaled >= 0).all()
    assert np.allclose(contribution.loc[["PC1", "PC2"]].sum(axis=1), 100)  # each component's shares

    # The scores are those of a centred PCA on mean-imputed values.
    scores = callbacks.read_result_path(os.path.join(folder, "Protein_PCA_scores.txt"))
    data = matrix.fillna(matrix.mean()).to_numpy()
    centred = data - data.mean(axis=0)
    _, s, vt = np.linalg.svd(centred, full_matrices=False)
    assert np.allclose(np.abs(scores["PC1"]), np.abs(centred @ vt[0]))
    ratios = callbacks.read_result_path(os.path.join(folder, "Protein_PCA_variance.txt"))["ExplainedVarianceRatio"]
    assert ratios.iloc[0] == pytest.approx(s[0] ** 2 / (s ** 2).sum())

    cbs = by_name(vistro.build_app(ready_paths))
    assert cbs["update_decomposition_figure_source"](1, [], path, ready_paths)[1] == "Protein"
    fig, _ = cbs["update_decomposition_figure1"](1, path, "Protein", "Pathological_Status", ready_paths)
    assert {t.name for t in fig.data} == {"Tumor", "Normal"}
    assert sum(len(t.x) for t in fig.data) == len(matrix)
    assert fig.layout.xaxis.title.text == f"PC1 ({ratios.iloc[0]:.1%})"
    assert fig.layout.yaxis.title.text.startswith("PC2 (")
    fig2 = cbs["update_decomposition_figure2"](1, path, "Protein", "Pathological_Status", ready_paths)
    assert list(fig2.data[0].y) == pytest.approx(list(ratios))
    unknown, _ = cbs["update_decomposition_figure1"](1, path, "Unlisted", "Pathological_Status", ready_paths)
    assert not unknown.data


REMOVE_BATCH_R = """
suppressMessages(library(limma))
a <- commandArgs(TRUE)
y <- as.matrix(read.delim(a[1], header = FALSE))
batch <- factor(readLines(a[2]))
write.table(removeBatchEffect(y, batch = batch), a[3], sep = "\t", row.names = FALSE, col.names = FALSE)
"""


def test_a_removed_batch_effect_equals_limma_and_leaves_unknown_batches_out(tmp_path):
    require_limma()
    rng = np.random.default_rng(8)
    labels = np.array(["b1"] * 9 + ["b2"] * 5 + ["b3"] * 7)  # unbalanced
    shift = {"b1": 0.0, "b2": 2.5, "b3": -1.0}
    values = rng.normal(size=(21, 300)) + np.array([shift[b] for b in labels])[:, None] + rng.normal(size=300)
    values[rng.random(values.shape) < 0.1] = np.nan
    matrix = pd.DataFrame(values, index=[f"{1005 + i:05d}" for i in range(21)])
    batch = pd.Series(labels, index=matrix.index, dtype=object)
    ours, left_out = batches.remove_effect(matrix, batch)
    assert left_out == 0 and ours.index.equals(matrix.index)
    np.savetxt(tmp_path / "y.tsv", values.T, delimiter="\t", fmt="%.17g")
    (tmp_path / "b.txt").write_text("\n".join(labels) + "\n")
    (tmp_path / "r.R").write_text(REMOVE_BATCH_R)
    subprocess.run(["Rscript", str(tmp_path / "r.R"), str(tmp_path / "y.tsv"), str(tmp_path / "b.txt"),
                    str(tmp_path / "out.tsv")], check=True, timeout=300)
    theirs = pd.read_csv(tmp_path / "out.tsv", sep="\t", header=None).to_numpy().T  # NA as NaN
    np.testing.assert_allclose(ours.to_numpy(), theirs, rtol=1e-9, atol=1e-12)
    assert np.array_equal(np.isnan(ours.to_numpy()), np.isnan(values))
    np.testing.assert_array_equal(matrix.to_numpy(), values)  # the caller's frame is left as it was
    # a sample without a batch is left out and counted
    batch.iloc[4] = np.nan
    kept, left_out = batches.remove_effect(matrix, batch)
    assert left_out == 1 and "01009" not in kept.index and len(kept) == 20


def test_pca_with_a_phenotype_effect_removed(ready_paths, monkeypatch):
    base = {"run-decomposition-button": 1, "preprocess-source-dropdown": [], "Paths": ready_paths,
            "decomposition-data-source-dropdown": ["Protein"]}
    method = batches.method_of("Pathological_Status")
    path = callbacks.update_decomposition_inter({**base, "decomposition-method-dropdown": method})
    plain = run(ready_paths, sources=("Protein",))
    assert os.path.dirname(path) != os.path.dirname(plain)  # another run, the stored matrix unchanged
    cbs = by_name(vistro.build_app(ready_paths))
    fig, _ = cbs["update_decomposition_figure1"](1, path, "Protein", "Pathological_Status", ready_paths)
    assert "Pathological_Status effect removed" in fig.layout.title.text
    # with the groups' difference removed, PC1 no longer separates Tumor from Normal as well
    def separation(result):
        scores = callbacks.read_result_path(os.path.join(os.path.dirname(result), "Protein_PCA_scores.txt"))
        info = callbacks.read_info_file(ready_paths["info"])["Pathological_Status"].reindex(scores.index)
        means = scores["PC1"].groupby(info).mean()
        return abs(means["Tumor"] - means["Normal"]) / scores["PC1"].std()
    assert separation(path) < separation(plain)
    for bad in ("PCA, Age(Numerical) effect removed", "PCA, Nope effect removed"):
        with pytest.raises(ValueError, match="cannot be removed"):
            callbacks.update_decomposition_inter({**base, "decomposition-method-dropdown": bad})


def test_run_checks_its_input(ready_paths):
    assert run(ready_paths, sources=()) is None
    with pytest.raises(ValueError, match="unknown data source"):
        run(ready_paths, sources=("Protein", "/etc/passwd"))
    with pytest.raises(ValueError, match="decomposition method"):
        callbacks.update_decomposition_inter({"decomposition-data-source-dropdown": "Protein",
                                              "decomposition-method-dropdown": "t-SNE", "Paths": ready_paths})
    with pytest.raises(ValueError, match="configuration"):
        run(dict(ready_paths, out_dir="/tmp"))


def test_bare_outputs_of_the_run_and_the_variance_figure(fresh_paths):
    app = vistro.build_app(fresh_paths)
    assert "decomposition-inter.data" in app.callback_map and "decomposition-figure-2.figure" in app.callback_map
    run = app.callback_map["decomposition-inter.data"]
    assert [(d["id"], d["property"]) for d in run["inputs"]] == [
        ("run-decomposition-button", "n_clicks"), ("preprocess-source-dropdown", "options"),
        ("decomposition-data-source-dropdown", "options")]
    assert [(d["id"], d["property"]) for d in run["state"]] == [
        ("decomposition-data-source-dropdown", "value"), ("decomposition-method-dropdown", "value"),
        ("Paths", "data")]
    assert "..decomposition-figure-1.figure...loading-output-decomposition.children.." in app.callback_map


def full_svd_pca(matrix):
    """The reference: missing values filled column by column, scikit-learn's full SVD."""
    from sklearn.decomposition import PCA

    data = matrix.astype(float).dropna(axis=1, how="all")
    data = data.fillna(data.mean())
    model = PCA(n_components=min(10, *data.shape), svd_solver="full")
    return model.fit_transform(data.to_numpy()), model.explained_variance_ratio_, model.components_


@pytest.mark.parametrize("samples, features, factors, gram", [(60, 2500, 3, True), (30, 400, 12, True),
                                                              (900, 40, 4, True), (6, 300, 6, False),
                                                              (50, 60, 2, False)])
def test_pca_equals_the_full_svd(samples, features, factors, gram, monkeypatch):
    """A cohort-shaped matrix (few samples, many features, missing values, a feature without
    values) and a population-shaped one (many samples, few features) through a Gram matrix;
    fewer samples than components and square-ish matrices through the SVD."""
    rng = np.random.default_rng(samples)
    values = rng.normal(size=(samples, factors)) @ rng.normal(size=(factors, features)) * 3
    values += rng.normal(size=values.shape)
    values[rng.random(values.shape) < 0.15] = np.nan
    values[:, 5] = np.nan
    matrix = pd.DataFrame(values, index=[f"{i:05d}" for i in range(1005, 1005 + samples)],
                          columns=[f"G{j}" for j in range(features)])
    before = matrix.copy()
    monkeypatch.setattr(matrices, "BLOCK_VALUES", 7001)  # the centred data made in several blocks
    if gram:
        monkeypatch.setattr(decomposition, "PCA", None)  # the SVD is not called
    scores, ratios, shares = decomposition.run_pca(matrix)
    monkeypatch.undo()
    pd.testing.assert_frame_equal(matrix, before)
    ref_scores, ref_ratios, ref_components = full_svd_pca(matrix)
    scale = np.abs(ref_scores).max()
    np.testing.assert_allclose(scores.to_numpy(), ref_scores, rtol=0, atol=1e-9 * scale)
    np.testing.assert_allclose(ratios.to_numpy(), ref_ratios, rtol=0, atol=1e-12)
    np.testing.assert_allclose(shares.iloc[:-1].to_numpy(), ref_components ** 2 * 100, rtol=0, atol=1e-9)
    assert list(scores.index) == list(matrix.index) and "G5" not in shares.columns


def test_pca_of_too_few_factors_falls_back_to_the_svd_on_the_values_as_they_were():
    """Two factors and no noise: the Gram matrix's smaller eigenvalues are lost to rounding, so the
    full SVD decomposes the matrix, which the Gram path had centred in place."""
    rng = np.random.default_rng(3)
    matrix = pd.DataFrame(rng.normal(size=(300, 2)) @ rng.normal(size=(2, 40)) + 5.0)
    scores, ratios, _ = decomposition.run_pca(matrix)
    ref_scores, ref_ratios, _ = full_svd_pca(matrix)
    np.testing.assert_array_equal(ratios.to_numpy(), ref_ratios)  # the very SVD, on the same values
    np.testing.assert_array_equal(scores.to_numpy(), ref_scores)
