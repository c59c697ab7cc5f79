"""The host stand-in: locations, readers and writers, and the confinement of values from the page."""

import os
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

from veltrana.study import demo
from veltrana.plugins import callbacks, paths, pca1, tables, toolkit


def test_mypath_validates_and_derives_everything_under_out_dir(tmp_path):
    with pytest.raises(ValueError, match="lacks 'info'"):
        callbacks.MyPath({"expression": {"Protein": "p"}, "out_dir": "o"})
    with pytest.raises(ValueError, match="source name"):
        callbacks.MyPath({"expression": {"Prot\x00ein": "p"}, "info": "i", "out_dir": "o"})
    with pytest.raises(ValueError, match="must be a dict"):
        callbacks.MyPath("out")
    out = tmp_path / "out"
    p = callbacks.MyPath({"expression": {"Protein": "p.txt"}, "info": "i.txt", "out_dir": str(out)})
    results = [p.get_out_dir(), p.get_preprocess_path("Protein"), p.get_clustering_dir(), p.get_enrichment_dir(),
               p.get_feature_sets_path(), p.get_feature_association_dir(), p.get_feature_association_summary_path(),
               p.get_phenotype_feature_correlation_path(), p.get_phenotype_feature_logistic_path()]
    assert all(r.startswith(str(out)) for r in results)
    assert len(set(results)) == len(results)
    assert p.get_meta_path() == "i.txt"
    assert not out.exists()  # nothing is created
    with pytest.raises(ValueError, match="unknown data source"):
        p.get_preprocess_path("Nope")


def test_readers_and_writers_round_trip(fresh_paths):
    my_path = callbacks.MyPath(fresh_paths)
    raw = tables.read_raw_expression(my_path.get_expr_path("Protein"))
    assert raw.shape == (24, 200) and raw.index[0] == "S001" and raw.dtypes.unique().tolist() == [np.float64]
    info = callbacks.read_info_file(my_path.get_meta_path())
    assert list(info.index) == list(raw.index)
    assert "Pathological_Status" in info and any("(Numerical" in c for c in info.columns)
    target = os.path.join(my_path.get_out_dir(), "sub", "t.txt")
    frame = pd.DataFrame({"a": [1.5, np.nan], "b": ["x", "y"]}, index=pd.Index(["r1", "r2"], name="Feature"))
    callbacks.save_result_path(target, frame)
    back = callbacks.read_result_path(target)
    pd.testing.assert_frame_equal(back, frame)


@pytest.mark.parametrize("frame", [
    pd.DataFrame({"Feature": ["01005", "b"], "FPR": ["0.0,0.5", "0.1"], "AUC": [0.5, np.nan]}),
    pd.DataFrame({"v": [1.5, 1e-300], "s": ["x", None], "n": [3, 4]}, index=pd.Index(["r1", "r2"], name="Feature")),
    pd.DataFrame(np.random.default_rng(3).normal(size=(40, 3)) * 1e6, columns=["x", "y", "z"]),
    pd.DataFrame({"quoted": ['say "no"', "tab\there"]}),  # left to pandas
    pd.DataFrame({"flag": [True, False]}),                 # left to pandas
    pd.DataFrame([[0.1, np.nan, -2.5e-8], [3.0, 4.0, 1e300]], index=["PC1", "Scaled"], columns=["g1", "g2", "g3"]),
    pd.DataFrame([[1, -2], [3, 4]], columns=["n", "m"]),   # one number type: written as one block
])
def test_tables_are_written_as_pandas_writes_them(fresh_paths, frame):
    target = os.path.join(callbacks.MyPath(fresh_paths).get_out_dir(), "t.txt")
    callbacks.save_result_path(target, frame)
    with open(target, newline="") as fh:
        assert fh.read() == frame.to_csv(sep="\t")


def test_matrix_store_keeps_ids_values_and_refuses_what_it_cannot_hold(fresh_paths):
    my_path = callbacks.MyPath(fresh_paths)
    target = my_path.get_preprocess_path("Protein")
    assert target.endswith(".npz")
    matrix = pd.DataFrame([[1.25, np.nan], [-0.5, 1e-300]], index=["01005", "LAL5"], columns=["007", "1e3"])
    callbacks.save_result_path(target, matrix)
    back = callbacks.read_expr_path(target)
    pd.testing.assert_frame_equal(back, matrix)
    assert list(back.index) == ["01005", "LAL5"] and list(back.columns) == ["007", "1e3"]
    with pytest.raises(ValueError, match="numeric matrix"):
        callbacks.save_result_path(target, pd.DataFrame({"a": ["x"]}))
    pd.testing.assert_frame_equal(callbacks.read_expr_path(target), matrix)  # the failed write left it
    with open(target, "wb") as fh:
        fh.write(b"not a matrix")
    with pytest.raises(ValueError, match="not a stored matrix"):
        callbacks.read_expr_path(target)


