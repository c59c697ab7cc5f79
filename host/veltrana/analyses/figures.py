"""Figure pieces the card services share."""

from __future__ import annotations

from numbers import Real

import numpy as np
import plotly.graph_objects as go

__all__ = ["prefer_webgl"]

# Browsers draw an SVG scatter point by point: a few thousand points take seconds, the
# same points drawn by WebGL a fraction of that.
WEBGL_THRESHOLD = 2000


def _points(trace) -> int:
    values = trace.x if trace.x is not None else trace.y
    return 0 if values is None else len(values)


def prefer_webgl(fig, threshold: int = WEBGL_THRESHOLD):
    """`fig` with its scatter traces drawn by WebGL when they hold more than `threshold`
    points in all; smaller figures come back as they are.

    Each "scatter" trace becomes a "scattergl" trace with the same data, markers, colours,
    lines, names and hover texts, in the same order (so the traces keep their layering);
    the few properties WebGL traces lack (such as `cliponaxis`) are left out. The other
    traces and the layout stay as they are. The given figure is not changed: a WebGL
    figure is a new one.
    """
    scatters = [t for t in fig.data if t.type == "scatter"]
    if sum(_points(t) for t in scatters) <= threshold:
        return fig
    data = [_webgl_twin(t) if t.type == "scatter" else t.to_plotly_json() for t in fig.data]
    # The traces are checked already (each twin's small properties by its own class, its data
    # arrays by the scatter's validators, which are the twin's): a figure built without checking
    # them again, element by element, which cost as much as building the scatter did.
    webgl = go.Figure(data=data, layout=fig.layout, _validate=False)
    for obj in (webgl, webgl.layout, *webgl.data):
        obj._validate = True  # what is set on it from now on is checked as usual
    return webgl


# The data arrays of a scatter trace that its WebGL twin checks with validators of the same kind
# and settings (a test holds plotly to this): moved over as the scatter checked them.
SHARED_ARRAYS = ("x", "y", "text", "hovertext", "customdata", "ids")


def _webgl_twin(trace) -> go.Scattergl:
    plain = _numeric_arrays(trace)
    arrays = {k: plain.pop(k) for k in SHARED_ARRAYS if isinstance(plain.get(k), list)}
    twin = go.Scattergl(plain, skip_invalid=True)
    twin._validate = False
    try:
        for key, values in arrays.items():
            twin[key] = list(values)  # a list of the trace's own: the given figure stays as it is
    finally:
        twin._validate = True
    return twin


def _numeric_arrays(trace) -> dict:
    """The trace's properties (not copied: the new trace makes its own) with coordinates that
    are all numbers as float arrays: plotly checks and sends an array at once (as exact
    binary doubles), where a list of tens of thousands of numbers costs it seconds."""
    plain = {k: v for k, v in trace._props.items() if k != "type"}
    for key in ("x", "y"):
        values = plain.get(key)
        if isinstance(values, (list, tuple)) and all(isinstance(v, Real) and not isinstance(v, bool)
                                                      for v in values):
            plain[key] = np.asarray(values, dtype=float)
    return plain
