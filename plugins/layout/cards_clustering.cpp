// Placeholder until the card is built.
#include "layout.hpp"

namespace layout {

void register_clustering_cards(nb::module_& m) {
    m.def("build_clustering_card", []() { return html("Div")("id"_a = "clustering-card"); });
}

}  // namespace layout
