"""Host services of the preprocessing card: the data sources, the stored settings of
a source, and a preprocessing run with its sample-distribution figure."""

from __future__ import annotations

import math
import warnings

import numpy as np
import plotly.graph_objects as go

from ..paths import configured
from ..vocabulary import AXIS_LINE, PAPER, SMALL_FIGURE_HEIGHT, TRACE_COLOUR, dropdown, margin
from .matrices import IMPUTATION_PARAMETERS, ensure_preprocessed, load_settings, run_preprocess

__all__ = ["init_preprocess_data", "update_preprocess_parameters", "update_preprocess_figure"]

# The values the card offers for each method.
METHODS = {
    "Transformation": ("NA", "Log2"),
    "Normalization": ("NA", "MedianNorm"),
    "Imputation": ("NA", "GlobalMin", "SampleMin", "FeatureMin"),
}
# Imputations the front door's page offers after the card's own, with their parameters' defaults:
# KNN fills from the nearest samples (see `preprocess.impute`).
EXTRA_IMPUTATIONS = tuple(IMPUTATION_PARAMETERS)


def extra_imputation_options() -> list[dict]:
    """The dropdown options of the extra imputations, their parameters in the label."""
    def label(method):
        p = IMPUTATION_PARAMETERS[method]
        if method == "KNN":
            return f"KNN (k = {p['ImputationNeighbours']} nearest samples)"
        return f"DownshiftedNormal (shift {p['ImputationShift']} sd, width {p['ImputationWidth']} sd)"
    return [{"label": label(m), "value": m} for m in EXTRA_IMPUTATIONS]


def source_options(my_path) -> tuple[list, str | None]:
    """(one option per configured source, the first source)."""
    return dropdown(my_path.sources())


def init_preprocess_data(expr_paths):
    """(source options, first source); every source gets its preprocessed matrix now,
    so the later cards have data from the first page load."""
    my_path = configured(expr_paths)
    for source in my_path.sources():
        ensure_preprocessed(my_path, source)
    return source_options(my_path)


def _ratio_for_card(value):
    """The stored missing ratio as the number input shows it (50, not "50")."""
    number = float(value)
    return int(number) if number.is_integer() else number


def update_preprocess_parameters(source, paths):
    """(transformation, max missing ratio, normalisation, imputation) stored for `source`."""
    my_path = configured(paths)
    settings = load_settings(my_path, my_path.check_source(source))
    return (settings["Transformation"], _ratio_for_card(settings["Filter"]), settings["Normalization"],
            settings["Imputation"])


def checked_settings(p_trans, p_miss, p_norm, p_impute) -> dict:
    """The settings mapping of the four controls, with the default parameters of an extra
    imputation; a value the page does not offer raises ValueError."""
    settings = {"Transformation": p_trans, "Normalization": p_norm, "Imputation": p_impute}
    for key, value in settings.items():
        offered = METHODS[key] + (EXTRA_IMPUTATIONS if key == "Imputation" else ())
        if value not in offered:
            raise ValueError(f"{key} must be one of {list(offered)}, got {value!r}")
    try:
        ratio = float(p_miss)
    except (TypeError, ValueError):
        raise ValueError(f"the max missing ratio must be a number from 0 to 100, got {p_miss!r}") from None
    if not (math.isfinite(ratio) and 0 <= ratio <= 100):
        raise ValueError(f"the max missing ratio must be a number from 0 to 100, got {p_miss!r}")
    settings["Filter"] = _ratio_for_card(ratio)
    settings.update(IMPUTATION_PARAMETERS.get(p_impute, {}))
    return settings


def _box_stats(matrix) -> dict:
    """Quartiles and Tukey whiskers of each sample (row), missing values skipped."""
    values = matrix.to_numpy(dtype=float)
    q1, median, q3 = np.nanpercentile(values, [25, 50, 75], axis=1)
    iqr = q3 - q1
    low_limit, high_limit = (q1 - 1.5 * iqr)[:, None], (q3 + 1.5 * iqr)[:, None]
    inside_low = np.where(values >= low_limit, values, np.nan)
    inside_high = np.where(values <= high_limit, values, np.nan)
    return {"q1": q1, "median": median, "q3": q3, "lowerfence": np.nanmin(inside_low, axis=1),
            "upperfence": np.nanmax(inside_high, axis=1)}


def distribution_figure(matrix, title: str):
    """One box per sample, in the matrix's row order (the input file's sample order).

    The boxes are drawn from precomputed quartiles: the figure stays small however many
    features a sample has."""
    fig = go.Figure()
    samples = [str(s) for s in matrix.index]
    if len(samples) and matrix.shape[1]:
        with np.errstate(all="ignore"), warnings.catch_warnings():
            # A sample without any value gets no box rather than a warning.
            warnings.simplefilter("ignore", RuntimeWarning)
            stats = _box_stats(matrix)
        fig.add_trace(go.Box(x=samples, name=title, marker={"color": TRACE_COLOUR}, boxpoints=False,
                             **{k: v.tolist() for k, v in stats.items()}))
    fig.update_layout(margin=margin(top=40), height=SMALL_FIGURE_HEIGHT,
                      paper_bgcolor=PAPER, plot_bgcolor=PAPER, showlegend=False,
                      title={"text": title, "font": {"size": 14}},
                      xaxis={"title": "Sample", "type": "category", "categoryorder": "array",
                             "categoryarray": samples, **AXIS_LINE},
                      yaxis={"title": "Value", **AXIS_LINE, "zeroline": False})
    return fig


def update_preprocess_figure(paths, source, p_trans, p_miss, p_norm, p_impute):
    """Runs the preprocessing of `source` with the four settings, stores matrix and settings,
    and returns the figure of the sample distributions."""
    my_path = configured(paths)
    my_path.check_source(source)
    settings = checked_settings(p_trans, p_miss, p_norm, p_impute)
    matrix = run_preprocess(my_path, source, settings)
    title = f"{source}: {matrix.shape[0]} samples, {matrix.shape[1]} features"
    return distribution_figure(matrix, title)
