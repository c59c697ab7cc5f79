"""The Kaplan-Meier card: survival curves of sample groups, placed below the association card.

The groups are the values of a categorical phenotype, or the samples split by a feature's value:
high/low at the median, or the extreme thirds or quarters. A phenotype groups the samples only
when it is categorical with 2 to `survival_groups` groups (see `limits`): never one that holds
numbers, nor an id that gives each sample a group of its own (Sample_ID), whose pairwise tests
would run for minutes; the card offers no other, and refuses any other the page may send. The
pairwise log-rank tests of one figure are at most `pairs`. The survival table and the pairwise
log-rank p-values come from the native `survival` module; the curves' steps and bands from
lifelines (fitted on the same durations and events). The card stands beside the described page:
the front door places it (`place_survival_card`) and registers its callbacks
(`register_survival_card`) after `build_app`.
"""

from __future__ import annotations

import numpy as np
import pandas as pd
from dash import Input, Output, State, dcc, html
from plotly.subplots import make_subplots

from veltrana import deferred
from veltrana.serve import limits
from veltrana.plugins import survival
from veltrana.plugins.paths import MyPath
from veltrana.plugins.tables import read_info_file
from veltrana.plugins.vocabulary import AXIS_LINE, PAPER, margin, place_after, placeholder_figure
from veltrana.analyses.matrices import preprocessed_matrix

KaplanMeierFitter = deferred.name("lifelines", "KaplanMeierFitter")

SURVIVAL_COLUMNS_MISSING = ("Choose the survival columns of the sample table: the status and the day counts "
                            "(to the last contact and to death).")
# The survival module's column names and status values (its defaults).
STATUS_COLUMN = "Vital Status (at time of last contact)"
LAST_CONTACT_COLUMN = "Days between date collection and last contact"
DEATH_COLUMN = "Days between date collection and death"
ALIVE, DEAD = "Living", "Deceased"

BY_PHENOTYPE, BY_FEATURE = "Phenotype", "Feature"
SPLITS = {"Median": 2, "Tertiles": 3, "Quartiles": 4}
BANDS = "95% confidence bands"
FEATURE_CHOICES_SHOWN = 200  # a source has thousands of features; the picker lists matches only
FIGURE_HEIGHT = 560
_ID = "__sample__"  # the sample ids, as a column of the table handed to the survival module


# ---- the data ------------------------------------------------------------------------

def day_counts(info: pd.DataFrame, column: str) -> pd.Series:
    """A day-count column as numbers; text that is not a number is refused with where it is."""
    if column not in info.columns:
        raise ValueError(f"the sample table has no column {column!r}")
    raw = info[column]
    values = pd.to_numeric(raw, errors="coerce")
    bad = raw.notna() & values.isna()
    if bad.any():
        shown = ", ".join(f"{s}: {raw[s]!r}" for s in raw.index[bad][:5])
        raise ValueError(f"the column {column!r} must hold day counts; not a number: {shown}")
    return values.astype(float)


def feature_groups(values: pd.Series, split: str) -> pd.Series:
    """"Low"/"High" of each sample by a feature's value: at the median, or the lowest and
    highest of `split`'s equal parts (the middle ones belong to no group). Samples without a
    value belong to no group."""
    if split not in SPLITS:
        raise ValueError(f"unknown split {split!r}; choose one of {list(SPLITS)}")
    parts = SPLITS[split]
    known = values.dropna().astype(float)
    if known.nunique() < 2:
        raise ValueError("the feature takes fewer than two distinct values over these samples")
    low_cut, high_cut = np.quantile(known, [1 / parts, 1 - 1 / parts])
    labels = pd.Series(np.nan, index=values.index, dtype=object)
    if parts == 2:
        # at the median: ties go low, so both groups are never empty
        labels[known.index] = np.where(known > low_cut, "High", "Low")
    else:
        labels[known.index[known <= low_cut]] = "Low"
        labels[known.index[known >= high_cut]] = "High"
    return labels


