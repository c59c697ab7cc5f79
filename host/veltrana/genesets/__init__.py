"""The gene-set libraries that ship with the package and work without network.

`go_bp_human.gmt.gz` holds GO Biological Process for human gene symbols, made by
tools/make_go_library.py; `go_bp_human.json` beside it records its sources, their
versions and licences, and the command that made it.
"""

from __future__ import annotations

import gzip
import json
import os
import threading

__all__ = ["FOLDER", "LIBRARIES", "read_gmt", "library_path", "library_metadata", "load_library"]

FOLDER = os.path.dirname(os.path.abspath(__file__))

# Name offered on the enrichment card -> file stem in this folder.
LIBRARIES = {"GO_Biological_Process_offline": "go_bp_human"}

_cache: dict = {}
_cache_lock = threading.Lock()


def read_gmt(path) -> dict:
    """Term -> genes of a .gmt file (gzip-compressed when its name ends in .gz).

    Each line reads: term, description, then one gene per field; empty fields are skipped.
    """
    opener = gzip.open if os.fspath(path).endswith(".gz") else open
    sets = {}
    with opener(path, "rt", encoding="utf-8") as handle:
        for number, line in enumerate(handle, 1):
            fields = line.rstrip("\r\n").split("\t")
            if not fields[0]:
                continue
            if len(fields) < 3:
                raise ValueError(f"{os.fspath(path)}, line {number}: a gene set needs a name, a description "
                                 "and genes")
            sets[fields[0]] = [g for g in fields[2:] if g]
    return sets


def library_path(name: str) -> str:
    """The .gmt.gz file of a shipped library; KeyError for a name that is not shipped."""
    return os.path.join(FOLDER, LIBRARIES[name] + ".gmt.gz")


def library_metadata(name: str) -> dict:
    """Sources, versions, licences and the making command of a shipped library."""
    with open(os.path.join(FOLDER, LIBRARIES[name] + ".json"), encoding="utf-8") as handle:
        return json.load(handle)


def load_library(name: str) -> dict:
    """Term -> genes of a shipped library, read once per process (callers must not alter it)."""
    with _cache_lock:
        if name not in _cache:
            _cache[name] = read_gmt(library_path(name))
        return _cache[name]
