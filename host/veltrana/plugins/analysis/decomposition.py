"""Host services of the decomposition card (not built yet)."""

__all__: list[str] = []
