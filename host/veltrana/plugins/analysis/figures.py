"""Figure pieces the card services share."""

from __future__ import annotations

import plotly.graph_objects as go

from ..defaults import default_figure_height


def placeholder_figure(height=default_figure_height):
    """The empty placeholder the cards show until there is something to draw."""
    fig = go.Figure()
    fig.update_layout(margin={"l": 20, "r": 20, "t": 20, "b": 20}, paper_bgcolor="LightSteelBlue", height=height)
    return fig
