"""The GSEA card: preranked gene-set enrichment of a differential result, placed below the
enrichment card.

The genes of one source's differential table are ranked by a chosen score (the signed
-log10 p-value, the fold change, or the moderated t when the test gave one) and tested
against a local library (the shipped offline one or a user .gmt file; never a remote one)
by the native prerank (`prerank.py`: gseapy's definitions, seconds for a whole library), with
a fixed seed. Glycoform and site features rank by their gene: of several features of one
gene, the one with the largest |score| stands for it.

A run goes into a folder keyed by its inputs (see `results`): the top terms' table, the
ranking, and the running scores and hits of the top terms, from which the figure is drawn.
The card stands beside the described page: the front door places it and registers its
callbacks (`add_gsea_card`) after `build_app`.
"""

from __future__ import annotations

import json
import os

import numpy as np
import pandas as pd
from dash import Input, Output, State, dash_table, dcc, html
from plotly.subplots import make_subplots

from veltrana.serve import limits
from veltrana.runs import progress, results
from veltrana.genesets import read_gmt
from veltrana.plugins.paths import MyPath, fix_path
from veltrana.plugins.tables import read_result_path, save_result_path
from veltrana.plugins.vocabulary import AXIS_LINE, PAPER, gene_of, margin, place_after, placeholder_figure
from veltrana.analyses.enrichment import get_offline_libraries, load_offline_library
from veltrana.analyses.prerank import NoGeneSetInRange
from veltrana.analyses.prerank import prerank as native_prerank

SIGNED_P, FOLD_CHANGE, MODERATED_T = "Signed -log10(P-value)", "Log2FC(median)", "ModeratedT"
PERMUTATIONS = 1000                   # the card's default; at most the `permutations` limit (see `limits`)
SEED = 20240601
THREADS = 2
MIN_SIZE, MAX_SIZE = 15, 500          # gene-set sizes tested (genes in the ranking): the usual bounds
TOP_TERMS = 50                        # rows of the table, and the terms whose curves are kept
TERMS_FILE, RANKING_FILE, CURVES_FILE, NOTE_FILE = "gsea_terms.txt", "gsea_ranking.txt", "gsea_curves.npz", "note.json"
TABLE_COLUMNS = ["Term", "NES", "ES", "P-value", "FDR", "Leading edge", "Set size"]
FIGURE_HEIGHT = 520


# ---- the ranking ---------------------------------------------------------------------

def statistics_of(table: pd.DataFrame) -> list[str]:
    """The ranking scores a differential table offers (the moderated t only when it has one; none
    for an F-test, which has no direction)."""
    if FOLD_CHANGE not in table.columns:
        return []
    return [SIGNED_P, FOLD_CHANGE] + ([MODERATED_T] if MODERATED_T in table.columns else [])


def feature_scores(table: pd.DataFrame, statistic: str) -> pd.Series:
    """The score of each feature: -log10 p signed by the fold change (up in the target ranks
    first), the fold change, or the moderated t. Features without a score are left out."""
    if not statistics_of(table):
        raise ValueError("this differential result has no direction to rank by (an F-test asks whether any "
                         "group differs): GSEA ranks a two-group test")
    if statistic not in statistics_of(table):
        raise ValueError(f"unknown ranking {statistic!r}; this result offers {statistics_of(table)}")
    features = table["Feature"].astype(str) if "Feature" in table.columns else table.index.astype(str)
    if statistic == SIGNED_P:
        p = pd.to_numeric(table["P-value"], errors="coerce").to_numpy(dtype=float)
        fold = pd.to_numeric(table["Log2FC(median)"], errors="coerce").to_numpy(dtype=float)
        score = np.sign(fold) * -np.log10(np.clip(p, np.finfo(float).tiny, None))
    else:
        score = pd.to_numeric(table[statistic], errors="coerce").to_numpy(dtype=float)
    scores = pd.Series(score, index=pd.Index(features.to_numpy(), name="Feature"))
    return scores[np.isfinite(scores)]


