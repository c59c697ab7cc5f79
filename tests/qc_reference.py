"""The quality-control correlation matrix built step by step with plotly's own helpers.

This is the plain construction (make_subplots, then per-panel update_xaxes, update_yaxes and
add_annotation) that plotweave.qc_corr_matrix_plot must reproduce; the benchmark times both and
the tests compare their figures.
"""

import math

import numpy as np
import pandas as pd
import plotly.graph_objects as go
from plotly.subplots import make_subplots
from scipy.stats import pearsonr

AXIS_STYLE = {"linecolor": "black", "showline": True, "mirror": True}


def sample_row(data_df, sample):
    return data_df[data_df.index == sample].iloc[0].tolist()


def qc_corr_matrix_reference(data_df, samples, figure_height=500):
    if len(samples) < 1:
        return None
    n = len(samples)
    fig = make_subplots(rows=n, cols=n)
    value_min = np.min(list(data_df.min()))
    value_max = np.max(list(data_df.max()))
    step = (value_max - value_min) / 100
    value_min = value_min - 5 * step
    value_max = value_max + 5 * step
    for i in range(n):
        fig.add_trace(go.Histogram(x=sample_row(data_df, samples[i]), histnorm="percent",
                                   marker={"color": "#636EFA"}, nbinsx=10), row=i + 1, col=i + 1)
        fig.update_xaxes(title_text=samples[i], range=[value_min, value_max], row=i + 1, col=i + 1,
                         **AXIS_STYLE)
        fig.update_yaxes(title_text="Percentage", row=i + 1, col=i + 1, **AXIS_STYLE)
    fig.update_traces(marker_line_width=1, marker_line_color="white")
    d = {}
    k = 1
    for i in range(n):
        for j in range(n):
            d["{},{}".format(i + 1, j + 1)] = k
            k += 1
    for i in range(n):
        for j in range(i + 1, n):
            x = sample_row(data_df, samples[i])
            y = sample_row(data_df, samples[j])
            ks = [k for k in range(len(x)) if pd.notna(x[k]) and pd.notna(y[k])]
            corr = pearsonr([x[k] for k in ks], [y[k] for k in ks])[0]
            fig.add_trace(go.Scatter(mode="markers", x=x, y=y, marker={"color": "#636EFA", "size": 1}),
                          row=i + 1, col=j + 1)
            panel = d["{},{}".format(i + 1, j + 1)]
            fig.add_annotation(x=(value_min + value_max) / 2, y=value_max - 10 * step,
                               xref="x{}".format(panel), yref="y{}".format(panel),
                               text="Corr:{:.2f}".format(corr), showarrow=False)
            fig.update_xaxes(range=[value_min, value_max], row=i + 1, col=j + 1, **AXIS_STYLE)
            fig.update_yaxes(range=[value_min, value_max], row=i + 1, col=j + 1, **AXIS_STYLE)
    fig.update_layout(clickmode="event+select", margin={"l": 20, "r": 20, "t": 20, "b": 20},
                      height=figure_height - 100, paper_bgcolor="White", plot_bgcolor="White",
                      showlegend=False)
    return fig


def same(a, b, path="fig"):
    """None when two figure dicts are equal (NaN equal to NaN), else where they first differ."""
    if isinstance(a, dict) and isinstance(b, dict):
        if a.keys() != b.keys():
            return f"{path}: keys {sorted(a.keys() ^ b.keys())}"
        for key in a:
            where = same(a[key], b[key], f"{path}.{key}")
            if where:
                return where
        return None
    if isinstance(a, (list, tuple)) and isinstance(b, (list, tuple)):
        if type(a) is not type(b) or len(a) != len(b):
            return f"{path}: {type(a).__name__}[{len(a)}] vs {type(b).__name__}[{len(b)}]"
        for idx, (u, v) in enumerate(zip(a, b)):
            where = same(u, v, f"{path}[{idx}]")
            if where:
                return where
        return None
    if isinstance(a, float) and isinstance(b, float) and math.isnan(a) and math.isnan(b):
        return None
    if type(a) is not type(b) and not (isinstance(a, (int, float)) and isinstance(b, (int, float))):
        return f"{path}: {type(a).__name__} vs {type(b).__name__}"
    return None if a == b else f"{path}: {a!r} != {b!r}"
