"""The host services that the dashboard's callbacks call, and the path object.

The general services live here; the services of each card live in
`veltrana.plugins.analysis` and are re-exported, so that a host or a test can
replace any of them by assigning an attribute of this module.
"""

from __future__ import annotations

import os

from veltrana.plugins.paths import MyPath, configured, fix_path, inside  # noqa: F401
from veltrana.runs.results import association_paths, feature_sets_path, mark_published  # noqa: F401
from veltrana.plugins.tables import (  # noqa: F401
    read_expr_path,
    read_info_file,
    read_raw_expression,
    read_result_path,
    save_result_path,
)

from veltrana.analyses.preprocessing import *  # noqa: E402,F401,F403
from veltrana.analyses.profiling import *  # noqa: E402,F401,F403
from veltrana.analyses.qc import *  # noqa: E402,F401,F403
from veltrana.analyses.annotation import *  # noqa: E402,F401,F403
from veltrana.analyses.differential import *  # noqa: E402,F401,F403
from veltrana.analyses.decomposition import *  # noqa: E402,F401,F403
from veltrana.analyses.clustering import *  # noqa: E402,F401,F403
from veltrana.analyses.association import *  # noqa: E402,F401,F403
from veltrana.analyses.enrichment import *  # noqa: E402,F401,F403
from veltrana.analyses.figures import prefer_webgl  # noqa: E402,F401

from veltrana.plugins.vocabulary import dropdown, gene_of, named_args, placeholder_figure  # noqa: E402,F401
from veltrana.analyses import enrichment  # noqa: E402


def __getattr__(name):
    # Services whose values import a library on first use.
    if name == "REMOTE_ERRORS":
        return enrichment.REMOTE_ERRORS
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


# The names the native callbacks call.
build_default_fig = placeholder_figure
build_default_kwargs = named_args
build_default_dropdown_by_list = dropdown


def path_full_split(path):
    """(folder, base name without extension, extension with its dot)."""
    folder, name = os.path.split(os.fspath(path))
    base, ext = os.path.splitext(name)
    return folder, base, ext