def gene_ranking(scores: pd.Series) -> tuple[pd.Series, int]:
    """(score of each gene, highest first; number of genes that had several features).
    A gene with several features keeps the one of largest |score|."""
    genes = pd.Series([gene_of(f) for f in scores.index], index=scores.index)
    frame = pd.DataFrame({"gene": genes.to_numpy(), "score": scores.to_numpy(),
                          "size": np.abs(scores.to_numpy())})
    several = int((frame["gene"].value_counts() > 1).sum())
    kept = frame.sort_values("size", ascending=False, kind="stable").drop_duplicates("gene")
    ranking = pd.Series(kept["score"].to_numpy(), index=pd.Index(kept["gene"].to_numpy(), name="Gene"))
    return ranking.sort_values(ascending=False, kind="stable"), several


# ---- the library ---------------------------------------------------------------------

def library_choices(my_path: MyPath) -> list[str]:
    """The shipped libraries, then the user's .gmt files."""
    folder = my_path.get_user_geneset_dir()
    user = sorted(f for f in os.listdir(folder) if f.endswith(".gmt") and os.path.isfile(os.path.join(folder, f))) \
        if os.path.isdir(folder) else []
    return [*get_offline_libraries(), *user]


def library(my_path: MyPath, name) -> tuple[dict, list]:
    """(term -> genes, its fingerprint) of a shipped library or a user .gmt file; any other
    name (a remote library, a path) is refused before anything is read."""
    if isinstance(name, str) and name in get_offline_libraries():
        return load_offline_library(name), [name]
    if not isinstance(name, str) or not name.endswith(".gmt"):
        raise ValueError(f"unknown gene-set library {name!r}: choose a shipped library or a .gmt file")
    path = fix_path(name, parent_dir=my_path.get_user_geneset_dir())
    if not os.path.isfile(path):
        raise ValueError(f"no gene-set file {name!r} in the user gene-set folder")
    return read_gmt(path), results.file_state(path)


# ---- the run -------------------------------------------------------------------------

def differential_path(my_path: MyPath, summary_path, source) -> str:
    """The differential table of `source` named by the summary in the "diff-inter" store."""
    if not summary_path:
        raise ValueError("run a differential analysis first: GSEA ranks its result")
    summary = read_result_path(summary_path)
    rows = summary[summary["Source"].astype(str) == str(source)]
    if rows.empty:
        raise ValueError(f"the differential result has no source {source!r}")
    path = str(rows["DiffPath"].iloc[0])
    if not my_path.readable(path):
        raise ValueError(f"refusing to read {path!r}: outside the configured locations")
    return path


def permutations_of(value) -> int:
    """The permutations the page asks for: a whole number from 1 to the server's `permutations` limit."""
    return limits.bounded("permutations", value, "the number of permutations")


def prerank(ranking: pd.Series, gene_sets: dict, permutations: int):
    """The preranked enrichment of `ranking` (no files written)."""
    return native_prerank(ranking, gene_sets, permutations, SEED, min_size=MIN_SIZE, max_size=MAX_SIZE,
                          threads=THREADS)


def terms_table(res2d: pd.DataFrame) -> pd.DataFrame:
    """The top terms by p-value then |NES|: NES, ES, p, FDR, leading-edge and set sizes."""
    tags = res2d["Tag %"].astype(str).str.split("/", n=1)
    frame = pd.DataFrame({
        "Term": res2d["Term"].astype(str),
        "NES": pd.to_numeric(res2d["NES"], errors="coerce"),
        "ES": pd.to_numeric(res2d["ES"], errors="coerce"),
        "P-value": pd.to_numeric(res2d["NOM p-val"], errors="coerce"),
        "FDR": pd.to_numeric(res2d["FDR q-val"], errors="coerce"),
        "Leading edge": tags.str[0].astype(int),
        "Set size": tags.str[1].astype(int),
    })
    frame = frame.assign(_size=-frame["NES"].abs()).sort_values(["P-value", "_size"], kind="stable")
    return frame.drop(columns="_size").head(TOP_TERMS).reset_index(drop=True)


