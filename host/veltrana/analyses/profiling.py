"""Host services of the phenotype-profiling card: the phenotype list, the distribution
of one phenotype, the table of numerical phenotypes and the correlation between them."""

from __future__ import annotations

import os

import numpy as np
import pandas as pd
import plotly.graph_objects as go

from veltrana.plugins.defaults import default_figure_height, default_phenotype
from veltrana.plugins.paths import configured
from veltrana.plugins.tables import read_info_file, read_result_path, save_result_path
from veltrana.plugins.vocabulary import PAPER, TRACE_COLOUR, is_blank, margin, options, placeholder_figure

__all__ = ["update_profile_phenotypes", "update_profile_distr", "update_numeric_phenotype_inter",
           "update_phenotype_corr_inter", "update_phenotype_corr_fig"]

NUMERICAL_TABLE = "numerical_phenotypes.txt"
CORRELATION_TABLE = "phenotype_correlation.txt"


def is_numerical(phenotype) -> bool:
    return "(Numerical" in str(phenotype)


def _info(paths) -> pd.DataFrame:
    return read_info_file(configured(paths).get_meta_path())


def _style(fig, **layout):
    fig.update_layout(margin=margin(top=40), height=default_figure_height,
                      paper_bgcolor=PAPER, plot_bgcolor=PAPER, clickmode="event+select", **layout)
    return fig


def update_profile_phenotypes(paths):
    """(one option per phenotype column, the default phenotype when present, else the first)."""
    phenotypes = [str(c) for c in _info(paths).columns]
    if default_phenotype in phenotypes:
        return options(phenotypes), default_phenotype
    return options(phenotypes), (phenotypes[0] if phenotypes else None)


def update_profile_distr(phenotype, paths):
    """Counts per category of a categorical phenotype, or the histogram of a numerical one.

    No phenotype chosen yet gives the placeholder; a name that is not a column raises ValueError."""
    info = _info(paths)
    if is_blank(phenotype):
        return placeholder_figure(default_figure_height)
    if phenotype not in info.columns:
        raise ValueError(f"unknown phenotype {phenotype!r}")
    column = info[phenotype]
    missing = int(column.isna().sum())
    title = {"font": {"size": 14}}
    if is_numerical(phenotype):
        values = pd.to_numeric(column, errors="coerce").dropna()
        fig = go.Figure(go.Histogram(x=values, nbinsx=20, marker={"color": TRACE_COLOUR,
                                                                  "line": {"color": "white", "width": 1}}))
        return _style(fig, title=dict(title, text=_counted(phenotype, len(values), missing)),
                      xaxis={"title": phenotype}, yaxis={"title": "Count"}, bargap=0.05)
    # A missing cell is no category: those samples are counted in the title only.
    counts = column.dropna().astype(str).value_counts().sort_index()
    fig = go.Figure(go.Bar(x=list(counts.index), y=counts.to_list(), text=counts.to_list(),
                           textposition="auto", marker={"color": TRACE_COLOUR}))
    return _style(fig, title=dict(title, text=_counted(phenotype, int(counts.sum()), missing)),
                  xaxis={"title": phenotype, "type": "category"}, yaxis={"title": "Samples"})


def _counted(phenotype, present: int, missing: int) -> str:
    return f"{phenotype} (n = {present}, {missing} missing)" if missing else f"{phenotype} (n = {present})"


def _numerical(info: pd.DataFrame) -> pd.DataFrame:
    columns = [c for c in info.columns if is_numerical(c)]
    return info[columns].apply(pd.to_numeric, errors="coerce")


def update_numeric_phenotype_inter(paths):
    """Writes the numerical phenotypes (samples by phenotypes) to the profile folder; returns its path."""
    my_path = configured(paths)
    table = _numerical(read_info_file(my_path.get_meta_path()))
    return save_result_path(os.path.join(my_path.get_profile_dir(), NUMERICAL_TABLE), table)


def update_phenotype_corr_inter(paths):
    """Spearman correlation between the numerical phenotypes (pairwise complete samples),
    written to the profile folder; its path, or None when fewer than two phenotypes are numerical."""
    my_path = configured(paths)
    table = _numerical(read_info_file(my_path.get_meta_path()))
    if table.shape[1] < 2:
        return None
    corr = table.corr(method="spearman", min_periods=3)
    corr.index.name = "Phenotype"
    return save_result_path(os.path.join(my_path.get_profile_dir(), CORRELATION_TABLE), corr)


def update_phenotype_corr_fig(corr_path):
    """The heatmap of a phenotype-correlation table written by update_phenotype_corr_inter."""
    corr = read_result_path(corr_path)
    labels = [str(c) for c in corr.columns]
    z = corr.to_numpy(dtype=float)
    text = np.where(np.isnan(z), "", np.vectorize(lambda v: f"{v:.2f}")(z))
    fig = go.Figure(go.Heatmap(z=z, x=labels, y=[str(i) for i in corr.index], zmin=-1, zmax=1,
                               colorscale="RdBu_r", text=text, texttemplate="%{text}",
                               colorbar={"title": "Spearman"}))
    return _style(fig, yaxis={"autorange": "reversed"}, xaxis={"tickangle": -30})
