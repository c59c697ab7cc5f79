"""Host services of the preprocessing card (not built yet)."""

__all__: list[str] = []
