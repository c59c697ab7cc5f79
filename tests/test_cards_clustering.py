"""The feature-clustering card: its tree, its callbacks and the host's clustering."""

import os

import numpy as np
import pandas as pd
import plotly.graph_objects as go
import pytest

from support import by_id, by_name, run_registered, walk, write_preprocessed
from veltrana.plugins import callbacks, layout, plotweave, vistro
from veltrana.serve import limits
from veltrana.runs import results
from veltrana.analyses import clustering, matrices


@pytest.fixture
def ready_paths(fresh_paths):
    write_preprocessed(fresh_paths)
    return fresh_paths


def run_args(paths, sources=("Protein",), k=3, phenotype="Pathological_Status", clicks=1):
    """The eight arguments of the run callback: two inputs, then four states."""
    options = [{"label": s, "value": s} for s in ("Protein", "Glycoform")]
    return (clicks, options, k, list(sources) if isinstance(sources, tuple) else sources, phenotype, paths)


def test_card_tree():
    card = layout.build_clustering_card()
    assert (card.id, card.className) == ("clustering-card", "row")
    control, figure = card.children
    assert (control.id, control.className) == ("clustering-control-card", "four columns")
    assert [type(k).__name__ for k in control.children] == ["H5", "P", "Dropdown", "Br", "P", "Dropdown", "Br", "P",
                                                            "Input", "Br", "Br", "Div"]
    source, phenotype = control.children[2], control.children[5]
    assert (source.id, source.value, source.multi, source.options) == ("clustering-source-dropdown", "NA", True, [])
    assert (phenotype.id, phenotype.value) == ("clustering-phenotype-dropdown", "NA")
    number = control.children[8]
    assert (number.id, number.type, number.value) == ("clustering-number-input", "number", 3)
    assert by_id(control, "run-feature-clustering-button").children == "Refresh Clustering"
    assert by_id(control, "loading-feature-clustering").type == "default"

    assert (figure.id, figure.className) == ("clustering-figure-card", "eight columns")
    assert figure.children[0].children == "Clustering Heatmap"
    assert (figure.children[1].id, figure.children[1].value) == ("clustering-figure-source", "")
    assert figure.children[2].id == "loading-clustering-figure-1" and figure.children[2].type == "circle"
    assert by_id(figure, "clustering-figure-1").figure.layout.height == 400


@pytest.mark.parametrize("sources, phenotype", [(None, "Pathological_Status"), ("", "Pathological_Status"),
                                                ([], "Pathological_Status"), (["Protein"], None),
                                                (["Protein"], "")])
def test_run_returns_early_without_a_choice(fresh_paths, monkeypatch, sources, phenotype):
    monkeypatch.setattr(callbacks, "update_feature_clustering_inter", lambda *a: pytest.fail("host called"))
    update = by_name(vistro.build_app(fresh_paths))["update_feature_clustering_inter"]
    assert update(*run_args(fresh_paths, sources=sources, phenotype=phenotype)) == ("", [], "", "")


def test_run_lists_the_clustered_sources(fresh_paths, monkeypatch):
    seen = []
    result = os.path.join(fresh_paths["out_dir"], "result.txt")
    pd.DataFrame({"Source": ["Protein", "Glycoform"]}).to_csv(result, sep="\t")
    monkeypatch.setattr(callbacks, "update_feature_clustering_inter", lambda kw, d: seen.append((kw, d)) or result)
    update = by_name(vistro.build_app(fresh_paths))["update_feature_clustering_inter"]
    out = update(*run_args(fresh_paths, sources=("Protein", "Glycoform")))
    assert out == (result, [{"label": "Protein", "value": "Protein"}, {"label": "Glycoform", "value": "Glycoform"}],
                   "Protein", "")
    kw, module_dir = seen[0]
    assert kw["clustering-source-dropdown"] == ["Protein", "Glycoform"] and kw["clustering-number-input"] == 3
    # The folder does not exist before the first run; the run creates it.
    assert module_dir == callbacks.MyPath(fresh_paths).get_clustering_dir() and not os.path.exists(module_dir)
    # The keyword dictionary is the host's: a host that replaces the service is heard.
    real = callbacks.build_default_kwargs
    monkeypatch.setattr(callbacks, "build_default_kwargs",
                        lambda i, s, a: {**real(i, s, a), "clustering-number-input": 7})
    update(*run_args(fresh_paths, sources=("Protein",)))
    assert seen[1][0]["clustering-number-input"] == 7


