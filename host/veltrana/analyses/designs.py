"""Designs in the differential card: "Adjust for" covariates and the moderated F-test.

The described run callback cannot take another value, so the moderated methods run from a
callback of their own (`update_diff_designs_inter`) with the same triggers, the card's values
and the covariates; its summary path reaches the card's "diff-inter" store through
`show_design_run`. The described callbacks keep their wiring: the described run leaves the
moderated methods to that callback, and the volcano draws an F-test's own figure (and names
the covariates of an adjusted run in its title).
"""

from __future__ import annotations

import numpy as np
import plotly.graph_objects as go
from dash import Input, Output, State, dcc, html, no_update

from veltrana.plugins import callbacks
from veltrana.plugins.paths import MyPath
from veltrana.plugins.vocabulary import AXIS_LINE, PAPER, SMALL_FIGURE_HEIGHT, margin
from veltrana.analyses.differential import COVARIATES, F_TEST, MODERATED_METHODS
from veltrana.analyses.figures import prefer_webgl

__all__ = ["add_designs"]

DESIGNS_STORE = "diff-designs-inter"
DESIGNS_LOADING = "loading-output-diff-designs"
METHOD = "diff-exp-analysis-methods-dropdown"
# The described run's triggers and values, in its order; the covariates come last.
RUN_INPUTS = (("diff-data-source-dropdown", "value"), ("preprocess-source-dropdown", "options"),
              ("run-diff-button", "n_clicks"))
RUN_STATES = ((METHOD, "value"), ("target-groups-dropdown", "value"), ("refer-groups-dropdown", "value"),
              ("phenotype-dropdown", "value"), ("diff-fdr-input", "value"), ("diff-log2fc-input", "value"),
              ("Paths", "data"), (COVARIATES, "value"))


def is_moderated(method) -> bool:
    return isinstance(method, str) and method in MODERATED_METHODS


# ---- the page ----------------------------------------------------------------------------

def place_controls(page, phenotypes) -> None:
    """The "Adjust for" picker right after the method picker; the designs' run store and message
    after the card's run button row."""
    card = page["diff-exp-analysis-control-card"]
    kids = list(card.children)
    at = next(i for i, k in enumerate(kids) if getattr(k, "id", None) == METHOD) + 1
    picker = dcc.Dropdown(id=COVARIATES, options=[{"label": p, "value": p} for p in phenotypes], value=[],
                          multi=True, placeholder="None (moderated tests only)")
    kids[at:at] = [html.P("Adjust for"), picker]
    kids += [dcc.Store(id=DESIGNS_STORE), dcc.Loading(html.Div(id=DESIGNS_LOADING), type="default")]
    card.children = kids


# ---- the callbacks -----------------------------------------------------------------------

def _replace(app, first_output: str, wrap) -> None:
    """Registers `wrap(native)` in place of the callback whose first output is `first_output`:
    the same dependencies, in the same place of the callback list and map."""
    index, entry = next((i, e) for i, e in enumerate(app._callback_list)
                        if e["output"].strip(".").split("...")[0] == first_output)
    key = entry["output"]
    native = app.callback_map[key]["callback"].__wrapped__
    order = list(app.callback_map)
    del app.callback_map[key]
    del app._callback_list[index]
    outputs = [Output(*o.rsplit(".", 1)) for o in key.strip(".").split("...")]
    app.callback(outputs if key.startswith("..") else outputs[0],
                 [Input(d["id"], d["property"]) for d in entry["inputs"]],
                 [State(d["id"], d["property"]) for d in entry["state"]],
                 prevent_initial_call=entry.get("prevent_initial_call"))(wrap(native))
    app._callback_list.insert(index, app._callback_list.pop())
    entries = app.callback_map
    app.callback_map = {k: entries[k] for k in order}


def _leaving_moderated(native):
    def update_diff_inter(*args):
        if is_moderated(args[len(RUN_INPUTS)]):  # the method, the first state
            return no_update, ""  # run by update_diff_designs_inter, with the covariates
        return native(*args)
    return update_diff_inter


def update_diff_designs_inter(*values):
    """The moderated methods' run: the described run's values and the covariates. A described
    test runs from the described callback, without them: the card says so when some are chosen."""
    kwargs = {component: value for (component, _), value in zip(RUN_INPUTS + RUN_STATES, values)}
    if not is_moderated(kwargs[METHOD]):
        chosen = kwargs[COVARIATES] if isinstance(kwargs[COVARIATES], list) else []
        return no_update, (f"'Adjust for' applies to the moderated tests only: {kwargs[METHOD]} ran without "
                           f"{', '.join(map(str, chosen))}" if chosen else "")
    return callbacks.update_diff_inter(kwargs), ""


def show_design_run(summary_path):
    return summary_path


