"""Files as instruments and labs write them: search-engine protein tables, workbooks, Parquet, GCT,
AnnData, and sample tables with their id column anywhere and no type marks.

The fixtures are written here by hand after each format's documented header."""

import os
import subprocess
import sys
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

from veltrana.study import instruments, loader, sample_tables
from veltrana.study.loader import DataError

SAMPLES = ["01005", "01006", "02011", "02012"]


def write(tmp_path, name, lines) -> str:
    path = tmp_path / name
    path.write_text("".join("\t".join(map(str, row)) + "\n" for row in lines))
    return str(path)


def protein_groups(tmp_path, *, lfq=True, flag="+", name="proteinGroups.txt") -> str:
    """A MaxQuant proteinGroups.txt: raw intensities, a decoy, a contaminant and a site-only group."""
    header = ["Protein IDs", "Majority protein IDs", "Peptide counts (all)", "Protein names", "Gene names",
              "Fasta headers", "Number of proteins", "Peptides", "Unique peptides", "Sequence coverage [%]",
              "Mol. weight [kDa]", "Q-value", "Score", "Intensity", *[f"Intensity {s}" for s in SAMPLES]]
    if lfq:
        header += [f"LFQ intensity {s}" for s in SAMPLES]
    header += ["MS/MS count", "Only identified by site", "Reverse", "Potential contaminant", "id"]
    rows = [
        ("P02768;P02768-2", "Serum albumin", "ALB", [2.1e10, 1.9e10, 2.4e10, 0], "", "", ""),
        ("P01024", "Complement C3", "C3", [3.3e8, 0, 2.9e8, 3.1e8], "", "", ""),
        ("Q9Y6R7", "IgGFc-binding protein", "FCGBP", [1.2e6, 9.8e5, 0, 1.5e6], "", "", ""),
        ("REV__P12345", "", "", [4.0e5, 0, 0, 3.0e5], "", flag, ""),
        ("CON__P00761", "Trypsin", "", [8.0e7, 7.5e7, 9.1e7, 8.8e7], "", "", "+"),
        ("O00187", "Mannan-binding lectin serine protease 2", "MASP2", [0, 2.0e5, 0, 0], "+", "", ""),
    ]
    lines = [header]
    for k, (pid, pname, gene, values, site, rev, con) in enumerate(rows):
        total = sum(values)
        line = [pid, pid.split(";")[0], "12;3", pname, gene, "sp|" + pid, pid.count(";") + 1, 12, 10, 35.2,
                66.5, 0, 323.3, f"{total:.0f}", *[f"{v:.0f}" for v in values]]
        if lfq:
            line += [f"{v * 0.9:.0f}" for v in values]
        lines.append(line + [57, site, rev, con, k])
    return write(tmp_path, name, lines)


def samples_xlsx(tmp_path, name="samples.xlsx", ids=SAMPLES):
    """A sample sheet as a lab keeps it: a title-less sheet, the id column in the middle, ids
    formatted with leading zeros, no type marks."""
    import openpyxl

    book = openpyxl.Workbook()
    sheet = book.active
    sheet.title = "Clinical"
    sheet.append(["Patient", "Sample ID", "Group", "Age", "Batch"])
    for k, s in enumerate(ids):
        sheet.append([f"P{k // 2 + 1}", int(s), ["Case", "Control"][k % 2], 50 + k, 1 + k % 2])
        sheet.cell(row=k + 2, column=2).number_format = "00000"
    book.create_sheet("Notes").append(["written by hand"])
    path = tmp_path / name
    book.save(path)
    return str(path)


# ---- MaxQuant ----------------------------------------------------------------------------------------

def test_maxquant_lfq_log2_once_with_decoys_contaminants_and_site_only_groups_removed(tmp_path):
    path = protein_groups(tmp_path)
    assert instruments.kind(path) == instruments.MAXQUANT
    reading = instruments.read(path)
    matrix = reading.matrix
    assert list(matrix.index) == SAMPLES
    assert list(matrix.columns) == ["P02768;P02768-2", "P01024", "Q9Y6R7"]
    assert matrix.loc["01005", "P01024"] == pytest.approx(np.log2(3.3e8 * 0.9))
    # zeros are missing, not log2(0)
    assert np.isnan(matrix.loc["02012", "P02768;P02768-2"]) and np.isnan(matrix.loc["01006", "P01024"])
    assert reading.note.startswith("LFQ intensities, log2-transformed")
    assert "3 reverse/contaminant rows removed (reverse 1, potential contaminant 1, only identified by site 1)" \
        in reading.note
    assert reading.annotation["Gene"].tolist() == ["ALB", "C3", "FCGBP"]
    # the loader reads it the same way, and a caller's copy does not reach the reading
    read = loader.read_expression(path)
    read.iloc[0, 0] = 0.0
    assert instruments.read(path).matrix.equals(matrix)


