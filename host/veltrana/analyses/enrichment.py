"""Host services of the enrichment card: the feature sets collected from the other cards'
results (which the association card's picker offers too), their genes, the remote and the
shipped offline gene-set libraries, and the reachability of the remote gene-set service."""

from __future__ import annotations

import functools
import os
import socket
import threading
import urllib.parse

import pandas as pd
import requests

from veltrana.genesets import LIBRARIES, load_library
from veltrana.plugins.tables import read_result_path
from veltrana.plugins.vocabulary import dropdown, gene_of

__all__ = [
    "ENRICH_LIBRARIES",
    "ENRICHR_ADDRESS",
    "ENRICHR_TIMEOUT",
    "OFFLINE_LIBRARY",
    "enrichr_reachable",
    "extract_unique_genes",
    "get_enrich_libraries",
    "get_feature_sets",
    "get_features_from_sets",
    "get_offline_libraries",
    "load_offline_library",
    "remote_unreachable_message",
]

OFFLINE_LIBRARY = "GO_Biological_Process_offline"

# Where the remote requests go: None asks gseapy's own client, which knows its service.
ENRICHR_ADDRESS = None
# Seconds the reachability check may take, name lookup included.
ENRICHR_TIMEOUT = 3.0



def __getattr__(name):
    # REMOTE_ERRORS names gseapy's own errors, and gseapy is imported on first use (veltrana.deferred).
    if name == "REMOTE_ERRORS":
        return remote_errors()
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


@functools.cache
def remote_errors() -> tuple:
    """What a remote call raises when the service goes away during the call."""
    try:
        from gseapy.enrichr import EnrichrAPIError, EnrichrNetworkError
    except ImportError:  # older gseapy raise requests' own errors
        return (requests.exceptions.RequestException, OSError)
    return (requests.exceptions.RequestException, OSError, EnrichrNetworkError, EnrichrAPIError)


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
    return dropdown(values)


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


def get_offline_libraries() -> list:
    """Names of the gene-set libraries shipped with the package; they need no network."""
    return list(LIBRARIES)


def load_offline_library(name) -> dict:
    """Term -> genes of a shipped library, read once per process; ValueError for any other name."""
    if not isinstance(name, str) or name not in LIBRARIES:
        raise ValueError(f"no offline gene-set library {name!r}")
    return dict(load_library(name))      # a copy: a caller never alters the cached library


def service_address():
    """(host, port) of the remote service as gseapy's client addresses it, or None when
    this gseapy does not say (the call is then bounded by gseapy's own timeouts)."""
    if ENRICHR_ADDRESS is not None:
        return ENRICHR_ADDRESS
    try:
        from gseapy.enrichr import EnrichrAPI

        url = urllib.parse.urlsplit(EnrichrAPI().base_url)
    except Exception:  # noqa: BLE001 - an older or newer client without this attribute
        return None
    return (url.hostname, url.port or (443 if url.scheme == "https" else 80)) if url.hostname else None


def enrichr_reachable(address=None, timeout=None) -> bool:
    """Whether a TCP connection to the remote gene-set service (default `service_address()`)
    opens within `timeout` seconds (default ENRICHR_TIMEOUT).

    The name lookup has no timeout of its own, so the whole attempt runs on a
    daemon thread that is abandoned when it takes too long.
    """
    address = service_address() if address is None else address
    if address is None:
        return True
    timeout = ENRICHR_TIMEOUT if timeout is None else timeout
    outcome = []

    def attempt():
        try:
            socket.create_connection(address, timeout=timeout).close()
            outcome.append(True)
        except OSError:
            outcome.append(False)

    probe = threading.Thread(target=attempt, name="enrichr-reachable", daemon=True)
    probe.start()
    probe.join(timeout)
    return bool(outcome and outcome[0])


def remote_unreachable_message(library) -> str:
    """What the card shows when the remote service cannot be reached (a line break between
    the two sentences: the card's title starts a new line there)."""
    offline = get_offline_libraries()
    hint = f"\nThe offline library {offline[0]} works without network." if offline else ""
    return f"The remote gene-set library {library} could not be reached.{hint}"