def save_curves(path, found: dict, terms) -> None:
    """The running scores (one row per term) and hits of `terms`."""
    res = np.array([found[t]["RES"] for t in terms], dtype=np.float32).reshape(len(terms), -1)
    hits = [np.asarray(found[t]["hits"], dtype=np.int64) for t in terms]
    offsets = np.cumsum([0, *(len(h) for h in hits)])
    np.savez_compressed(path, terms=np.array(terms, dtype=str), res=res,
                        hits=np.concatenate(hits) if hits else np.zeros(0, np.int64), offsets=offsets)


def run_gsea(my_path: MyPath, summary_path, source, statistic, library_name, permutations) -> str:
    """The run folder of the card's choices, computed when not yet published."""
    diff_path = differential_path(my_path, summary_path, source)
    permutations = permutations_of(permutations)
    table = read_result_path(diff_path)
    scores = feature_scores(table, statistic)
    gene_sets, library_state = library(my_path, library_name)
    inputs = {"source": str(source), "statistic": statistic, "library": library_name,
              "permutations": permutations, "seed": SEED, "min_size": MIN_SIZE, "max_size": MAX_SIZE,
              "engine": "ranked"}  # the permutation null differs from a gseapy run's
    data = [results.file_state(diff_path), library_state]

    def write(folder, final):
        ranking, several = gene_ranking(scores)
        if ranking.empty:
            raise ValueError(f"no feature of {source} has a {statistic} to rank by")
        tested = sets_in_range(gene_sets, ranking.index)
        progress.report(f"{tested} gene sets (of the library's {len(gene_sets)}) against {len(ranking)} ranked "
                        f"genes, {permutations} permutations (1 of 2)")
        try:
            found = prerank(ranking, gene_sets, permutations)
        except NoGeneSetInRange as exc:
            raise ValueError(f"no gene set of {library_name} has {MIN_SIZE} to {MAX_SIZE} of the ranked genes "
                             f"of {source}") from exc
        top = terms_table(found.res2d)
        progress.report(f"Running scores of the top {len(top)} terms (2 of 2)")
        save_result_path(os.path.join(folder, TERMS_FILE), top)
        save_result_path(os.path.join(folder, RANKING_FILE),
                         pd.DataFrame({"Gene": ranking.index, "Score": ranking.to_numpy()}))
        save_curves(os.path.join(folder, CURVES_FILE), found.results, list(top["Term"]))
        with open(os.path.join(folder, NOTE_FILE), "w") as fh:
            json.dump({"features": int(len(scores)), "genes": int(len(ranking)), "several": several,
                       "statistic": statistic, "tested": tested, "sets": len(gene_sets)}, fh)

    return results.publish(os.path.join(my_path.get_enrichment_dir(), "gsea"), "gsea", inputs, data, write)


def run_folder(my_path: MyPath, folder) -> str:
    """A run folder from the page, only when it is a published run of this study's output."""
    parent = os.path.join(my_path.get_enrichment_dir(), "gsea")
    if not isinstance(folder, str) or os.path.dirname(os.path.abspath(folder)) != os.path.abspath(parent) \
            or not results.is_published(folder):
        raise ValueError(f"not a GSEA run of this study: {folder!r}")
    return folder


def note(folder) -> str:
    with open(os.path.join(folder, NOTE_FILE)) as fh:
        told = json.load(fh)
    text = f"{told['genes']} genes ranked by {told['statistic']} from {told['features']} features."
    if told["several"]:
        several = "1 gene had" if told["several"] == 1 else f"{told['several']} genes had"
        text += f" {several} several features; each gene is ranked by its feature of largest |score|."
    if "tested" in told:  # runs stored before the count was kept do not say it
        text += (f" {told['tested']} of the library's {told['sets']} gene sets have {MIN_SIZE} to {MAX_SIZE} "
                 "of the ranked genes and were tested.")
    return text


def sets_in_range(gene_sets: dict, genes) -> int:
    """How many gene sets have MIN_SIZE to MAX_SIZE of `genes`: those the run tests."""
    ranked = set(genes)
    return sum(MIN_SIZE <= len(ranked.intersection(members)) <= MAX_SIZE for members in gene_sets.values())


# ---- the figure ----------------------------------------------------------------------

