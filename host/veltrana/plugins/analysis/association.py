"""Host services of the association card (not built yet)."""

__all__: list[str] = []
