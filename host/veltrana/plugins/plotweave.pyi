"""
The Veltrana figures: volcano, box, histogram, scatter, heatmap, ROC and QC plots.
"""

from veltrana.plugins.pca1 import pca_standalone as pca_standalone
from veltrana.plugins.toolkit import calc_cv_values as calc_cv_values


default_phenotype: str = 'Pathological_Status'

default_figure_height: int = 500

sample_dir: str

external_stylesheets: list = []

def heatmap_plot(expr_data: object | None, samples: object | None, features: object | None, sample_labels: object | None, feature_labels: object | None, sample_text: object | None, feature_text: object | None) -> object:
    """
    A heatmap of the matrix with colour bars for the samples (top) and the features (left).
    """

def build_default_fig(height: object | None = 500) -> object:
    """The empty placeholder figure shown before a result exists."""

def show_image(path: object | None, img_width: object | None = 800, img_height: object | None = 600, scale_factor: object | None = 0.5) -> object:
    """A figure showing the PNG file at path, its aspect ratio kept."""

def qc_corr_matrix_plot(data_df: object | None, samples: object | None) -> object:
    """
    Histograms of each sample on the diagonal, pairwise scatters with the Pearson correlation above it; data_df has one row per sample. None for no samples.
    """

def qc_cv_hist_plot(data_df: object | None, samples: object | None) -> object:
    """
    The histogram of the per-feature coefficients of variation over the samples.
    """

def volcano(df: object, x: object = 'Log2FC(median)', y: object = '-Log10(FDR)', figure_height: object = 500, title: object = '', fdr: object = 0.01, fc: object = 2, **kwargs) -> object:
    """
    Volcano of a differential table coloured by its 'Significance' codes, with threshold lines at -log10(fdr) and +-log2(fc); a `figure_width` keyword sets the width.
    """

def genz_volcano(df: object, x: object = 'Log2FC(median)', y: object = '-Log10(FDR)', title: object = '', figure_height: object = 500) -> object:
    """Volcano of enzyme results coloured by their processing 'Stage'."""

def genz_volcano_pdf(diff_enz_df: object, out_path: object) -> object:
    """
    Writes the labelled enzyme volcano to out_path (the format follows the extension).
    """

def histogram(values: object, figure_height: object = 500, show_median: object = True) -> object:
    """
    Histogram of the values in 20 bins with the median marked as a red dot.
    """

def boxplot(df: object, gene: object, a: object, b: object, name_a: object, name_b: object, title: object = '', figure_height: object = 500) -> object:
    """
    Box plot of one feature (a row of df) in the sample groups a and b; the default figure when the feature is absent.
    """

def scatter_plot(x: object, y: object, x_name: object, y_name: object, hover_text: object, figure_height: object) -> object:
    """Labelled scatter whose marker sizes follow the y values."""

def corrplot(x: object, y: object, figure_height: object = 500, x_name: object = 'X', y_name: object = 'Y') -> object:
    """Scatter of paired values, leaving out the pairs with a missing value."""

def roc_plot(fpr: object, tpr: object, auc: object, figure_height: object = 500) -> object:
    """Draws a ROC curve with the chance diagonal; the title shows the AUC."""
