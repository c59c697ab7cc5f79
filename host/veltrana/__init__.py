"""Veltrana: explore molecular expression data against sample phenotypes in the browser."""

__version__ = "0.1.0"
