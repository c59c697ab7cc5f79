"""The shipped offline gene-set library, its loader and the script that makes it."""

import gzip
import json
import os
import sqlite3
import sys

import pytest

from veltrana.plugins import callbacks
from veltrana import genesets

sys.path.insert(0, os.path.join(os.path.dirname(__file__), os.pardir, "tools"))
import make_go_library  # noqa: E402

OFFLINE = "GO_Biological_Process_offline"


@pytest.fixture(scope="module")
def library():
    return genesets.load_library(OFFLINE)


def test_shipped_library(library):
    meta = genesets.library_metadata(OFFLINE)
    low, high = meta["size_range"]
    assert (low, high) == (5, 2000) and len(library) == meta["terms"] > 5000
    assert all(low <= len(genes) <= high and len(set(genes)) == len(genes) for genes in library.values())
    assert "BRCA1" in library["DNA repair (GO:0006281)"]
    assert {"BRCA2", "RAD51"} <= set(library["double-strand break repair via homologous recombination (GO:0000724)"])
    assert {"CASP3", "BAX"} <= set(library["apoptotic process (GO:0006915)"])
    assert {"INS", "INSR"} <= set(library["cellular response to insulin stimulus (GO:0032869)"])
    # Genes propagate to ancestors: every double-strand break repair gene is a DNA repair gene.
    assert set(library["double-strand break repair (GO:0006302)"]) < set(library["DNA repair (GO:0006281)"])
    # Sources, versions and licences are recorded beside the file.
    assert [s["package"] for s in meta["sources"]] == ["r-bioc-go.db", "r-bioc-org.hs.eg.db"]
    assert meta["sources"][0]["ontology_date"] and all(s["version"] for s in meta["sources"])
    assert "CC BY 4.0" in meta["licence"]["Gene Ontology"] and meta["command"].startswith("python tools/")
    assert os.path.getsize(genesets.library_path(OFFLINE)) < 4_000_000


def test_loading(library, tmp_path):
    assert genesets.load_library(OFFLINE) is library                      # read once per process
    copy = callbacks.load_offline_library(OFFLINE)
    copy.clear()
    assert copy is not library and len(library) > 5000                   # callers never alter the cache
    assert callbacks.get_offline_libraries() == [OFFLINE]
    for name in ("../go_bp_human", "KEGG_2016", None, ["x"]):
        with pytest.raises(ValueError):
            callbacks.load_offline_library(name)

    plain = tmp_path / "sets.gmt"
    plain.write_text("A\tdesc\tG1\tG2\t\r\n\nB\t\tG3\n")
    assert genesets.read_gmt(plain) == {"A": ["G1", "G2"], "B": ["G3"]}
    packed = tmp_path / "sets.gmt.gz"
    packed.write_bytes(gzip.compress(plain.read_bytes()))
    assert genesets.read_gmt(packed) == genesets.read_gmt(plain)
    plain.write_text("A\tdesc\tG1\nB only a name\n")
    with pytest.raises(ValueError, match="line 2"):
        genesets.read_gmt(plain)


# A tiny ontology: root <- repair (is_a) <- dsb (is_a); dsb is part_of response;
# regulation regulates repair; an MF term with annotations is never a BP set.
TERMS = [(1, "GO:0000001", "root process", "BP"), (2, "GO:0000002", "repair", "BP"),
         (3, "GO:0000003", "dsb\trepair", "BP"), (4, "GO:0000004", "response", "BP"),
         (5, "GO:0000005", "regulation of repair", "BP"), (6, "GO:0000006", "binding", "MF")]
PARENTS = [(2, 1, "isa"), (3, 2, "isa"), (3, 4, "part of"), (4, 1, "isa"), (5, 2, "regulates"),
           (5, 1, "isa")]
GENES = {1: "BRCA1", 2: "RAD51", 3: "TP53", 4: "MDM2", 5: "ATM"}
ANNOTATIONS = [(1, "GO:0000003"), (2, "GO:0000003"), (3, "GO:0000004"), (4, "GO:0000005"),
               (5, "GO:0000002"), (5, "GO:0000006"), (1, "GO:0000099")]   # GO:0000099 obsolete


