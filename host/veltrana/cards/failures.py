"""Failures told on the page.

An exception in a callback would otherwise reach only the server log, and the user
would see a card that silently keeps its old content. `install(app)` gives the
application an error handler that, for the failing callback:

- draws each of its figure outputs as the placeholder titled with what went wrong;
- writes the message into its `loading-output-...` output;
- leaves every other output (stores, pickers) as it was, so earlier results stay shown;
- when the callback has neither (a store, a download), writes the message into its card's
  loading output: never as the title of a figure that the failure is not about.

The traceback still goes to the server log.
"""

from __future__ import annotations

import logging
import textwrap

import dash
from dash import html

from veltrana.plugins.defaults import default_figure_height
from veltrana.plugins.paths import for_the_page
from veltrana.plugins.vocabulary import FAILURE_COLOUR, margin, placeholder_figure

log = logging.getLogger("veltrana")

# The errors whose own text tells the user what to change.
_TOLD = (ValueError, LookupError, FileNotFoundError, PermissionError)

# The card a component belongs to, by id prefix, and the text under its run that tells its failures.
_CARD_NOTES = (
    (("preprocess-",), "loading-output-preprocess-figure"),
    (("profile-", "numeric-info-inter"), "loading-output-phenotype-distribution"),
    (("qc-",), "loading-output-qc"),
    (("diff-", "phenotype-dropdown", "target-groups-", "refer-groups-"), "loading-output-diff-calculation"),
    (("decomposition-",), "loading-output-decomposition"),
    (("clustering-", "feature-clustering-"), "loading-output-feature-clustering"),
    (("assoc-", "feature-sets-inter", "phenotype-feature-"), "loading-output-phenotype-feature-1"),
    (("gsea-", "enrich-gsea-"), "loading-output-gsea"),
    (("enrich-",), "loading-output-phenotype-enrich-figure1"),
    (("km-",), "loading-output-km"),
)


def user_message(exc: BaseException) -> str:
    """The failure in words a user can act on, the study's files named as the user knows them
    (the server's own paths stay in its log)."""
    if isinstance(exc, _TOLD):
        text = str(exc.args[0]) if isinstance(exc, KeyError) and exc.args else str(exc)
        return for_the_page(text or type(exc).__name__)
    return for_the_page(f"internal error ({type(exc).__name__}: {exc}); the server log has the details")


def message_figure(message: str, height=default_figure_height):
    """The placeholder figure, titled with `message`."""
    wrapped = "<br>".join(textwrap.wrap(f"Not run: {message}", 90)[:6])
    return placeholder_figure(height, margin=margin(top=40 + 18 * wrapped.count("<br>")),
                              title={"text": wrapped, "font": {"size": 13, "color": FAILURE_COLOUR}, "x": 0.01},
                              xaxis={"visible": False}, yaxis={"visible": False})


def message_text(message: str):
    return html.Div(f"Not run: {message}", className="veltrana-failure",
                    style={"color": FAILURE_COLOUR, "whiteSpace": "pre-wrap", "padding": "4px 0"})


def card_note(component_id: str) -> str | None:
    for prefixes, note in _CARD_NOTES:
        if component_id.startswith(prefixes):
            return note
    return None


def _value_for(output: dict, message: str):
    if output.get("property") == "figure":
        return message_figure(message)
    if str(output.get("id", "")).startswith("loading-output-") and output.get("property") == "children":
        return message_text(message)
    return dash.no_update


def on_error(exc: Exception):
    """The outputs of the failing callback, as described in this module's docstring."""
    message = user_message(exc)
    ctx = dash.callback_context
    outputs = ctx.outputs_list
    single = isinstance(outputs, dict)
    listed = [outputs] if single else list(outputs)
    log.error("callback %s failed: %s", [o.get("id") for o in listed], message, exc_info=exc)
    values = [_value_for(o, message) for o in listed]
    if all(v is dash.no_update for v in values):
        note = next(filter(None, (card_note(str(o.get("id", ""))) for o in listed)), None)
        if note is not None:
            dash.set_props(note, {"children": message_text(message)})
    return values[0] if single else values


def install(app):
    """Gives `app` the handler; the application keeps its callbacks exactly as registered."""
    app._on_error = on_error
    return app
