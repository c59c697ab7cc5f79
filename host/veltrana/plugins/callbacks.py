"""The host services that the dashboard's callbacks call, and the path object.

The general services live here; the services of each card live in
`veltrana.plugins.analysis` and are re-exported, so that a host or a test can
replace any of them by assigning an attribute of this module.
"""

from __future__ import annotations

import os

import pandas as pd
import plotly.graph_objects as go

from .paths import MyPath, configured, fix_path, inside  # noqa: F401
from .results import association_paths, feature_sets_path, mark_published  # noqa: F401
from .tables import (  # noqa: F401
    read_expr_path,
    read_info_file,
    read_raw_expression,
    read_result_path,
    save_result_path,
)

from .analysis.preprocessing import *  # noqa: E402,F401,F403
from .analysis.profiling import *  # noqa: E402,F401,F403
from .analysis.qc import *  # noqa: E402,F401,F403
from .analysis.annotation import *  # noqa: E402,F401,F403
from .analysis.differential import *  # noqa: E402,F401,F403
from .analysis.decomposition import *  # noqa: E402,F401,F403
from .analysis.clustering import *  # noqa: E402,F401,F403
from .analysis.association import *  # noqa: E402,F401,F403
from .analysis.enrichment import *  # noqa: E402,F401,F403
from .analysis.figures import prefer_webgl  # noqa: E402,F401

from .defaults import default_figure_height


def build_default_fig(height=default_figure_height):
    """The placeholder figure: empty, 20-pixel margins, LightSteelBlue paper."""
    fig = go.Figure()
    fig.update_layout(margin={"l": 20, "r": 20, "t": 20, "b": 20}, paper_bgcolor="LightSteelBlue", height=height)
    return fig


def build_default_kwargs(inputs, states, args) -> dict:
    """Component id -> received value, inputs first; a repeated id keeps the later value."""
    deps = list(inputs) + list(states)
    return {dep.component_id: value for dep, value in zip(deps, args)}


def build_default_dropdown_by_list(values):
    """(options, value): one option per element, the first one selected (None when empty)."""
    options = [{"label": v, "value": v} for v in values]
    return options, (options[0]["value"] if options else None)


def path_full_split(path):
    """(folder, base name without extension, extension with its dot)."""
    folder, name = os.path.split(os.fspath(path))
    base, ext = os.path.splitext(name)
    return folder, base, ext


def gene_of(feature: str) -> str:
    """The gene symbol of a feature id: glycoform ids read GENE_site_glycan."""
    return str(feature).split("_", 1)[0]


def extract_unique_genes(features) -> list:
    """The distinct gene symbols of the features, in order of first appearance."""
    return list(dict.fromkeys(gene_of(f) for f in features))


def _feature_set_rows(feature_sets_path, source):
    """The rows of one source of the feature-sets table, or None when there is no table yet."""
    if not isinstance(feature_sets_path, (str, os.PathLike)) or not os.path.exists(feature_sets_path):
        return None
    table = read_result_path(feature_sets_path)
    return table[table["Source"] == source]


def get_feature_sets(feature_sets_path, source):
    """(options, value) of the feature sets of one source, each addressed as "Module@Label"."""
    rows = _feature_set_rows(feature_sets_path, source)
    if rows is None or rows.empty:
        return [], None
    values = [f"{m}@{label}" for m, label in zip(rows["Module"], rows["Label"])]
    return build_default_dropdown_by_list(values)


def get_features_from_sets(feature_sets_path, source, feature_set) -> list:
    """The feature ids of the set "Module@Label" of one source (empty when unknown or empty)."""
    rows = _feature_set_rows(feature_sets_path, source)
    if rows is None or not isinstance(feature_set, str) or "@" not in feature_set:
        return []
    module, label = feature_set.split("@", 1)
    hit = rows[(rows["Module"].astype(str) == module) & (rows["Label"].astype(str) == label)]
    if hit.empty or pd.isna(hit["Features"].iloc[0]):  # a set without features reads back empty
        return []
    return [f for f in str(hit["Features"].iloc[0]).split(";") if f]


ENRICH_LIBRARIES = [
    "KEGG_2016",
    "KEGG_2021_Human",
    "GO_Biological_Process_2023",
    "GO_Molecular_Function_2023",
    "GO_Cellular_Component_2023",
    "Reactome_2022",
    "WikiPathway_2023_Human",
    "MSigDB_Hallmark_2020",
]


def get_enrich_libraries() -> list:
    """Names of the remote Enrichr libraries offered on the enrichment card.

    They need the network; the card offers the shipped libraries of
    `get_offline_libraries` after them and never preselects a remote one.
    """
    return list(ENRICH_LIBRARIES)