def test_maxquant_without_lfq_takes_the_intensities_and_tmt_takes_the_corrected_reporters(tmp_path):
    reading = instruments.read(protein_groups(tmp_path, lfq=False))
    assert reading.note.startswith("intensities, log2-transformed")
    assert reading.matrix.loc["01005", "P01024"] == pytest.approx(np.log2(3.3e8))
    tmt = write(tmp_path, "tmt.txt", [
        ["Protein IDs", "Majority protein IDs", "Gene names", "Intensity Plex1",
         "Reporter intensity corrected 1", "Reporter intensity corrected 2",
         "Reporter intensity corrected 1 Plex1", "Reporter intensity corrected 2 Plex1", "Reverse",
         "Potential contaminant"],
        ["P1", "P1", "A", 9e9, 5e6, 6e6, 5e6, 6e6, "", ""],
        ["P2", "P2", "B", 8e9, 4e6, 0, 4e6, 0, "", ""]])
    reading = instruments.read(tmt)
    assert list(reading.matrix.index) == ["1 Plex1", "2 Plex1"]
    assert reading.note.startswith("TMT reporter intensities (corrected)")


@pytest.mark.parametrize("change, message", [
    (lambda text: text.replace("\t+\t\t3\n", "\tyes\t\t3\n"),
     r"proteinGroups.txt: read as MaxQuant proteinGroups, but column 'Reverse': expected '\+' or an empty cell"),
    (lambda text: text.replace("LFQ intensity", "LFQ").replace("\tIntensity", "\tSum"),
     r"column 'LFQ intensity <sample>': expected 'LFQ intensity <sample>', 'Reporter intensity corrected"),
    (lambda text: text.replace("\t297000000\t", "\t2,97e8\t", 1),
     r"line 3, row 'P01024', column 'LFQ intensity 01005': '2,97e8'"),
    (lambda text: text.replace("\tReverse\t", "\tDecoy\t"),
     r"but column 'Reverse': expected a 'Reverse' column marking the REV__... rows with '\+'"),
    (lambda text: text.replace("P01024\tP01024", "P02768;P02768-2\tP01024"),
     r"duplicate 'Protein IDs' value.*'P02768;P02768-2' \(line 2 and line 3\)"),
])
def test_a_broken_protein_groups_file_is_refused_naming_file_column_and_what_was_expected(tmp_path, change,
                                                                                          message):
    path = protein_groups(tmp_path)
    with open(path) as fh:
        text = fh.read()
    with open(path, "w") as fh:
        fh.write(change(text))
    with pytest.raises(DataError, match=message):
        instruments.read(path)


def test_intensities_that_are_logarithms_already_or_negative_are_refused(tmp_path):
    logged = write(tmp_path, "perseus.txt", [["Protein IDs", "Majority protein IDs", "LFQ intensity A",
                                              "LFQ intensity B"], ["P1", "P1", 25.1, 27.3], ["P2", "P2", 22.0, ""]])
    with pytest.raises(DataError, match="look log-transformed already"):
        instruments.read(logged)
    negative = write(tmp_path, "neg.txt", [["Protein IDs", "Majority protein IDs", "LFQ intensity A"],
                                           ["P1", "P1", 2.5e7], ["P2", "P2", -3e6]])
    with pytest.raises(DataError, match=r"never below zero: line 3, row 'P2', column 'LFQ intensity A': '-3000000.0'"):
        instruments.read(negative)


# ---- DIA-NN, FragPipe, Spectronaut ------------------------------------------------------------------------