def survival_table(info: pd.DataFrame, groups: pd.Series, status_col: str, last_col: str,
                   death_col: str) -> pd.DataFrame:
    """The survival module's table (group, duration in months, event, samples) of the samples
    with a group; missing groups are no group, day counts must be numbers."""
    for column in (status_col, last_col, death_col):
        if not isinstance(column, str) or column not in info.columns:
            raise ValueError(f"the sample table has no column {column!r}")
    grouped = groups.dropna().astype(str)
    grouped = grouped[grouped.index.isin(info.index)]
    order = sorted(set(grouped), key=_group_order)
    rows = info.loc[grouped.index]
    data = pd.DataFrame({
        _ID: [str(s) for s in rows.index],
        "group": grouped.to_numpy(),
        status_col: rows[status_col].to_numpy(dtype=object),
        last_col: day_counts(rows, last_col).to_numpy(),
        death_col: day_counts(rows, death_col).to_numpy(),
    })
    # the module keeps groups in the order first met: sort the rows by the order shown
    data = data.iloc[np.argsort([order.index(g) for g in data["group"]], kind="stable")]
    table = survival.get_durations_and_events(data, status_col, "group", id_col=_ID, d1_col=last_col,
                                              d2_col=death_col, status1=ALIVE, status2=DEAD)
    if table.empty:
        raise ValueError(f"no sample has a survival time: the status column {status_col!r} must hold "
                         f"{ALIVE!r} or {DEAD!r} with a day count above zero")
    return table.reset_index(drop=True)


def _group_order(group) -> tuple:
    # Low before High; other groups by their text
    return ({"Low": 0, "High": 1}.get(str(group), 2), str(group))


def curves(table: pd.DataFrame) -> dict:
    """Per group: (durations in months, events) arrays of a survival table."""
    return {row.group: (survival.str2arr(row.duration), survival.str2arr(row.event, dtype=bool))
            for row in table.itertuples()}


def bh_adjust(p: np.ndarray) -> np.ndarray:
    """Benjamini-Hochberg adjusted p-values, in the given order."""
    p = np.asarray(p, dtype=float)
    n = len(p)
    if n == 0:
        return p
    order = np.argsort(p)
    ranked = p[order] * n / np.arange(1, n + 1)
    adjusted = np.minimum.accumulate(ranked[::-1])[::-1]
    out = np.empty(n)
    out[order] = np.minimum(adjusted, 1.0)
    return out


def pairwise_pvalues(table: pd.DataFrame) -> pd.DataFrame:
    """The pairwise log-rank p-values (columns Group A, Group B, p, and p (BH) with more than
    two groups); more pairs than the `pairs` limit are refused before any test runs."""
    groups = len(table)
    pairs = groups * (groups - 1) // 2
    if pairs > limits.get("pairs"):
        raise ValueError(f"{groups} groups make {pairs:,} pairwise log-rank tests; at most {limits.get('pairs'):,} "
                         f"on this server: choose a phenotype with fewer groups, or fewer of its types")
    found = survival.cal_kmf_pvals(table)["p_values"]
    pairs = [key.split(",", 1) for key in found]
    frame = pd.DataFrame({"Group A": [a for a, _ in pairs], "Group B": [b for _, b in pairs],
                          "p": list(found.values())})
    if len(table) > 2:
        frame["p (BH)"] = bh_adjust(frame["p"].to_numpy())
    return frame


# ---- the figure ------------------------------------------------------------------------

_COLOURS = ("#1f77b4", "#d62728", "#2ca02c", "#ff7f0e", "#9467bd", "#8c564b", "#e377c2", "#17becf")


def risk_times(longest: float) -> np.ndarray:
    """Regular times from 0 to `longest`, about six of them at a round step."""
    if longest <= 0:
        return np.array([0.0])
    raw = longest / 6
    power = 10 ** np.floor(np.log10(raw))
    step = min((m * power for m in (1, 2, 2.5, 5, 10) if m * power >= raw), default=raw)
    return np.arange(0, longest + 1e-9, step)


def _rgba(colour: str, alpha: float) -> str:
    r, g, b = (int(colour[i:i + 2], 16) for i in (1, 3, 5))
    return f"rgba({r},{g},{b},{alpha})"