def curve(folder, term) -> tuple[np.ndarray, np.ndarray]:
    """(running enrichment score, hit positions) of a top term of a run."""
    with np.load(os.path.join(folder, CURVES_FILE)) as saved:
        terms = list(saved["terms"])
        if term not in terms:
            raise ValueError(f"{term!r} is not among the run's top terms")
        i = terms.index(term)
        return saved["res"][i].astype(float), saved["hits"][saved["offsets"][i]:saved["offsets"][i + 1]]


def running_score_figure(res: np.ndarray, hits: np.ndarray, ranking: np.ndarray, title: str,
                         height=FIGURE_HEIGHT):
    """The running enrichment score, the set's genes as ticks along the ranking, and the
    ranked scores below."""
    fig = make_subplots(rows=3, cols=1, shared_xaxes=True, row_heights=[0.6, 0.12, 0.28], vertical_spacing=0.03)
    x = np.arange(len(res))
    fig.add_scatter(x=x, y=res, mode="lines", line={"color": "#2ca02c"}, name="Running score",
                    hovertemplate="rank %{x}: %{y:.3f}<extra></extra>", row=1, col=1)
    peak = int(np.argmax(np.abs(res))) if len(res) else 0
    fig.add_hline(y=0, line={"color": "grey", "width": 1}, row=1, col=1)
    fig.add_vline(x=peak, line={"color": "#d62728", "dash": "dash", "width": 1}, row=1, col=1)
    fig.add_scatter(x=hits, y=np.zeros(len(hits)), mode="markers", name="Genes of the set",
                    marker={"symbol": "line-ns-open", "size": 16, "color": "black"},
                    hovertemplate="rank %{x}<extra></extra>", row=2, col=1)
    fig.add_scatter(x=x, y=ranking[:len(res)], mode="lines", fill="tozeroy", line={"color": "grey", "width": 1},
                    name="Ranked score", hoverinfo="skip", row=3, col=1)
    fig.update_layout(height=height, title={"text": title, "x": 0.01}, paper_bgcolor=PAPER, plot_bgcolor=PAPER,
                      margin=margin(top=50), showlegend=False)
    fig.update_yaxes(title_text="Enrichment score", **AXIS_LINE, row=1, col=1)
    fig.update_yaxes(visible=False, row=2, col=1)
    fig.update_yaxes(title_text="Score", row=3, col=1)
    fig.update_xaxes(title_text="Gene rank", row=3, col=1)
    return fig


def term_figure(folder, term):
    res, hits = curve(folder, term)
    ranking = read_result_path(os.path.join(folder, RANKING_FILE))["Score"].to_numpy(dtype=float)
    top = read_result_path(os.path.join(folder, TERMS_FILE)).set_index("Term").loc[term]
    permutations = results.run_inputs(folder)["permutations"]
    p, fdr = (estimate_text(top[c], permutations) for c in ("P-value", "FDR"))
    title = f"{term}: NES {top['NES']:.2f}, p {p}, FDR {fdr}"
    return running_score_figure(res, hits, ranking, title)


# ---- the card ------------------------------------------------------------------------

def _picker(label, picker_id, options=(), value=None, **kw):
    return html.Div([html.P(label), dcc.Dropdown(id=picker_id, options=list(options), value=value, **kw)])


def gsea_controls(libraries: list[str]):
    return html.Div(id="gsea-control", className="four columns", children=[
        html.H5("Ranked Enrichment (GSEA)"),
        _picker("Differential result of", "gsea-source-dropdown", placeholder="Run a differential analysis"),
        _picker("Rank genes by", "gsea-statistic-dropdown", [SIGNED_P, FOLD_CHANGE], SIGNED_P, clearable=False),
        _picker("Gene sets", "gsea-library-dropdown", libraries, libraries[0] if libraries else None),
        html.P("Permutations"),
        dcc.Input(id="gsea-permutations-input", type="number", min=1, max=limits.get("permutations"), step=1,
                  value=PERMUTATIONS),
        html.Br(), html.Br(),
        html.Button("Run GSEA", id="gsea-run-button", n_clicks=0),
        # The loading dots get a line of their own, below the run's progress text (they covered it).
        dcc.Loading(html.Div(id="loading-output-gsea", style={"minHeight": "2.5em"}), type="dot"),
    ])


