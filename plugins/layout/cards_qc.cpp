// The expression quality-control card: source and samples, the sample
// correlation matrix and the histogram of coefficients of variation.
#include "layout.hpp"

namespace layout {
namespace {

nb::object build_qc_control_card() {
    return html("Div")(
        "id"_a = "qc-control-card", "className"_a = "four columns",
        "children"_a = kids(html("H5")("Expression Quality Control"), html("P")("Select data source"),
                            empty_dropdown("qc-data-source-dropdown"), html("Br")(),
                            html("P")("Select QC or target samples"),
                            empty_dropdown("qc-samples-dropdown", true), html("Br")(),
                            loading("qc", "default")));
}

nb::object build_qc_corr_card() { return figure_column("qc-corr-card", "Correlation Matrix", "qc-corr-fig", short_figure_height()); }

nb::object build_qc_cv_card() { return figure_column("qc-cv-card", "Histogram (CV)", "qc-cv-fig", short_figure_height()); }

nb::object build_qc_card() {
    return html("Div")("id"_a = "qc-card", "className"_a = "row",
                       "children"_a = kids(build_qc_control_card(), build_qc_corr_card(), build_qc_cv_card()));
}

}  // namespace

void register_qc_cards(nb::module_& m) {
    def_card(m, "build_qc_control_card", &build_qc_control_card, "Source and sample pickers.");
    def_card(m, "build_qc_corr_card", &build_qc_corr_card, "The sample correlation matrix.");
    def_card(m, "build_qc_cv_card", &build_qc_cv_card, "The histogram of coefficients of variation.");
    def_card(m, "build_qc_card", &build_qc_card, "The quality-control row: pickers and two figures.");
}

}  // namespace layout
