// Placeholder until the card is built.
#include "layout.hpp"

namespace layout {

void register_annotation_cards(nb::module_& m) {
    m.def("build_annotation_card", []() { return html("Div")("id"_a = "annotation-card"); });
}

}  // namespace layout
