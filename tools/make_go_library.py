#!/usr/bin/env python3
"""Builds the offline GO Biological Process library for human gene symbols.

Reads the SQLite databases that Debian's r-bioc-go.db and r-bioc-org.hs.eg.db
packages install (no R needed) and writes, into host/veltrana/genesets/:

- go_bp_human.gmt.gz: one line per GO BP term, "name (GO:id)", the GO id, then
  the sorted gene symbols annotated to the term or to any of its descendants
  along is_a and part_of (the true-path rule; regulates links do not carry
  annotations upwards). All evidence codes count. Only terms holding between
  --min-size and --max-size genes (default 5 to 2,000) are kept: smaller sets
  give no power, larger ones say nothing specific.
- go_bp_human.json: the source packages and their versions, the GO and gene
  release dates found in the databases' metadata, the licences, the size range
  and the command that made the library.

    apt-get install -y r-bioc-go.db r-bioc-org.hs.eg.db
    python tools/make_go_library.py
"""

from __future__ import annotations

import argparse
import gzip
import json
import os
import shlex
import sqlite3
import subprocess
import sys
from collections import defaultdict

GO_DB = "/usr/lib/R/site-library/GO.db/extdata/GO.sqlite"
ORG_DB = "/usr/lib/R/site-library/org.Hs.eg.db/extdata/org.Hs.eg.sqlite"
OUT_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir,
                       "host", "veltrana", "genesets")
STEM = "go_bp_human"
# Relationship types of go_bp_parents along which annotations propagate.
PROPAGATING = ("isa", "part of")
REGULATES = ("regulates", "negatively regulates", "positively regulates")


def connect(path):
    """A read-only connection; a missing file is an error, not a new empty database."""
    if not os.path.isfile(path):
        raise SystemExit(f"no database at {path} (apt-get install -y r-bioc-go.db r-bioc-org.hs.eg.db)")
    return sqlite3.connect(f"file:{path}?mode=ro", uri=True)


def metadata(con) -> dict:
    return dict(con.execute("SELECT name, value FROM metadata"))


def bp_terms(go) -> dict:
    """GO id -> term name of every Biological Process term."""
    return dict(go.execute("SELECT go_id, term FROM go_term WHERE ontology = 'BP'"))


def bp_parents(go, relationships=PROPAGATING) -> dict:
    """GO id -> GO ids of its direct parents along the given relationship types."""
    marks = ",".join("?" * len(relationships))
    rows = go.execute(
        "SELECT c.go_id, p.go_id FROM go_bp_parents r JOIN go_term c ON c._id = r._id "
        f"JOIN go_term p ON p._id = r._parent_id WHERE r.relationship_type IN ({marks})", relationships)
    parents = defaultdict(set)
    for child, parent in rows:
        parents[child].add(parent)
    return parents


def ancestors_of(parents: dict) -> dict:
    """GO id -> the term itself and all its ancestors (memoised walk up the graph)."""
    done: dict = {}

    def walk(term):
        if term not in done:
            done[term] = frozenset()      # a cycle would stop here instead of recursing forever
            found = {term}
            for parent in parents.get(term, ()):
                found |= walk(parent)
            done[term] = frozenset(found)
        return done[term]

    sys.setrecursionlimit(max(sys.getrecursionlimit(), 10000))
    for term in list(parents):
        walk(term)
    return done


def direct_annotations(org) -> dict:
    """GO id -> gene symbols annotated to it directly (any evidence code)."""
    rows = org.execute("SELECT a.go_id, i.symbol FROM go_bp a JOIN gene_info i ON i._id = a._id")
    genes = defaultdict(set)
    for go_id, symbol in rows:
        genes[go_id].add(symbol)
    return genes


def propagated_sets(terms: dict, parents: dict, direct: dict) -> dict:
    """GO id -> genes annotated to the term or to any descendant, for BP terms only."""
    ancestors = ancestors_of(parents)
    sets = defaultdict(set)
    for go_id, genes in direct.items():
        for term in ancestors.get(go_id, (go_id,)):
            sets[term] |= genes
    return {t: g for t, g in sets.items() if t in terms}


def gmt_lines(terms: dict, sets: dict, min_size: int, max_size: int) -> list:
    """The .gmt lines of the terms within the size range, in GO id order."""
    lines = []
    for go_id in sorted(sets):
        genes = sets[go_id]
        if min_size <= len(genes) <= max_size:
            name = " ".join(terms[go_id].split())     # no tab or line break inside a name
            lines.append("\t".join([f"{name} ({go_id})", go_id, *sorted(genes)]))
    return lines