def test_figure_needs_an_existing_result(fresh_paths, monkeypatch):
    monkeypatch.setattr(callbacks, "update_feature_clustering_figure_1", lambda *a: "heatmap")
    figure = by_name(vistro.build_app(fresh_paths))["update_feature_clustering_figure_1"]
    module_dir = callbacks.MyPath(fresh_paths).get_clustering_dir()
    args = lambda stored: (1, [], "Protein", stored, 3, ["Protein"], "Pathological_Status", fresh_paths)  # noqa: E731
    fig, loading = figure(*args(None))
    assert fig.layout.paper_bgcolor == "LightSteelBlue" and loading == ""
    os.makedirs(module_dir)
    stored = os.path.join(module_dir, "result.txt")
    assert figure(*args(stored))[0] != "heatmap"
    open(stored, "w").close()
    assert figure(*args(stored)) == ("heatmap", "")


def test_clustering_result_files(ready_paths):
    my_path = callbacks.MyPath(ready_paths)
    update = by_name(vistro.build_app(ready_paths))["update_feature_clustering_inter"]
    path, options, value, _ = update(*run_args(ready_paths, sources=("Protein", "Glycoform"), k=4))
    assert os.path.basename(path) == clustering.RESULT_FILE and value == "Protein"
    assert os.path.dirname(os.path.dirname(path)) == my_path.get_clustering_dir()
    result = callbacks.read_result_path(path)
    assert list(result["Method"]) == ["Hierarchical clustering"] * 2 and list(result["BaseName"]) == ["Protein",
                                                                                                     "Glycoform"]
    clusters = pd.read_csv(os.path.join(os.path.dirname(path), "Protein_feature_clustering.txt"), sep="\t",
                           index_col=0)
    matrix = callbacks.read_expr_path(my_path.get_preprocess_path("Protein"))
    assert set(clusters.index) == set(matrix.columns) and list(clusters.columns) == ["FeatureCluster"]
    assert set(clusters["FeatureCluster"]) == {1, 2, 3, 4}
    assert clusters["FeatureCluster"].is_monotonic_increasing

    fig, _ = by_name(vistro.build_app(ready_paths))["update_feature_clustering_figure_1"](
        1, options, "Glycoform", path, 4, ["Protein", "Glycoform"], "Pathological_Status", ready_paths)
    assert [t.type for t in fig.data] == ["heatmap"] * 3 and len(fig.data[0].y) == result["Features"].iloc[1]


def test_clusters_separate_distinct_profiles():
    rng = np.random.default_rng(0)
    up, down = np.linspace(-2, 2, 12), np.linspace(2, -2, 12)
    columns = {f"U{i}": up + rng.normal(0, 0.1, 12) for i in range(5)}
    columns.update({f"D{i}": down + rng.normal(0, 0.1, 12) for i in range(5)})
    matrix = pd.DataFrame(columns)
    matrix.iloc[3, 0] = np.nan
    matrix["Flat"] = 1.0  # a constant feature has no profile: it joins neither group by accident
    clusters = clustering.cluster_features(matrix.drop(columns="Flat"), 2)["FeatureCluster"]
    assert len({clusters[f"U{i}"] for i in range(5)}) == 1 and len({clusters[f"D{i}"] for i in range(5)}) == 1
    assert clusters["U0"] != clusters["D0"]
    assert set(clustering.cluster_features(matrix, 3)["FeatureCluster"]) == {1, 2, 3}
    with pytest.raises(ValueError, match="cannot split"):
        clustering.cluster_features(matrix.iloc[:, :2], 3)
    # A feature missing in every sample is left out; the others cluster as without it.
    with_empty = matrix.drop(columns="Flat").assign(Empty=np.nan).iloc[:, [0, 10, *range(1, 10)]]
    pd.testing.assert_frame_equal(clustering.cluster_features(with_empty, 2), clusters.to_frame())
    with pytest.raises(ValueError, match="cannot split 2 feature"):
        clustering.cluster_features(with_empty.iloc[:, :3], 3)
    # Some features of a wider matrix, read in place (the capped features of a cohort): as the
    # clusters of a frame of those features alone, with and without missing values.
    wide = pd.DataFrame(np.asfortranarray(rng.normal(size=(8, 40))), columns=[f"W{j}" for j in range(40)])
    wide.iloc[2, 5], wide["W7"] = np.nan, np.nan
    picked = np.array([0, 3, 5, 7, 8, 11, 19, 20, 25, 31, 39])
    for frame in (wide, wide.fillna(0.5)):
        before = frame.copy()
        pd.testing.assert_frame_equal(clustering.cluster_features(frame, 3, picked),
                                      clustering.cluster_features(frame.iloc[:, picked], 3))
        pd.testing.assert_frame_equal(frame, before)


