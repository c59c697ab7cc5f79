"""Results that leave the browser: tables as TSV, figures at publication size, one HTML report.

Everything here stands beside the described page; the front door calls `add_exports`
once, after `build_app`, on the page it serves:

- each analysis card gets a "Download table" button beside its run button (and, where the
  card's run holds several tables, a picker of which one). The table is found from the path
  in the card's store, which must lie in the output folder, and the paths its summary names
  must lie in the run's own folder; it is read through the host's confined readers;
- every dcc.Graph of the page gets `toImageButtonOptions`: its toolbar's camera button saves
  the figure at FIGURE_SIZE, as SVG unless the page-level picker asks for PNG (at
  scale PNG_SCALE, 300 dpi at 12 x 8 inches);
- a "Report" button sends one HTML file of the current analyses: the data summary, the
  settings of each step, the figures shown (plotly.js included once, so the file opens
  offline), the top rows (first columns) of each table and the versions of the package and its dependencies.
"""

from __future__ import annotations

import datetime
import html
import importlib.metadata
import json
import os
import platform

import pandas as pd
import plotly.io as pio
from dash import Input, Output, State, dcc
from dash import html as dhtml

from ..paths import configured, file_safe, inside
from ..tables import read_result_path, read_text
from ..vocabulary import is_blank
from .matrices import load_settings

__all__ = ["add_exports", "table_of", "report_html"]

FIGURE_SIZE = {"width": 1200, "height": 800}
PNG_SCALE = 3
FORMATS = ("svg", "png")
REPORT_ROWS = 20
REPORT_COLUMNS = 12
# The package and the libraries whose versions a methods section names.
DEPENDENCIES = ("dash", "plotly", "pandas", "numpy", "scipy", "scikit-learn", "gseapy", "lifelines", "nanobind")


# ---- the tables of each card's run -----------------------------------------------------

def _row(summary: pd.DataFrame, source, method=None) -> pd.Series:
    rows = summary if method is None else summary[summary["Method"] == method]
    if not is_blank(source):
        rows = rows[rows["Source"].astype(str) == str(source)]
    if rows.empty:
        raise ValueError(f"the run holds no table of the source {source!r}")
    return rows.iloc[0]


def _named(folder: str, path) -> str:
    if not isinstance(path, str) or not inside(path, folder):
        raise ValueError(f"the run names a table outside its folder: {path!r}")
    return path


def _beside(folder: str, name: str) -> str:
    return _named(folder, os.path.join(folder, name))


def _differential(summary, folder, source, _choice):
    row = _row(summary, source)
    return row["Source"], _named(folder, row["DiffPath"])


def _decomposition(summary, folder, source, choice):
    row = _row(summary, source, "PCA")
    return row["Source"], _beside(folder, f"{row['BaseName']}_PCA_{choice.lower()}.txt")


def _clustering(summary, folder, source, _choice):
    row = _row(summary, source)
    return row["Source"], _beside(folder, f"{row['BaseName']}_feature_clustering.txt")


def _association(summary, folder, _source, choice):
    row = _row(summary, None)
    return row["Source"], _named(folder, row["CorrelationPath" if choice == "Correlation" else "LogisticPath"])


# card -> (store, shown-source picker, run button, tables offered, resolver of a table's path)
CARDS = {
    "diff": ("diff-inter", "diff-fig-source-dropdown", "run-diff-button", ("Differential",), _differential),
    "decomposition": ("decomposition-inter", "decomposition-figure-source-dropdown", "run-decomposition-button",
                      ("Scores", "Variance", "Contribution"), _decomposition),
    "clustering": ("feature-clustering-inter", "clustering-figure-source", "run-feature-clustering-button",
                   ("Clusters",), _clustering),
    "assoc": ("phenotype-feature-result-inter", None, "run-assoc-button", ("Correlation", "ROC"), _association),
}


