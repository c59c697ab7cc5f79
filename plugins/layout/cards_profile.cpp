// Placeholder until the card is built.
#include "layout.hpp"

namespace layout {

void register_profile_cards(nb::module_& m) {
    m.def("build_profile_card", []() { return html("Div")("id"_a = "profile-component"); });
}

}  // namespace layout