def test_diann_runs_are_named_by_their_files_base_name(tmp_path):
    runs = [r"D:\\plasma\\2023-04-01_01005.raw", "/data/plasma/2023-04-01_01006.mzML",
            "/data/plasma/2023-04-01_02011.d"]
    path = write(tmp_path, "report.pg_matrix.tsv", [
        ["Protein.Group", "Protein.Ids", "Protein.Names", "Genes", "First.Protein.Description", *runs],
        ["P02768", "P02768", "ALBU_HUMAN", "ALB", "Albumin", 1.5e9, 1.4e9, ""],
        ["P01024", "P01024", "CO3_HUMAN", "C3", "Complement C3", 2.2e7, 0, 2.0e7]])
    reading = instruments.read(path)
    assert list(reading.matrix.index) == ["2023-04-01_01005", "2023-04-01_01006", "2023-04-01_02011"]
    assert reading.matrix.loc["2023-04-01_01006", "P02768"] == pytest.approx(np.log2(1.4e9))
    assert np.isnan(reading.matrix.loc["2023-04-01_02011", "P02768"])
    assert reading.note.startswith("DIA-NN MaxLFQ protein-group quantities, log2-transformed; 1 zero")
    twice = write(tmp_path, "twice.pg_matrix.tsv", [["Protein.Group", "Genes", "/a/S1.raw", "/b/S1.raw"],
                                                    ["P1", "A", 1e6, 2e6]])
    with pytest.raises(DataError, match=r"duplicate sample.*'S1' \(column '/a/S1.raw' and column '/b/S1.raw'\)"):
        instruments.read(twice)
    extra = write(tmp_path, "extra.pg_matrix.tsv", [["Protein.Group", "Genes", "Protein.Q.Value", "/a/S1.raw"],
                                                    ["P1", "A", "0.001", 1e6], ["P2", "B", "n/a?", 1e6]])
    with pytest.raises(DataError, match=r"column 'Protein.Q.Value': 'n/a\?'"):
        instruments.read(extra)


def test_fragpipe_prefers_maxlfq_and_spectronaut_reads_filtered_as_missing(tmp_path):
    header = ["Protein", "Protein ID", "Entry Name", "Gene", "Protein Length", "Organism", "Protein Probability",
              "Combined Total Peptides"]
    for s in ("01005", "01006"):
        header += [f"{s} Spectral Count", f"{s} Intensity", f"{s} MaxLFQ Intensity"]
    path = write(tmp_path, "combined_protein.tsv", [
        header,
        ["sp|P02768|ALBU_HUMAN", "P02768", "ALBU_HUMAN", "ALB", 609, "Homo sapiens", 1.0, 80, 310, 3e10, 2.9e10,
         290, 2.8e10, 2.7e10],
        ["sp|P01024|CO3_HUMAN", "P01024", "CO3_HUMAN", "C3", 1663, "Homo sapiens", 1.0, 120, 200, 4e8, 3.9e8,
         0, 0, 0]])
    reading = instruments.read(path)
    assert reading.note.startswith("MaxLFQ intensities")
    assert reading.matrix.loc["01006", "P02768"] == pytest.approx(np.log2(2.7e10))
    assert list(reading.annotation["Gene"]) == ["ALB", "C3"]
    no_values = write(tmp_path, "cp.tsv", [header[:8], ["sp|P1|A", "P1", "A_HUMAN", "A", 1, "H", 1, 2]])
    with pytest.raises(DataError, match=r"FragPipe combined_protein, but column '<sample> Intensity': expected"):
        instruments.read(no_values)

    pivot = write(tmp_path, "Report_pivot.xls", [
        ["PG.ProteinGroups", "PG.Genes", "PG.ProteinNames", "[1] 01005.PG.Quantity", "[2] 01006.PG.Quantity"],
        ["P02768", "ALB", "ALBU_HUMAN", 5.1e6, "Filtered"],
        ["P01024;P01024-2", "C3", "CO3_HUMAN", "NaN", 3.2e4]])
    reading = instruments.read(pivot)
    assert reading.matrix.shape == (2, 2) and np.isnan(reading.matrix.loc["01006", "P02768"])
    assert reading.note.startswith("Spectronaut protein-group quantities, log2-transformed")
    broken = write(tmp_path, "pivot2.tsv", [["PG.Genes", "[1] 01005.PG.Quantity"], ["ALB", 5e6]])
    # a plain matrix may name its id column as an engine does
    plain = write(tmp_path, "plain.tsv", [["PG.ProteinGroups", "01005"], ["P1", 21.5]])
    assert instruments.kind(plain) is None and loader.read_expression(plain).loc["01005", "P1"] == 21.5
    with pytest.raises(DataError, match=r"column 'PG.ProteinGroups': expected a 'PG.ProteinGroups' column"):
        instruments.read(broken)


# ---- the general formats ----------------------------------------------------------------------------

