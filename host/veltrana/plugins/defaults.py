"""Settings shared by the dashboard modules."""

import os

default_phenotype = "Pathological_Status"
default_figure_height = 500
# Folder of the bundled demo dataset, written on first use by `python -m veltrana`.
sample_dir = os.path.join(os.path.expanduser("~"), ".cache", "veltrana", "demo")
external_stylesheets: list[str] = []
