"""The strict loader: ids as text, missing tokens, and one clear error per kind of bad input."""

import gzip
import os
import random
import struct
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

from veltrana.study import loader, parsed
from veltrana.plugins import tables
from veltrana.study.loader import DataError


def write(tmp_path, name, content) -> str:
    path = tmp_path / name
    if isinstance(content, str):
        content = content.encode("utf-8")
    path.write_bytes(content)
    return str(path)


def expression(tmp_path, body, name="expr.tsv"):
    return loader.read_expression(write(tmp_path, name, "Feature\tS1\tS2\n" + body))


# ---- ids and values read as written -----------------------------------------------------------

def test_leading_zero_ids_stay_text_in_a_file_of_several_mb(tmp_path):
    # Large enough that a chunked type guesser sees numeric-looking ids in several chunks.
    samples = [f"{i:05d}" for i in range(1000, 1128)] + ["LAL5"]
    features = [f"{i:06d}" for i in range(4000)]
    rng = np.random.default_rng(1)
    values = rng.normal(size=(len(features), len(samples))).round(6)
    frame = pd.DataFrame(values, index=pd.Index(features, name="Probe"), columns=samples)
    path = str(tmp_path / "cohort.tsv")
    frame.to_csv(path, sep="\t")
    assert os.path.getsize(path) > 4_000_000
    got = loader.read_expression(path)
    assert list(got.index) == samples and list(got.columns) == features
    np.testing.assert_array_equal(got.to_numpy(), values.T)

    # The host's own matrix (samples as rows) reads back with the same ids.
    written = tables.save_result_path(str(tmp_path / "matrix.txt"), got)
    back = loader.read_result(written)
    assert list(back.index) == samples and list(back.columns) == features
    assert loader.read_feature_ids(path) == features


def test_missing_tokens_in_any_case_and_trimmed_cells(tmp_path):
    cells = ["", "NA", "nan", "N/A", "#n/a", "NULL", "-", " NA ", "1.5", " -2e-3 "]
    body = "".join(f"F{i}\t{c}\t1\n" for i, c in enumerate(cells))
    got = expression(tmp_path, body.replace("F3", " F3 "))
    assert list(got.columns)[3] == "F3"  # ids trimmed
    assert got.loc["S1"].isna().tolist() == [True] * 8 + [False, False]
    assert got.loc["S1", "F8"] == 1.5 and got.loc["S1", "F9"] == -0.002
    assert got.dtypes.unique().tolist() == [np.float64]


@pytest.mark.parametrize("name, content", [
    ("plain.tsv", "Feature\tS1\tS2\nG1\t1\t2\nG2\t3\t\n"),
    ("gz.tsv.gz", gzip.compress(b"Feature\tS1\tS2\nG1\t1\t2\nG2\t3\t\n")),
    ("bom.csv", "\ufeffFeature,S1,S2\r\nG1,1,2\r\nG2,3,\r\n\r\n"),
    ("quoted.csv.gz", gzip.compress(b'"Feature","S1","S2"\n"G1",1,"2"\n"G2",3,""\n')),
    ("blank.txt", "Feature\tS1\tS2\n\nG1\t1\t2\n\t\t\nG2\t3\t\n"),
    ("rnames.txt", '"S1"\t"S2"\n"G1"\t1\t2\n"G2"\t3\tNA\n'),  # as R writes a table
])
def test_formats_read_the_same(tmp_path, name, content):
    got = loader.read_expression(write(tmp_path, name, content))
    expected = pd.DataFrame({"G1": [1.0, 2.0], "G2": [3.0, np.nan]}, index=["S1", "S2"])
    pd.testing.assert_frame_equal(got, expected, check_names=False, check_index_type=False,
                                  check_column_type=False)


# ---- bad cells ------------------------------------------------------------------------------

@pytest.mark.parametrize("cell, message", [
    ("1.2.3", "not numbers"),
    ("<5", "not numbers"),
    ("True", "not numbers"),
    ("1,5", "decimal mark"),
    ("inf", "infinite or beyond"),
    ("-Infinity", "infinite or beyond"),
    ("1e308", "infinite or beyond"),
    ("-1e400", "infinite or beyond"),
])
def test_a_bad_cell_is_named_with_file_line_row_and_column(tmp_path, cell, message):
    with pytest.raises(DataError, match=message) as err:
        expression(tmp_path, f"G1\t1\t2\nGENE2\t3\t{cell}\n")
    text = str(err.value)
    assert "expr.tsv" in text and "line 3" in text and "'GENE2'" in text and "'S2'" in text
    assert repr(cell) in text


