// Placeholder until the card is built.
#include "layout.hpp"

namespace layout {

void register_enrich_cards(nb::module_& m) {
    m.def("build_enrich_card", []() { return html("Div")("id"_a = "enrich-card"); });
}

}  // namespace layout