@pytest.mark.parametrize("rows_per_block", [None, 7])
def test_distances_equal_scipys_and_give_its_tree(rows_per_block, monkeypatch):
    from scipy.cluster.hierarchy import linkage
    from scipy.spatial.distance import pdist

    if rows_per_block:
        monkeypatch.setattr(clustering, "DISTANCE_BLOCK", 400 * rows_per_block)
    rng = np.random.default_rng(3)
    z = rng.normal(size=(400, 60))
    z[5], z[7], z[9] = z[3], z[3] + 1e-9, 0.0  # a duplicate, a near-duplicate (cancellation), a flat feature
    z[11] = z[12] * 1e6  # norms far apart
    z[398] = z[20]  # a duplicate far apart, from a later block of rows
    ours, theirs = clustering.euclidean_distances(z), pdist(z)
    assert ours[clustering_pair(400, 3, 5)] == 0.0 and ours[clustering_pair(400, 20, 398)] == 0.0
    np.testing.assert_allclose(ours, theirs, rtol=1e-12, atol=0)
    ours_tree, their_tree = linkage(ours, "ward"), linkage(theirs, "ward")
    assert np.array_equal(ours_tree[:, :2], their_tree[:, :2])


def test_ward_tree_is_scipys_to_the_bit_through_ties_and_duplicates():
    """Ties decide which pair the chain merges: points on a small grid (many equal distances and
    duplicates at 0), rounded values, repeated points and plain ones, against scipy's linkage."""
    from scipy.cluster.hierarchy import linkage
    from scipy.spatial.distance import pdist

    rng = np.random.default_rng(11)
    for trial in range(120):
        n, dim = int(rng.integers(2, 50)), int(rng.integers(1, 5))
        x = [rng.normal(size=(n, dim)), rng.integers(0, 3, size=(n, dim)).astype(float),
             np.round(rng.normal(size=(n, dim)), 1),
             np.repeat(rng.normal(size=(n, dim)), 3, axis=0)[:n]][trial % 4]
        condensed = pdist(x)
        np.testing.assert_array_equal(clustering.ward_tree(condensed.copy()), linkage(condensed, "ward"))
    with pytest.raises(ValueError, match="finite"):
        clustering.ward_tree(np.array([1.0, np.nan, 2.0]))
    with pytest.raises(ValueError, match="two points or more"):
        clustering.ward_tree(np.ones(2))


