"""Host services of the quality-control card: the sources, the samples of a source, and
the sample-correlation and coefficient-of-variation figures."""

from __future__ import annotations

from veltrana.plugins.paths import configured
from veltrana.plugins.tables import read_expr_path
from veltrana.runs import results
from veltrana.plugins.vocabulary import (
    SMALL_FIGURE_HEIGHT,
    is_blank,
    named_args,
    options,
    placeholder_figure,
    selected,
)
from veltrana.analyses.figures import prefer_webgl
from veltrana.analyses.matrices import ensure_preprocessed, preprocessed_matrix
from veltrana.analyses.preprocessing import source_options

__all__ = ["update_qc_data_source", "update_qc_samples", "update_qc_figures"]

# The correlation matrix has a panel per pair of samples, each with a point per feature, in a
# third of the page's width: it starts with one pair, legible and quick to draw (four samples
# made sixteen panels of ~80 pixels, the page's heaviest draw at thousands of features), and
# the user picks the QC samples to compare.
DEFAULT_SAMPLE_COUNT = 2


def update_qc_data_source(paths):
    """(one option per configured source, the first source)."""
    return source_options(configured(paths))


def update_qc_samples(source, paths):
    """(one option per sample of the source's preprocessed matrix, the first few selected).

    No source chosen yet gives an empty picker; an unknown source raises ValueError."""
    my_path = configured(paths)
    if is_blank(source):
        return [], []
    samples = [str(s) for s in preprocessed_matrix(my_path, my_path.check_source(source)).index]
    return options(samples), samples[:DEFAULT_SAMPLE_COUNT]


def update_qc_figures(args, inputs, states):
    """(sample-correlation figure, CV histogram) of the selected samples of a source.

    `args` are the callback's values, named by the component ids of `inputs` and `states`.
    Nothing selected gives two placeholders; a sample the matrix lacks raises ValueError."""
    from veltrana.plugins import plotweave  # the native figures module

    named = named_args(inputs, states, args)
    my_path = configured(named["Paths"])
    source, samples = named["qc-data-source-dropdown"], selected(named["qc-samples-dropdown"])
    if is_blank(source) or not samples:
        return placeholder_figure(SMALL_FIGURE_HEIGHT), placeholder_figure(SMALL_FIGURE_HEIGHT)
    path = ensure_preprocessed(my_path, my_path.check_source(source))

    def build():
        matrix = read_expr_path(path)  # the matrix just found up to date: not checked a second time
        matrix.index = matrix.index.astype(str)
        unknown = [s for s in samples if s not in matrix.index]
        if unknown:
            raise ValueError(f"samples not in {source!r}: {unknown}")
        # A panel per pair of samples, each with a point per feature: WebGL draws them.
        corr = prefer_webgl(plotweave.qc_corr_matrix_plot(matrix, samples))
        # The CV helper takes samples as columns.
        return corr, plotweave.qc_cv_hist_plot(matrix.T, samples)

    # A reload with the same samples of an unchanged matrix gets the figures drawn before.
    return results.kept_figure("qc", [results.file_state(path), [str(s) for s in samples]], build)
