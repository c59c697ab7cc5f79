"""Results that leave the browser: tables as TSV, figures at publication size, one HTML report.

Everything here stands beside the described page; the front door calls `add_exports`
once, after `build_app`, on the page it serves:

- each analysis card gets a "Download table" button beside its run button (and, where the
  card's run holds several tables, a picker of which one). The table is found from the path
  in the card's store, which must lie in the output folder, and the paths its summary names
  must lie in the run's own folder; it is read through the host's confined readers;
- every dcc.Graph of the page gets `toImageButtonOptions`: its toolbar's camera button saves
  the figure at FIGURE_SIZE, as SVG unless the page-level picker asks for PNG (at
  scale PNG_SCALE, 300 dpi at 12 x 8 inches, written into the file). The picker's choice
  reaches the figures already drawn through a client-side callback (export_format.js);
- a "Report" button sends one HTML file of the current analyses, REPORT_WIDTH pixels wide: the
  data summary, the settings of each step, the figures shown (headed by their card, panel and
  title), the top rows (first columns) of each table, long cells cut, and the versions of the
  package and its dependencies. plotly.js goes in once, gzip-compressed (a third of its size)
  and unpacked by the browser, so the file opens offline.
"""

from __future__ import annotations

import base64
import datetime
import functools
import gzip
import html
import importlib.metadata
import json
import os
import platform
import re

import pandas as pd
import plotly.offline
from dash import Input, Output, State, dcc
from dash import html as dhtml

from veltrana.plugins.paths import configured, file_safe, inside
from veltrana.plugins.tables import read_result_path, read_text
from veltrana.plugins.vocabulary import is_blank
from veltrana.analyses.matrices import load_settings

__all__ = ["add_exports", "table_of", "report_html"]

FIGURE_SIZE = {"width": 1200, "height": 800}
PNG_SCALE = 3
FORMATS = ("svg", "png")
REPORT_ROWS = 20
REPORT_COLUMNS = 12
REPORT_WIDTH = 1200          # pixels: the report reads on a laptop screen and prints
REPORT_CELL = 40             # characters of a table cell shown in the report
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


def without_row_numbers(text: str) -> str:
    """A stored table's text without its first column when that is only the row numbers 0, 1, 2, ...
    under an empty header (tables whose ids are a column of their own): nothing a reader needs."""
    lines = text.split("\n")
    if not lines or not lines[0].startswith("\t"):
        return text
    rows = [line for line in lines[1:] if line]
    if any(not line.startswith(f"{i}\t") for i, line in enumerate(rows)):
        return text
    return "\n".join(line.partition("\t")[2] for line in lines)


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
        return dcc.send_string(without_row_numbers(read_text(path)), name)

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


def _text(component) -> str:
    kids = getattr(component, "children", None)
    return kids.strip() if isinstance(kids, str) else ""


def graph_names(page) -> dict:
    """Graph id -> "card \u2014 panel": the heading (H5) of the card that holds the graph and the
    caption right above it (the last P before the branch that holds it), as the page shows them."""
    names = {}

    def visit(component, card, caption):
        if isinstance(component, dcc.Graph) and getattr(component, "id", None):
            names[component.id] = " \u2014 ".join(t for t in (card, caption) if t)
        kids = getattr(component, "children", None)
        for kid in kids if isinstance(kids, (list, tuple)) else [kids]:
            if isinstance(kid, dhtml.P) and _text(kid):
                caption = _text(kid)
            elif hasattr(kid, "to_plotly_json"):
                visit(kid, card, caption)

    for card in getattr(page, "children", None) or []:
        if hasattr(card, "to_plotly_json"):
            heading = next((_text(c) for c in _components(card) if isinstance(c, dhtml.H5) and _text(c)), "")
            visit(card, heading, "")
    return names


def _configs(graphs, fmt: str) -> list[dict]:
    return [{**(getattr(g, "config", None) or {}), "toImageButtonOptions": image_options(fmt)} for g in graphs]


# ---- the report -------------------------------------------------------------------------