@pytest.mark.parametrize("samples, samples_per_block", [(70, None), (70, 9), (30, None)])
def test_distances_of_z_scores_summed_over_blocks_of_samples(samples, samples_per_block, monkeypatch):
    """Clustering's distances, made without the z-scores of the whole matrix when there are more
    samples than features, equal pdist's of the z-scores: missing values, a constant feature,
    duplicates and a feature without values."""
    from scipy.spatial.distance import pdist

    rng = np.random.default_rng(5)
    values = rng.normal(size=(samples, 40)) * rng.uniform(0.1, 5, size=40) + rng.normal(size=40)
    values[rng.random(values.shape) < 0.15] = np.nan
    values[:, 4] = values[:, 2]  # a duplicate: distance 0 however the Gram matrix rounds
    values[:, 6], values[:, 8] = 3.0, np.nan  # constant; no value at all (left out)
    kept = np.flatnonzero(~np.isnan(values).all(axis=0))
    if samples_per_block:
        monkeypatch.setattr(matrices, "BLOCK_VALUES", len(kept) * samples_per_block)
    ours = clustering._zscore_distances(values, kept)
    z = clustering.zscores(pd.DataFrame(values[:, kept])).fillna(0.0).to_numpy().T
    np.testing.assert_allclose(ours, pdist(z), rtol=1e-10, atol=1e-12)
    assert ours[clustering_pair(len(kept), 2, 4)] == 0.0


def clustering_pair(n, i, j):
    """The condensed index of the pair (i, j), i < j."""
    return n * i - i * (i + 1) // 2 + (j - i - 1)


def test_the_cap_keeps_the_most_variable_features():
    matrix = pd.DataFrame({"a": [0, 0, 1.0], "b": [0, 5, 10.0], "c": [0, 0, 0.0], "d": [1, 3, 5.0]})
    assert list(clustering.most_variable(matrix, limit=2).columns) == ["b", "d"]
    assert clustering.most_variable(matrix, limit=10) is matrix


@pytest.mark.parametrize("bad", [0, -2, 2.5, None, "3", True])
def test_cluster_number_must_be_a_positive_whole_number(bad):
    with pytest.raises(ValueError, match="number of clusters"):
        clustering.cluster_count(bad)
    assert clustering.cluster_count(4.0) == 4


def test_cluster_numbers_beyond_the_server_limit_are_refused():
    from veltrana.serve import limits

    assert clustering.cluster_count(50) == 50
    with pytest.raises(ValueError, match="the number of clusters must be from 1 to 50 on this server, got 51"):
        clustering.cluster_count(51)
    with pytest.raises(ValueError, match="number of clusters"):
        clustering.cluster_count(float("inf"))
    try:
        limits.configure({"clusters": 80, "top_features": 2})
        assert clustering.cluster_count(80) == 80
        matrix = pd.DataFrame({"a": [0, 0, 1.0], "b": [0, 5, 10.0], "c": [0, 0, 0.0], "d": [1, 3, 5.0]})
        assert list(clustering.most_variable(matrix).columns) == ["b", "d"]  # the server's top_features
    finally:
        limits.reset()


def test_heatmap_orders_features_by_cluster_and_samples_by_phenotype(ready_paths, monkeypatch):
    drawn = []
    monkeypatch.setattr(plotweave, "heatmap_plot", lambda *a: drawn.append(a) or go.Figure())
    my_path = callbacks.MyPath(ready_paths)
    cbs = by_name(vistro.build_app(ready_paths))
    path, *_ = cbs["update_feature_clustering_inter"](*run_args(ready_paths, k=3))
    fig, _ = cbs["update_feature_clustering_figure_1"](1, [], "Protein", path, 3, ["Protein"],
                                                       "Pathological_Status", ready_paths)
    assert fig.layout.title.text.startswith("Protein: 24 samples, ")
    z, samples, features, sample_labels, feature_labels, sample_text, feature_text = drawn[0]
    clusters = pd.read_csv(os.path.join(os.path.dirname(path), "Protein_feature_clustering.txt"), sep="\t",
                           index_col=0)["FeatureCluster"]
    assert features == list(clusters.index) and [c for [c] in feature_labels] == list(clusters)
    assert feature_text[0] == [f"Cluster:({clusters.iloc[0]})"]
    info = callbacks.read_info_file(my_path.get_meta_path())
    status = [info.loc[s, "Pathological_Status"] for s in samples]
    assert status == sorted(status) and len(samples) == len(info)
    assert sample_text[0][0] == f"Pathological_Status: {status[0]}" and len(set(sample_labels[0])) == 2
    assert z.shape == (len(features), len(samples))
    # z-scores rounded to three decimals for the page
    assert np.allclose(np.nanmean(z, axis=1), 0, atol=1e-3) and np.allclose(np.nanstd(z, axis=1, ddof=1), 1, atol=1e-3)


