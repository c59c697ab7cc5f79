// Placeholder until the card is built.
#include "layout.hpp"

namespace layout {

void register_decomposition_cards(nb::module_& m) {
    m.def("build_decomposition_card", []() { return html("Div")("id"_a = "decomposition-card"); });
}

}  // namespace layout