def test_a_workbook_sheet_parquet_and_gct_read_as_the_text_matrix_does(tmp_path):
    import openpyxl

    frame = pd.DataFrame({"01005": [1.25, np.nan], "01006": [-0.5, 2.0]}, index=pd.Index(["G1", "G2"], name="Feature"))
    book = openpyxl.Workbook()
    book.active.title = "Cover"
    book.active.append(["see the next sheet"])
    sheet = book.create_sheet("Protein")
    sheet.append(["Feature", "01005", "01006"])
    sheet.append(["G1", 1.25, -0.5])
    sheet.append(["G2", "NA", 2])
    book.save(tmp_path / "data.xlsx")
    frame.reset_index().to_parquet(tmp_path / "data.parquet")
    gct = write(tmp_path, "data.gct", [["#1.3"], [2, 2, 1, 1], ["id", "Gene", "01005", "01006"],
                                      ["Group", "na", "Case", "Control"], ["G1", "A", 1.25, -0.5],
                                      ["G2", "B", "", 2]])
    for path in (str(tmp_path / "data.xlsx") + "#Protein", str(tmp_path / "data.parquet"), gct):
        read = loader.read_expression(path)
        assert read.equals(frame.T.rename_axis(None)) or np.array_equal(read.to_numpy(), frame.T.to_numpy(),
                                                                         equal_nan=True), path
        assert list(read.index) == ["01005", "01006"] and list(read.columns) == ["G1", "G2"]
    with pytest.raises(DataError, match=r"no sheet 'Proteins'; the sheets are 'Cover', 'Protein'"):
        loader.read_expression(str(tmp_path / "data.xlsx") + "#Proteins")
    bad = write(tmp_path, "bad.gct", [["#1.2"], [3, 2], ["Name", "Description", "01005", "01006"],
                                      ["G1", "A", 1, 2], ["G2", "B", 3, 4]])
    with pytest.raises(DataError, match="bad.gct: 2 data rows; the dimensions line says 3"):
        loader.read_expression(bad)
    sheet.append(["G3", "=B2*2", 1])  # a formula whose value no spreadsheet program has stored
    book.save(tmp_path / "data.xlsx")
    with pytest.raises(DataError, match=r"data.xlsx#Protein: 1 formula cell\(s\) hold no saved value \(row 4, "
                                        r"column B: '=B2\*2'\)"):
        loader.read_expression(str(tmp_path / "data.xlsx") + "#Protein")
    sheet["B4"] = "high"
    book.save(tmp_path / "data.xlsx")
    with pytest.raises(DataError, match=r"data.xlsx#Protein: 1 cell\(s\) are not numbers: row 4, row 'G3', "
                                        r"column '01005': 'high'"):
        loader.read_expression(str(tmp_path / "data.xlsx") + "#Protein")


@pytest.fixture
def anndata_writer():
    """anndata, writing the text columns pandas 3 makes (its new string arrays) as a lab's would."""
    import anndata

    with anndata.settings.override(allow_write_nullable_strings=True):
        yield anndata


def test_anndata_x_is_samples_by_features_and_obs_is_a_sample_table(tmp_path, anndata_writer):
    anndata = anndata_writer

    obs = pd.DataFrame({"Group": pd.Categorical(["Case", "Control", "Case"]), "Age": [61, 58, 70]},
                       index=["01005", "01006", "02011"])
    data = anndata.AnnData(X=np.array([[1.0, np.nan], [2.0, 3.0], [0.5, 4.0]]), obs=obs,
                           var=pd.DataFrame(index=["P1", "P2"]))
    path = str(tmp_path / "cohort.h5ad")
    data.write_h5ad(path)
    read = loader.read_expression(path)
    assert list(read.index) == ["01005", "01006", "02011"] and list(read.columns) == ["P1", "P2"]
    assert np.isnan(read.loc["01005", "P2"]) and read.loc["02011", "P2"] == 4.0
    info = loader.read_sample_table(path)
    assert list(info.index) == ["01005", "01006", "02011"]
    assert info["Age(Numerical)"].tolist() == [61, 58, 70] and info["Group"].tolist() == ["Case", "Control", "Case"]
    data.X[0, 0] = np.inf
    data.write_h5ad(path)
    with pytest.raises(DataError, match=r"cohort.h5ad: 1 value\(s\) of X are infinite.*sample '01005', feature 'P1'"):
        loader.read_expression(path)


# ---- sample tables -----------------------------------------------------------------------------------

