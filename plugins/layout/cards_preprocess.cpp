// Placeholder until the card is built.
#include "layout.hpp"

namespace layout {

void register_preprocess_cards(nb::module_& m) {
    m.def("build_preprocess_card", []() { return html("Div")("id"_a = "preproc-card"); });
}

}  // namespace layout