def tiny_databases(folder):
    go, org = folder / "GO.sqlite", folder / "org.Hs.eg.sqlite"
    with sqlite3.connect(go) as con:
        con.executescript("CREATE TABLE metadata (name, value); CREATE TABLE go_term (_id INTEGER PRIMARY KEY, "
                          "go_id, term, ontology, definition); CREATE TABLE go_bp_parents (_id, _parent_id, "
                          "relationship_type);")
        con.execute("INSERT INTO metadata VALUES ('GOSOURCEDATE', '2022-07-01')")
        con.executemany("INSERT INTO go_term VALUES (?, ?, ?, ?, '')", TERMS)
        con.executemany("INSERT INTO go_bp_parents VALUES (?, ?, ?)", PARENTS)
    with sqlite3.connect(org) as con:
        con.executescript("CREATE TABLE metadata (name, value); CREATE TABLE genes (_id INTEGER PRIMARY KEY, "
                          "gene_id); CREATE TABLE gene_info (_id, gene_name, symbol); "
                          "CREATE TABLE go_bp (_id, go_id, evidence);")
        con.execute("INSERT INTO metadata VALUES ('ORGANISM', 'Homo sapiens')")
        con.executemany("INSERT INTO gene_info VALUES (?, '', ?)", GENES.items())
        con.executemany("INSERT INTO go_bp VALUES (?, ?, 'IDA')", ANNOTATIONS)
    return str(go), str(org)


def make(tmp_path, run, *extra):
    """Runs the script on the tiny databases into its own folder; (library path, term -> genes)."""
    folder = tmp_path / run
    folder.mkdir()
    go, org = tiny_databases(folder)
    out = folder / "out"
    assert make_go_library.main(["--go-db", go, "--org-db", org, "--out-dir", str(out), *extra]) == 0
    path = out / "go_bp_human.gmt.gz"
    return path, genesets.read_gmt(path)


def test_script_propagates_along_is_a_and_part_of(tmp_path):
    path, sets = make(tmp_path, "first", "--min-size", "1", "--max-size", "3")
    assert sets == {"dsb repair (GO:0000003)": ["BRCA1", "RAD51"],
                    "repair (GO:0000002)": ["ATM", "BRCA1", "RAD51"],
                    "response (GO:0000004)": ["BRCA1", "RAD51", "TP53"],
                    "regulation of repair (GO:0000005)": ["MDM2"]}          # root (5 genes) is over the cap
    lines = gzip.decompress(path.read_bytes()).decode().splitlines()     # in GO id order
    assert [line.split("\t")[1] for line in lines] == ["GO:0000002", "GO:0000003", "GO:0000004", "GO:0000005"]
    recorded = json.loads((path.parent / "go_bp_human.json").read_text())
    assert recorded["terms"] == 4 and recorded["size_range"] == [1, 3]
    assert recorded["sources"][0]["ontology_date"] == "2022-07-01" and "--max-size 3" in recorded["command"]

    # The same input gives the same bytes; regulates links propagate only when asked.
    again, _ = make(tmp_path, "again", "--min-size", "1", "--max-size", "3")
    assert again.read_bytes() == path.read_bytes()
    _, sets = make(tmp_path, "regulates", "--with-regulates", "--min-size", "2")
    assert sets["repair (GO:0000002)"] == ["ATM", "BRCA1", "MDM2", "RAD51"]
    assert set(sets) == {"dsb repair (GO:0000003)", "repair (GO:0000002)", "response (GO:0000004)",
                         "root process (GO:0000001)"}                        # one-gene regulation dropped


def test_script_refuses_missing_databases_and_empty_results(tmp_path):
    with pytest.raises(SystemExit, match="no database"):
        make_go_library.main(["--go-db", str(tmp_path / "none.sqlite"), "--out-dir", str(tmp_path)])
    assert not (tmp_path / "none.sqlite").exists()                        # not created by the attempt
    with pytest.raises(SystemExit, match="size range"):
        make(tmp_path, "large", "--min-size", "50")