@pytest.mark.parametrize("cell", ["True", " false", "TRUE "])
def test_a_truth_value_is_refused_even_beside_ids_that_spell_one(tmp_path, cell, monkeypatch):
    # Ids may hold any letters ("TRUE1" is a gene id): they do not send the file down the
    # cell-by-cell path (minutes on a cohort); a value cell reading as a truth value does.
    body = "TRUE1\t1\t0\nGFALSE2\t0\t1\n"
    with monkeypatch.context() as m:
        m.setattr(loader, "_strict_floats", lambda cells: pytest.fail("cell by cell"))
        got = expression(tmp_path, body)
    assert got.loc["S1"].tolist() == [1.0, 0.0] and list(got.columns) == ["TRUE1", "GFALSE2"]
    with pytest.raises(DataError, match="not numbers"):
        expression(tmp_path, body + f"G3\t1\t{cell}\n")


def test_the_truth_value_search_agrees_with_its_pattern():
    # The search goes by the rare letters; it must find exactly what the pattern finds.
    rng = random.Random(1)
    parts = ["\t", ",", " ", "T", "t", "F", "f", "rue", "RUE", "alse", "ALSE", "1", "\n", "\r\n", "x"]
    for _ in range(20_000):
        data = "".join(rng.choice(parts) for _ in range(rng.randint(0, 12))).encode()
        for sep in "\t,":
            assert loader._truth_value_cell(data, sep) == bool(loader._bool_field(sep).search(data)), (data, sep)


def test_many_bad_cells_list_the_first_and_count_all(tmp_path):
    body = "".join(f"G{i}\t{i},5\t1\n" for i in range(8))
    with pytest.raises(DataError, match=r"8 cell\(s\) are not numbers: .*'G4'.* and 3 more\. The numbers use ','"):
        expression(tmp_path, body)


# ---- every way of parsing reads the same numbers ---------------------------------------------

@pytest.mark.parametrize("newline", ["\n", "\r\n"])
def test_plain_and_quoted_files_read_the_nearest_double_to_each_decimal(tmp_path, newline):
    # 17-digit decimals, which pandas' own fast converter reads one unit in the last place off in
    # about a third of cases; native parse (plain file), pandas (quoted file) and the strict path
    # (padded missing tokens) must all read exactly what float() reads.
    rng = np.random.default_rng(3)
    values = rng.normal(size=(40, 7)) * 10.0 ** rng.integers(-6, 6, size=(40, 7))
    values[rng.random(values.shape) < 0.2] = np.nan
    samples, features = [f"{i:05d}" for i in range(7)], [f"{j:06d}" for j in range(40)]
    cells = [["NA" if v != v else repr(v) for v in row] for row in values.tolist()]

    def table(cell, missing="NA"):
        lines = ["", "Feature\t" + "\t".join(samples)]  # a blank line before the header
        lines += [f + "\t" + "\t".join(missing if c == "NA" else cell(c) for c in row) for f, row in zip(features, cells)]
        return lines

    for name, lines in [("plain.tsv", table(str)), ("quoted.tsv", table(lambda c: f'"{c}"')),
                        ("padded.tsv", table(lambda c: f" {c}", missing=" na "))]:
        path = write(tmp_path, name, newline.join(lines) + newline * 3)  # and blank lines after the rows
        got = loader.read_expression(path)
        assert list(got.index) == samples and list(got.columns) == features
        np.testing.assert_array_equal(got.to_numpy(), values.T, err_msg=name)
    # A bad cell in a later row is told at its line of the file.
    lines = table(str)
    lines[30] = lines[30].rsplit("\t", 1)[0] + "\toops"
    write(tmp_path, "plain.tsv", newline.join(lines) + newline)
    with pytest.raises(DataError, match=r"line 31, row '000028', column '00006': 'oops'"):
        loader.read_expression(tmp_path / "plain.tsv")


# ---- bad files --------------------------------------------------------------------------------

