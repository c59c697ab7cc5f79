// Placeholder until the card is built.
#include "layout.hpp"

namespace layout {

void register_assoc_cards(nb::module_& m) {
    m.def("build_association_card", []() { return html("Div")("id"_a = "association-card"); });
}

}  // namespace layout