def kaplan_meier_figure(table: pd.DataFrame, title: str, bands: bool = False, height=FIGURE_HEIGHT):
    """Steps with censoring ticks (and 95 % bands) of each group, the number at risk below."""
    groups = curves(table)
    fig = make_subplots(rows=2, cols=1, shared_xaxes=True, row_heights=[0.8, 0.2], vertical_spacing=0.1)
    longest = max(float(d.max()) for d, _ in groups.values())
    times = risk_times(longest)
    for i, (group, (durations, events)) in enumerate(groups.items()):
        colour = _COLOURS[i % len(_COLOURS)]
        kmf = KaplanMeierFitter().fit(durations, events, label=str(group))
        x = kmf.survival_function_.index.to_numpy()
        y = kmf.survival_function_.iloc[:, 0].to_numpy()
        if bands:
            ci = kmf.confidence_interval_survival_function_
            fig.add_scatter(x=x, y=ci.iloc[:, 0], mode="lines", line={"width": 0, "shape": "hv"},
                            legendgroup=str(group), showlegend=False, hoverinfo="skip", row=1, col=1)
            fig.add_scatter(x=x, y=ci.iloc[:, 1], mode="lines", line={"width": 0, "shape": "hv"},
                            fill="tonexty", fillcolor=_rgba(colour, 0.2), legendgroup=str(group),
                            showlegend=False, hoverinfo="skip", name=f"{group} 95% CI", row=1, col=1)
        fig.add_scatter(x=x, y=y, mode="lines", line={"shape": "hv", "color": colour}, name=str(group),
                        legendgroup=str(group),
                        hovertemplate="%{x:.1f} months: %{y:.3f}<extra>" + str(group) + "</extra>", row=1, col=1)
        # One tick per time at which samples were censored (a cohort's thousands of samples share
        # their days), with how many were.
        censored, count = np.unique(durations[~events], return_counts=True)
        fig.add_scatter(x=censored, y=kmf.survival_function_at_times(censored).to_numpy(), mode="markers",
                        marker={"symbol": "line-ns-open", "size": 9, "color": colour}, legendgroup=str(group),
                        showlegend=False, name=f"{group} censored", customdata=count,
                        hovertemplate="%{customdata} censored at %{x:.1f} months<extra></extra>", row=1, col=1)
        at_risk = [(durations >= t).sum() for t in times]
        fig.add_scatter(x=times, y=[str(group)] * len(times), mode="text", text=[str(n) for n in at_risk],
                        textfont={"color": colour}, showlegend=False, hoverinfo="skip", name=f"{group} at risk",
                        row=2, col=1)
    fig.update_layout(height=height, title={"text": title, "x": 0.01}, paper_bgcolor=PAPER,
                      plot_bgcolor=PAPER, margin=margin(top=50), legend={"title": {"text": "Group"}})
    fig.update_yaxes(title_text="Survival probability", range=[0, 1.05], **AXIS_LINE, row=1, col=1)
    fig.update_yaxes(title_text="At risk", autorange="reversed", showgrid=False, row=2, col=1)
    fig.update_xaxes(**AXIS_LINE, row=1, col=1)
    fig.update_xaxes(title_text="Months", tickvals=times, showgrid=False, row=2, col=1)
    return fig


def pvalue_table(frame: pd.DataFrame):
    """The p-values as a small html table (a note when there is only one group)."""
    if frame.empty:
        return html.P("One group only: no log-rank test.")
    head = html.Tr([html.Th(c) for c in frame.columns])
    body = [html.Tr([html.Td(v if isinstance(v, str) else f"{v:.3g}") for v in row])
            for row in frame.itertuples(index=False)]
    return html.Table([head, *body], id="km-pvalue-table", style={"fontSize": "13px"})


# ---- the card --------------------------------------------------------------------------

def _picker(label, picker_id, options=(), value=None, **kw):
    return html.Div([html.P(label), dcc.Dropdown(id=picker_id, options=list(options), value=value, **kw)])


def _choices(values) -> list:
    return [{"label": str(v), "value": v} for v in values]


def categorical_phenotypes(info: pd.DataFrame) -> list[str]:
    """The text columns of the sample table (the "(Numerical" ones hold numbers); text is `object` on
    pandas 2 and `str` on pandas 3."""
    return [str(c) for c in info.columns if not pd.api.types.is_numeric_dtype(info[c])]


def grouping_refusal(info: pd.DataFrame, phenotype) -> str | None:
    """Why `phenotype` cannot group the samples of a Kaplan-Meier plot, or None when it can: it
    must be a categorical phenotype of 2 to `survival_groups` groups, and not an id (a value of
    its own for each sample)."""
    named = f"the phenotype {phenotype!r} cannot group the samples"
    if not isinstance(phenotype, str) or phenotype not in info.columns:
        return f"{named}: the sample table has no such phenotype"
    column = info[phenotype]
    if pd.api.types.is_numeric_dtype(column):
        return f"{named}: it holds numbers (split the samples by a feature instead)"
    values = column.dropna().astype(str)
    groups, most = values.nunique(), limits.get("survival_groups")
    if groups > 2 and groups == len(values):
        return f"{named}: each sample has a value of its own ({groups:,} groups of one sample)"
    if not 2 <= groups <= most:
        return f"{named}: it has {groups:,} group{'s' * (groups != 1)}; from 2 to {most} on this server"
    return None


