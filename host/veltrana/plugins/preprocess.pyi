"""
Expression-matrix preprocessing: transform, norm, noise_filter, impute.
"""

from collections.abc import Mapping, Sequence

import numpy
import numpy.typing
import pandas


def parse_numeric_rows(data: bytes, skip: int, rows: int, cols: int, sep: str) -> numpy.typing.NDArray[numpy.float64] | None:
    """
    The rows x cols values of a delimited text matrix: the first `rows` non-blank lines after the first `skip` lines of `data`, each after its first (id) field. Cells are plain decimal numbers (correctly rounded) or missing-value tokens (NaN); None when any cell is anything else or a line has another number of fields. Runs without the GIL.
    """

def parse_numeric_columns(data: bytes, skip: int, rows: int, cols: int, sep: str) -> tuple[numpy.typing.NDArray[numpy.float64], numpy.typing.NDArray[numpy.bool_]] | None:
    """
    (values, text): the matrix of parse_numeric_rows, where a column holding a cell that is neither a plain number nor a missing-value token is marked in `text` (its cells NaN) instead of giving up; None when a line has another number of fields. Runs without the GIL.
    """

def group_rank_sums(a: numpy.typing.NDArray[numpy.float64], b: numpy.typing.NDArray[numpy.float64]) -> tuple[numpy.typing.NDArray[numpy.float64], numpy.typing.NDArray[numpy.float64], numpy.typing.NDArray[numpy.float64], numpy.typing.NDArray[numpy.float64]]:
    """
    Per column of `a` and `b` (samples by features, NaN for missing, any memory order): the sum of the average ranks of a's values among the values of both, the tie term sum(t^3 - t), and the numbers of values of a and of b. Runs without the GIL.
    """

def signed_rank_sums(a: numpy.typing.NDArray[numpy.float64], b: numpy.typing.NDArray[numpy.float64]) -> tuple[numpy.typing.NDArray[numpy.float64], numpy.typing.NDArray[numpy.float64], numpy.typing.NDArray[numpy.float64], numpy.typing.NDArray[numpy.float64], numpy.typing.NDArray[numpy.float64]]:
    """
    Per column of the differences a - b (rows paired by position; pairs with a missing value left out): the sum of the average ranks of the positive differences among the absolute differences that are not 0, the tie term sum(t^3 - t) of those, their number, the number of pairs, and the number of zero differences. Runs without the GIL.
    """

def roc_counts(scores: numpy.typing.NDArray[numpy.float64], factors: numpy.typing.NDArray[numpy.float64], outcome: numpy.typing.NDArray[numpy.int64]) -> tuple[numpy.typing.NDArray[numpy.int32], numpy.typing.NDArray[numpy.int32], numpy.typing.NDArray[numpy.int64]]:
    """
    (fps, tps, start): the ROC curve of each row of `scores` times its factor (C-contiguous, NaN for missing; the highest-ranked score the lowest) against `outcome` (0 or 1 per column), as counts of false and true positives: a point per distinct score after all samples of that score, only the corners kept, each curve starting at (0, 0). The curves lie end to end; curve k is [start[k], start[k + 1]). Runs without the GIL.
    """

def rate_texts(counts: numpy.typing.NDArray[numpy.int32], totals: numpy.typing.NDArray[numpy.int64], start: numpy.typing.NDArray[numpy.int64]) -> list[str]:
    """
    For each curve k, ",".join(repr(c / totals[k]) for c in counts[start[k]:start[k + 1]]): the texts Python writes for those doubles. Runs without the GIL.
    """

def roc_areas(fps: numpy.typing.NDArray[numpy.int32], tps: numpy.typing.NDArray[numpy.int32], start: numpy.typing.NDArray[numpy.int64], negatives: numpy.typing.NDArray[numpy.int64], positives: numpy.typing.NDArray[numpy.int64]) -> numpy.typing.NDArray[numpy.float64]:
    """
    np.trapezoid(tpr, fpr) of each curve of roc_counts (rates fps / negatives and tps / positives), to the bit. Runs without the GIL.
    """

def write_roc_table(path: str, features: Sequence[str], fps: numpy.typing.NDArray[numpy.int32], tps: numpy.typing.NDArray[numpy.int32], start: numpy.typing.NDArray[numpy.int64], negatives: numpy.typing.NDArray[numpy.int64], positives: numpy.typing.NDArray[numpy.int64], auc: numpy.typing.NDArray[numpy.float64]) -> numpy.typing.NDArray[numpy.int64]:
    """
    Writes the ROC table of the curves of roc_counts to `path`, byte for byte as the host writes its frame: a header line of an empty index name and the columns Feature, FPR, TPR and AUC, then per curve k the line of k, features[k], rate_texts of fps / negatives and of tps / positives, and repr(auc[k]), tab-separated. The features must need no quoting (no tab, line break or double quote). Returns the offset in the file of each curve's line, and the file's size last. Formats on the threads without the GIL.
    """

