"""Host services of the annotation card (not built yet)."""

__all__: list[str] = []
