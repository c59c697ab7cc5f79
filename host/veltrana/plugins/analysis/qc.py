"""Host services of the qc card (not built yet)."""

__all__: list[str] = []
