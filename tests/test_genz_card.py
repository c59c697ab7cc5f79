"""The glycosylation-enzymes card: pickers, figures and where it is (not) placed."""

from support import ids_in
from veltrana.plugins import layout


def is_placeholder(figure, height):
    lay = figure.layout
    return (list(figure.data) == [] and lay.height == height and lay.paper_bgcolor == "LightSteelBlue"
            and (lay.margin.l, lay.margin.r, lay.margin.t, lay.margin.b) == (20, 20, 20, 20))


def assert_framed_figure(part, topic):
    """`part` holds a circle spinner for `topic` and a bordered frame with its placeholder figure."""
    spinner, frame = part.children
    assert (spinner.id, spinner.type, spinner.children.id) == (
        f"loading-{topic}", "circle", f"loading-output-{topic}")
    assert frame.style == {"border": "2px black solid"}
    [figure] = frame.children
    assert figure.id == f"{topic}-figure" and is_placeholder(figure.figure, 500)


def test_control_card_pickers_in_order():
    card = layout.build_genz_control_card()
    assert getattr(card, "id", None) is None and getattr(card, "className", None) is None
    kinds = [type(c).__name__ for c in card.children]
    assert kinds == ["H5", "P", "Dropdown", "Br", "P", "Dropdown", "Br", "Dropdown", "Br"]
    texts = [c.children for c in card.children if type(c).__name__ in ("H5", "P")]
    assert texts == ["Glycosylation Enzymes Analysis", "Select data source", "Select samples by phenotype"]
    pickers = [c for c in card.children if type(c).__name__ == "Dropdown"]
    assert [p.id for p in pickers] == ["genz-source-dropdown", "genz-phenotype-dropdown",
                                       "genz-phenotype-groups-dropdown"]
    assert all(p.options == [] and p.value == "NA" for p in pickers)
    assert [getattr(p, "multi", None) for p in pickers] == [None, None, True]


def test_figure_card_rows():
    card = layout.build_genz_figure_card()
    assert card.className == "row" and getattr(card, "id", None) is None
    first, br, second = card.children
    assert type(br).__name__ == "Br"

    assert first.className == "row"
    left, right = first.children
    assert left.className == right.className == "six columns"
    assert getattr(right, "children", None) is None
    assert_framed_figure(left, "genz-pathways")

    assert second.className == "row"
    assert_framed_figure(second, "genz-corr-cluster")


def test_card_halves_and_ids():
    card = layout.build_genz_card()
    assert (card.id, card.className) == ("genz-card", "row")
    control, figures = card.children
    assert control.className == "four columns" and figures.className == "eight columns"
    assert ids_in(control.children[0]) == ids_in(layout.build_genz_control_card())
    assert ids_in(figures.children[0]) == ids_in(layout.build_genz_figure_card())
    found = ids_in(card)
    assert len(found) == len(set(found)) == 10
    # each call builds new components
    assert layout.build_genz_card() is not card
    assert layout.build_genz_card().children[0].children[0] is not control.children[0]


def test_card_is_not_on_the_page(demo_paths):
    page_ids = set(ids_in(layout.build_layout(demo_paths)))
    assert "store-card" in page_ids
    assert not page_ids & set(ids_in(layout.build_genz_card()))
