"""Survival tables, Kaplan-Meier curves and log-rank p-values."""



def info() -> None:
    """Prints which library does the survival analysis."""

def list2str(mylist: object | None, mode: object | None = None, sep: object | None = ',') -> object:
    """
    Joins a list with `sep`: mode "num" formats numbers with four decimals, mode "bool" writes True/False, any other mode joins the strings as they are.
    """

def str2arr(mystr: object | None, sep: object | None = ',', dtype: object | None = float) -> object:
    """
    Splits text on the pattern `sep` into a numpy array of `dtype` (for bool: True exactly where the piece is "True").
    """

def get_durations_and_events(data: object | None, status_col: object | None, group_col: object | None, id_col: object | None = 'Sample_ID', d1_col: object | None = 'Days between date collection and last contact', d2_col: object | None = 'Days between date collection and death', status1: object | None = 'Living', status2: object | None = 'Deceased') -> object:
    """
    Per-group survival table (group, duration in months, event, samples; comma-joined) of a clinical table, groups in the order first met.
    """

def kmf_plot(data: object | None, **kwargs) -> dict:
    """
    Kaplan-Meier curve of each group of a survival table on one matplotlib axes, annotated with the pairwise log-rank p-values. Keywords: ci_show (False), xlabel.
    """

def cal_kmf_pvals(data: object | None, **kwargs) -> dict:
    """
    The pairwise log-rank p-values of a survival table's groups, without drawing.
    """