@pytest.mark.parametrize("name, content, message", [
    ("empty.tsv", "", "the file is empty"),
    ("header.tsv", "Feature\tS1\tS2\n", "line 1: only a header"),
    ("truncated.tsv", "Feature\tS1\tS2\nG1\t1\t2\nG2\t3", r"line 3: 2 fields"),
    ("long.tsv", "Feature\tS1\tS2\nG1\t1\t2\t7\nG2\t3\t4\n", r"line 2: 4 fields"),
    ("dupfeature.tsv", "Feature\tS1\tS2\nG1\t1\t2\nG1 \t3\t4\n", r"duplicate row id.*'G1' \(line 2 and line 3\)"),
    ("dupsample.tsv", "Feature\tS001\tS001\nG1\t1\t2\n", r"duplicate column.*'S001' \(line 1 field 2 and line 1 field 3\)"),
    ("noid.tsv", "Feature\tS1\tS2\nG1\t1\t2\n\t3\t4\n", "line 3: an empty row id"),
    ("latin1.tsv", "Feature\tS1\tS2\nG\xe9ne\t1\t2\n".encode("latin-1"), "line 2: not UTF-8"),
    ("binary.tsv", b"PK\x03\x04\x00\x00binary", "binary content"),
    ("broken.tsv.gz", gzip.compress(b"Feature\tS1\nG1\t1\n" * 50)[:-12], "gzip compression is corrupt"),
    ("Report.xls", b"\xd0\xcf\x11\xe0\xa1\xb1\x1a\xe1" + bytes(504), r"a legacy Excel \(.xls\) workbook; save it as .xlsx"),
    ("parquet.tsv", b"PAR1\x15\x04garbage", "not a readable Parquet file"),
])
def test_bad_files_are_refused_naming_file_and_line(tmp_path, name, content, message):
    path = write(tmp_path, name, content)
    with pytest.raises(DataError, match=message) as err:
        loader.read_expression(path)
    assert name in str(err.value)


def test_a_missing_file_is_not_a_data_error(tmp_path):
    with pytest.raises(FileNotFoundError):
        loader.read_expression(str(tmp_path / "absent.tsv"))


# ---- the sample table and the host's results --------------------------------------------------------

def test_sample_table_types_and_missing_cells(tmp_path):
    path = write(tmp_path, "info.tsv", "Sample\tAge(Numerical)\tStatus\n01005\t61\t Tumor\n01006\t\tNA\n"
                                       "03002\tNaN\tNormal\n")
    info = loader.read_sample_table(path)
    assert list(info.index) == ["01005", "01006", "03002"]
    assert info["Age(Numerical)"].dtype == np.float64 and info["Age(Numerical)"].isna().tolist() == [False, True, True]
    assert info["Status"].tolist()[0::2] == ["Tumor", "Normal"] and pd.isna(info["Status"].iloc[1])


@pytest.mark.parametrize("content, message", [
    ("Sample\tPSA(Numerical)\nA\t4\nB\t<5\n", r"line 3, row 'B', column 'PSA\(Numerical\)': '<5'"),
    ("Sample\tStatus\nS001\tTumor\nS002\tNormal\nS001\tNormal\n", r"'S001' \(line 2 and line 4\)"),
])
def test_sample_table_refuses_text_numbers_and_repeated_samples(tmp_path, content, message):
    with pytest.raises(DataError, match=message):
        loader.read_sample_table(write(tmp_path, "info.tsv", content))


def test_sample_tables_in_the_fields_formats_with_their_id_column_anywhere(tmp_path):
    frame = pd.DataFrame({"Batch": [1, 2, 1], "Sample": ["01005", "01006", "02011"], "Sex": ["F", None, "M"]})
    frame.to_parquet(tmp_path / "info.parquet")
    info = loader.read_sample_table(str(tmp_path / "info.parquet"), "Sample")
    assert list(info.index) == ["01005", "01006", "02011"] and info.index.name == "Sample"
    assert info["Batch(Numerical)"].tolist() == [1.0, 2.0, 1.0] and pd.isna(info["Sex"].iloc[1])
    # a workbook with a misleading name is read as a workbook; its numbers-as-text are refused in a
    # "(Numerical" column as in a text file
    import openpyxl

    book = openpyxl.Workbook()
    book.active.append(["Sample", "PSA(Numerical)"])
    book.active.append(["S1", 4.5])
    book.active.append(["S2", "<5"])
    book.save(tmp_path / "info.tsv")
    with pytest.raises(DataError, match=r"info.tsv#Sheet: 1 cell\(s\) are not numbers: row 3, row 'S2', "
                                        r"column 'PSA\(Numerical\)': '<5'"):
        loader.read_sample_table(str(tmp_path / "info.tsv"))