def _run_row(my_path: MyPath, summary_path, source):
    """The summary row of `source` in the run the store names, or None."""
    if not isinstance(summary_path, str) or not summary_path or not my_path.readable(summary_path):
        return None
    try:
        summary = callbacks.read_result_path(summary_path)
    except FileNotFoundError:
        return None
    rows = summary[summary["Source"].astype(str) == str(source)] if "Source" in summary.columns else summary[:0]
    return rows.iloc[0] if len(rows) else None


def _adjusted(row) -> str:
    covariates = row.get("Covariates")
    return f"; adjusted for {covariates.replace(';', ', ')}" if isinstance(covariates, str) and covariates else ""


def _drawing_designs(native, my_path: MyPath):
    def update_diff_volcano(clicks, summary_path, source, paths):
        row = _run_row(my_path, summary_path, source)
        if row is not None and row.get("Method") == F_TEST:
            path = str(row["DiffPath"])
            if not my_path.readable(path):
                raise ValueError(f"refusing to read {path!r}: outside the configured locations")
            return f_test_figure(callbacks.read_result_path(path), row), ""
        figure, loading = native(clicks, summary_path, source, paths)
        if row is not None and _adjusted(row):
            figure.update_layout(title_text=f"{figure.layout.title.text}{_adjusted(row)}")
        return figure, loading
    return update_diff_volcano


def add_designs(app, my_paths: dict, phenotypes) -> None:
    """Places the controls on the app's page and registers the designs' callbacks (the front
    door's one call, after `build_app`)."""
    place_controls(app.layout, phenotypes)
    my_path = MyPath(my_paths)
    _replace(app, "diff-inter.data", _leaving_moderated)
    _replace(app, "diff-volcano-fig.figure", lambda native: _drawing_designs(native, my_path))
    app.callback(Output(DESIGNS_STORE, "data"), Output(DESIGNS_LOADING, "children"),
                 [Input(*d) for d in RUN_INPUTS], [State(*d) for d in RUN_STATES],
                 prevent_initial_call=True)(update_diff_designs_inter)
    app.callback(Output("diff-inter", "data", allow_duplicate=True), Input(DESIGNS_STORE, "data"),
                 prevent_initial_call=True)(show_design_run)


# ---- the F-test's figure -------------------------------------------------------------------

def f_test_figure(table, row, height=SMALL_FIGURE_HEIGHT):
    """The F-test's volcano: each feature's largest difference between group means against
    -log10(FDR), coloured by its "Significance", with the run's thresholds as lines."""
    fdr_cut, fc_cut = float(row["FDRThreshold"]), float(row["FoldChangeThreshold"])
    x = table["LargestDifference"].to_numpy(dtype=float)
    y = table["-Log10(FDR)"].to_numpy(dtype=float)
    codes = table["Significance"].astype(object).where(table["Significance"].notna(), None).to_numpy()
    hover = [f"{f}<br>F = {v:.4g}<br>FDR = {q:.3g}" for f, v, q in zip(table["Feature"], table["F"], table["FDR"])]
    fig = go.Figure()
    for code, colour, size, name in ((None, "grey", 5, "NoSig"), ("F", "red", 5, f"FDR<{fdr_cut:g}"),
                                     ("S-F", "darkred", 8, f"FDR<{fdr_cut:g}, ≥{fc_cut:g}X")):
        chosen = np.array([c == code for c in codes])
        fig.add_trace(go.Scatter(x=x[chosen], y=y[chosen], mode="markers", name=f"{name}:{int(chosen.sum())}",
                                 text=[h for h, c in zip(hover, chosen) if c], hoverinfo="text",
                                 marker={"color": colour, "size": size, "opacity": 0.6}))
    top = float(np.nanmax(y)) if np.isfinite(y).any() else 1.0
    line = {"color": "grey", "dash": "dot", "width": 1}
    fig.add_hline(y=-np.log10(fdr_cut), line=line)
    fig.add_shape(type="line", x0=np.log2(fc_cut), x1=np.log2(fc_cut), y0=0, y1=top, line=line)
    groups = str(row["Groups"]).split(";")
    counts = str(row["GroupSamples"]).split(";")
    shown = ", ".join(f"{g} (n = {n})" for g, n in zip(groups, counts))
    fig.update_layout(
        title={"text": f"{row['Source']}: moderated F-test, {shown}{_adjusted(row)}", "x": 0.5,
               "xanchor": "center", "font": {"size": 13}},
        xaxis={**AXIS_LINE, "title": "Largest difference of group means (log2)", "rangemode": "tozero"},
        yaxis={**AXIS_LINE, "title": "-Log10(FDR)"}, height=height, margin=margin(top=60),
        paper_bgcolor=PAPER, plot_bgcolor=PAPER, clickmode="event+select",
        legend={"orientation": "h", "yanchor": "bottom", "y": 1.02, "xanchor": "center", "x": 0.5})
    return prefer_webgl(fig)
