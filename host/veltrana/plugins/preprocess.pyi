"""
Expression-matrix preprocessing: transform, norm, noise_filter, impute.
"""

from collections.abc import Mapping

import pandas


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

def impute(data_df: pandas.DataFrame, method: str) -> pandas.DataFrame:
    """
    Missing values replaced by the smallest present value of the frame ("GlobalMin"), of their sample ("SampleMin") or of their feature ("FeatureMin"); a sample or feature without any value stays missing, and columns without any value take no part in the global minimum. Any other method returns data_df itself.
    """

def preprocess(data_df: pandas.DataFrame, settings: Mapping[str, object]) -> pandas.DataFrame:
    """
    transform, norm, noise_filter and impute in that order, with settings["Transformation"], ["Normalization"], ["Filter"] and ["Imputation"]; the caller's frame is never altered.
    """
