"""Host services of the enrichment card (not built yet)."""

__all__: list[str] = []
