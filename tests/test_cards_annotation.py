"""The annotation card: tree, callbacks and the host's annotation tables."""

import os

import pytest
from dash import dash_table

from support import by_id, callback, children, kinds, make_app
from veltrana.plugins import callbacks, layout

SOURCES = [{"label": "Protein", "value": "Protein"}, {"label": "Glycoform", "value": "Glycoform"}]
PLAIN_COLUMN = {"deletable": False, "selectable": False}


@pytest.fixture(autouse=True)
def configured_paths(fresh_paths):
    callbacks.MyPath(fresh_paths)


def test_annotation_card_tree():
    row = layout.build_annotation_card()
    assert (row.id, row.className) == ("annotation-card", "row")
    control, table_card = children(row)
    assert (control.id, control.className) == ("annotation-control-card", "four columns")
    assert kinds(control) == ["H5", "P", "Dropdown", "Br", "Br", "Loading"]
    picker = by_id(control, "annotation-source-dropdown")
    assert (picker.options, picker.value) == ([], "NA")
    assert by_id(control, "loading-annotation-table").children.id == "loading-output-annotation-table"
    # The table card's id reads "association": pages address it by that name.
    assert (table_card.id, table_card.className) == ("association-table-card", "eight columns")
    caption, table = children(table_card)
    assert caption.children == "Identification table" and isinstance(table, dash_table.DataTable)
    assert table.id == "annotation-id-datatable"
    assert table.columns == [{"name": c, "id": c, **PLAIN_COLUMN} for c in ("Gene", "ProteinName")]
    assert len(table.data) == 14 and table.data[:3] == [{"Gene": "G1", "ProteinName": "P1"},
                                                        {"Gene": "G2", "ProteinName": "P2"},
                                                        {"Gene": "G1", "ProteinName": "P1"}]
    assert (table.page_size, table.page_current, table.page_action) == (10, 0, "native")
    assert (table.row_selectable, table.selected_rows, table.editable, table.row_deletable) == (
        "single", [], False, False)
    assert (table.filter_action, table.sort_action, table.sort_mode) == ("native", "native", "multi")
    assert table.style_cell == {"whiteSpace": "normal", "height": "auto"}


def test_host_placeholder_table_matches_the_card():
    table = by_id(layout.build_annotation_card(), "annotation-id-datatable")
    assert callbacks.build_default_table() == (table.data, table.columns)


def test_source_picker_mirrors_the_preprocessing_list(fresh_paths):
    mirror = callback(make_app(fresh_paths), "annotation-source-dropdown.options")
    assert mirror(SOURCES) == (SOURCES, "Protein")
    assert mirror([]) == ([], None)
    with pytest.raises(TypeError):  # a list of None is a fault upstream, not an empty list
        mirror(None)


def test_table_only_for_a_listed_source(fresh_paths, monkeypatch):
    fill = callback(make_app(fresh_paths), "annotation-id-datatable.data")
    monkeypatch.setattr(callbacks, "update_annotation_table", lambda s, p: (["rows of " + s], ["cols"]))
    monkeypatch.setattr(callbacks, "build_default_table", lambda: (["default"], ["cols"]))
    assert fill("Glycoform", SOURCES, fresh_paths) == (["rows of Glycoform"], ["cols"], "")
    assert fill("Lipid", SOURCES, fresh_paths) == (["default"], ["cols"], "")
    assert fill("Protein", [], fresh_paths) == (["default"], ["cols"], "")
    with pytest.raises(TypeError):
        fill("Protein", None, fresh_paths)
    monkeypatch.setattr(callbacks, "build_default_table", lambda: (["rows"], ["cols"], "extra"))
    with pytest.raises(ValueError, match="build_default_table"):
        fill("Lipid", SOURCES, fresh_paths)


def test_annotation_from_the_configured_file(fresh_paths):
    rows, columns = callbacks.update_annotation_table("Glycoform", fresh_paths)
    assert [c["id"] for c in columns] == ["Feature", "Gene", "Protein"]
    assert all(c["deletable"] is False and c["selectable"] is False for c in columns)
    raw = callbacks.read_raw_expression(fresh_paths["expression"]["Glycoform"])
    assert [r["Feature"] for r in rows] == list(raw.columns)
    assert all(r["Feature"].startswith(r["Gene"] + "_") for r in rows)


def test_annotation_derived_from_feature_ids_without_a_file(fresh_paths):
    paths = {k: v for k, v in fresh_paths.items() if k != "annotation"}
    callbacks.MyPath(paths)
    rows, columns = callbacks.update_annotation_table("Glycoform", paths)
    assert [c["id"] for c in columns] == ["Feature", "Gene"]
    assert rows[0]["Gene"] == rows[0]["Feature"].split("_")[0]
    os.remove(fresh_paths["annotation"]["Protein"])  # configured but gone: derived as well
    rows, columns = callbacks.update_annotation_table("Protein", fresh_paths)
    assert [c["id"] for c in columns] == ["Feature", "Gene"] and len(rows) == 200


def test_annotation_refuses_unknown_sources_and_forged_paths(fresh_paths):
    with pytest.raises(ValueError, match="unknown data source"):
        callbacks.update_annotation_table("../../etc", fresh_paths)
    forged = dict(fresh_paths, annotation={"Protein": "/etc/passwd"})
    with pytest.raises(ValueError, match="configuration"):
        callbacks.update_annotation_table("Protein", forged)


def test_callbacks_of_an_earlier_app_survive_a_later_one(fresh_paths):
    # Registering same-named callbacks again must not replace or free the earlier ones.
    first = callback(make_app(fresh_paths), "annotation-source-dropdown.options")
    second = callback(make_app(fresh_paths), "annotation-source-dropdown.options")
    assert first is not second and first.__qualname__ == "update_annotation_control"
    assert first(SOURCES) == second(SOURCES) == (SOURCES, "Protein")