def test_cache_hands_out_copies_and_sees_rewrites(fresh_paths):
    my_path = callbacks.MyPath(fresh_paths)
    target = os.path.join(my_path.get_out_dir(), "t.txt")
    callbacks.save_result_path(target, pd.DataFrame({"v": [1.0, 2.0]}))
    first = callbacks.read_result_path(target)
    first.loc["0", "v"] = 99.0
    assert callbacks.read_result_path(target).loc["0", "v"] == 1.0
    callbacks.save_result_path(target, pd.DataFrame({"v": [3.0, 4.0, 5.0]}))
    assert list(callbacks.read_result_path(target)["v"]) == [3.0, 4.0, 5.0]


def test_matrices_are_handed_out_without_a_copy_that_cannot_alter_the_cache(fresh_paths):
    target = callbacks.MyPath(fresh_paths).get_preprocess_path("Protein")
    callbacks.save_result_path(target, pd.DataFrame([[1.0, 2.0], [3.0, np.nan]], index=["01005", "02"],
                                                    columns=["P1", "P2"]))
    first, second = callbacks.read_expr_path(target), callbacks.read_expr_path(target)
    assert np.shares_memory(first.to_numpy(), second.to_numpy())
    first.index.name, first.columns.name = "sample", "feature"
    for write in (lambda f: f.loc.__setitem__(("01005", "P1"), 99.0),
                  lambda f: f.iloc.__setitem__((1, 1), 99.0), lambda f: f.fillna(0.0, inplace=True),
                  lambda f: f.to_numpy().__setitem__((0, 0), 99.0)):
        try:
            write(first)  # copy-on-write pandas copies; otherwise the values are read-only
        except ValueError as err:
            assert "read-only" in str(err)
    again = callbacks.read_expr_path(target)
    assert again.loc["01005", "P1"] == 1.0 and np.isnan(again.loc["02", "P2"])
    assert again.index.name is None and again.columns.name is None
    again["P3"] = again["P1"] * 2  # a new column is the caller's own
    assert list(callbacks.read_expr_path(target).columns) == ["P1", "P2"]


@pytest.mark.parametrize("forged", ["/etc/passwd", "../../etc/passwd", "{out}/../../etc/passwd", "{data}/../outside.txt"])
def test_readers_refuse_paths_outside_the_configured_locations(fresh_paths, forged, tmp_path):
    (tmp_path / "outside.txt").write_text("a\tb\n1\t2\n")
    callbacks.MyPath(fresh_paths)
    path = forged.format(out=fresh_paths["out_dir"], data=os.path.dirname(fresh_paths["info"]))
    for reader in (callbacks.read_result_path, callbacks.read_expr_path, callbacks.read_info_file):
        with pytest.raises(ValueError, match="outside the configured locations"):
            reader(path)


def test_symlink_out_of_the_output_folder_is_refused(fresh_paths, tmp_path):
    callbacks.MyPath(fresh_paths)
    secret = tmp_path / "secret.txt"
    secret.write_text("k\tv\n1\t2\n")
    os.makedirs(fresh_paths["out_dir"], exist_ok=True)
    link = os.path.join(fresh_paths["out_dir"], "link.txt")
    os.symlink(secret, link)
    with pytest.raises(ValueError):
        callbacks.read_result_path(link)


def test_page_paths_must_be_the_servers_own(fresh_paths):
    callbacks.MyPath(fresh_paths)
    assert paths.configured(dict(fresh_paths)).get_out_dir() == os.path.abspath(fresh_paths["out_dir"])
    forged = dict(fresh_paths, out_dir="/")
    with pytest.raises(ValueError, match="not this server's configuration"):
        paths.configured(forged)
    with pytest.raises(ValueError):
        paths.configured(None)


@pytest.mark.parametrize("name", ["../x.gmt", "/etc/passwd", "a/b.gmt", "..", "", None, "..\\x.gmt"])
def test_fix_path_only_accepts_plain_names(tmp_path, name):
    with pytest.raises(ValueError):
        callbacks.fix_path(name, parent_dir=str(tmp_path))


