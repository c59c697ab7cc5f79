"""The Veltrana dashboard application: build_app and its callbacks."""

import _thread

import dash

from veltrana.plugins import callbacks as callbacks
from veltrana.plugins.layout import build_layout as build_layout
from veltrana.plugins.pca1 import pca_standalone as pca_standalone
from veltrana.plugins.plotweave import (
    boxplot as boxplot,
    build_default_fig as build_default_fig,
    corrplot as corrplot,
    genz_volcano as genz_volcano,
    genz_volcano_pdf as genz_volcano_pdf,
    histogram as histogram,
    roc_plot as roc_plot,
    scatter_plot as scatter_plot,
    show_image as show_image,
    volcano as volcano
)


default_phenotype: str = 'Pathological_Status'

default_figure_height: int = 500

sample_dir: str

external_stylesheets: list = []

tlock: _thread.lock = ...

def build_app(my_paths: dict[str, object]) -> dash.Dash:
    """
    Create the dashboard application for the user's data locations and register its 44 callbacks.
    """