def test_forged_locations_are_refused(ready_paths):
    my_path = callbacks.MyPath(ready_paths)
    kw = {"clustering-source-dropdown": ["Protein"], "clustering-number-input": 2, "Paths": ready_paths,
          "clustering-figure-source": "Protein", "clustering-phenotype-dropdown": "Pathological_Status"}
    with pytest.raises(ValueError, match="outside the output directory"):
        clustering.update_feature_clustering_inter(kw, "/tmp")
    with pytest.raises(ValueError, match="not a clustering result"):
        clustering.update_feature_clustering_figure_1(kw, ready_paths["info"], my_path.get_clustering_dir())
    with pytest.raises(ValueError, match="configuration"):
        clustering.update_feature_clustering_inter(dict(kw, Paths={"info": "/etc/passwd"}),
                                                   my_path.get_clustering_dir())


def pandas_zscores(matrix):
    """The frame-method z-scores the numpy ones must equal to the bit."""
    std = matrix.std(ddof=1)
    z = (matrix - matrix.mean()) / std.where(std > 0)
    return z.where(~z.isna() | matrix.isna(), 0.0)


def test_zscores_equal_the_frame_methods_bit_for_bit():
    rng = np.random.default_rng(5)
    values = rng.normal(3, 2, (40, 300))
    values[rng.random(values.shape) < 0.15] = np.nan
    values[:, 0], values[1:, 1], values[:, 2] = np.nan, np.nan, 1.5  # no value, one value, constant
    ids, names = [f"{i:05d}" for i in range(1005, 1045)], [f"F{j}" for j in range(300)]
    frames = [pd.DataFrame(values, ids, names), pd.DataFrame(np.asfortranarray(values), ids, names),
              pd.DataFrame(np.nan_to_num(values, nan=0.25), ids, names),  # C and F memory; nothing missing
              pd.DataFrame(np.asfortranarray(np.nan_to_num(values, nan=0.25)), ids, names)]
    for matrix in frames:
        before = matrix.copy()
        z = clustering.zscores(matrix)
        pd.testing.assert_frame_equal(matrix, before)  # the caller's frame is not altered
        expected = pandas_zscores(matrix)
        assert z.index.equals(expected.index) and z.columns.equals(expected.columns)
        np.testing.assert_array_equal(z.to_numpy(), expected.to_numpy())
        # what the feature tree is built on: the same values, missing as 0, one row per feature
        rows, _ = clustering._standardised_rows(matrix.to_numpy())
        assert rows.flags.c_contiguous
        np.testing.assert_array_equal(rows, expected.fillna(0.0).to_numpy().T)
        some = np.arange(3, 300, 7)  # some features, gathered from the whole matrix
        rows, _ = clustering._standardised_rows(matrix.to_numpy(), some)
        assert rows.flags.c_contiguous
        np.testing.assert_array_equal(rows, pandas_zscores(matrix.iloc[:, some]).fillna(0.0).to_numpy().T)
    assert (clustering.zscores(frames[0])[["F1", "F2"]].iloc[1:].fillna(0.0) == 0).all().all()



def test_feature_moments_equal_the_frame_methods_bit_for_bit():
    """The means (PCA's fill) and variances (the clustering cap) of a cohort's features without the
    frame methods' passes: equal to theirs on C and F memory, with and without missing values."""
    rng = np.random.default_rng(8)
    values = rng.normal(3, 2, (300, 120)) * 10.0 ** rng.integers(-3, 4, 120)
    values[rng.random(values.shape) < 0.2] = np.nan
    values[:, 0], values[1:, 1], values[:, 2] = np.nan, np.nan, 1.5  # no value, one value, constant
    for frame in (pd.DataFrame(values), pd.DataFrame(np.asfortranarray(values)), pd.DataFrame(values).copy()):
        np.testing.assert_array_equal(matrices.feature_means(frame.to_numpy()), frame.mean().to_numpy())
        np.testing.assert_array_equal(matrices.feature_variances(frame.to_numpy()), frame.var(ddof=1).to_numpy())
    for view in (values[::3, :117], values[:7, 5:]):  # strided; columns not in whole blocks of eight
        frame = pd.DataFrame(view.copy())
        np.testing.assert_array_equal(matrices.feature_means(view), frame.mean().to_numpy())
        np.testing.assert_array_equal(matrices.feature_variances(view), frame.var(ddof=1).to_numpy())
    whole = pd.DataFrame(np.nan_to_num(values, nan=0.25))
    np.testing.assert_array_equal(matrices.feature_variances(whole.to_numpy()), whole.var(ddof=1).to_numpy())

