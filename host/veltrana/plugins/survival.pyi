"""Survival tables, Kaplan-Meier curves and log-rank p-values."""

from collections.abc import Iterable

import numpy
import numpy.typing
import pandas


def info() -> None:
    """Prints which library does the survival analysis."""

def list2str(mylist: Iterable[object], mode: str | None = None, sep: str = ',') -> str:
    """
    Joins a list with `sep`: mode "num" formats numbers with four decimals, mode "bool" writes True/False, any other mode joins the strings as they are.
    """

def str2arr(mystr: str, sep: str = ',', dtype: numpy.typing.DTypeLike = float) -> numpy.ndarray:
    """
    Splits text on the pattern `sep` into a numpy array of `dtype` (for bool: True exactly where the piece is "True").
    """

def get_durations_and_events(data: pandas.DataFrame, status_col: str, group_col: str, id_col: str = 'Sample_ID', d1_col: str = 'Days between date collection and last contact', d2_col: str = 'Days between date collection and death', status1: str = 'Living', status2: str = 'Deceased') -> pandas.DataFrame:
    """
    Per-group survival table (group, duration in months, event, samples; comma-joined) of a clinical table, groups in the order first met.
    """

def kmf_plot(data: pandas.DataFrame, **kwargs: object) -> dict[str, object]:
    """
    Kaplan-Meier curve of each group of a survival table on one matplotlib axes, annotated with the pairwise log-rank p-values. Keywords: ci_show (False), xlabel.
    """

def cal_kmf_pvals(data: pandas.DataFrame, **kwargs: object) -> dict[str, object]:
    """
    The pairwise log-rank p-values of a survival table's groups, without drawing.
    """
