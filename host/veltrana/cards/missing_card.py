"""The missing-values card: what each sample measured, where the gaps are, and what imputation filled.

Three figures of one source, beside the described QC card (the front door places it after it):
- the features identified (with a value) in each sample, bars coloured by a categorical phenotype;
- the pattern of missing values, samples (by group, then by how much they measured) against
  features (from the most to the least often measured);
- after an imputation, how many values it filled in each group.
Above `figure_samples` samples (see `limits`) the per-sample bars become one histogram per group, and
a pattern larger than PATTERN_CELLS is drawn in blocks, each the exact share missing of its samples
and features; the titles say so.
"""

from __future__ import annotations

import numpy as np
import pandas as pd
import plotly.graph_objects as go
from dash import Input, Output, dcc, html

from veltrana.serve import limits
from veltrana.runs import results
from veltrana.plugins.paths import MyPath
from veltrana.plugins.tables import raw_missing, read_info_file
from veltrana.plugins.vocabulary import AXIS_LINE, PAPER, margin, place_after, placeholder_figure
from veltrana.analyses.batches import batch_phenotypes
from veltrana.analyses.matrices import ensure_preprocessed, load_settings, preprocessed_matrix, take

FIGURE_HEIGHT = 420
PATTERN_CELLS = 250_000   # cells the pattern draws one by one; above, blocks
PATTERN_SHAPE = (100, 200)  # at most this many blocks of samples and of features
HISTOGRAM_BINS = 50
ALL = "All samples"


# ---- the data ------------------------------------------------------------------------

def groups_of(info: pd.DataFrame, phenotype, samples) -> pd.Series:
    """Each sample's group: its value of `phenotype` ("NA" where missing), or one group of all."""
    if not phenotype:
        return pd.Series(ALL, index=pd.Index(samples), dtype=object)
    if phenotype not in batch_phenotypes(info):
        raise ValueError(f"{phenotype!r} is not a categorical phenotype of 2 to "
                         f"{limits.get('survival_groups')} groups")
    values = info[phenotype].reindex(pd.Index(samples))
    return values.astype(object).where(values.notna(), "NA").astype(str)


def sample_order(present: pd.Series, groups: pd.Series) -> pd.Index:
    """Samples by group, then from the most to the fewest features identified."""
    frame = pd.DataFrame({"group": groups, "present": present})
    return frame.sort_values(["group", "present"], ascending=[True, False], kind="stable").index


def blocks(mask: np.ndarray, shape=PATTERN_SHAPE) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """(share missing of each block, first row of each row block, first column of each column
    block): the rows and columns cut into at most `shape` runs of near-equal length."""
    if mask.flags.f_contiguous and not mask.flags.c_contiguous:  # summed along its memory
        shares, cols, rows = blocks(mask.T, shape[::-1])
        return shares.T, rows, cols
    rows = np.linspace(0, mask.shape[0], min(shape[0], mask.shape[0]) + 1).astype(int)
    cols = np.linspace(0, mask.shape[1], min(shape[1], mask.shape[1]) + 1).astype(int)
    # Along the rows first, as bytes: no copy of the whole mask widened, and several times faster
    # than across them (a block's row holds at most a row's cells: int32 holds it).
    by_cols = np.add.reduceat(mask.view(np.uint8), cols[:-1], axis=1, dtype=np.int32)
    sums = np.add.reduceat(by_cols, rows[:-1], axis=0, dtype=np.int64)
    sizes = np.diff(rows)[:, None] * np.diff(cols)[None, :]
    return sums / sizes, rows[:-1], cols[:-1]


# ---- the figures ---------------------------------------------------------------------

def _style(fig, title, **layout):
    fig.update_layout(title=title, height=FIGURE_HEIGHT, margin=margin(top=60), paper_bgcolor=PAPER,
                      plot_bgcolor=PAPER, xaxis=AXIS_LINE, yaxis=AXIS_LINE)
    fig.update_layout(**layout)
    return fig


def identified_figure(source, present: pd.Series, groups: pd.Series, order) -> go.Figure:
    total = f"{source}: features identified per sample"
    fig = go.Figure()
    if len(order) <= limits.get("figure_samples"):
        for group in pd.unique(groups[order]):
            mine = [s for s in order if groups[s] == group]
            fig.add_bar(x=mine, y=present[mine].to_numpy(), name=str(group))
        return _style(fig, total, xaxis={**AXIS_LINE, "type": "category", "categoryorder": "array",
                                         "categoryarray": list(order), "showticklabels": len(order) <= 60},
                      yaxis_title="Features with a value", bargap=0.1)
    # Counted here into bins shared by the groups: the page gets the counts, not every sample's value.
    edges = np.histogram_bin_edges(present.to_numpy(), bins=HISTOGRAM_BINS)
    for group in pd.unique(groups[order]):
        counts, _ = np.histogram(present[groups == group].to_numpy(), bins=edges)
        fig.add_bar(x=(edges[:-1] + edges[1:]) / 2, y=counts, width=np.diff(edges), name=str(group), opacity=0.6)
    return _style(fig, f"{total}, summarised over {len(order):,} samples: a histogram per group",
                  barmode="overlay", xaxis_title="Features with a value", yaxis_title="Samples")


