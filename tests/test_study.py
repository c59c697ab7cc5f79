"""A study from options or a project file, source names made file-safe, samples reconciled and summarised."""

import os

import numpy as np
import pandas as pd
import pytest

from support import by_id
from veltrana import study
from veltrana.cards import summary
from veltrana.__main__ import parse_args
from veltrana.serve import limits
from veltrana.study import loader
from veltrana.plugins import paths, tables


def options(argv):
    return study.merged_options(parse_args(argv))


def write_matrix(path, samples, n_features=30, seed=0, missing=0.1):
    """Features as rows, one column per sample id (written as text)."""
    rng = np.random.default_rng(seed)
    values = rng.normal(size=(n_features, len(samples)))
    values[rng.random(values.shape) < missing] = np.nan
    frame = pd.DataFrame(values, index=pd.Index([f"GENE{i}" for i in range(n_features)], name="Feature"),
                         columns=samples)
    frame.to_csv(path, sep="," if ".csv" in str(path) else "\t")
    return frame


def write_info(path, samples, stage=None):
    frame = pd.DataFrame({"Status": ["Tumor" if i % 2 else "Normal" for i in range(len(samples))],
                          "Stage(Categorical)": stage or ["I"] * len(samples)},
                         index=pd.Index(samples, name="Sample"))
    frame.to_csv(path, sep="\t")


def names(tmp_path, *parts):
    return str(tmp_path.joinpath(*parts))


# -- options and project file -----------------------------------------------------------

