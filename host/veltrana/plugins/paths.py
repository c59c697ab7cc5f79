"""The host's description of the user's data locations, and the rules that keep
values arriving from the page inside them.

`my_paths` is a JSON-serialisable dict::

    {"expression": {"Protein": "<tsv>", "Glycoform": "<tsv>"}, "info": "<tsv>", "out_dir": "<dir>"}

Source names are whatever the user typed ("mRNA", "Phospho sites"); where one
reaches a file name it goes through `file_safe`. Every result location is derived
under `out_dir`; nothing is created here.
"""

from __future__ import annotations

import copy
import hashlib
import json
import os
import re
import threading
import unicodedata

_UNSAFE = re.compile(r"[^A-Za-z0-9._-]+")

# The configurations this process was given (one MyPath each); a "Paths" value
# from the page must be one of them.
_configured: list["MyPath"] = []
_configured_lock = threading.Lock()


def check_source_name(name) -> str:
    """A source name as typed by the user; only non-text, empty or control characters are refused."""
    if not isinstance(name, str):
        raise ValueError(f"a source name must be text, got {type(name).__name__} {name!r}")
    if not name.strip():
        raise ValueError(f"a source name must not be empty, got {name!r}")
    if any(unicodedata.category(c) in ("Cc", "Cf", "Cs", "Co", "Zl", "Zp") for c in name):
        raise ValueError(f"the source name {name!r} holds a control character")
    return name


_PLAIN_NAME = re.compile(r"^[A-Za-z0-9][A-Za-z0-9_.]{0,63}$")


def file_safe(name: str) -> str:
    """A file-name part for a source name: a readable slug and a short hash of the exact name.

    The hash keeps names that slug alike apart ("Glyco/peptides" and "Glyco peptides").
    A plain name (letters, digits, "_" and "."; no "-", so never of the slug-hash form)
    is its own file-name part, as stored results from before named it.
    """
    check_source_name(name)
    if _PLAIN_NAME.match(name):
        return name
    slug = _UNSAFE.sub("_", unicodedata.normalize("NFKD", name)).strip("._-")[:40] or "source"
    digest = hashlib.sha256(name.encode("utf-8")).hexdigest()[:8]
    return f"{slug}-{digest}"


def _validate(my_paths) -> dict:
    if not isinstance(my_paths, dict):
        raise ValueError(f"paths must be a dict, got {type(my_paths).__name__}")
    for key in ("expression", "info", "out_dir"):
        if key not in my_paths:
            raise ValueError(f"paths lacks {key!r}")
    expression = my_paths["expression"]
    if not isinstance(expression, dict) or not expression:
        raise ValueError("paths['expression'] must be a non-empty dict of source name to file")
    for source, file in expression.items():
        check_source_name(source)
        if not isinstance(file, str) or not file:
            raise ValueError(f"paths['expression'][{source!r}] must be a file path, got {file!r}")
    for key in ("info", "out_dir"):
        if not isinstance(my_paths[key], str) or not my_paths[key]:
            raise ValueError(f"paths[{key!r}] must be a path, got {my_paths[key]!r}")
    return my_paths


def inside(path, folder) -> bool:
    """True when `path` resolves (links and '..' followed) to `folder` or below it."""
    try:
        real = os.path.realpath(os.fspath(path))
        root = os.path.realpath(os.fspath(folder))
    except TypeError:
        return False
    return real == root or real.startswith(root.rstrip(os.sep) + os.sep)


