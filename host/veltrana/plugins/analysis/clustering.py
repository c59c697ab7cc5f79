"""Host services of the clustering card (not built yet)."""

__all__: list[str] = []
