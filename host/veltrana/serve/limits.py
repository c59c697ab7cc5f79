"""What one request or job may ask of a shared server.

Every number the page sends is bounded here, and so are the jobs: how many run at once (in all
and per login), how much memory and time each may take. The defaults suit a lab's machine; a
project file's `[limits]` table and `veltrana serve`'s options change them, once, at start-up,
before the workers fork (so every process of the server holds the same values).
"""

from __future__ import annotations

import os


def _memory_share() -> int:
    """Half the machine's memory, in MiB, for one job (a job bigger than that is a runaway)."""
    try:
        return os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES") // 2 // 2 ** 20
    except (ValueError, OSError, AttributeError):
        return 4096


DEFAULTS = {
    "permutations": 10_000,       # GSEA permutations of one run (the GSEA card's number input)
    "survival_groups": 12,        # groups of a Kaplan-Meier grouping (categorical phenotypes only)
    "pairs": 66,                  # pairwise log-rank tests of one Kaplan-Meier figure (12 groups)
    "clusters": 50,               # clusters of a feature clustering run (the clustering card's number input)
    "top_features": 5_000,        # features a clustering run clusters at most: its most variable ones
    "figure_samples": 500,        # samples a per-sample figure draws one by one; above, it sends a summary
    "picker_options": 5_000,      # options a picker is sent whole; above, the first ones and the user's search
    "jobs": os.cpu_count() or 2,  # background jobs running at once, in all
    "jobs_per_login": 2,          # background jobs of one login running at once
    "job_memory_mb": _memory_share(),
    "job_seconds": 600,           # wall time of one job (the serve --timeout)
}

_values = dict(DEFAULTS)


def get(name: str) -> int:
    return _values[name]


def configure(settings: dict, source: str = "the limits") -> None:
    """Sets the limits named in `settings` (positive whole numbers), refusing unknown names."""
    unknown = sorted(set(settings) - set(DEFAULTS))
    if unknown:
        raise ValueError(f"{source}: unknown limits {unknown}; known: {sorted(DEFAULTS)}")
    for name, value in settings.items():
        if isinstance(value, bool) or not isinstance(value, int) or value < 1:
            raise ValueError(f"{source}: {name} must be a whole number of at least 1, got {value!r}")
    _values.update(settings)


def reset() -> None:
    """Back to the defaults (tests)."""
    _values.clear()
    _values.update(DEFAULTS)


def bounded(name: str, value, what: str) -> int:
    """`value` as a whole number within 1..limit, or a refusal naming `what` and the bound."""
    limit = get(name)
    try:
        if isinstance(value, bool):  # a forged true is no count
            raise ValueError
        number = int(value)
        if number != value and not (isinstance(value, str) and value.strip() == str(number)):
            raise ValueError
    except (TypeError, ValueError, OverflowError):
        raise ValueError(f"{what} must be a whole number, got {value!r}") from None
    if not 1 <= number <= limit:
        raise ValueError(f"{what} must be from 1 to {limit:,} on this server, got {number:,}")
    return number
