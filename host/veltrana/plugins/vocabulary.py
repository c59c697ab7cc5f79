"""The small pieces every card's host services share: the placeholder figure and the
figure styling, what counts as "nothing chosen" on the page, dropdown options, the
callback arguments named by component id, and the gene symbol of a feature id.

The native modules keep their own copies in C++ (pyglue); these are the host's, and the
figures the two draw are the same.
"""

from __future__ import annotations

import numpy as np
import plotly.graph_objects as go

from veltrana.plugins.defaults import default_figure_height

# Colours: the placeholder's paper, a drawn figure's paper, the single-colour traces
# (plotly's first default colour) and the text of a failure.
PLACEHOLDER_PAPER = "LightSteelBlue"
PAPER = "White"
TRACE_COLOUR = "#636EFA"
FAILURE_COLOUR = "#8B0000"

# The figures beside a picker or under a card's title are a little lower than the page's default.
SMALL_FIGURE_HEIGHT = default_figure_height - 100

# Axes drawn as a black frame line.
AXIS_LINE = {"linecolor": "black", "showline": True}


def margin(top: int = 20) -> dict:
    """The page's 20-pixel figure margins, with room for a title at the top when asked."""
    return {"l": 20, "r": 20, "t": top, "b": 20}


# Plotly draws a graph's toolbar (the mode bar) over the top right of its figure, where titles,
# top legends and colour bars are. The served page gives each graph a strip of its own above the
# figure and puts the toolbar there: nothing a figure draws can be under it, and the figures
# themselves stay as they are drawn. The strip leaves a gap under the toolbar: a title at the
# figure's top edge draws its glyphs a few pixels above the figure.
TOOLBAR_STRIP_PX = 40
TOOLBAR_STRIP_CSS = (f".dash-graph {{ padding-top: {TOOLBAR_STRIP_PX}px; }}\n"
                     f".dash-graph .modebar-container {{ top: -{TOOLBAR_STRIP_PX}px !important; }}")


def with_toolbar_strip(app) -> None:
    """Puts TOOLBAR_STRIP_CSS in the page the application serves (inline: it holds whether or not the
    package's assets folder is served)."""
    style = f"<style>\n{TOOLBAR_STRIP_CSS}\n</style>\n"
    page = app.index_string
    if style not in page:
        at = "{%css%}" if "{%css%}" in page else "</head>"
        app.index_string = page.replace(at, style + at, 1)


def placeholder_figure(height=default_figure_height, **layout):
    """The empty figure a card shows until there is something to draw: 20-pixel margins,
    LightSteelBlue paper; `layout` adds to or replaces those settings (a title, say)."""
    fig = go.Figure()
    fig.update_layout(**{"margin": margin(), "paper_bgcolor": PLACEHOLDER_PAPER, "height": height, **layout})
    return fig


def is_blank(value) -> bool:
    """Whether a page value means "nothing chosen yet": None or the empty text."""
    return value is None or (isinstance(value, str) and value == "")


def selected(value) -> list:
    """The values picked in a multi-choice dropdown: a list, one value, or nothing (None,
    the empty text or NaN)."""
    if is_blank(value) or (isinstance(value, float) and np.isnan(value)):
        return []
    return [value] if isinstance(value, str) else list(value)


def named_args(inputs, states, args) -> dict:
    """Component id -> received value, inputs first; a repeated id keeps the later value."""
    deps = list(inputs) + list(states)
    return {dep.component_id: value for dep, value in zip(deps, args)}


def options(values) -> list:
    """One dropdown option per value, labelled with the value itself."""
    return [{"label": v, "value": v} for v in values]


def dropdown(values) -> tuple[list, object]:
    """(options, value) of a dropdown: one option per value, the first one selected (None when empty)."""
    listed = options(values)
    return listed, (listed[0]["value"] if listed else None)


def gene_of(feature) -> str:
    """The gene symbol of a feature id: glycoform ids read GENE_site_glycan, a protein id is its gene."""
    return str(feature).split("_", 1)[0]


def place_after(page, anchor_id: str, *components):
    """The page with `components` right after its child `anchor_id` (at the end when there is
    none): how the front door stands an extra card beside the described ones."""
    kids = list(page.children)
    at = next((i + 1 for i, c in enumerate(kids) if getattr(c, "id", None) == anchor_id), len(kids))
    page.children = [*kids[:at], *components, *kids[at:]]
    return page


def insert_after(tree, anchor_id: str, component) -> bool:
    """Puts `component` right after the descendant `anchor_id` of `tree`; False when there is none:
    how the front door stands a control beside a card's described ones."""
    kids = getattr(tree, "children", None)
    if not isinstance(kids, (list, tuple)):
        return insert_after(kids, anchor_id, component) if hasattr(kids, "to_plotly_json") else False
    for i, kid in enumerate(kids):
        if getattr(kid, "id", None) == anchor_id:
            tree.children = [*kids[:i + 1], component, *kids[i + 1:]]
            return True
        if insert_after(kid, anchor_id, component):
            return True
    return False
