// veltrana.plugins.layout: the dashboard page, card by card.
#include "layout.hpp"

NB_MODULE(layout, m) {
    using namespace layout;
    m.doc() = "The Veltrana dashboard page: card builders and build_layout.";
    register_frame(m);
    register_profile_cards(m);
    register_preprocess_cards(m);
    register_qc_cards(m);
    register_annotation_cards(m);
    register_differential_cards(m);
    register_decomposition_cards(m);
    register_clustering_cards(m);
    register_association_cards(m);
    register_enrichment_cards(m);
    register_genz_cards(m);
    register_page(m);
}
