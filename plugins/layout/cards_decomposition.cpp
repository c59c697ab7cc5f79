// The decomposition card: controls, and the PCA figures with their pickers.
#include "layout.hpp"

namespace layout {
namespace {

nb::object build_decomposition_control_card() {
    return html("Div")(
        "id"_a = "decomposition_control-card", "className"_a = "four columns",
        "children"_a = kids(
            html("H5")("Dimensionality Reduction Analysis"),
            html("P")("Process data source(s)"),
            empty_dropdown("decomposition-data-source-dropdown", true),
            html("P")("Select method"),
            dropdown("decomposition-method-dropdown", options_from({"PCA"}), nb::str("PCA")),
            html("Br")(),
            run_row("Refresh DECOMP", "run-decomposition-button", kids(loading("decomposition")))));
}

nb::object build_decomposition_figure_control_card() {
    return html("Div")(
        "className"_a = "row",
        "children"_a = kids(
            columns("six columns",
                    kids(html("P")("Select data source"),
                         empty_dropdown("decomposition-figure-source-dropdown"))),
            columns("six columns", kids(html("P")("Select phenotype"),
                                        phenotype_dropdown("decomposition-figure-phenotype-dropdown")))));
}

nb::object build_decomposition_figure_panels_card() {
    int height = short_figure_height();
    return html("Div")(
        "className"_a = "row",
        "children"_a = kids(
            columns("six columns",
                    kids(html("P")("PCA (2-D plot)"), bordered_graph("decomposition-figure-1", height))),
            columns("six columns",
                    kids(html("P")("PCA Variance ratio"), bordered_graph("decomposition-figure-2", height)))));
}

nb::object build_decomposition_figure_card() {
    return html("Div")("id"_a = "decomposition-figure-card", "className"_a = "eight columns",
                       "children"_a = kids(build_decomposition_figure_control_card(),
                                           build_decomposition_figure_panels_card()));
}

nb::object build_decomposition_card() {
    return html("Div")("id"_a = "decomposition-card", "className"_a = "row",
                       "children"_a = kids(build_decomposition_control_card(), build_decomposition_figure_card()));
}

}  // namespace

void register_decomposition_cards(nb::module_& m) {
    def_card(m, "build_decomposition_control_card", &build_decomposition_control_card,
          "Sources and method of the decomposition, and its run button.");
    def_card(m, "build_decomposition_figure_control_card", &build_decomposition_figure_control_card,
          "The source and phenotype pickers of the PCA figures.");
    def_card(m, "build_decomposition_figure_panels_card", &build_decomposition_figure_panels_card,
          "The PCA scores and variance-ratio figures.");
    def_card(m, "build_decomposition_figure_card", &build_decomposition_figure_card,
          "The right column: figure pickers above the two figures.");
    def_card(m, "build_decomposition_card", &build_decomposition_card, "The decomposition row: controls and figures.");
}

}  // namespace layout