def table_path(my_path, card: str, stored, source=None, choice=None) -> tuple[str, str]:
    """(download file name, path) of a table of the run whose summary path the card's store holds.

    A path that is not in the output folder, or a summary naming a table outside its
    run's folder, is refused (ValueError); nothing outside is ever read."""
    _store, _picker, _button, offered, resolve = CARDS[card]
    if is_blank(stored):
        raise ValueError("no result to download yet: run the analysis first")
    if not isinstance(stored, str) or not inside(stored, my_path.get_out_dir()):
        raise ValueError(f"refusing to read {stored!r}: not a result of this study")
    choice = offered[0] if is_blank(choice) else choice
    if choice not in offered:
        raise ValueError(f"unknown table {choice!r}; choose one of {list(offered)}")
    folder = os.path.dirname(os.path.realpath(stored))
    shown, path = resolve(read_result_path(stored), folder, source, choice)
    return f"{file_safe(str(shown))}_{choice.lower()}.tsv", path


def table_of(my_path, card: str, stored, source=None, choice=None) -> tuple[str, pd.DataFrame]:
    """(download file name, parsed table), as `table_path`."""
    name, path = table_path(my_path, card, stored, source, choice)
    return name, read_result_path(path)


def _download_controls(card: str) -> list:
    offered = CARDS[card][3]
    controls = [dhtml.Button("Download table", id=f"{card}-download-button", n_clicks=0,
                             style={"marginLeft": "8px"}),
                dcc.Download(id=f"{card}-download")]
    if len(offered) > 1:
        controls.insert(0, dcc.Dropdown(id=f"{card}-download-choice", options=list(offered), value=offered[0],
                                        clearable=False, style={"width": "160px", "display": "inline-block",
                                                                "verticalAlign": "middle", "marginLeft": "8px"}))
    return controls


def _register_download(app, card: str) -> None:
    store, picker, _button, offered, _resolve = CARDS[card]
    states = [State(store, "data")]
    if picker:
        states.append(State(picker, "value"))
    if len(offered) > 1:
        states.append(State(f"{card}-download-choice", "value"))

    def download_table(_clicks, stored, *rest):
        *chosen, paths = rest
        source = chosen.pop(0) if picker else None
        choice = chosen.pop(0) if len(offered) > 1 else None
        # The file's own text: the download is the run's table to the last digit.
        name, path = table_path(configured(paths), card, stored, source, choice)
        return dcc.send_string(read_text(path), name)

    download_table.__name__ = f"download_{card}_table"
    app.callback(Output(f"{card}-download", "data"), Input(f"{card}-download-button", "n_clicks"),
                 *states, State("Paths", "data"), prevent_initial_call=True)(download_table)


# ---- the page's components --------------------------------------------------------------

def _components(page):
    """Every component of `page`, depth first."""
    stack = [page]
    while stack:
        component = stack.pop()
        yield component
        kids = getattr(component, "children", None)
        kids = kids if isinstance(kids, (list, tuple)) else [kids]
        stack.extend(reversed([k for k in kids if hasattr(k, "to_plotly_json")]))


def _place_after(page, anchors: dict) -> None:
    """Inserts anchors[id] (a list of components) right after the component `id`; LookupError for one missing."""
    left = dict(anchors)
    for component in list(_components(page)):
        kids = getattr(component, "children", None)
        if not isinstance(kids, (list, tuple)):
            continue
        kids = list(kids)
        for i in range(len(kids) - 1, -1, -1):
            anchor = getattr(kids[i], "id", None)
            if anchor in left:
                kids[i + 1:i + 1] = left.pop(anchor)
                component.children = kids
    if left:
        raise LookupError(f"the page lacks {sorted(left)} beside which the export controls go")


def image_options(fmt: str) -> dict:
    return {"format": fmt, **FIGURE_SIZE, "scale": PNG_SCALE if fmt == "png" else 1}


def _graphs(page) -> list:
    return [c for c in _components(page) if isinstance(c, dcc.Graph) and getattr(c, "id", None)]


