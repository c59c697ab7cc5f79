"""ROC figure: curve, chance diagonal and the AUC title."""

import re

import numpy as np
import pytest

from veltrana.plugins import plotweave


@pytest.mark.parametrize("auc, title", [(0.8765, "AUC:0.88"), (1, "AUC:1.00"), (np.float64(0.5), "AUC:0.50")])
def test_roc_title_shows_auc_with_two_decimals(auc, title):
    assert plotweave.roc_plot([0, 1], [0, 1], auc).layout.title.text == title


def test_roc_curve_from_stored_rates_and_the_diagonal():
    # The association card stores the rates as comma-joined text.
    fpr = np.array(re.split(",", "0,0.1,0.4,1"), dtype=float)
    tpr = np.array(re.split(",", "0,0.6,0.9,1"), dtype=float)
    fig = plotweave.roc_plot(fpr=fpr, tpr=tpr, auc=0.81, figure_height=420)
    curve, chance = fig.data
    assert [t.name for t in fig.data] == ["ROC", "ROC"]
    assert (list(curve.x), list(curve.y)) == ([0, 0.1, 0.4, 1], [0, 0.6, 0.9, 1])
    assert curve.marker.color == "firebrick"
    assert (list(chance.x), list(chance.y), chance.line.dash) == ([0, 1], [0, 1], "dash")
    lay = fig.layout
    assert (lay.height, lay.showlegend, lay.margin.t) == (420, False, 50)
    assert (lay.xaxis.title.text, lay.yaxis.title.text) == ("False positive rate", "True positive rate")
    assert lay.xaxis.range is None  # automatic ranges
    assert plotweave.roc_plot(fpr, tpr, 0.81).layout.height == 500


def test_roc_auc_that_is_not_a_number_raises():
    with pytest.raises(ValueError):
        plotweave.roc_plot([0, 1], [0, 1], "high")
