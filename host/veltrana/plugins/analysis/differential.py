"""Host services of the differential card (not built yet)."""

__all__: list[str] = []