def _configs(graphs, fmt: str) -> list[dict]:
    return [{**(getattr(g, "config", None) or {}), "toImageButtonOptions": image_options(fmt)} for g in graphs]


# ---- the report -------------------------------------------------------------------------

def versions() -> dict:
    from ... import __version__

    found = {"veltrana": __version__, "python": platform.python_version()}
    for name in DEPENDENCIES:
        try:
            found[name] = importlib.metadata.version(name)
        except importlib.metadata.PackageNotFoundError:
            found[name] = "not installed"
    return found


def _pairs(rows) -> str:
    cells = "".join(f"<tr><th>{html.escape(str(k))}</th><td>{html.escape(str(v))}</td></tr>" for k, v in rows)
    return f"<table>{cells}</table>"


def _summary_section(report) -> str:
    if report is None:
        return "<p>No data summary.</p>"
    rows = [[s.name, os.path.basename(s.path), s.features, len(s.samples), f"{100 * s.missing_share:.1f} %",
             len(s.only_in_matrix) + len(s.only_in_table)] for s in report.sources]
    frame = pd.DataFrame(rows, columns=["Source", "File", "Features", "Samples used", "Missing values",
                                        "Samples left out"])
    return (f"<p>Sample table {html.escape(os.path.basename(report.info_path))}: {report.table_samples} samples, "
            f"{len(report.phenotypes)} phenotypes.</p>" + frame.to_html(index=False))


def _manifest(stored) -> dict | None:
    try:
        with open(os.path.join(os.path.dirname(stored), "run.json")) as fh:
            return json.load(fh)
    except (OSError, ValueError, TypeError):
        return None


def _settings_section(my_path, stores: dict) -> str:
    parts = []
    for source in my_path.sources():
        parts.append(f"<h3>Preprocessing: {html.escape(source)}</h3>" + _pairs(load_settings(my_path, source).items()))
    for card, stored in stores.items():
        if not _ours(my_path, stored):
            continue
        manifest = _manifest(stored) or {}
        inputs = {k: json.dumps(v) if isinstance(v, (list, dict)) else v for k, v in manifest.get("inputs", {}).items()}
        parts.append(f"<h3>{html.escape(manifest.get('kind', card))} (run of {html.escape(str(manifest.get('created')))})"
                     f"</h3>" + _pairs(inputs.items()))
    return "".join(parts)


def _ours(my_path, stored) -> bool:
    """A store's path that names a run of this study (anything else is left out of the report)."""
    return isinstance(stored, str) and not is_blank(stored) and inside(stored, my_path.get_out_dir())


def _top(frame: pd.DataFrame) -> str:
    """The first rows (and, of a wide table, the first columns) as HTML."""
    rows, columns = frame.shape
    note = f"top {min(REPORT_ROWS, rows)} of {rows} rows"
    if columns > REPORT_COLUMNS:
        note += f", first {REPORT_COLUMNS} of {columns} columns"
    return f"<p>{note}</p>" + frame.iloc[:REPORT_ROWS, :REPORT_COLUMNS].to_html(na_rep="")


def _tables_section(my_path, stores: dict) -> str:
    parts = []
    for card, stored in stores.items():
        if not _ours(my_path, stored):
            continue
        try:
            sources = read_result_path(stored)["Source"].astype(str).tolist()
            for source in sources if card != "assoc" else sources[:1]:
                for choice in CARDS[card][3]:
                    name, frame = table_of(my_path, card, stored, source, choice)
                    parts.append(f"<h3>{html.escape(name)}</h3>" + _top(frame))
        except (ValueError, LookupError, OSError) as err:
            parts.append(f"<p>{html.escape(card)}: {html.escape(str(err))}</p>")
    return "".join(parts) or "<p>No analysis run yet.</p>"


