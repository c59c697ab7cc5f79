// The feature-clustering card: controls and the clustering heatmap.
#include "layout.hpp"

namespace layout {
namespace {

nb::object build_clustering_control_card() {
    return html("Div")(
        "id"_a = "clustering-control-card", "className"_a = "four columns",
        "children"_a = kids(
            html("H5")("Feature Clustering Analysis"),
            html("P")("Select data source"),
            dropdown("clustering-source-dropdown", nb::list(), nb::str("NA"), true),
            html("Br")(),
            html("P")("Select Phenotype"),
            dropdown("clustering-phenotype-dropdown", nb::list(), nb::str("NA")),
            html("Br")(),
            html("P")("Select Cluster Number"),
            dcc("Input")("id"_a = "clustering-number-input", "type"_a = "number", "placeholder"_a = "",
                         "value"_a = 3, "style"_a = wide_input_style()),
            html("Br")(), html("Br")(),
            run_row("Refresh Clustering", "run-feature-clustering-button", kids(loading("feature-clustering")))));
}

nb::object build_clustering_figure_card() {
    return html("Div")(
        "id"_a = "clustering-figure-card", "className"_a = "eight columns",
        "children"_a = kids(html("P")("Clustering Heatmap"),
                            empty_dropdown("clustering-figure-source"),
                            loading("clustering-figure-1", "circle"), html("Br")(),
                            bordered_graph("clustering-figure-1", short_figure_height())));
}

nb::object build_clustering_card() {
    return html("Div")("id"_a = "clustering-card", "className"_a = "row",
                       "children"_a = kids(build_clustering_control_card(), build_clustering_figure_card()));
}

}  // namespace

void register_clustering_cards(nb::module_& m) {
    def_card(m, "build_clustering_control_card", &build_clustering_control_card,
          "Sources, phenotype and number of clusters of the feature clustering, and its run button.");
    def_card(m, "build_clustering_figure_card", &build_clustering_figure_card,
          "The source picker and heatmap of the clustering result.");
    def_card(m, "build_clustering_card", &build_clustering_card, "The feature-clustering row: controls and heatmap.");
}

}  // namespace layout