def pattern_figure(source, mask: np.ndarray, samples, features) -> go.Figure:
    """`mask`: missing cells, samples and features already in the order shown."""
    title = f"{source}: missing values ({int(mask.sum()):,} of {mask.size:,})"
    scale = [[0, "#2c7fb8"], [1, "#f0f0f0"]]
    if mask.size <= PATTERN_CELLS:
        z, y, x = mask.astype(np.int8), [str(s) for s in samples], [str(f) for f in features]
        colorbar = {"tickvals": [0, 1], "ticktext": ["value", "missing"]}
    else:
        z, r, c = blocks(mask, PATTERN_SHAPE)
        y, x = [str(samples[i]) for i in r], [str(features[j]) for j in c]
        colorbar = {"title": "share missing"}
        title += f", in blocks of ~{mask.shape[0] / len(r):.0f} samples x ~{mask.shape[1] / len(c):.0f} features"
    fig = go.Figure(go.Heatmap(z=z, x=x, y=y, colorscale=scale, zmin=0, zmax=1, colorbar=colorbar))
    return _style(fig, title, xaxis={"showticklabels": False, "title": "features, most often measured first"},
                  yaxis={"showticklabels": len(y) <= 60, "autorange": "reversed", "type": "category"})


def imputed_figure(source, imputation, filled: pd.Series | None, features: int, groups: pd.Series) -> go.Figure:
    """`filled`: the values imputed in each sample of the preprocessed matrix (of `features`); None
    without an imputation."""
    if imputation == "NA":
        return placeholder_figure(FIGURE_HEIGHT, title=f"{source}: no imputation in its preprocessing settings")
    mine = groups.reindex(filled.index)
    counts = filled.groupby(mine).sum()
    sizes = mine.value_counts()
    fig = go.Figure(go.Bar(x=[str(g) for g in counts.index], y=counts.to_numpy(),
                           text=[f"{100 * counts[g] / (sizes[g] * features):.1f} %" for g in counts.index],
                           marker_color="SteelBlue"))
    return _style(fig, f"{source}: {int(counts.sum()):,} values imputed ({imputation}), per group",
                  yaxis_title="Values imputed")


def missing_figures(my_path: MyPath, source, phenotype):
    """The card's three figures for `source`, grouped by `phenotype` (None: all samples one group).
    Worked on the matrix's missing cells as one boolean array: a cohort's matrix is not copied."""
    source = my_path.check_source(source)
    info = read_info_file(my_path.get_meta_path())
    # The missing cells only: a cohort's raw values are not read, nor kept in memory, for them.
    raw_samples, raw_features, isna = raw_missing(my_path.get_expr_path(source))
    used = np.flatnonzero(raw_samples.isin(info.index))  # the samples the study uses
    samples = raw_samples[used]
    missing = take(isna, used, np.arange(isna.shape[1]), share=True)
    present = pd.Series(missing.shape[1] - missing.sum(axis=1), index=samples)
    groups = groups_of(info, phenotype, samples)
    order = sample_order(present, groups)
    feature_order = np.argsort(missing.mean(axis=0), kind="stable")  # the most often measured first
    mask = take(missing, samples.get_indexer(order), feature_order)
    imputation = str(load_settings(my_path, source)["Imputation"])
    filled, features = None, 0
    if imputation != "NA":  # the cells missing before the imputation (after the filter), present after it
        prep = preprocessed_matrix(my_path, source)
        before = take(isna, raw_samples.get_indexer(prep.index), raw_features.get_indexer(prep.columns))
        filled = pd.Series((before & ~np.isnan(prep.to_numpy(dtype=float))).sum(axis=1), index=prep.index)
        features = prep.shape[1]
    return (identified_figure(source, present, groups, order),
            pattern_figure(source, mask, list(order), raw_features[feature_order]),
            imputed_figure(source, imputation, filled, features, groups))


# ---- the card ------------------------------------------------------------------------

def missing_card(sources: list[str], phenotypes: list[str], default_phenotype) -> html.Div:
    chosen = default_phenotype if default_phenotype in phenotypes else (phenotypes[0] if phenotypes else None)
    graph = {"config": {"displaylogo": False}}
    return html.Div(id="missing-card", className="row", children=[
        html.Hr(),
        html.Div(className="four columns", children=[
            html.H5("Missing Values"),
            html.P("Data source"),
            dcc.Dropdown(id="missing-source-dropdown", options=sources, value=sources[0] if sources else None,
                         clearable=False),
            html.P("Colour and group by"),
            dcc.Dropdown(id="missing-phenotype-dropdown", options=phenotypes, value=chosen,
                         placeholder="All samples"),
            dcc.Graph(id="missing-imputed-fig", figure=placeholder_figure(FIGURE_HEIGHT), **graph),
        ]),
        html.Div(className="eight columns", children=[
            dcc.Loading(dcc.Graph(id="missing-identified-fig", figure=placeholder_figure(FIGURE_HEIGHT), **graph)),
            dcc.Graph(id="missing-pattern-fig", figure=placeholder_figure(FIGURE_HEIGHT), **graph),
        ]),
    ])


def add_missing_card(app, layout, my_paths: dict) -> None:
    """Places the card after the QC card and registers its callback (the front door's one call)."""
    my_path = MyPath(my_paths)
    info = read_info_file(my_path.get_meta_path())
    place_after(app.layout, "qc-card", html.Br(),
                missing_card(list(my_path.sources()), batch_phenotypes(info), layout.default_phenotype))

    @app.callback(Output("missing-identified-fig", "figure"), Output("missing-pattern-fig", "figure"),
                  Output("missing-imputed-fig", "figure"),
                  Input("missing-source-dropdown", "value"), Input("missing-phenotype-dropdown", "value"))
    def _draw(source, phenotype):
        if not source:
            return (placeholder_figure(FIGURE_HEIGHT),) * 3
        source = my_path.check_source(source)
        # A reload with the same files and phenotype gets the figures drawn before.
        inputs = [results.file_state(path) for path in (my_path.get_expr_path(source), my_path.get_meta_path(),
                                                        ensure_preprocessed(my_path, source))]
        return results.kept_figure("missing", [*inputs, source, phenotype, limits.get("figure_samples")],
                                   lambda: missing_figures(my_path, source, phenotype))
