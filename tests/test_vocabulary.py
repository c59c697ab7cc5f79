"""The host's shared pieces, and the plotly internals the figures rely on."""

import dash
import pytest
from plotly.subplots import make_subplots

from veltrana.plugins import callbacks, layout, plotweave, vocabulary
from veltrana.cards import failures


def test_placeholder_is_the_one_the_native_modules_draw():
    for height in (500, 321):
        host = vocabulary.placeholder_figure(height)
        assert host == plotweave.build_default_fig(height) == layout.build_default_fig(height=height)
    assert callbacks.build_default_fig is vocabulary.placeholder_figure
    # A failure is the placeholder with a title: same paper and side margins.
    told = failures.message_figure("the FDR threshold must lie in (0, 1]")
    assert told.layout.paper_bgcolor == vocabulary.PLACEHOLDER_PAPER and told.data == ()
    assert (told.layout.margin.l, told.layout.margin.r, told.layout.margin.b) == (20, 20, 20)
    assert told.layout.title.text.startswith("Not run: the FDR") and told.layout.margin.t == 40


@pytest.mark.parametrize("value, expected", [
    (None, []), ("", []), (float("nan"), []), ("Protein", ["Protein"]), (["Protein", "Glycoform"],
     ["Protein", "Glycoform"]), (("a",), ["a"]), ([], []),
])
def test_selected_values_of_a_multi_choice_dropdown(value, expected):
    assert vocabulary.selected(value) == expected


def test_blank_is_none_or_empty_text_only():
    assert vocabulary.is_blank(None) and vocabulary.is_blank("")
    assert not any(vocabulary.is_blank(v) for v in (0, [], " ", "x", False))


def test_plotly_and_dash_still_have_the_internals_used():
    # plotweave's correlation matrix builds the subplot grid itself and then leaves what
    # make_subplots leaves; the failure handler sets Dash's error hook.
    from plotly._subplots import SubplotRef

    fig = make_subplots(rows=2, cols=2)
    assert isinstance(fig._grid_ref[0][0][0], SubplotRef) and isinstance(fig._grid_str, str)
    assert fig._validate is True and fig.layout._validate is True
    assert hasattr(dash.Dash(__name__), "_on_error")