def test_the_sample_id_column_is_the_one_matching_the_data_and_types_come_from_values(tmp_path):
    path = samples_xlsx(tmp_path)
    assert sample_tables.choose_column(path, set(SAMPLES)) == "Sample ID"
    assert sample_tables.choose_column(path, set(SAMPLES), "Patient") is None  # the first column
    table = sample_tables.read(path, "Sample ID")
    assert list(table.frame.index) == SAMPLES  # the sheet's "00000" format keeps the zeros
    assert list(table.frame.columns) == ["Patient", "Group", "Age(Numerical)", "Batch(Numerical)"]
    assert table.frame["Age(Numerical)"].dtype == np.float64
    assert table.typed == {"Patient": "categorical", "Group": "categorical", "Age": "numerical",
                           "Batch": "numerical"}
    with pytest.raises(DataError, match=r"no column 'Sample' to take the sample ids from; the columns are"):
        sample_tables.choose_column(path, set(SAMPLES), "Sample")
    twice = write(tmp_path, "twice.tsv", [["Row", "Sample", "Copy", "Sex"], [1, "01005", "01005", "F"],
                                          [2, "01006", "01006", "M"]])
    with pytest.raises(DataError, match=r"the columns 'Sample', 'Copy' all hold 2 of the data's sample names; "
                                        r"choose the sample-id column with --sample-column NAME"):
        sample_tables.choose_column(twice, {"01005", "01006"})


def test_a_table_with_type_marks_reads_as_it_always_did(tmp_path):
    path = write(tmp_path, "info.tsv", [["Sample", "Status", "Age(Numerical)", "Days between date collection "
                                         "and death", "Batch", "Sample_ID"],
                                        ["S1", "Tumor", 61, 300, 1, "S1"], ["S2", "Normal", "", "", 2, "S2"]])
    assert sample_tables.choose_column(path, {"S1", "S2"}) is None  # ties go to the first column
    table = sample_tables.read(path)
    assert list(table.frame.columns) == ["Status", "Age(Numerical)", "Days between date collection and death",
                                         "Batch", "Sample_ID"]
    assert table.frame["Batch"].tolist() == ["1", "2"] and not table.typed
    plain = write(tmp_path, "plain.tsv", [["Sample", "Patient_ID", "Stage"], ["S1", 7, "II"], ["S2", 8, "III"]])
    assert list(sample_tables.read(plain).frame.columns) == ["Patient_ID", "Stage"]  # ids are never numbers


# ---- the whole start-up ----------------------------------------------------------------------------

def plasma_cohort(folder) -> list[str]:
    """proteinGroups.txt of 24 plasma samples and 80 protein groups (6 decoys, 4 contaminants, 2 found
    only by a modification site), and the lab's sample sheet."""
    os.makedirs(folder, exist_ok=True)
    ids = [f"0{i:04d}" for i in range(1001, 1025)]
    rng = np.random.default_rng(11)
    header = ["Protein IDs", "Majority protein IDs", "Protein names", "Gene names", "Peptides",
              *[f"Intensity {s}" for s in ids], *[f"LFQ intensity {s}" for s in ids],
              "Only identified by site", "Reverse", "Potential contaminant", "id"]
    lines = [header]
    for k in range(80):
        pid = f"REV__Q{k:05d}" if k < 6 else f"CON__P{k:05d}" if k < 10 else f"P{k:05d};P{k:05d}-2"
        lfq = np.exp(rng.normal(18 + k % 7, 1.0, len(ids))) * (rng.random(len(ids)) > 0.15)
        lines.append([pid, pid.split(";")[0], f"Protein {k}", f"GENE{k}" if k >= 10 else "", 5,
                      *[f"{v * 1.1:.0f}" for v in lfq], *[f"{v:.0f}" for v in lfq],
                      "+" if k in (40, 41) else "", "+" if k < 6 else "", "+" if 6 <= k < 10 else "", k])
    write(Path(folder), "proteinGroups.txt", lines)
    samples_xlsx(Path(folder), ids=ids)
    return ["--expression", f"Plasma={folder}/proteinGroups.txt", "--info", f"{folder}/samples.xlsx"]