def test_results_keep_ids_and_integers_and_may_be_empty(tmp_path):
    path = write(tmp_path, "diff.txt", "\tFeature\tCluster\tP\n0\t01005\t1\t0.5\n1\t1005\t2\t\n")
    table = loader.read_result(path)
    assert list(table.index) == ["0", "1"] and table["Feature"].tolist() == ["01005", "1005"]
    assert table["Cluster"].dtype == np.int64 and table["P"].isna().tolist() == [False, True]
    empty = loader.read_result(write(tmp_path, "none.txt", "Source\tDiffPath\n"))
    assert empty.empty and list(empty.columns) == ["DiffPath"]


def _as_pandas_reads(path, monkeypatch):
    """read_result(path) with every column parsed by pandas."""
    with monkeypatch.context() as m:
        m.setattr(loader.preprocess, "parse_numeric_columns", lambda *args: None)
        return loader.read_result(path)


def test_results_read_natively_as_pandas_reads_them(tmp_path, monkeypatch):
    """Columns of numbers are parsed natively, the rest by pandas: the values and types are pandas'
    own, for a differential table's mix of cells and for thousands of number columns."""
    messy = write(tmp_path, "diff.txt", "\tFeature\tFC\tCount\tSig\tFlag\tBig\tOdd\tGaps\tMixed\n" + "".join(
        f"{i}\t{f}\t{fc}\t{i}\t{sig}\t{flag}\t{big}\t{odd}\t\t{mixed}\n" for i, (f, fc, sig, flag, big, odd, mixed) in enumerate([
            ("01005", "-0.005799999999999916", "", "True", "12345678901234567890", "inf", "1.5"),
            ("1005", "1e-300", "S-U", "False", "3", "2.5", "NA"),
            ("NA", "-0.0", "U", "True", "4", " 7.25 ", "x"),
            ("G4", "NA", "", "False", "5", "-1E+3", "2"),
            ("G5", "2.2250738585072014e-308", "D", "True", "6", "0.1", "3.0")])))
    rng = np.random.default_rng(0)
    frame = pd.DataFrame(rng.normal(size=(4, 40)), index=["PC1", "PC2", "PC3", "Scaled"],
                         columns=[f"G{j:05d}" for j in range(40)])
    frame.iloc[2, 5] = np.nan
    frame["G00007"], frame["G00009"], frame["G00011"] = [0.0, 1.0, 2.0, 3.0], [0, 1, 2, 3], np.nan
    wide = os.path.join(tmp_path, "contribution.txt")
    tables.save_result_path(wide, frame)
    for path in (messy, wide):
        table = loader.read_result(path)
        pd.testing.assert_frame_equal(table, _as_pandas_reads(path, monkeypatch), check_exact=True)
    table = loader.read_result(messy)
    assert table["Feature"].tolist()[:2] == ["01005", "1005"] and table["FC"].dtype == np.float64
    assert table["Count"].dtype == np.int64 and np.signbit(table["FC"].iloc[2]) and table["Mixed"].iloc[2] == "x"
    wide = loader.read_result(wide)
    assert wide["G00009"].dtype == np.int64 and wide["G00007"].dtype == np.float64


def test_fingerprint_follows_content_size_and_mtime(tmp_path):
    path = write(tmp_path, "a.tsv", "Feature\tS1\nG1\t1\n")
    first = loader.file_fingerprint(path)
    assert loader.file_fingerprint(path) == first
    st = os.stat(path)
    write(tmp_path, "a.tsv", "Feature\tS1\nG1\t2\n")  # same size
    os.utime(path, ns=(st.st_atime_ns, st.st_mtime_ns + 1_000_000))
    second = loader.file_fingerprint(path)
    assert second != first
    os.utime(path, ns=(st.st_atime_ns, st.st_mtime_ns + 2_000_000))  # only touched
    assert loader.file_fingerprint(path) not in (first, second)


# ---- parsed copies of expression files ----------------------------------------------------------

