"""
The Veltrana figures: volcano, box, histogram, scatter, heatmap, ROC and QC plots.
"""

from collections.abc import Iterable, Sequence
import os

import numpy.typing
import pandas
import plotly.graph_objects

from veltrana.plugins.pca1 import pca_standalone as pca_standalone
from veltrana.plugins.toolkit import calc_cv_values as calc_cv_values


default_phenotype: str = 'Pathological_Status'

default_figure_height: int = 500

sample_dir: str

external_stylesheets: list = []

def heatmap_plot(expr_data: numpy.typing.ArrayLike, samples: Sequence[str], features: Sequence[str], sample_labels: numpy.typing.ArrayLike, feature_labels: numpy.typing.ArrayLike, sample_text: numpy.typing.ArrayLike, feature_text: numpy.typing.ArrayLike) -> plotly.graph_objects.Figure:
    """
    A heatmap of the matrix with colour bars for the samples (top) and the features (left).
    """

def build_default_fig(height: int | None = 500) -> plotly.graph_objects.Figure:
    """The empty placeholder figure shown before a result exists."""

def show_image(path: str | os.PathLike[str], img_width: float = 800, img_height: float = 600, scale_factor: float = 0.5) -> plotly.graph_objects.Figure:
    """A figure showing the PNG file at path, its aspect ratio kept."""

def qc_corr_matrix_plot(data_df: pandas.DataFrame, samples: Sequence[str]) -> plotly.graph_objects.Figure | None:
    """
    Histograms of each sample on the diagonal, pairwise scatters with the Pearson correlation above it; data_df has one row per sample. None for no samples.
    """

def qc_cv_hist_plot(data_df: pandas.DataFrame, samples: Sequence[str]) -> plotly.graph_objects.Figure:
    """
    The histogram of the per-feature coefficients of variation over the samples.
    """

def volcano(df: pandas.DataFrame, x: str = 'Log2FC(median)', y: str = '-Log10(FDR)', figure_height: int = 500, title: str = '', fdr: float = 0.01, fc: float = 2, **kwargs: object) -> plotly.graph_objects.Figure:
    """
    Volcano of a differential table coloured by its 'Significance' codes, with threshold lines at -log10(fdr) and +-log2(fc); a `figure_width` keyword sets the width.
    """

def genz_volcano(df: pandas.DataFrame, x: str = 'Log2FC(median)', y: str = '-Log10(FDR)', title: str = '', figure_height: int = 500) -> plotly.graph_objects.Figure:
    """Volcano of enzyme results coloured by their processing 'Stage'."""

def genz_volcano_pdf(diff_enz_df: pandas.DataFrame, out_path: str | os.PathLike[str]) -> None:
    """
    Writes the labelled enzyme volcano to out_path (the format follows the extension).
    """

def histogram(values: numpy.typing.ArrayLike, figure_height: int = 500, show_median: bool = True) -> plotly.graph_objects.Figure:
    """
    Histogram of the values in 20 bins with the median marked as a red dot.
    """

def boxplot(df: pandas.DataFrame, gene: str, a: Iterable[str], b: Iterable[str], name_a: str, name_b: str, title: str = '', figure_height: int = 500) -> plotly.graph_objects.Figure:
    """
    Box plot of one feature (a row of df) in the sample groups a and b; the default figure when the feature is absent.
    """

def scatter_plot(x: numpy.typing.ArrayLike, y: numpy.typing.ArrayLike, x_name: str, y_name: str, hover_text: Sequence[str], figure_height: int) -> plotly.graph_objects.Figure:
    """Labelled scatter whose marker sizes follow the y values."""

def corrplot(x: Iterable[float], y: Iterable[float], figure_height: int = 500, x_name: str = 'X', y_name: str = 'Y') -> plotly.graph_objects.Figure:
    """Scatter of paired values, leaving out the pairs with a missing value."""

def roc_plot(fpr: numpy.typing.ArrayLike, tpr: numpy.typing.ArrayLike, auc: float, figure_height: int = 500) -> plotly.graph_objects.Figure:
    """Draws a ROC curve with the chance diagonal; the title shows the AUC."""
