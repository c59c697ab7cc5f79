"""Progress of a long analysis, told to whoever follows it.

A background job installs the page's progress setter with `reporting`; the analyses tell
where their loops are with `each` (or `report` for a step that is not a loop). Without a
listener (a run in the request, a test, a script) telling costs nothing.
"""

from __future__ import annotations

import threading
from contextlib import contextmanager

_listener = threading.local()


@contextmanager
def reporting(tell):
    """Within this block, progress texts of this thread go to `tell(text)`."""
    previous = getattr(_listener, "tell", None)
    _listener.tell = tell
    try:
        yield
    finally:
        _listener.tell = previous


def report(text: str) -> None:
    tell = getattr(_listener, "tell", None)
    if tell is not None:
        tell(text)


def each(items, what: str):
    """Yields `items`, telling "<what>: <item> (i of n)" before each."""
    items = list(items)
    for i, item in enumerate(items, 1):
        report(f"{what}: {item} ({i} of {len(items)})")
        yield item
