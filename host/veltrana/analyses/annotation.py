"""Host services of the annotation card: the feature annotation of a source and the
placeholder table."""

from __future__ import annotations

import os

import pandas as pd

from veltrana.study import instruments
from veltrana.plugins.paths import configured
from veltrana.plugins.tables import read_feature_ids, read_table
from veltrana.plugins.vocabulary import gene_of

__all__ = ["update_annotation_table", "build_default_table"]


def _columns(frame: pd.DataFrame) -> list:
    return [{"name": str(c), "id": str(c), "deletable": False, "selectable": False} for c in frame.columns]


def _records(frame: pd.DataFrame) -> list:
    # Missing cells travel as empty text: the page's table shows them blank.
    return frame.astype(object).where(frame.notna(), "").to_dict("records")


def annotation_frame(my_path, source) -> pd.DataFrame:
    """The configured annotation table of `source`, the gene and protein names its instrument's table
    holds, or one derived from its feature ids."""
    path = my_path.get_annotation_path(source)
    expression = my_path.get_expr_path(source)
    if path and os.path.exists(path):
        frame = read_table(path).reset_index()
    elif instruments.kind(expression) is not None and instruments.read(expression).annotation is not None:
        frame = instruments.read(expression).annotation.copy()
    else:
        features = read_feature_ids(expression)
        frame = pd.DataFrame({"Feature": features, "Gene": [gene_of(f) for f in features]})
    frame.columns = [str(c) for c in frame.columns]
    return frame


def update_annotation_table(source, paths):
    """(row records, column descriptions) of the annotation of `source`."""
    my_path = configured(paths)
    frame = annotation_frame(my_path, my_path.check_source(source))
    return _records(frame), _columns(frame)


def build_default_table():
    """(row records, column descriptions) of the placeholder: 14 rows alternating G1/P1 and G2/P2."""
    frame = pd.DataFrame([["G1", "P1"] if i % 2 == 0 else ["G2", "P2"] for i in range(14)],
                         columns=["Gene", "ProteinName"])
    return frame.to_dict("records"), _columns(frame)
