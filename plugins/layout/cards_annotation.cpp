// The knowledge-database annotation card: a source picker and the feature
// identification table.
#include "layout.hpp"

namespace layout {
namespace {

nb::object build_annotation_control_card() {
    return html("Div")(
        "id"_a = "annotation-control-card", "className"_a = "four columns",
        "children"_a = kids(html("H5")("Knowledge Database Annotation"), html("P")("Select data source"),
                            dropdown("annotation-source-dropdown", nb::list(), nb::str("NA")), html("Br")(),
                            html("Br")(), loading("annotation-table", "default")));
}

// The placeholder table: 14 rows alternating G1/P1 and G2/P2.
nb::object placeholder_frame() {
    nb::list rows;
    for (int i = 0; i < 14; ++i)
        rows.append(i % 2 == 0 ? kids(nb::str("G1"), nb::str("P1")) : kids(nb::str("G2"), nb::str("P2")));
    return global("pd").attr("DataFrame")(rows, "columns"_a = kids(nb::str("Gene"), nb::str("ProteinName")));
}

nb::list column_specs(nb::handle df) {
    nb::list out;
    for (nb::handle name : df.attr("columns")) {
        nb::dict col;
        col["name"] = name;
        col["id"] = name;
        col["deletable"] = false;
        col["selectable"] = false;
        out.append(col);
    }
    return out;
}

nb::object build_annotation_table_card() {
    nb::object df = placeholder_frame();
    nb::dict cell;
    cell["whiteSpace"] = "normal";
    cell["height"] = "auto";
    nb::object datatable = pyglue::table("DataTable")(
        "style_cell"_a = cell, "id"_a = "annotation-id-datatable", "columns"_a = column_specs(df),
        "data"_a = df.attr("to_dict")("records"), "editable"_a = false, "row_deletable"_a = false,
        "filter_action"_a = "native", "sort_action"_a = "native", "sort_mode"_a = "multi",
        "row_selectable"_a = "single", "selected_rows"_a = nb::list(), "page_action"_a = "native",
        "page_current"_a = 0, "page_size"_a = 10);
    // The card id reads "association"; pages and styles address it by that name.
    return html("Div")("id"_a = "association-table-card", "className"_a = "eight columns",
                       "children"_a = kids(html("P")("Identification table"), datatable));
}

nb::object build_annotation_card() {
    return html("Div")("id"_a = "annotation-card", "className"_a = "row",
                       "children"_a = kids(build_annotation_control_card(), build_annotation_table_card()));
}

}  // namespace

void register_annotation_cards(nb::module_& m) {
    def_card(m, "build_annotation_control_card", &build_annotation_control_card, "The annotation source picker.");
    def_card(m, "build_annotation_table_card", &build_annotation_table_card,
          "The identification table, with a placeholder until a source is chosen.");
    def_card(m, "build_annotation_card", &build_annotation_card, "The annotation row: picker and table.");
}

}  // namespace layout
