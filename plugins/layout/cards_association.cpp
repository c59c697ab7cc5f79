// The phenotype-feature association card: controls on the left, the correlation
// and ROC figures on the right, and a Kaplan-Meier figure card for hosts that place it.
#include "layout.hpp"

namespace layout {
namespace {

nb::object build_association_control_card() {
    return html("Div")(
        "id"_a = "association-control", "className"_a = "four columns",
        "children"_a = kids(
            html("H5")("Phenotype-Feature Association Analysis"),
            html("P")("Select data source"), empty_dropdown("assoc-data-source-dropdown"),
            html("P")("Select phenotype"), empty_dropdown("assoc-phenotype-dropdown"),
            html("Br")(),
            html("P")("Select samples by phenotype"),
            row(kids(row(kids(html("P")("Phenotype"), empty_dropdown("assoc-target-phenotype-dropdown"))),
                     row(kids(html("P")("Type(s)"),
                              empty_dropdown("assoc-target-groups-dropdown", /*multi=*/true))))),
            html("Br")(),
            html("P")("Select feature set"), row(kids(empty_dropdown("assoc-feature-set-dropdown"))),
            html("Br")(),
            run_row("Refresh Assoc", "run-assoc-button",
                    kids(loading("phenotype-feature-1"), loading("phenotype-feature-2")))));
}

nb::object build_association_correlation_card() {
    return figure_card("association-correlation-card", "Correlation", "phenotype-feature-corr", "assoc-corr-fig");
}

nb::object build_association_roc_card() {
    return html("Div")("id"_a = "association-roc-card",
                       "children"_a = kids(html("P")("Select feature"),
                                           empty_dropdown("assoc-roc-figure-feature-dropdown"),
                                           loading("phenotype-feature-roc", "circle"),
                                           html("P")("Receiver operating characteristic curve (ROC)"),
                                           bordered_graph("assoc-roc-fig", figure_height())));
}

nb::object build_association_survival_card() {
    return html("Div")("id"_a = "association-survival-card",
                       "children"_a = kids(html("P")("KaplanMeierFitter (KMF)"),
                                           graph("assoc-surv-fig", figure_height())));
}

nb::object build_association_figure_card() {
    return html("Div")("className"_a = "eight columns",
                       "children"_a = kids(row(kids(
                           columns("six columns", kids(build_association_correlation_card())),
                           columns("six columns", kids(build_association_roc_card()))))));
}

nb::object build_association_card() {
    return html("Div")("id"_a = "association-card", "className"_a = "row",
                       "children"_a = kids(build_association_control_card(),
                                           build_association_figure_card()));
}

}  // namespace

void register_association_cards(nb::module_& m) {
    def_card(m, "build_association_control_card", &build_association_control_card,
          "The association controls: source, phenotype, samples, feature set and the run button.");
    def_card(m, "build_association_correlation_card", &build_association_correlation_card,
          "The phenotype-feature correlation figure.");
    def_card(m, "build_association_roc_card", &build_association_roc_card,
          "The feature picker and the ROC figure of one feature.");
    def_card(m, "build_association_survival_card", &build_association_survival_card,
          "A Kaplan-Meier figure card (not placed on the page).");
    def_card(m, "build_association_figure_card", &build_association_figure_card,
          "The correlation and ROC cards side by side.");
    def_card(m, "build_association_card", &build_association_card, "The association row: controls and figures.");
}

}  // namespace layout
