"""Shared helpers of the card tests: reaching registered callbacks and walking card trees."""

import pandas as pd
import pytest

from veltrana.plugins import vistro


def callback(app, first_output):
    """The undecorated function registered with `first_output` ("id.prop") as its first output."""
    for key, entry in app.callback_map.items():
        if key == first_output or key.startswith(f"..{first_output}..."):
            return entry["callback"].__wrapped__
    raise KeyError(first_output)


def make_app(paths):
    return vistro.build_app(paths)


def children(component):
    kids = component.children
    return kids if isinstance(kids, list) else [kids]


def by_id(tree, wanted):
    """The component of `tree` with id `wanted` (depth-first)."""
    if getattr(tree, "id", None) == wanted:
        return tree
    for kid in children(tree) if hasattr(tree, "children") else []:
        if hasattr(kid, "to_plotly_json"):
            hit = by_id(kid, wanted)
            if hit is not None:
                return hit
    return None


def kinds(component):
    """The class names of a component's children, in order."""
    return [type(k).__name__ for k in children(component)]


def native_ready(probe) -> bool:
    """True when a native function that another task builds no longer raises NotImplementedError."""
    try:
        probe()
    except (NotImplementedError, AttributeError):
        return False
    except Exception:
        return True
    return True


def _probe_preprocess():
    from veltrana.plugins import preprocess

    preprocess.preprocess(pd.DataFrame({"f": [1.0, 2.0]}, index=["a", "b"]),
                          {"Transformation": "NA", "Normalization": "NA", "Filter": 100, "Imputation": "NA"})


def _probe_qc_plots():
    from veltrana.plugins import plotweave

    plotweave.qc_cv_hist_plot(pd.DataFrame({"a": [1.0, 2.0], "b": [2.0, 3.0]}), ["a", "b"])


needs_preprocess = pytest.mark.skipif(not native_ready(_probe_preprocess),
                                      reason="the native preprocess module is not built yet")
needs_qc_plots = pytest.mark.skipif(not native_ready(_probe_qc_plots),
                                    reason="the quality-control figures are not built yet")
