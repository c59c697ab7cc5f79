"""Host services of the preprocessing card: the data sources, the stored settings of
a source, and a preprocessing run with its sample-distribution figure."""

from __future__ import annotations

import math

import numpy as np
import plotly.graph_objects as go

from veltrana.serve import limits
from veltrana.runs import results
from veltrana.study.loader import file_fingerprint
from veltrana.plugins.paths import configured
from veltrana.plugins.vocabulary import AXIS_LINE, PAPER, SMALL_FIGURE_HEIGHT, TRACE_COLOUR, dropdown, margin
from veltrana.analyses.matrices import (
    GROUP_FILTER,
    IMPUTATION_PARAMETERS,
    ensure_preprocessed,
    load_settings,
    run_preprocess,
)
from veltrana.analyses.matrices import _up_to_date as up_to_date

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
    """The dropdown options of the extra imputations: labels short enough for the card's narrow
    picker, their parameters told in full when the pointer rests on them."""
    def option(method):
        p = IMPUTATION_PARAMETERS[method]
        if method == "KNN":
            k = p["ImputationNeighbours"]
            return f"KNN (k = {k})", f"the feature's mean over the {k} nearest samples that have it"
        return (method, f"draws from a normal {p['ImputationShift']} sd below each sample's mean, "
                        f"{p['ImputationWidth']} sd wide")
    return [{"label": label, "value": m, "title": title}
            for m in EXTRA_IMPUTATIONS for label, title in [option(m)]]


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
    """Quartiles and Tukey whiskers of each sample (row), missing values skipped: numpy's
    nanpercentile quartiles and the extreme values within 1.5 IQR, to the bit.

    np.nanpercentile over rows works row by row in Python (7 s at 20,000 samples), and one
    sort of every row still took 2 s; the native kernel selects the few values each row needs."""
    from veltrana.plugins import preprocess  # the native kernels

    names = ("q1", "median", "q3", "lowerfence", "upperfence")
    return dict(zip(names, preprocess.row_box_stats(matrix.to_numpy(dtype=float))))


def _layout(fig, title: str, x_title: str, **xaxis) -> None:
    fig.update_layout(margin=margin(top=40), height=SMALL_FIGURE_HEIGHT,
                      paper_bgcolor=PAPER, plot_bgcolor=PAPER, showlegend=False,
                      title={"text": title, "font": {"size": 14}},
                      xaxis={"title": x_title, **xaxis, **AXIS_LINE},
                      yaxis={"title": "Value", **AXIS_LINE, "zeroline": False})


def distribution_figure(matrix, title: str):
    """One box per sample, in the matrix's row order (the input file's sample order); above
    the server's `figure_samples` limit, the summary of `banded_figure`.

    The boxes are drawn from precomputed quartiles: the figure stays small however many
    features a sample has."""
    samples = [str(s) for s in matrix.index]
    stats = None
    if len(samples) and matrix.shape[1]:
        with np.errstate(all="ignore"):
            stats = _box_stats(matrix)
    if len(samples) > limits.get("figure_samples"):
        return banded_figure(samples, stats, title)
    fig = go.Figure()
    if stats is not None:
        fig.add_trace(go.Box(x=samples, name=title, marker={"color": TRACE_COLOUR}, boxpoints=False,
                             **{k: v.tolist() for k, v in stats.items()}))
    _layout(fig, title, "Sample", type="category", categoryorder="array", categoryarray=samples)
    return fig


# Bands of the summary figure, widest first: (statistic below, statistic above, what it shows).
_BANDS = (("lowerfence", "upperfence", "whiskers"), ("q1", "q3", "boxes"), ("median", "median", "medians"))
SUMMARY_BINS = 200


def banded_figure(samples: list, stats: dict | None, title: str):
    """The sample distributions of a large cohort in a few hundred points: the samples ordered
    by their median and cut into runs of consecutive samples, each run drawn as the range its
    samples' whiskers, boxes and medians span (lowest to highest, the exact values). An outlying
    sample widens its run's band, so no sample's spread is hidden by the summary."""
    n = len(samples)
    fig = go.Figure()
    without = n if stats is None else int(np.isnan(stats["median"]).sum())
    drawn = n - without
    text = f"{title}, summarised over {drawn:,} samples: quantile bands of samples ordered by median"
    if without:
        text += f" ({without:,} without values left out)"
    if drawn:
        order = np.argsort(stats["median"], kind="stable")[:drawn]
        runs = np.array_split(order, min(SUMMARY_BINS, drawn))
        starts = np.cumsum([0] + [len(r) for r in runs[:-1]])
        x = (starts + 1).tolist()
        hover = [f"samples {s + 1:,}-{s + len(r):,} of {drawn:,} by median" for s, r in zip(starts, runs)]
        colours = {"whiskers": 0.15, "boxes": 0.35, "medians": 1.0}
        for low, high, name in _BANDS:
            lows = [float(np.min(stats[low][r])) for r in runs]
            highs = [float(np.max(stats[high][r])) for r in runs]
            shade = f"rgba(31, 119, 180, {colours[name]})"
            fig.add_trace(go.Scatter(x=x, y=lows, mode="lines", line={"width": 0.5, "color": shade},
                                     name=f"{name} (lowest)", hovertext=hover, legendgroup=name))
            fig.add_trace(go.Scatter(x=x, y=highs, mode="lines", fill="tonexty", fillcolor=shade,
                                     line={"width": 0.5, "color": shade}, name=f"{name} (highest)",
                                     hovertext=hover, legendgroup=name))
    _layout(fig, text, "Samples ordered by median (first of each run)")
    return fig


def update_preprocess_figure(paths, source, p_trans, p_miss, p_norm, p_impute, group_rule=None):
    """Runs the preprocessing of `source` with the four settings (and the per-group missing-value
    rule, {"Phenotype", "MinValid"}, when given), stores matrix and settings, and returns the figure
    of the sample distributions."""
    my_path = configured(paths)
    my_path.check_source(source)
    settings = checked_settings(p_trans, p_miss, p_norm, p_impute)
    if group_rule is not None:
        settings[GROUP_FILTER] = group_rule

    raw = file_fingerprint(my_path.get_expr_path(source))  # one look at the raw file for both steps

    def build():
        matrix = run_preprocess(my_path, source, settings, raw)
        title = f"{source}: {matrix.shape[0]} samples, {matrix.shape[1]} features"
        return distribution_figure(matrix, title)

    if up_to_date(my_path, source, settings, raw):
        # A page load with the stored settings gets the figure drawn before for the same matrix file.
        inputs = [results.file_state(my_path.get_preprocess_path(source)), source, limits.get("figure_samples")]
        return results.kept_figure("preprocess", inputs, build)
    return build()