def test_heatmap_shows_the_most_variable_clustered_features_under_the_cap(fresh_paths, monkeypatch):
    rng = np.random.default_rng(2)
    samples = [f"{i:05d}" for i in range(1005, 1065)]
    matrix = pd.DataFrame(rng.normal(size=(60, 400)) * np.linspace(0.1, 4, 400), index=samples,
                          columns=[f"G{j}" for j in range(400)])
    monkeypatch.setattr(clustering, "preprocessed_matrix", lambda my_path, source: matrix.copy())
    monkeypatch.setattr(results.Snapshot, "matrix", lambda study, source: matrix.copy())  # the run's read
    info = pd.DataFrame({"Pathological_Status": rng.choice(["Tumor", "Normal"], 60)}, index=samples)
    monkeypatch.setattr(clustering, "read_info_file", lambda path: info)
    monkeypatch.setattr(clustering, "HEATMAP_CELLS", 60 * 150)  # 150 features of 60 samples
    my_path = callbacks.MyPath(fresh_paths)
    folder = my_path.get_clustering_dir()
    kw = {"clustering-source-dropdown": ["Protein"], "clustering-number-input": 4, "Paths": fresh_paths,
          "clustering-figure-source": "Protein", "clustering-phenotype-dropdown": "Pathological_Status"}
    path = clustering.update_feature_clustering_inter(kw, folder)
    order = list(callbacks.read_result_path(os.path.join(os.path.dirname(path), "Protein_feature_clustering.txt")).index)
    fig = clustering.update_feature_clustering_figure_1(kw, path, folder)

    shown = list(fig.data[0].y)
    assert len(shown) == 150
    assert fig.layout.title.text == "Protein: 60 samples, the 150 most variable of 400 clustered features"
    assert shown == [f for f in order if f in set(shown)]  # dendrogram order
    assert set(shown) == set(matrix.var().nlargest(150).index)
    z = fig.data[0].z
    assert z.dtype == np.float32 and z.shape == (150, 60)
    expected = pandas_zscores(matrix.loc[list(fig.data[0].x), shown]).T.round(3).to_numpy(dtype=np.float32)
    np.testing.assert_array_equal(z, expected)

    monkeypatch.setattr(clustering, "HEATMAP_CELLS", 10**6)  # under the cap: every feature
    fig = clustering.update_feature_clustering_figure_1(kw, path, folder)
    assert list(fig.data[0].y) == order and fig.layout.title.text == "Protein: 60 samples, 400 features"


