"""Host services of the profiling card (not built yet)."""

__all__: list[str] = []
