// The enrichment card: source, feature set and gene-set library on the left, the
// over-representation figure on the right, and a GSEA figure card for hosts that place it.
#include "layout.hpp"

namespace layout {
namespace {

nb::object build_enrich_control_card() {
    return html("Div")("id"_a = "enrich_control_card",
                       "children"_a = kids(html("H5")("Enrichment Analysis"),
                                           html("P")("Select data source"),
                                           empty_dropdown("enrich-data-source-dropdown"), html("Br")(),
                                           html("P")("Select feature set"),
                                           empty_dropdown("enrich-feature-set-dropdown"), html("Br")(),
                                           html("P")("Gene sets"), empty_dropdown("enrich-gene-sets-dropdown")));
}

nb::object build_enrich_ora_card() {
    return figure_card("enrich-enrichr-card", "ORA analysis", "phenotype-enrich-figure1", "enrich-ora-fig");
}

nb::object build_enrich_gsea_card() {
    return html("Div")("id"_a = "enrich-gsea-card",
                       "children"_a = kids(html("P")("GSEA analysis"),
                                           empty_dropdown("enrich-gsea-pathway-dropdown"), html("Br")(),
                                           graph("enrich-gsea-fig", figure_height())));
}

nb::object build_enrich_card() {
    return html("Div")(
        "id"_a = "enrich-analysis", "className"_a = "row",
        "children"_a = kids(html("Div")("id"_a = "enrich-control-div", "className"_a = "four columns",
                                        "children"_a = kids(build_enrich_control_card())),
                            html("Div")("id"_a = "enrich-pathway-div", "className"_a = "eight columns",
                                        "children"_a = kids(build_enrich_ora_card()))));
}

}  // namespace

void register_enrichment_cards(nb::module_& m) {
    def_card(m, "build_enrich_control_card", &build_enrich_control_card,
          "The enrichment controls: data source, feature set and gene-set library.");
    def_card(m, "build_enrich_ora_card", &build_enrich_ora_card, "The over-representation (ORA) figure.");
    def_card(m, "build_enrich_gsea_card", &build_enrich_gsea_card, "A GSEA figure card (not placed on the page).");
    def_card(m, "build_enrich_card", &build_enrich_card, "The enrichment row: controls and the ORA figure.");
}

}  // namespace layout