def versions() -> dict:
    from veltrana import __version__

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
    from veltrana.study import sample_table_lines

    rows = [[s.name, os.path.basename(s.path), s.note or "values as written", s.features, len(s.samples),
             f"{100 * s.missing_share:.1f} %", len(s.only_in_matrix) + len(s.only_in_table)] for s in report.sources]
    frame = pd.DataFrame(rows, columns=["Source", "File", "Read as", "Features", "Samples used", "Missing values",
                                        "Samples left out"])
    read = "".join(f"; {html.escape(line)}" for line in sample_table_lines(report))
    return (f"<p>Sample table {html.escape(os.path.basename(report.info_path))}: {report.table_samples} samples, "
            f"{len(report.phenotypes)} phenotypes{read}.</p>" + frame.to_html(index=False))


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


def _cut(value):
    text = str(value)
    return text if len(text) <= REPORT_CELL else text[:REPORT_CELL - 1] + "\u2026"


def _top(frame: pd.DataFrame) -> str:
    """The first rows (and, of a wide table, the first columns) as HTML, long cells cut."""
    rows, columns = frame.shape
    note = f"top {min(REPORT_ROWS, rows)} of {rows} rows"
    if columns > REPORT_COLUMNS:
        note += f", first {REPORT_COLUMNS} of {columns} columns"
    shown = frame.iloc[:REPORT_ROWS, :REPORT_COLUMNS]
    texts = shown.astype(object).where(shown.notna(), "")
    cut = texts.map(lambda v: len(str(v)) > REPORT_CELL)
    if cut.to_numpy().any():
        note += f"; cells longer than {REPORT_CELL} characters are cut (\u2026): the downloaded table has them whole"
    return f"<p>{note}</p>" + texts.map(_cut).to_html()


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


def _figure_title(figure: dict) -> str:
    """The figure's own title as plain text ('' when it has none)."""
    title = ((figure.get("layout") or {}).get("title") or {})
    text = title.get("text") if isinstance(title, dict) else title
    return " ".join(re.sub(r"<[^>]*>", " ", str(text)).split()) if text else ""


def _as_sent(value):
    """The figure as the server sent it: plotly.js keeps the decoded copy of each binary array
    beside it (`_inputArray`), which the page then sends back at ten times the size."""
    if isinstance(value, dict):
        if "bdata" in value:
            return {k: v for k, v in value.items() if k in ("dtype", "bdata", "shape")}
        return {k: _as_sent(v) for k, v in value.items()}
    if isinstance(value, list):
        return [_as_sent(v) for v in value]
    return value


def _script_json(value) -> str:
    # "<" escaped: no text of a figure can end the <script> element that holds it
    return json.dumps(value, separators=(",", ":")).replace("<", "\\u003c")


@functools.lru_cache(maxsize=1)
def _packed_plotlyjs() -> str:
    return base64.b64encode(gzip.compress(plotly.offline.get_plotlyjs().encode(), mtime=0)).decode()


# Unpacks plotly.js, then draws each figure into its holder at the report's width.
_DRAW_FIGURES = """
(async () => {
  const packed = Uint8Array.from(atob(document.getElementById('plotlyjs-gzip').textContent), c => c.charCodeAt(0));
  const source = await new Response(new Blob([packed]).stream().pipeThrough(new DecompressionStream('gzip'))).text();
  const script = document.createElement('script');
  script.textContent = source;
  document.head.appendChild(script);
  for (const holder of document.querySelectorAll('[data-figure]')) {
    const figure = JSON.parse(document.getElementById(holder.dataset.figure).textContent);
    Plotly.newPlot(holder, figure.data, figure.layout, {responsive: true, displaylogo: false});
  }
})();
"""


def _figures_section(figures: dict, names: dict) -> str:
    parts = []
    for number, (graph_id, figure) in enumerate(figures.items()):
        if not isinstance(figure, dict) or not figure.get("data"):
            continue  # a placeholder: nothing drawn yet
        figure = _as_sent({"data": figure["data"], "layout": dict(figure.get("layout") or {})})
        if (figure["layout"].get("width") or 0) > REPORT_WIDTH:
            del figure["layout"]["width"]
        heading = " \u2014 ".join(t for t in (names.get(graph_id, graph_id), _figure_title(figure)) if t)
        parts.append(f"<h3>{html.escape(heading)}</h3><div class=\"figure\" data-figure=\"figure-{number}\"></div>"
                     f"<script type=\"application/json\" id=\"figure-{number}\">{_script_json(figure)}</script>")
    if not parts:
        return "<p>No figures drawn yet.</p>"
    return ("".join(parts) + f"<script type=\"text/plain\" id=\"plotlyjs-gzip\">{_packed_plotlyjs()}</script>"
            f"<script>{_DRAW_FIGURES}</script>")


