"""The data summary card: what the dashboard serves and what it left out, in plain tables.

The front door's page places it right after the store card of `build_layout()`'s page.
"""

from __future__ import annotations

import os

from dash import html

from veltrana.study import Report, left_out, sample_table_lines

_CELL = {"padding": "2px 12px 2px 0", "textAlign": "left", "verticalAlign": "top"}


def _table(table_id: str, header: list[str], rows: list[list]) -> html.Table:
    return html.Table(id=table_id, style={"borderCollapse": "collapse", "marginBottom": "8px"}, children=[
        html.Thead(html.Tr([html.Th(h, style=_CELL) for h in header])),
        html.Tbody([html.Tr([html.Td(str(v), style=_CELL) for v in row]) for row in rows]),
    ])


def summary_card(report: Report) -> html.Div:
    """The card of one reconciled study."""
    sources = [[s.name, os.path.basename(s.path), s.note or "values as written", s.features, len(s.samples),
                f"{100 * s.missing_share:.1f} %", len(s.only_in_matrix) + len(s.only_in_table) + len(s.no_value)]
               for s in report.sources]  # left out: not in the table, not in the matrix, or without any value
    children = [
        html.Hr(),
        html.H5("Data summary"),
        html.P(f"Sample table {os.path.basename(report.info_path)}: {report.table_samples} samples, "
               f"{len(report.phenotypes)} phenotypes.", id="data-summary-info"),
        html.Ul([html.Li(line[0].upper() + line[1:]) for line in sample_table_lines(report)],
                id="data-summary-sample-table"),
        _table("data-summary-sources", ["Source", "File", "Read as", "Features", "Samples used", "Missing values",
                                        "Samples left out"], sources),
    ]
    notes = [html.Li(f"{s.name}: {line}") for s in report.sources for line in left_out(s)]
    children.append(html.Div(id="data-summary-left-out", children=[
        html.P("Left out, because the id is in only one of the matrix and the sample table:"), html.Ul(notes),
    ] if notes else [html.P("Every sample of each matrix is in the sample table, and the other way round.")]))
    if report.empty_cells:
        children += [
            html.P(f"Samples with no value for a phenotype (of the {report.used_samples} used); they belong to "
                   "no group of that phenotype:"),
            _table("data-summary-phenotypes", ["Phenotype", "Samples with no value"],
                   [[p, n] for p, n in report.empty_cells.items()]),
        ]
    return html.Div(id="data-summary-card", children=children)
