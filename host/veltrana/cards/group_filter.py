"""The per-group missing-value rule of the preprocessing card, beside its described ratio.

"Keep features with at least N values in at least one group of <phenotype>": the rule labs use when
a protein is measured in one condition and absent from the other, which a ratio over all samples
would drop. It takes the ratio's place. Its controls stand right after the card's ratio input; its
own button runs the card's preprocessing with the other described settings and the rule, which is
stored with them (the described "Refresh" applies the ratio). Picking a source shows its stored rule.
"""

from __future__ import annotations

import numbers

from dash import Input, Output, State, dcc, html

from veltrana.plugins.paths import MyPath, configured
from veltrana.plugins.vocabulary import insert_after
from veltrana.plugins.tables import read_info_file
from veltrana.analyses.batches import batch_phenotypes
from veltrana.analyses.matrices import GROUP_FILTER, load_settings
from veltrana.analyses.preprocessing import update_preprocess_figure

ANCHOR = "preprocess-max-miss-ratio-input"


def group_rule(min_valid, phenotype, phenotypes: list[str]) -> dict:
    """The rule from the card's two controls; ValueError naming a value the card does not offer."""
    if phenotype not in phenotypes:
        raise ValueError(f"choose a categorical phenotype of the sample table for the group rule, got {phenotype!r}")
    if isinstance(min_valid, bool) or not isinstance(min_valid, numbers.Real) or min_valid != int(min_valid) \
            or not 1 <= min_valid <= 10_000:
        raise ValueError(f"the values a group must have is a whole number of at least 1, got {min_valid!r}")
    return {"Phenotype": phenotype, "MinValid": int(min_valid)}


def controls(phenotypes: list[str]) -> html.Div:
    return html.Div(id="preprocess-group-filter", children=[
        html.P("3b. Or, instead of the ratio, keep features with at least"),
        dcc.Input(id="preprocess-group-min-input", type="number", min=1, step=1, value=3,
                  style={"width": "70px", "marginRight": "6px"}),
        html.Span("values in a group of"),
        dcc.Dropdown(id="preprocess-group-phenotype-dropdown", options=phenotypes,
                     value=phenotypes[0] if phenotypes else None, clearable=False),
        html.Button("Refresh with the group rule", id="preprocess-group-run-button", n_clicks=0),
    ])


def add_group_filter(app, my_paths: dict) -> None:
    """Places the controls after the card's ratio input and registers their callbacks."""
    my_path = MyPath(my_paths)
    phenotypes = batch_phenotypes(read_info_file(my_path.get_meta_path()))
    if not insert_after(app.layout, ANCHOR, controls(phenotypes)):
        raise LookupError(f"the page has no {ANCHOR} to put the group rule beside")

    @app.callback(Output("preprocess-figure", "figure", allow_duplicate=True),
                  Input("preprocess-group-run-button", "n_clicks"),
                  State("Paths", "data"), State("preprocess-source-dropdown", "value"),
                  State("preprocess-transform-dropdown", "value"), State("preprocess-max-miss-ratio-input", "value"),
                  State("preprocess-normalization-dropdown", "value"),
                  State("preprocess-imputation-dropdown", "value"),
                  State("preprocess-group-min-input", "value"), State("preprocess-group-phenotype-dropdown", "value"),
                  prevent_initial_call=True)
    def _run(_, paths, source, p_trans, p_miss, p_norm, p_impute, min_valid, phenotype):
        rule = group_rule(min_valid, phenotype, phenotypes)
        return update_preprocess_figure(paths, source, p_trans, p_miss, p_norm, p_impute, rule)

    @app.callback(Output("preprocess-group-min-input", "value"),
                  Output("preprocess-group-phenotype-dropdown", "value"),
                  Input("preprocess-source-dropdown", "value"), State("Paths", "data"),
                  State("preprocess-group-phenotype-dropdown", "value"), prevent_initial_call=True)
    def _stored(source, paths, current):
        rule = load_settings(configured(paths), configured(paths).check_source(source)).get(GROUP_FILTER)
        return (rule["MinValid"], rule["Phenotype"]) if rule else (3, current)