def grouping_phenotypes(info: pd.DataFrame) -> list[str]:
    """The phenotypes the card offers to group the samples by (see `grouping_refusal`)."""
    return [c for c in categorical_phenotypes(info) if grouping_refusal(info, c) is None]


def _default(candidates, wanted):
    return wanted if wanted in candidates else (candidates[0] if candidates else None)


def _named(columns, wanted):
    """A survival column is preset only when the sample table has the survival module's name for
    it: any other column would be a guess at which one holds the day counts."""
    return wanted if wanted in columns else None


def survival_controls(info: pd.DataFrame, sources: list[str], default_phenotype=None):
    columns = [str(c) for c in info.columns]
    categorical = categorical_phenotypes(info)
    groupings = grouping_phenotypes(info)
    return html.Div(id="km-control", className="four columns", children=[
        html.H5("Survival Analysis"),
        html.P("Group samples by"),
        dcc.RadioItems(id="km-grouping-radio", options=_choices([BY_PHENOTYPE, BY_FEATURE]),
                       value=BY_PHENOTYPE, inline=True),
        _picker("Phenotype", "km-phenotype-dropdown", _choices(groupings),
                _default(groupings, default_phenotype)),
        html.Div(id="km-feature-controls", children=[
            _picker("Data source", "km-data-source-dropdown", _choices(sources), _default(sources, None)),
            _picker("Feature", "km-feature-dropdown", [], None, placeholder="Type to search features"),
            _picker("Split at", "km-split-dropdown", _choices(SPLITS), "Median", clearable=False),
        ]),
        html.Br(),
        html.P("Samples (optional)"),
        _picker("Phenotype", "km-sample-phenotype-dropdown", _choices(categorical)),
        _picker("Type(s)", "km-sample-groups-dropdown", [], [], multi=True),
        html.Br(),
        _picker("Status", "km-status-dropdown", _choices(columns), _named(columns, STATUS_COLUMN)),
        _picker("Days to last contact", "km-last-contact-dropdown", _choices(columns),
                _named(columns, LAST_CONTACT_COLUMN)),
        _picker("Days to death", "km-death-dropdown", _choices(columns), _named(columns, DEATH_COLUMN)),
        dcc.Checklist(id="km-options-checklist", options=_choices([BANDS]), value=[]),
        dcc.Loading(html.Div(id="loading-output-km"), type="dot"),
    ])


def survival_card(layout, info: pd.DataFrame, sources: list[str], default_phenotype=None):
    """The card: controls on the left, the layout module's Kaplan-Meier figure card on the right."""
    figure_card = layout.build_association_survival_card()
    return html.Div(id="km-card", className="row", children=[
        survival_controls(info, sources, default_phenotype),
        html.Div(className="eight columns", children=[figure_card]),
    ])


def place_survival_card(page, card):
    """The page with `card` right after the association card (at the end when there is none)."""
    return place_after(page, "association-card", html.Br(), card)


# ---- the callbacks ---------------------------------------------------------------------

def chosen_samples(info: pd.DataFrame, phenotype, kinds) -> pd.Index:
    """The samples of the chosen types of `phenotype` (all samples when none are chosen)."""
    if not phenotype or not kinds:
        return info.index
    if not isinstance(phenotype, str) or phenotype not in info.columns:
        raise ValueError(f"unknown phenotype {phenotype!r}")
    return info.index[info[phenotype].isin(list(kinds))]


def grouping(my_path: MyPath, info: pd.DataFrame, samples: pd.Index, mode, phenotype, source, feature,
             split) -> tuple[pd.Series, str]:
    """(group of each chosen sample, its description for the title)."""
    if mode == BY_FEATURE:
        if not feature:
            raise ValueError("choose a feature to split the samples by")
        matrix = preprocessed_matrix(my_path, my_path.check_source(source))
        if feature not in matrix.columns:
            raise ValueError(f"unknown feature {feature!r} of {source}")
        values = matrix[feature].reindex(samples)
        return feature_groups(values, split), f"{feature} ({source}), split at {split.lower()}"
    if not phenotype:
        raise ValueError("choose a phenotype to group the samples by")
    refusal = grouping_refusal(info, phenotype)
    if refusal:
        raise ValueError(refusal)
    return info.loc[samples, phenotype], phenotype


