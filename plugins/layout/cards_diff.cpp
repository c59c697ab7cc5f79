// Placeholder until the card is built.
#include "layout.hpp"

namespace layout {

void register_diff_cards(nb::module_& m) {
    m.def("build_diff_card", []() { return html("Div")("id"_a = "diff-card"); });
}

}  // namespace layout
