"""Host services of the enrichment card: the shipped offline libraries and the
reachability of the remote gene-set service."""

from __future__ import annotations

import socket
import threading
import urllib.parse

import requests

from ..genesets import LIBRARIES, load_library

__all__ = [
    "ENRICHR_ADDRESS",
    "ENRICHR_TIMEOUT",
    "OFFLINE_LIBRARY",
    "REMOTE_ERRORS",
    "enrichr_reachable",
    "get_offline_libraries",
    "load_offline_library",
    "remote_unreachable_message",
]

OFFLINE_LIBRARY = "GO_Biological_Process_offline"

# Where the remote requests go: None asks gseapy's own client, which knows its service.
ENRICHR_ADDRESS = None
# Seconds the reachability check may take, name lookup included.
ENRICHR_TIMEOUT = 3.0

# What a remote call raises when the service goes away during the call.
try:
    from gseapy.enrichr import EnrichrAPIError, EnrichrNetworkError
except ImportError:  # older gseapy raise requests' own errors
    EnrichrAPIError = EnrichrNetworkError = requests.exceptions.RequestException
REMOTE_ERRORS = (requests.exceptions.RequestException, OSError, EnrichrNetworkError, EnrichrAPIError)


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
