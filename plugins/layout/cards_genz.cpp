// The glycosylation-enzymes card: a data source and sample picker beside the
// pathways and correlation-cluster figures. The page does not place it; a host
// that wants it places build_genz_card() and supplies its callbacks.
#include "layout.hpp"

namespace layout {
namespace {

// A picker that starts at "NA" with nothing to offer until a callback fills it.
nb::object empty_picker(const char* id, bool multi = false) { return dropdown(id, nb::list(), nb::str("NA"), multi); }

nb::object build_genz_control_card() {
    return html("Div")(
        "children"_a = kids(html("H5")("Glycosylation Enzymes Analysis"), html("P")("Select data source"),
                            empty_picker("genz-source-dropdown"), html("Br")(),
                            html("P")("Select samples by phenotype"), empty_picker("genz-phenotype-dropdown"),
                            html("Br")(), empty_picker("genz-phenotype-groups-dropdown", true), html("Br")()));
}

nb::object build_genz_figure_card() {
    int h = figure_height();
    nb::object pathways = row(kids(columns("six columns", kids(loading("genz-pathways", "circle"),
                                                               bordered_graph("genz-pathways-figure", h))),
                                   html("Div")("className"_a = "six columns")));
    nb::object corr_cluster = row(kids(loading("genz-corr-cluster", "circle"),
                                       bordered_graph("genz-corr-cluster-figure", h)));
    return row(kids(pathways, html("Br")(), corr_cluster));
}

nb::object build_genz_card() {
    return html("Div")("id"_a = "genz-card", "className"_a = "row",
                       "children"_a = kids(columns("four columns", kids(build_genz_control_card())),
                                           columns("eight columns", kids(build_genz_figure_card()))));
}

}  // namespace

void register_genz_cards(nb::module_& m) {
    def_card(m, "build_genz_control_card", &build_genz_control_card,
          "Data source, phenotype and phenotype-group pickers of the glycosylation-enzymes card.");
    def_card(m, "build_genz_figure_card", &build_genz_figure_card,
          "The pathways and correlation-cluster figures of the glycosylation-enzymes card.");
    def_card(m, "build_genz_card", &build_genz_card, "The glycosylation-enzymes card: pickers beside figures.");
}

}  // namespace layout