@pytest.fixture
def copied(tmp_path, monkeypatch):
    """(file, output folder, strict reader, its calls): an expression file read once through its
    parsed copy."""
    path = write(tmp_path, "expr.tsv", "Probe\t01005\t1006\t01007\n000123\t1.5\tNA\t-0\n2\t1e-300\t \t7\n")
    parses = []
    strict = loader.read_expression
    monkeypatch.setattr(loader, "read_expression", lambda p: parses.append(p) or strict(p))
    parsed.read_expression(path, tmp_path / "out")
    assert len(parses) == 1
    return path, tmp_path / "out", strict, parses


def test_a_parsed_copy_serves_a_restart_with_the_strict_values_and_ids(copied, monkeypatch):
    path, out, strict, parses = copied
    loader._hashes.clear()  # as in a new process
    with monkeypatch.context() as m:  # the content hash kept with the copy: no raw byte is read
        m.setattr(loader, "open", lambda *a, **k: pytest.fail("the raw file was read"), raising=False)
        again = parsed.read_expression(path, out)
        fingerprint = loader.file_fingerprint(path)
    assert len(parses) == 1  # served from the copy
    loader._hashes.clear()
    assert loader.file_fingerprint(path) == fingerprint
    pd.testing.assert_frame_equal(again, strict(path), check_exact=True)
    assert list(again.index) == ["01005", "1006", "01007"] and list(again.columns) == ["000123", "2"]
    assert again.columns.name == "Probe" and np.signbit(again.loc["01007", "000123"])
    outline = parsed.read_outline(path, out)
    assert outline.samples == ["01005", "1006", "01007"] and outline.missing.tolist() == [0, 2, 0]
    assert os.stat(parsed.copy_path(out, path)).st_mode & 0o777 == 0o600
    # The missing cells, read without the values.
    samples, features, missing = parsed.read_missing(path, out)
    assert samples.equals(again.index) and features.equals(again.columns) and features.name == "Probe"
    np.testing.assert_array_equal(missing, np.isnan(again.to_numpy()))
    # Bits that do not add up to the counts (a faulty writer's copy) are not used.
    with np.load(parsed.copy_path(out, path)) as stored:
        arrays = dict(stored)
    arrays["missing_bits"] = np.zeros_like(arrays["missing_bits"])
    with open(parsed.copy_path(out, path), "wb") as fh:
        np.savez(fh, **arrays)
    assert parsed.read_missing(path, out) is None


def test_a_changed_damaged_or_foreign_copy_is_not_used(copied, tmp_path):
    path, out, strict, parses = copied
    copy = parsed.copy_path(out, path)

    def read(expected_parses):
        got = parsed.read_expression(path, out)
        assert len(parses) == expected_parses
        pd.testing.assert_frame_equal(got, strict(path), check_exact=True)
        return got

    # New data of the same size and time stamp, read by a new process: the content decides.
    st = os.stat(path)
    write(tmp_path, "expr.tsv", Path(path).read_text().replace("1.5", "2.5"))
    os.utime(path, ns=(st.st_atime_ns, st.st_mtime_ns))
    loader._hashes.clear()
    assert read(2).loc["01005", "000123"] == 2.5
    read(2)  # the copy was written anew

    # One stored value altered: the zip's checksum no longer holds.
    blob = Path(copy).read_bytes()
    assert blob.count(struct.pack("<d", 2.5)) == 1
    Path(copy).write_bytes(blob.replace(struct.pack("<d", 2.5), struct.pack("<d", 3.5)))
    read(3)
    # Cut short, or not a zip at all.
    for damaged in (blob[: len(blob) // 2], b"PK\x03\x04 not a zip"):
        Path(copy).write_bytes(damaged)
        read(len(parses) + 1)
    # Another file's copy put in its place.
    other = write(tmp_path, "other.tsv", "Probe\t01005\t1006\t01007\nG\t1\t2\t3\n")
    parsed.read_expression(other, out)
    os.replace(parsed.copy_path(out, other), copy)
    read(len(parses) + 1)
    # A copy that others may write is not this server's own.
    os.chmod(copy, 0o666)
    read(len(parses) + 1)


def test_a_copy_that_cannot_be_written_costs_only_the_next_parse(tmp_path):
    path = write(tmp_path, "expr.tsv", "Probe\tS1\nG1\t1\n")
    blocked = write(tmp_path, "out", "a file where the output folder should be")
    assert parsed.read_expression(path, blocked).loc["S1", "G1"] == 1.0
    assert parsed.read_outline(path, blocked) is None