def report_html(my_path, report, stores: dict, figures: dict, names: dict | None = None) -> str:
    """The self-contained HTML report of the analyses whose run paths `stores` holds (card -> path)
    and of the page's `figures` (graph id -> figure dict), each headed by its name in `names`
    (graph id -> card and panel, see `graph_names`)."""
    created = datetime.datetime.now(datetime.timezone.utc).isoformat(timespec="seconds")
    sections = [("Data summary", _summary_section(report)), ("Settings", _settings_section(my_path, stores)),
                ("Figures", _figures_section(figures, names or {})), ("Tables", _tables_section(my_path, stores)),
                ("Versions", _pairs(versions().items()))]
    body = "".join(f'<section id="{title.lower().replace(" ", "-")}"><h2>{title}</h2>{text}</section>'
                   for title, text in sections)
    # A fixed width, tables laid out within it, long words broken: nothing runs off the page.
    style = (f"body{{font-family:sans-serif;margin:2em}}main{{width:{REPORT_WIDTH}px;margin:0 auto}}"
             "table{border-collapse:collapse;margin:0.5em 0;max-width:100%}"
             "th,td{border:1px solid #ccc;padding:2px 8px;text-align:left;font-size:12px;overflow-wrap:break-word}"
             "td{overflow-wrap:anywhere}"
             ".figure{width:100%}")
    return (f"<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title>Veltrana report</title>"
            f"<style>{style}</style></head><body><main><h1>Veltrana report</h1><p>Made {created}.</p>{body}"
            "</main></body></html>")


with open(os.path.join(os.path.dirname(os.path.abspath(__file__)), "export_format.js"), encoding="utf-8") as _js:
    _EXPORT_FORMAT_JS = _js.read()


# ---- placing and registering ------------------------------------------------------------

def export_bar():
    """The page-level controls: the figures' export format and the report."""
    return dhtml.Div(id="export-bar", style={"margin": "8px 0"}, children=[
        dhtml.Span("Figures export as ", style={"marginRight": "4px"}),
        dcc.RadioItems(id="export-format-radio", options=[{"label": f.upper(), "value": f} for f in FORMATS],
                       value=FORMATS[0], inline=True, style={"display": "inline-block"}),
        dhtml.Button("Report", id="report-button", n_clicks=0, style={"marginLeft": "16px"}),
        dcc.Download(id="report-download"),
        dcc.Store(id="export-format-applied"),
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

    # The config above serves each graph's next plot; the drawn ones change in the browser.
    page["export-bar"].children.append(dcc.Store(id="export-image-options", data={
        "ids": [g.id for g in graphs], "first": FORMATS[0], "formats": {f: image_options(f) for f in FORMATS}}))
    app.clientside_callback(_EXPORT_FORMAT_JS, Output("export-format-applied", "data"),
                            Input("export-format-radio", "value"), State("export-image-options", "data"))

    store_states = [State(CARDS[c][0], "data") for c in CARDS]
    names = graph_names(page)

    @app.callback(Output("report-download", "data"), Input("report-button", "n_clicks"), *store_states,
                  *[State(g.id, "figure") for g in graphs], State("Paths", "data"), prevent_initial_call=True)
    def send_report(_clicks, *values):
        my_path = configured(values[-1])
        stores = dict(zip(CARDS, values[:len(CARDS)]))
        figures = {g.id: f for g, f in zip(graphs, values[len(CARDS):-1])}
        stamp = datetime.datetime.now().strftime("%Y%m%d-%H%M%S")
        return dcc.send_string(report_html(my_path, report, stores, figures, names), f"veltrana_report_{stamp}.html")