def debian_version(package: str):
    """The installed version of a Debian package, or None off Debian."""
    try:
        done = subprocess.run(["dpkg-query", "-W", "-f", "${Version}", package],
                              capture_output=True, text=True, check=False)
    except OSError:
        return None
    return done.stdout.strip() or None


def write_library(out_dir: str, lines: list) -> str:
    """Writes the gzip file reproducibly (no time stamp, no file name inside)."""
    path = os.path.join(out_dir, STEM + ".gmt.gz")
    with open(path + ".part", "wb") as raw, \
            gzip.GzipFile(filename="", mode="wb", fileobj=raw, mtime=0, compresslevel=9) as packed:
        packed.write(("\n".join(lines) + "\n").encode("utf-8"))
    os.replace(path + ".part", path)
    return path


def describe(args, relationships, go_meta: dict, org_meta: dict, n_terms: int, n_genes: int) -> dict:
    return {
        "name": "GO_Biological_Process_offline",
        "file": STEM + ".gmt.gz",
        "content": "GO Biological Process terms with the human gene symbols annotated to each term or to any "
                   "descendant along " + ", ".join(relationships) + "; all evidence codes",
        "terms": n_terms,
        "genes": n_genes,
        "size_range": [args.min_size, args.max_size],
        "line_format": "term name (GO id) <tab> GO id <tab> gene symbols, sorted",
        "sources": [
            {"package": "r-bioc-go.db", "version": debian_version("r-bioc-go.db"),
             "database": os.path.basename(args.go_db), "ontology": go_meta.get("GOSOURCEURL"),
             "ontology_date": go_meta.get("GOSOURCEDATE")},
            {"package": "r-bioc-org.hs.eg.db", "version": debian_version("r-bioc-org.hs.eg.db"),
             "database": os.path.basename(args.org_db), "organism": org_meta.get("ORGANISM"),
             "gene_source": org_meta.get("EGSOURCENAME"), "gene_source_date": org_meta.get("EGSOURCEDATE"),
             "annotation_source_date": org_meta.get("GOEGSOURCEDATE")},
        ],
        "licence": {
            "Gene Ontology": "CC BY 4.0 (https://creativecommons.org/licenses/by/4.0/); "
                             "Gene Ontology Consortium, http://geneontology.org",
            "org.Hs.eg.db": "Artistic-2.0, as its package states; its gene data come from NCBI Entrez Gene, "
                            "public-domain data of the U.S. National Library of Medicine",
        },
        "command": " ".join(["python", "tools/make_go_library.py", *map(shlex.quote, args.argv)]),
    }


def main(argv=None) -> int:
    argv = sys.argv[1:] if argv is None else list(argv)
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--go-db", default=GO_DB, help="GO.sqlite of r-bioc-go.db")
    parser.add_argument("--org-db", default=ORG_DB, help="org.Hs.eg.sqlite of r-bioc-org.hs.eg.db")
    parser.add_argument("--out-dir", default=os.path.normpath(OUT_DIR))
    parser.add_argument("--min-size", type=int, default=5)
    parser.add_argument("--max-size", type=int, default=2000)
    parser.add_argument("--with-regulates", action="store_true",
                        help="also propagate along regulates links, as GO.db's offspring table does")
    args = parser.parse_args(argv)
    args.argv = argv

    go, org = connect(args.go_db), connect(args.org_db)
    terms = bp_terms(go)
    relationships = PROPAGATING + (REGULATES if args.with_regulates else ())
    sets = propagated_sets(terms, bp_parents(go, relationships), direct_annotations(org))
    lines = gmt_lines(terms, sets, args.min_size, args.max_size)
    if not lines:
        raise SystemExit("no GO term within the size range")
    os.makedirs(args.out_dir, exist_ok=True)
    path = write_library(args.out_dir, lines)
    n_genes = len({g for line in lines for g in line.split("\t")[2:]})
    with open(os.path.join(args.out_dir, STEM + ".json"), "w", encoding="utf-8") as handle:
        json.dump(describe(args, relationships, metadata(go), metadata(org), len(lines), n_genes), handle, indent=2)
        handle.write("\n")
    print(f"{path}: {len(lines)} terms, {n_genes} genes, {os.path.getsize(path)} bytes")
    return 0


if __name__ == "__main__":
    sys.exit(main())