def gsea_card(layout, libraries: list[str]):
    """Controls on the left; the layout module's GSEA card (term picker, figure) and the table on the right."""
    return html.Div(id="gsea-card", className="row", children=[
        gsea_controls(libraries),
        html.Div(className="eight columns", children=[layout.build_enrich_gsea_card(),
                                                       html.Div(id="gsea-table-div")]),
    ])


def place_gsea_card(page, card):
    """The page with `card` right after the enrichment card (at the end when there is none)."""
    return place_after(page, "enrich-analysis", html.Br(), card)


def shown_estimate(value: float, permutations: int):
    """A permutation p-value or FDR as the table shows it: three significant digits, and a 0 as
    "< 1/N" — no permutation scored as extreme, which bounds it, not makes it nought."""
    return float(f"{value:.3g}") if value > 0 else f"< {1 / permutations:.3g}"


def estimate_text(value: float, permutations: int) -> str:
    """`shown_estimate` as text, for a title: the same "< 1/N" as the table."""
    shown = shown_estimate(value, permutations)
    return f"{shown:.3g}" if isinstance(shown, float) else shown


def terms_view(folder):
    top = read_result_path(os.path.join(folder, TERMS_FILE)).round({"NES": 3, "ES": 3})
    permutations = results.run_inputs(folder)["permutations"]
    for column in ("P-value", "FDR"):  # the file keeps them all as computed
        top[column] = [shown_estimate(v, permutations) for v in top[column]]
    return dash_table.DataTable(id="gsea-terms-table", columns=[{"name": c, "id": c} for c in TABLE_COLUMNS],
                                data=top.to_dict("records"), page_size=10,
                                sort_action="native", style_table={"overflowX": "auto"},
                                style_cell={"fontSize": "13px", "textAlign": "left"})


def register_gsea_card(app, my_paths: dict) -> None:
    """The card's callbacks; the described ones are left as `build_app` registered them."""
    my_path = MyPath(my_paths)

    @app.callback(Output("gsea-source-dropdown", "options"), Output("gsea-source-dropdown", "value"),
                  Output("gsea-statistic-dropdown", "options"), Output("gsea-library-dropdown", "options"),
                  Input("diff-inter", "data"), State("gsea-source-dropdown", "value"))
    def _choices(summary_path, current):
        libraries = library_choices(my_path)
        if not summary_path:
            return [], None, [SIGNED_P, FOLD_CHANGE], libraries
        sources = [str(s) for s in read_result_path(summary_path)["Source"]]
        source = current if current in sources else sources[0]
        table = read_result_path(differential_path(my_path, summary_path, source))
        return sources, source, statistics_of(table), libraries

    @app.callback(Output("enrich-gsea-pres-inter", "data"), Output("enrich-gsea-pathway-dropdown", "options"),
                  Output("enrich-gsea-pathway-dropdown", "value"), Output("gsea-table-div", "children"),
                  Output("loading-output-gsea", "children"),
                  Input("gsea-run-button", "n_clicks"), State("diff-inter", "data"),
                  State("gsea-source-dropdown", "value"), State("gsea-statistic-dropdown", "value"),
                  State("gsea-library-dropdown", "value"), State("gsea-permutations-input", "value"),
                  prevent_initial_call=True)
    def _run(_, summary_path, source, statistic, library_name, permutations):
        folder = run_gsea(my_path, summary_path, source, statistic, library_name, permutations)
        terms = list(read_result_path(os.path.join(folder, TERMS_FILE))["Term"])
        return folder, terms, (terms[0] if terms else None), terms_view(folder), note(folder)

    @app.callback(Output("enrich-gsea-fig", "figure"), Input("enrich-gsea-pathway-dropdown", "value"),
                  State("enrich-gsea-pres-inter", "data"))
    def _draw(term, folder):
        if not folder or not term:
            return placeholder_figure(FIGURE_HEIGHT)
        return term_figure(run_folder(my_path, folder), term)


def add_gsea_card(app, layout, my_paths: dict) -> None:
    """Places the card on the app's page and registers its callbacks (the front door's one call)."""
    place_gsea_card(app.layout, gsea_card(layout, library_choices(MyPath(my_paths))))
    register_gsea_card(app, my_paths)