class MyPath:
    """Every location of one user's data and results."""

    def __init__(self, my_paths):
        self.paths = copy.deepcopy(_validate(my_paths))
        self.out_dir = os.path.abspath(my_paths["out_dir"])
        with _configured_lock:
            if all(c.paths != my_paths for c in _configured):
                _configured.append(self)

    # -- inputs ------------------------------------------------------------------
    def sources(self) -> list[str]:
        return list(self.paths["expression"])

    def check_source(self, source) -> str:
        """`source` when it names a configured source; a value from the page that does not (any
        text, or a list or mapping sent in its place) is refused naming it."""
        if not isinstance(source, str) or source not in self.paths["expression"]:
            raise ValueError(f"unknown data source {source!r}; the sources are "
                             f"{', '.join(map(repr, self.sources()))}")
        return source

    def get_expr_path(self, source) -> str:
        return self.paths["expression"][self.check_source(source)]

    def get_meta_path(self) -> str:
        return self.paths["info"]

    def get_annotation_path(self, source) -> str | None:
        """The optional feature-annotation table of a source ("annotation" key of the paths)."""
        return (self.paths.get("annotation") or {}).get(self.check_source(source))

    # -- results -----------------------------------------------------------------
    def get_out_dir(self) -> str:
        return self.out_dir

    def _under(self, *parts) -> str:
        return os.path.join(self.out_dir, *parts)

    def get_preprocess_dir(self) -> str:
        return self._under("preprocess")

    def get_preprocess_path(self, source) -> str:
        return self._under("preprocess", f"{file_safe(self.check_source(source))}_preprocessed.npz")

    def get_preprocess_settings_path(self, source) -> str:
        return self._under("preprocess", f"{file_safe(self.check_source(source))}_settings.json")

    def get_profile_dir(self) -> str:
        return self._under("profile")

    def get_diff_dir(self) -> str:
        return self._under("differential")

    def get_decomposition_dir(self) -> str:
        return self._under("decomposition")

    def get_clustering_dir(self) -> str:
        return self._under("clustering")

    def get_enrichment_dir(self) -> str:
        return self._under("enrichment")

    def get_user_geneset_dir(self) -> str:
        return self._under("user", "database", "enrichment")

    def get_feature_association_dir(self) -> str:
        return self._under("association")

    def get_feature_sets_path(self) -> str:
        return self._under("association", "feature_sets.txt")

    def get_feature_association_summary_path(self) -> str:
        return self._under("association", "association_summary.txt")

    def get_phenotype_feature_correlation_path(self) -> str:
        return self._under("association", "phenotype_feature_correlation.txt")

    def get_phenotype_feature_logistic_path(self) -> str:
        return self._under("association", "phenotype_feature_logistic.txt")

    # -- what the page may see ---------------------------------------------------------
    def short_forms(self) -> list[tuple[str, str]]:
        """(absolute prefix, its form for the page) of each configured file and folder, longest first.

        The study folder is the one that holds all the input files; what lies in it is named
        relative to it, and what lies elsewhere by its own name."""
        files = [*self.paths["expression"].values(), self.paths["info"], *(self.paths.get("annotation") or {}).values()]
        study = os.path.commonpath([os.path.dirname(os.path.abspath(f)) for f in files])
        if os.path.dirname(study) == study:  # the inputs share no folder but the root
            study = None

        def short(path):
            return os.path.relpath(path, study) if study and inside(path, study) else os.path.basename(path)

        forms = {}
        for path in [*files, self.out_dir]:
            for spelling in {os.path.abspath(path), os.path.realpath(path)}:
                forms[spelling] = short(path)
        if study:
            for spelling in {study, os.path.realpath(study)}:
                forms[spelling.rstrip(os.sep) + os.sep] = ""
        return sorted(forms.items(), key=lambda form: -len(form[0]))

    def page_form(self) -> dict:
        """The paths as the page holds them (the "Paths" store): each file and folder by its short
        form, and a digest of the whole configuration that tells this study from others alike."""
        if getattr(self, "_page_form", None) is None:  # made once: the paths never change
            self._page_form = self._make_page_form()
        return self._page_form

    def _make_page_form(self) -> dict:
        forms = dict(self.short_forms())

        def short(path):
            return forms.get(os.path.abspath(path), os.path.basename(path))

        paths = self.paths
        form = {"expression": {s: short(f) for s, f in paths["expression"].items()}, "info": short(paths["info"]),
                "out_dir": short(self.out_dir)}
        if paths.get("annotation"):
            form["annotation"] = {s: short(f) for s, f in paths["annotation"].items()}
        exact = json.dumps(paths, sort_keys=True, default=str).encode("utf-8")
        form["study"] = hashlib.sha256(exact).hexdigest()[:16]
        return form

    # -- confinement -----------------------------------------------------------------
    def readable(self, path) -> bool:
        """A configured input file, or anything inside the output directory."""
        if not isinstance(path, (str, os.PathLike)):
            return False
        configured = [*self.paths["expression"].values(), self.paths["info"],
                      *(self.paths.get("annotation") or {}).values()]
        real = os.path.realpath(path)
        if any(real == os.path.realpath(f) for f in configured):
            return True
        return inside(path, self.out_dir)


def configured(paths) -> MyPath:
    """The MyPath of a "Paths" value that came back from the page (the configuration itself, or
    its page form).

    Only a configuration this server was started with is accepted; anything else
    (a forged or altered value) raises ValueError before any file is touched.
    """
    with _configured_lock:
        for c in _configured:
            if c.paths == paths:
                return c
        if isinstance(paths, dict) and "study" in paths:
            for c in _configured:
                if c.page_form() == paths:
                    return c
    raise ValueError("the 'Paths' value is not this server's configuration")


def for_the_page(text: str) -> str:
    """`text` with the server's paths of the configured studies named as the user knows them
    (relative to the study folder), for messages shown on the page."""
    with _configured_lock:
        configs = list(_configured)
    for c in configs:
        for prefix, short in c.short_forms():
            text = text.replace(prefix, short)
    return text


def readable_anywhere(path) -> bool:
    """True when some configuration of this process may read `path`."""
    with _configured_lock:
        configs = list(_configured)
    return any(c.readable(path) for c in configs)


def output_folder_of(path) -> str | None:
    """The output folder of the first configuration that names `path` as an expression file."""
    real = os.path.realpath(path)
    with _configured_lock:
        configs = list(_configured)
    for c in configs:
        if any(os.path.realpath(f) == real for f in c.paths["expression"].values()):
            return c.out_dir
    return None


def fix_path(file_name, parent_dir) -> str:
    """The full path of a user gene-set file `file_name` inside `parent_dir`.

    Only a plain file name is accepted: separators, '..' and absolute paths raise
    ValueError, and so does a name whose resolved path leaves `parent_dir`.
    """
    if not isinstance(file_name, str) or not file_name:
        raise ValueError(f"invalid file name {file_name!r}")
    if os.path.basename(file_name) != file_name or file_name in (".", "..") or "\\" in file_name:
        raise ValueError(f"{file_name!r} is not a plain file name")
    full = os.path.join(os.path.abspath(parent_dir), file_name)
    if not inside(full, parent_dir) or os.path.realpath(full) == os.path.realpath(parent_dir):
        raise ValueError(f"{file_name!r} lies outside {parent_dir!r}")
    return full
