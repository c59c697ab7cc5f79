"""The bar at the top of the served page: the study's name and a link to each card.

The page is a dozen cards and several thousand pixels tall; the bar at its top (assets/nav.css)
takes the reader to a card by its title. It stands beside the page the layout module builds,
placed by the front door."""

from __future__ import annotations

import os

from dash import html

NAV_ID = "page-nav"


def card_title(card) -> str | None:
    """The text of a card's first heading (an H5), without a trailing " Analysis"."""
    found = []

    def walk(node):
        if found or node is None or isinstance(node, (str, int, float)):
            return
        if isinstance(node, html.H5) and isinstance(node.children, str):
            found.append(node.children)
            return
        for child in node if isinstance(node, (list, tuple)) else [getattr(node, "children", None)]:
            walk(child)

    walk(card)
    if not found:
        return None
    title = found[0].strip()
    return title[: -len(" Analysis")] if title.endswith(" Analysis") else title


def study_name(my_paths: dict, demo: bool) -> str:
    """The demo, or the folder that holds the study's sample table."""
    if demo:
        return "Demo study"
    return os.path.basename(os.path.dirname(os.path.abspath(my_paths["info"]))) or my_paths["info"]


def navigation_bar(page, name: str) -> html.Nav:
    links = [html.A(title, href=f"#{card.id}") for card in page.children
             if getattr(card, "id", None) and (title := card_title(card))]
    return html.Nav([html.Span(name, className="nav-study"), *links], id=NAV_ID, className="page-nav")


def add_navigation(page, name: str) -> None:
    """Puts the bar at the top of the page, after its invisible store card."""
    children = list(page.children)
    at = next((i + 1 for i, c in enumerate(children) if getattr(c, "id", None) == "store-card"), 0)
    page.children = [*children[:at], navigation_bar(page, name), *children[at:]]