def _figure_title(figure: dict, fallback: str) -> str:
    title = ((figure.get("layout") or {}).get("title") or {})
    text = title.get("text") if isinstance(title, dict) else title
    return str(text) if text else fallback


def _figures_section(figures: dict) -> str:
    parts, first = [], True
    for graph_id, figure in figures.items():
        if not isinstance(figure, dict) or not figure.get("data"):
            continue  # a placeholder: nothing drawn yet
        body = pio.to_html(figure, include_plotlyjs=first, full_html=False, validate=False)
        first = False
        parts.append(f"<h3>{html.escape(_figure_title(figure, graph_id))}</h3>{body}")
    return "".join(parts) or "<p>No figures drawn yet.</p>"


def report_html(my_path, report, stores: dict, figures: dict) -> str:
    """The self-contained HTML report of the analyses whose run paths `stores` holds (card -> path)
    and of the page's `figures` (graph id -> figure dict)."""
    created = datetime.datetime.now(datetime.timezone.utc).isoformat(timespec="seconds")
    sections = [("Data summary", _summary_section(report)), ("Settings", _settings_section(my_path, stores)),
                ("Figures", _figures_section(figures)), ("Tables", _tables_section(my_path, stores)),
                ("Versions", _pairs(versions().items()))]
    body = "".join(f'<section id="{title.lower().replace(" ", "-")}"><h2>{title}</h2>{text}</section>'
                   for title, text in sections)
    style = ("body{font-family:sans-serif;margin:2em}table{border-collapse:collapse;margin:0.5em 0}"
             "th,td{border:1px solid #ccc;padding:2px 8px;text-align:left;font-size:12px}")
    return (f"<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title>Veltrana report</title>"
            f"<style>{style}</style></head><body><h1>Veltrana report</h1><p>Made {created}.</p>{body}</body></html>")


# ---- placing and registering ------------------------------------------------------------

def export_bar():
    """The page-level controls: the figures' export format and the report."""
    return dhtml.Div(id="export-bar", style={"margin": "8px 0"}, children=[
        dhtml.Span("Figures export as ", style={"marginRight": "4px"}),
        dcc.RadioItems(id="export-format-radio", options=[{"label": f.upper(), "value": f} for f in FORMATS],
                       value=FORMATS[0], inline=True, style={"display": "inline-block"}),
        dhtml.Button("Report", id="report-button", n_clicks=0, style={"marginLeft": "16px"}),
        dcc.Download(id="report-download"),
    ])


def add_exports(app, report=None) -> None:
    """Places the export controls on `app.layout` and registers their callbacks (after `build_app`)."""
    page = app.layout
    _place_after(page, {CARDS[c][2]: _download_controls(c) for c in CARDS})
    # The report covers the whole page: its button closes the data summary card.
    summary = page["data-summary-card"]
    summary.children = [*summary.children, export_bar()]
    graphs = _graphs(page)
    for graph, config in zip(graphs, _configs(graphs, FORMATS[0])):
        graph.config = config
    for card in CARDS:
        _register_download(app, card)

    @app.callback([Output(g.id, "config") for g in graphs], Input("export-format-radio", "value"),
                  prevent_initial_call=True)
    def set_export_format(fmt):
        return _configs(graphs, fmt if fmt in FORMATS else FORMATS[0])

    store_states = [State(CARDS[c][0], "data") for c in CARDS]

    @app.callback(Output("report-download", "data"), Input("report-button", "n_clicks"), *store_states,
                  *[State(g.id, "figure") for g in graphs], State("Paths", "data"), prevent_initial_call=True)
    def send_report(_clicks, *values):
        my_path = configured(values[-1])
        stores = dict(zip(CARDS, values[:len(CARDS)]))
        figures = {g.id: f for g, f in zip(graphs, values[len(CARDS):-1])}
        stamp = datetime.datetime.now().strftime("%Y%m%d-%H%M%S")
        return dcc.send_string(report_html(my_path, report, stores, figures), f"veltrana_report_{stamp}.html")