def test_fix_path_joins_a_plain_name(tmp_path):
    assert callbacks.fix_path("lib.gmt", parent_dir=str(tmp_path)) == str(tmp_path / "lib.gmt")


def test_general_services():
    class Dep:
        def __init__(self, cid):
            self.component_id = cid

    kwargs = callbacks.build_default_kwargs([Dep("a"), Dep("b")], [Dep("a")], (1, 2, 3))
    assert kwargs == {"a": 3, "b": 2}
    assert callbacks.build_default_dropdown_by_list(["x", "y"]) == (
        [{"label": "x", "value": "x"}, {"label": "y", "value": "y"}], "x")
    assert callbacks.build_default_dropdown_by_list([]) == ([], None)
    assert callbacks.path_full_split("/r/d/base.name.txt") == ("/r/d", "base.name", ".txt")
    assert callbacks.extract_unique_genes(["A1_N5_H", "B2_N9_H", "A1_N7_F", "C3"]) == ["A1", "B2", "C3"]
    assert "KEGG_2016" in callbacks.get_enrich_libraries()
    fig = callbacks.build_default_fig(height=321)
    assert fig.layout.height == 321 and fig.layout.paper_bgcolor == "LightSteelBlue"


def test_pca_and_cv_are_real():
    rng = np.random.default_rng(0)
    frame = pd.DataFrame(rng.normal(size=(30, 8)), columns=[f"f{i}" for i in range(8)])
    frame.iloc[0, 0] = np.nan
    scores, ratios = pca1.pca_standalone(frame)
    assert scores.shape == (30, 2) and list(scores.columns) == ["PC1", "PC2"]
    assert 0 < ratios[1] <= ratios[0] < 1
    # log2 values 0, 1, 2 are the ratios 1, 2, 4.
    features = pd.DataFrame({"s1": [0.0, 2.0, np.nan], "s2": [1.0, 2.0, 5.0], "s3": [2.0, 2.0, 7.0],
                             "other": [99.0, 99.0, 99.0]})
    cv = toolkit.calc_cv_values(features, columns=["s1", "s2", "s3"])
    assert cv.iloc[0] == pytest.approx(np.std([1, 2, 4], ddof=1) / (7 / 3)) and cv.iloc[1] == 0.0
    assert cv.iloc[2] == pytest.approx(np.std([32, 128], ddof=1) / 80)
    assert np.isnan(toolkit.calc_cv_values(features[["s1"]]).iloc[0])


def test_demo_is_deterministic_and_realistic(tmp_path):
    a = demo.write_demo(str(tmp_path / "a"), n_samples=20, n_proteins=60, n_glycoforms=30)
    b = demo.write_demo(str(tmp_path / "b"), n_samples=20, n_proteins=60, n_glycoforms=30)
    for source in ("Protein", "Glycoform"):
        assert Path(a["expression"][source]).read_text() == Path(b["expression"][source]).read_text()
    protein = pd.read_csv(a["expression"]["Protein"], sep="\t", index_col=0)
    assert 0.05 < protein.isna().mean().mean() < 0.3
    info = pd.read_csv(a["info"], sep="\t", index_col=0)
    assert set(info["Pathological_Status"]) == {"Tumor", "Normal"}
    glyco = pd.read_csv(a["expression"]["Glycoform"], sep="\t", index_col=0)
    assert all(i.count("_") >= 2 for i in glyco.index)
    assert os.path.exists(os.path.join(a["out_dir"], "user", "database", "enrichment", demo.GMT_FILE))


def test_demo_features_name_real_genes_even_past_the_library(tmp_path):
    """The shipped GO library's enrichment works on the demo only if every feature maps back to one
    of its gene symbols; a demo wider than the library repeats genes under distinct ids."""
    from veltrana.genesets import load_library
    from veltrana.plugins.vocabulary import gene_of
    library = load_library("GO_Biological_Process_offline")
    known = {g for genes in library.values() for g in genes}
    paths = demo.write_demo(str(tmp_path / "wide"), n_samples=4, n_proteins=19000, n_glycoforms=200)
    for source in ("Protein", "Glycoform"):
        ids = pd.read_csv(paths["expression"][source], sep="\t", index_col=0, usecols=[0]).index
        assert ids.is_unique and {gene_of(i) for i in ids} <= known
    protein_genes = {gene_of(i) for i in pd.read_csv(paths["expression"]["Protein"], sep="\t", usecols=[0]).iloc[:, 0]}
    for term in demo.PLANTED:
        assert set(library[term]) <= protein_genes