def test_heatmap_of_many_samples_shows_mean_z_scores_of_runs_within_each_group(fresh_paths, monkeypatch):
    rng = np.random.default_rng(4)
    samples = [f"{i:05d}" for i in range(1005, 1095)]
    matrix = pd.DataFrame(rng.normal(size=(90, 40)), index=samples, columns=[f"G{j}" for j in range(40)])
    matrix.iloc[3, :5] = np.nan
    monkeypatch.setattr(clustering, "preprocessed_matrix", lambda my_path, source: matrix.copy())
    monkeypatch.setattr(results.Snapshot, "matrix", lambda study, source: matrix.copy())  # the run's read
    info = pd.DataFrame({"Pathological_Status": ["Tumor"] * 61 + ["Normal"] * 29}, index=samples)
    monkeypatch.setattr(clustering, "read_info_file", lambda path: info)
    monkeypatch.setitem(limits._values, "figure_samples", 50)
    monkeypatch.setattr(clustering, "sample_runs", lambda groups: real_runs(groups, runs=9))
    my_path = callbacks.MyPath(fresh_paths)
    folder = my_path.get_clustering_dir()
    kw = {"clustering-source-dropdown": ["Protein"], "clustering-number-input": 3, "Paths": fresh_paths,
          "clustering-figure-source": "Protein", "clustering-phenotype-dropdown": "Pathological_Status"}
    path = clustering.update_feature_clustering_inter(kw, folder)
    fig = clustering.update_feature_clustering_figure_1(kw, path, folder)

    assert fig.layout.title.text.startswith("Protein: 90 samples, 40 features, summarised over 90 samples: "
                                            "mean z-scores of 9 runs")
    ordered = info["Pathological_Status"].sort_values(kind="stable")
    runs = real_runs(ordered, runs=9)
    # every sample in exactly one run, each run within one group, the groups' shares kept
    assert [g for g, *_ in runs] == ["Normal"] * 3 + ["Tumor"] * 6
    assert runs[0][1] == 0 and runs[-1][2] == 90 and all(a[2] == b[1] for a, b in zip(runs, runs[1:]))
    assert list(fig.data[0].x) == ["Normal: 1-10", "Normal: 11-19", "Normal: 20-29"] + [
        f"Tumor: {a - 28:,}-{b - 29:,}" for _, a, b, _ in runs[3:]]
    shown = list(fig.data[0].y)
    exact = pandas_zscores(matrix.loc[list(ordered.index), shown]).T.to_numpy()
    means = np.column_stack([np.nanmean(exact[:, a:b], axis=1) for _, a, b, _ in runs])
    np.testing.assert_array_equal(fig.data[0].z, np.round(means, 3).astype(np.float32))


real_runs = clustering.sample_runs


def test_clustering_with_a_phenotype_effect_removed_through_the_served_page(ready_paths):
    from veltrana.serve import app as front_app
    from veltrana.analyses import batches

    app = front_app.create_app(ready_paths)
    assert "clustering-remove-effect" in [getattr(c, "id", None) for c in walk(app.layout["clustering-card"])]
    key = next(k for k in app.callback_map if "feature-clustering-inter.data@" in k)
    states = [ready_paths, ["Protein"], "Pathological_Status", 3, "Pathological_Status"]
    out = run_registered(app, key, [1], states)
    result = out["feature-clustering-inter"]["data"]
    row = callbacks.read_result_path(result).iloc[0]
    assert row["EffectRemoved"] == "Pathological_Status" and row["LeftOut"] == 0
    plain = clustering.update_feature_clustering_inter(
        {"Paths": ready_paths, "clustering-source-dropdown": ["Protein"], "clustering-number-input": 3},
        callbacks.MyPath(ready_paths).get_clustering_dir())
    assert os.path.dirname(plain) != os.path.dirname(result)  # another run; the stored matrix unchanged
    kwargs = {"Paths": ready_paths, "clustering-figure-source": "Protein",
              "clustering-phenotype-dropdown": "Pathological_Status"}
    fig = clustering.update_feature_clustering_figure_1(kwargs, result, callbacks.MyPath(ready_paths)
                                                        .get_clustering_dir())
    assert "Pathological_Status effect removed" in fig.layout.title.text
    # the heatmap shows the corrected values: within each feature the two groups' means agree
    matrix = callbacks.read_expr_path(callbacks.MyPath(ready_paths).get_preprocess_path("Protein"))
    info = callbacks.read_info_file(ready_paths["info"])
    corrected, _ = batches.remove_effect(matrix, batches.batches_of(info, "Pathological_Status", matrix.index))
    means = corrected.groupby(info["Pathological_Status"].reindex(corrected.index)).mean()
    assert np.allclose(means.iloc[0], means.iloc[1], equal_nan=True)
    with pytest.raises(ValueError, match="cannot be removed"):
        clustering.update_feature_clustering_inter(
            {"Paths": ready_paths, "clustering-source-dropdown": ["Protein"], "clustering-number-input": 3},
            callbacks.MyPath(ready_paths).get_clustering_dir(), "Age(Numerical)")