def test_a_protein_groups_file_and_a_sample_sheet_start_the_dashboard_and_the_summary_tells_what_was_read(
        tmp_path, capsys):
    from veltrana import __main__ as front
    from veltrana import study
    from veltrana.plugins import layout
    from veltrana.analyses.annotation import update_annotation_table

    saved = {n: getattr(layout, n) for n in ("info_df", "phenotypes", "groups")}  # start-up sets them
    try:
        argv = plasma_cohort(str(tmp_path / "plasma"))
        app = front.start(study.merged_options(front.parse_args(argv)))
        out = capsys.readouterr().out
        assert "Plasma (" in out and "68 features, 24 samples used" in out
        assert ("read as: LFQ intensities, log2-transformed; " in out
                and "12 reverse/contaminant rows removed (reverse 6, potential contaminant 4, only identified by "
                    "site 2)" in out), out
        assert "sample ids from the column 'Sample ID'" in out
        assert "phenotypes typed from their values: numerical: Age, Batch; categorical: Patient, Group" in out
        card = next(c for c in app.layout.children if getattr(c, "id", None) == "data-summary-card")
        text = str(card.to_plotly_json())
        assert "LFQ intensities, log2-transformed" in text and "Sample ids from the column 'Sample ID'" in text
        assert layout.phenotypes == ["Patient", "Group", "Age(Numerical)", "Batch(Numerical)"]
        rows, _ = update_annotation_table("Plasma", app.layout.children[0].children[0].data)
        assert rows[0] == {"Feature": "P00010;P00010-2", "Gene": "GENE10", "Protein": "Protein 10"}
    finally:
        for n, v in saved.items():
            setattr(layout, n, v)


def test_the_front_door_names_the_file_and_column_of_a_broken_instrument_file(tmp_path):
    argv = plasma_cohort(str(tmp_path / "plasma"))
    path = tmp_path / "plasma" / "proteinGroups.txt"
    path.write_text(path.read_text().replace("\t+\t\t", "\tx\t\t", 1))
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p), MPLBACKEND="Agg",
               HOME=str(tmp_path))
    done = subprocess.run([sys.executable, "-m", "veltrana", *argv], cwd=tmp_path, env=env, capture_output=True,
                          text=True, timeout=300)
    assert done.returncode == 1
    assert ("proteinGroups.txt: read as MaxQuant proteinGroups, but column 'Reverse': expected '+' or an empty "
            "cell; 1 other value(s) (line 2: 'x')") in done.stderr, done.stderr


def test_an_anndata_file_alone_is_a_study_and_a_project_file_chooses_the_id_column(tmp_path, anndata_writer):
    anndata = anndata_writer

    from veltrana import __main__ as front
    from veltrana import study

    rng = np.random.default_rng(5)
    obs = pd.DataFrame({"Donor": [f"D{i % 6}" for i in range(12)], "Status": ["Tumor", "Normal"] * 6},
                       index=[f"0{i:04d}" for i in range(1001, 1013)])
    anndata.AnnData(X=rng.normal(size=(12, 30)), obs=obs,
                    var=pd.DataFrame(index=[f"GENE{k}" for k in range(30)])).write_h5ad(tmp_path / "rna.h5ad")
    options = study.merged_options(front.parse_args(["--expression", f"mRNA={tmp_path}/rna.h5ad"]))
    chosen = study.study_from(options)
    assert chosen.info == str(tmp_path / "rna.h5ad") and chosen.out_dir == str(tmp_path / "results")
    report = study.reconcile(chosen.my_paths())
    assert len(report.sources[0].samples) == 12 and report.id_column == "obs_names"
    assert report.sources[0].note == "AnnData X (samples x features), values as written"

    (tmp_path / "study.toml").write_text('sample_column = "Sample ID"\ninfo = "samples.xlsx"\n'
                                         '[expression]\nPlasma = "proteinGroups.txt"\n')
    plasma_cohort(str(tmp_path))
    options = study.read_project_file(str(tmp_path / "study.toml"))
    assert options["sample_column"] == "Sample ID"
    (tmp_path / "bad.toml").write_text("sample_column = 3\n")
    with pytest.raises(study.StudyError, match="sample_column must be a column name in quotes, got 3"):
        study.read_project_file(str(tmp_path / "bad.toml"))


def test_the_sample_table_read_follows_the_id_column_chosen(tmp_path):
    from veltrana.plugins import paths, tables

    path = write(tmp_path, "info.tsv", [["Row", "Sample", "Sex"], [1, "01005", "F"], [2, "01006", "M"]])
    paths.MyPath({"expression": {"P": path}, "info": path, "out_dir": str(tmp_path / "out")})
    assert list(tables.read_info_file(path).index) == ["1", "2"]
    sample_tables.use_column(path, "Sample")
    try:  # not the table read before by its first column
        assert list(tables.read_info_file(path).index) == ["01005", "01006"]
    finally:
        sample_tables.use_column(path, None)