def orientation_sums(rows: numpy.typing.NDArray[numpy.float64], outcome: numpy.typing.NDArray[numpy.float64]) -> tuple[numpy.typing.NDArray[numpy.float64], numpy.typing.NDArray[numpy.float64], numpy.typing.NDArray[numpy.float64]]:
    """
    (sum x * outcome, sum x, sum |x|) of each row of `rows` (C-contiguous) over its present values (NaN for missing), summed in order. Runs without the GIL.
    """

def pearson_rows(rows: numpy.typing.NDArray[numpy.float64], y: numpy.typing.NDArray[numpy.float64]) -> tuple[numpy.typing.NDArray[numpy.float64], numpy.typing.NDArray[numpy.int64]]:
    """
    (r, pairs): for each row of `rows` (C-contiguous, NaN for missing), sxy / sqrt(sxx * syy) of its complete pairs with `y` (deviations from the means over those pairs, summed pairwise as numpy sums a contiguous row; no clipping, NaN where the sums give it) and the number of pairs. Runs without the GIL.
    """

def column_medians(x: numpy.typing.NDArray[numpy.float64]) -> numpy.typing.NDArray[numpy.float64]:
    """
    numpy.nanmedian(x, axis=0): the median of each column over its present values (the mean of the middle two for an even count), NaN for a column without values. Runs without the GIL.
    """

def column_moments(x: numpy.typing.NDArray[numpy.float64]) -> tuple[numpy.typing.NDArray[numpy.float64], numpy.typing.NDArray[numpy.float64], numpy.typing.NDArray[numpy.float64]]:
    """
    (n, mean, var) of each column of `x` (any memory order, NaN for missing) over its present values: their number (as floats), nansum / n (NaN without values) and the nansum of squared deviations / (n - 1), each column summed as numpy sums a contiguous run (pairwise). Runs without the GIL.
    """

def row_box_stats(x: numpy.typing.NDArray[numpy.float64]) -> tuple[numpy.typing.NDArray[numpy.float64], numpy.typing.NDArray[numpy.float64], numpy.typing.NDArray[numpy.float64], numpy.typing.NDArray[numpy.float64], numpy.typing.NDArray[numpy.float64]]:
    """
    (q1, median, q3, lowerfence, upperfence) of each row of `x` (any memory order, NaN for missing) over its present values: numpy.nanpercentile's quartiles, and the lowest and highest values within 1.5 IQR of the box (the row's extremes when none is); NaN for a row without values. Runs without the GIL.
    """

def ward_linkage(distances: numpy.typing.NDArray[numpy.float64]) -> numpy.typing.NDArray[numpy.float64]:
    """
    The linkage matrix of Ward's clustering of the condensed `distances` (float64, C-contiguous, finite), equal to scipy's linkage(distances, 'ward') to the bit. Overwrites `distances`. Runs without the GIL.
    """

def transform(data_df: pandas.DataFrame, method: str) -> pandas.DataFrame:
    """
    Base-2 logarithm of every value for "Log2"; any other method returns data_df itself.
    """

def norm(data_df: pandas.DataFrame, method: str) -> pandas.DataFrame:
    """
    Each sample (row) minus its median over the present values for "MedianNorm"; any other method returns data_df itself.
    """

def noise_filter(data_df: pandas.DataFrame, miss_ratio: float | str) -> pandas.DataFrame:
    """
    A new frame of the features (columns) whose share of missing values is at most miss_ratio percent (a number or numeric text).
    """

def impute(data_df: pandas.DataFrame, method: str, k: int = 5, shift: float = 1.8, width: float = 0.3, seed: int = 20260101) -> pandas.DataFrame:
    """
    Missing values replaced by the smallest present value of the frame ("GlobalMin"), of their sample ("SampleMin") or of their feature ("FeatureMin"); a sample or feature without any value stays missing, and columns without any value take no part in the global minimum.

    "KNN": the mean of the feature over the k samples nearest to the sample among those that have it, distances being the root mean square difference over the features both samples have (ties to the earlier sample; no shared feature, no neighbour; no neighbour with the feature, still missing). Samples are the neighbours: a cohort has far fewer samples than features, so the distances are cheap and each rests on thousands of shared values.

    "DownshiftedNormal": draws from a normal distribution per sample, its mean the sample's mean minus shift standard deviations and its sd width of them (sd with n - 1; samples with fewer than two values keep their missing values); std::mt19937_64 seeded with seed and Box-Muller, samples in row order, so a rerun gives the same matrix.

    The last two give float64 columns. Any other method returns data_df itself.
    """

def preprocess(data_df: pandas.DataFrame, settings: Mapping[str, object]) -> pandas.DataFrame:
    """
    transform, norm, noise_filter and impute in that order, with settings["Transformation"], ["Normalization"], ["Filter"] and ["Imputation"] (and impute's k, shift, width and seed from settings["ImputationNeighbours"], ["ImputationShift"], ["ImputationWidth"] and ["ImputationSeed"] when given); the caller's frame is never altered.
    """