def test_repeated_expressions_with_any_names_and_the_default_out_beside_the_sample_table(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    chosen = study.study_from(options(["--expression", "Protein=prot.tsv", "--expression", "Phospho sites=a=b.csv.gz",
                                       "--info", "meta/samples.tsv", "--annotation", "Protein=annot.tsv"]))
    assert chosen.expression == {"Protein": names(tmp_path, "prot.tsv"), "Phospho sites": names(tmp_path, "a=b.csv.gz")}
    assert chosen.out_dir == names(tmp_path, "meta", "results")
    assert chosen.my_paths()["annotation"] == {"Protein": names(tmp_path, "annot.tsv")}


def test_project_file_paths_are_relative_to_it_and_the_command_line_overrides(tmp_path, monkeypatch):
    (tmp_path / "lab").mkdir()
    config = tmp_path / "lab" / "study.toml"
    config.write_text('info = "samples.tsv"\nout = "../runs"\nport = 9000\n'
                      '[expression]\nProtein = "prot.tsv"\n"Glyco/peptides" = "data/glyco.txt"\n')
    monkeypatch.chdir(tmp_path)
    merged = options(["--config", str(config), "--expression", "Protein=new.tsv", "--port", "8100"])
    chosen = study.study_from(merged)
    assert chosen.expression == {"Protein": names(tmp_path, "new.tsv"),
                                 "Glyco/peptides": names(tmp_path, "lab", "data", "glyco.txt")}
    assert chosen.info == names(tmp_path, "lab", "samples.tsv")
    assert os.path.normpath(chosen.out_dir) == names(tmp_path, "runs")
    assert merged["port"] == 8100
    assert options(["--config", str(config)])["port"] == 9000


def test_data_folder_and_demo_keep_working(tmp_path, fresh_paths):
    folder = os.path.dirname(fresh_paths["info"])
    chosen = study.study_from(options(["--data", folder]))
    assert chosen.my_paths() == fresh_paths
    assert study.study_from(options(["--data", folder, "--out", str(tmp_path / "o")])).out_dir == str(tmp_path / "o")
    assert study.study_from(options([])) is None  # the demo


@pytest.mark.parametrize("argv, message", [
    (["--expression", "prot.tsv", "--info", "s.tsv"], "NAME=FILE"),
    (["--expression", "=prot.tsv", "--info", "s.tsv"], "NAME=FILE"),
    (["--expression", "P=a.tsv", "--expression", "P=b.tsv", "--info", "s.tsv"], "twice"),
    (["--expression", "P=a.tsv"], "sample table"),
    (["--info", "s.tsv"], "at least one expression"),
    (["--expression", "P=a.tsv", "--info", "s.tsv", "--annotation", "Q=q.tsv"], "unknown sources"),
    (["--data", "d", "--expression", "P=a.tsv"], "not both"),
    (["--data", "/no/such/folder"], "no data folder"),
])
def test_bad_option_forms_are_told(argv, message):
    with pytest.raises(study.StudyError, match=message):
        study.study_from(options(argv))


@pytest.mark.parametrize("text, message", [
    ('info = "s.tsv"\n[expression\n', "not valid TOML"),
    ('info = "s.tsv"\nsamples = "x"\n', "unknown keys"),
    ('info = 3\n', "must be a path"),
    ('expression = "p.tsv"\n', "must be a table"),
    ('port = "high"\n', "port must be"),
    ('[limits]\npermutation = 20000\n', r"unknown limits \['permutation'\]"),
    ('[limits]\npairs = 0\n', "pairs must be a whole number of at least 1, got 0"),
    ('[limits]\nclusters = -3\n', "clusters must be a whole number of at least 1"),
    ('[limits]\nsurvival_groups = 12.5\n', "survival_groups must be a whole number"),
    ('[limits]\npermutations = "many"\n', "permutations must be a whole number"),
    ('limits = 5\n', r"\[limits\] must be a table"),
])
def test_bad_project_files_are_told(tmp_path, text, message):
    config = tmp_path / "study.toml"
    config.write_text(text)
    with pytest.raises(study.StudyError, match=message):
        options(["--config", str(config)])
    assert limits.get("pairs") == limits.DEFAULTS["pairs"]  # a refused table sets nothing


def test_a_project_files_limits_are_the_servers(tmp_path):
    config = tmp_path / "study.toml"
    config.write_text('info = "s.tsv"\n[limits]\npermutations = 20000\nsurvival_groups = 6\n')
    try:
        assert options(["--config", str(config)])["limits"] == {"permutations": 20_000, "survival_groups": 6}
        assert (limits.get("permutations"), limits.get("survival_groups"), limits.get("pairs")) == (20_000, 6, 66)
    finally:
        limits.reset()


# -- source names -----------------------------------------------------------------------

def test_source_names_reach_safe_distinct_file_names(tmp_path):
    typed = ["mRNA", "Phospho sites", "Glyco/peptides", "Glyco peptides", "Glyco_peptides", "..", "Protéine", "ß"]
    my_path = paths.MyPath({"expression": {n: f"{i}.tsv" for i, n in enumerate(typed)}, "info": "i.tsv",
                            "out_dir": str(tmp_path / "out")})
    files = [my_path.get_preprocess_path(n) for n in typed] + [my_path.get_preprocess_settings_path(n) for n in typed]
    assert len(set(files)) == len(files)
    for f in files:
        assert os.path.dirname(f) == my_path.get_preprocess_dir()
        assert not os.path.basename(f).startswith(".") and os.path.basename(f).isascii()
    assert os.path.basename(my_path.get_preprocess_path("Phospho sites")).startswith("Phospho_sites-")
    for bad in ("", "   ", "a\nb", "tab\there", 3):
        with pytest.raises(ValueError, match="source name"):
            paths.MyPath({"expression": {bad: "p.tsv"}, "info": "i", "out_dir": "o"})
    with pytest.raises(ValueError, match="unknown data source"):
        my_path.get_preprocess_path("../../etc/passwd")


# -- reconciliation and the summary card ---------------------------------------------------

@pytest.fixture
def cohort(tmp_path):
    """A leukaemia-like cohort: ids with leading zeros, a matrix id with a trailing space (trimmed,
    so it matches), one in another letter case, one matrix-only, a phenotype with empty cells."""
    table_ids = [f"0{i:04d}" for i in range(1001, 1041)] + ["LAL5"]
    write_info(tmp_path / "samples.tsv", table_ids, stage=["I", "", "II", "NA"] * 10 + ["III"])
    matrix_ids = table_ids[:37] + ["01038 ", "lal5", "X999"]
    write_matrix(tmp_path / "rna.csv", matrix_ids, n_features=60)
    write_matrix(tmp_path / "prot.tsv", table_ids, n_features=40, seed=1, missing=0.0)
    return {"expression": {"mRNA": str(tmp_path / "rna.csv"), "Protein": str(tmp_path / "prot.tsv")},
            "info": str(tmp_path / "samples.tsv"), "out_dir": str(tmp_path / "results")}


def test_reconciliation_lists_what_each_matrix_left_out(cohort):
    report = study.reconcile(cohort)
    mrna, protein = report.sources
    assert mrna.samples[:2] == ["01001", "01002"] and len(mrna.samples) == 38
    assert mrna.samples[-1] == "01038"
    assert mrna.only_in_matrix == ["lal5", "X999"]
    assert mrna.only_in_table == ["01039", "01040", "LAL5"]
    assert mrna.hints == ["'lal5' ~ 'LAL5'"]
    assert mrna.features == 60 and 0.05 < mrna.missing_share < 0.15
    assert protein.only_in_matrix == protein.only_in_table == [] and protein.missing_share == 0
    assert report.used_samples == 41 and report.empty_cells == {"Stage(Categorical)": 20}
    text = study.report_text(report)
    assert "2 sample(s) of the matrix are not in the sample table: 'lal5', 'X999'" in text
    assert "3 sample(s) of the sample table have no column in the matrix" in text
    assert "Stage(Categorical): 20" in text


def test_a_restart_reconciles_from_the_parsed_copies_without_parsing(cohort, monkeypatch):
    first = study.reconcile(cohort)
    with tables._cache_lock:  # as in a new process
        tables._cache.clear()
    loader._hashes.clear()
    monkeypatch.setattr(loader, "read_expression", lambda path: pytest.fail(f"{path} parsed again"))
    assert study.reconcile(cohort) == first
    # A changed matrix is parsed again, and its report follows it.
    write_matrix(os.path.join(os.path.dirname(cohort["info"]), "prot.tsv"), first.sources[1].samples[:30],
                 n_features=40, seed=1, missing=0.0)
    monkeypatch.undo()
    assert [len(s.samples) for s in study.reconcile(cohort).sources] == [38, 30]


def test_a_sample_without_any_value_is_named_and_used_nowhere(cohort, tmp_path):
    frame = pd.read_csv(cohort["expression"]["Protein"], sep="\t", index_col=0, dtype={0: str})
    frame["01003"] = np.nan  # a failed run: its whole column empty
    frame.to_csv(cohort["expression"]["Protein"], sep="\t")
    report = study.reconcile(cohort)
    protein = report.sources[1]
    assert protein.no_value == ["01003"] and "01003" not in protein.samples and len(protein.samples) == 40
    assert protein.missing_share == 0  # over the samples used
    assert "1 sample(s) have no value at all in the matrix (a failed run?) and take part in no analysis: " \
           "'01003'" in study.report_text(report)
    rows = by_id(summary.summary_card(report), "data-summary-sources").children[1].children
    assert [c.children for c in rows[1].children][-2:] == ["0.0 %", "1"]


def test_no_overlap_is_an_error_naming_both_sides(cohort, tmp_path):
    write_matrix(tmp_path / "rna.csv", ["1001", "1002", "1003"])
    with pytest.raises(study.StudyError, match=r"mRNA .* shares no sample id.*'1001'.*'01001'"):
        study.reconcile(cohort)


def test_summary_card_shows_sources_left_out_and_empty_phenotypes(cohort):
    card = summary.summary_card(study.reconcile(cohort))

    def text(node):
        kids = getattr(node, "children", node)
        if isinstance(kids, list):
            return " ".join(text(k) for k in kids)
        return str(kids) if not hasattr(kids, "children") else text(kids)

    assert card.id == "data-summary-card"
    rows = by_id(card, "data-summary-sources").children[1].children
    assert [[c.children for c in r.children] for r in rows] == [
        ["mRNA", "rna.csv", "values as written", "60", "38",
         f"{100 * study.reconcile(cohort).sources[0].missing_share:.1f} %", "5"],
        ["Protein", "prot.tsv", "values as written", "40", "41", "0.0 %", "0"]]
    assert "'lal5', 'X999'" in text(by_id(card, "data-summary-left-out"))
    assert "Stage(Categorical) 20" in text(by_id(card, "data-summary-phenotypes"))
