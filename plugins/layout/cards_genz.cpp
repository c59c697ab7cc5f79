// Placeholder until the card is built.
#include "layout.hpp"

namespace layout {

void register_genz_cards(nb::module_& m) {
    m.def("build_genz_card", []() { return html("Div")("id"_a = "genz-card"); });
}

}  // namespace layout
