"""Host services of the quality-control card: the sources, the samples of a source, and
the sample-correlation and coefficient-of-variation figures."""

from __future__ import annotations

from ..defaults import default_figure_height
from ..paths import configured
from .figures import placeholder_figure, prefer_webgl
from .. import results
from .matrices import ensure_preprocessed, preprocessed_matrix
from .preprocessing import source_options

__all__ = ["update_qc_data_source", "update_qc_samples", "update_qc_figures"]

# The correlation matrix has one panel per pair of samples: start with a few.
DEFAULT_SAMPLE_COUNT = 4


def update_qc_data_source(paths):
    """(one option per configured source, the first source)."""
    return source_options(configured(paths))


def update_qc_samples(source, paths):
    """(one option per sample of the source's preprocessed matrix, the first few selected).

    No source chosen yet gives an empty picker; an unknown source raises ValueError."""
    my_path = configured(paths)
    if source is None or source == "":
        return [], []
    samples = [str(s) for s in preprocessed_matrix(my_path, my_path.check_source(source)).index]
    return [{"label": s, "value": s} for s in samples], samples[:DEFAULT_SAMPLE_COUNT]


def _named(args, inputs, states) -> dict:
    deps = list(inputs) + list(states)
    return {dep.component_id: value for dep, value in zip(deps, args)}


def _selected(samples) -> list:
    if samples is None or samples == "":
        return []
    if isinstance(samples, str):
        return [samples]
    return list(samples)


def update_qc_figures(args, inputs, states):
    """(sample-correlation figure, CV histogram) of the selected samples of a source.

    `args` are the callback's values, named by the component ids of `inputs` and `states`.
    Nothing selected gives two placeholders; a sample the matrix lacks raises ValueError."""
    from .. import plotweave  # the native figures module

    named = _named(args, inputs, states)
    my_path = configured(named["Paths"])
    source, samples = named["qc-data-source-dropdown"], _selected(named["qc-samples-dropdown"])
    if source is None or source == "" or not samples:
        return placeholder_figure(default_figure_height - 100), placeholder_figure(default_figure_height - 100)
    path = ensure_preprocessed(my_path, my_path.check_source(source))

    def build():
        matrix = preprocessed_matrix(my_path, source)
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
