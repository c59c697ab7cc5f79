"""The C library's memory arenas in a server process: two, instead of one per busy thread.

glibc gives a thread that allocates while others do an arena of its own, up to eight per
core, and memory freed in an arena mostly stays with the process. The server answers on
many threads, so after a page load the process kept 120-165 MB more (at 128 x 12,600:
530 MB resident, 408 MB with two arenas; at 1,000 x 20,000: 865 MB, 700 MB), at no cost in
time measured. A MALLOC_ARENA_MAX set in the environment is left to decide.
"""

from __future__ import annotations

import ctypes
import os

M_ARENA_MAX = -8  # glibc's mallopt parameter
ARENAS = 2


def limit_arenas(count: int = ARENAS) -> bool:
    """Caps the arenas of threads started from now on (so: first thing); False when the
    environment decides, or the C library has no such setting."""
    if "MALLOC_ARENA_MAX" in os.environ:
        return False
    try:
        mallopt = ctypes.CDLL(None).mallopt
    except (OSError, AttributeError):
        return False
    return bool(mallopt(M_ARENA_MAX, count))