def check_group_count(groups: pd.Series, described: str) -> None:
    """Refuses a grouping of more than `survival_groups` groups."""
    count, most = groups.dropna().astype(str).nunique(), limits.get("survival_groups")
    if count > most:
        raise ValueError(f"{described} makes {count:,} groups; at most {most} on this server")


def draw(my_path: MyPath, mode, phenotype, source, feature, split, sample_phenotype, kinds, status_col,
         last_col, death_col, options):
    """(figure, p-value table) of the card's current choices."""
    info = read_info_file(my_path.get_meta_path())
    samples = chosen_samples(info, sample_phenotype, kinds)
    groups, described = grouping(my_path, info, samples, mode, phenotype, source, feature, split)
    check_group_count(groups, described)
    table = survival_table(info, groups, status_col, last_col, death_col)
    pvalues = pairwise_pvalues(table)
    n = sum(len(s.split(",")) for s in table["samples"])
    fig = kaplan_meier_figure(table, f"Kaplan-Meier: {described} ({n} samples)", bands=BANDS in (options or []))
    return fig, pvalue_table(pvalues)


def feature_options(my_path: MyPath, source, search, current) -> list:
    """The features of `source` whose name holds `search` (the first ones), the current one kept."""
    if not source:
        return []
    if search is not None and not isinstance(search, str):
        raise ValueError(f"the feature search must be text, not {search!r}")
    features = preprocessed_matrix(my_path, my_path.check_source(source)).columns.astype(str)
    if search:
        features = features[features.str.contains(search, case=False, regex=False)]
    shown = list(features[:FEATURE_CHOICES_SHOWN])
    if current and current not in shown:
        shown.insert(0, current)
    return _choices(shown)


def register_survival_card(app, my_paths: dict) -> None:
    """The card's callbacks; the described ones are left as `build_app` registered them."""
    my_path = MyPath(my_paths)

    @app.callback(Output("km-feature-controls", "style"), Output("km-phenotype-dropdown", "disabled"),
                  Input("km-grouping-radio", "value"))
    def _show_grouping(mode):
        by_feature = mode == BY_FEATURE
        return ({} if by_feature else {"display": "none"}), by_feature

    @app.callback(Output("km-feature-dropdown", "options"), Input("km-data-source-dropdown", "value"),
                  Input("km-feature-dropdown", "search_value"), State("km-feature-dropdown", "value"))
    def _features(source, search, current):
        return feature_options(my_path, source, search, current)

    @app.callback(Output("km-sample-groups-dropdown", "options"), Output("km-sample-groups-dropdown", "value"),
                  Input("km-sample-phenotype-dropdown", "value"))
    def _sample_groups(phenotype):
        info = read_info_file(my_path.get_meta_path())
        if not isinstance(phenotype, str) or phenotype not in info.columns:
            return [], []
        return _choices(sorted(set(info[phenotype].dropna()), key=str)), []

    @app.callback(Output("assoc-surv-fig", "figure"), Output("loading-output-km", "children"),
                  Input("km-grouping-radio", "value"), Input("km-phenotype-dropdown", "value"),
                  Input("km-data-source-dropdown", "value"), Input("km-feature-dropdown", "value"),
                  Input("km-split-dropdown", "value"), Input("km-sample-phenotype-dropdown", "value"),
                  Input("km-sample-groups-dropdown", "value"), Input("km-status-dropdown", "value"),
                  Input("km-last-contact-dropdown", "value"), Input("km-death-dropdown", "value"),
                  Input("km-options-checklist", "value"))
    def _draw(mode, phenotype, source, feature, split, sample_phenotype, kinds, status_col, last_col,
              death_col, options):
        if mode == BY_FEATURE and not feature:
            return placeholder_figure(FIGURE_HEIGHT), "Choose a feature to split the samples by."
        if not (status_col and last_col and death_col):
            return placeholder_figure(FIGURE_HEIGHT), SURVIVAL_COLUMNS_MISSING
        return draw(my_path, mode, phenotype, source, feature, split, sample_phenotype, kinds, status_col,
                    last_col, death_col, options)


def add_survival_card(app, layout, my_paths: dict) -> None:
    """Places the card on the app's page and registers its callbacks (the front door's one call)."""
    my_path = MyPath(my_paths)
    info = read_info_file(my_path.get_meta_path())
    card = survival_card(layout, info, my_path.sources(), getattr(layout, "default_phenotype", None))
    place_survival_card(app.layout, card)
    register_survival_card(app, my_paths)

