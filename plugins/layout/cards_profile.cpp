// The phenotype-profiling card: phenotype picker, its distribution, and the
// correlation between phenotypes.
#include "layout.hpp"

namespace layout {
namespace {

nb::object build_profile_control_card() {
    return html("Div")(
        "id"_a = "profile-control", "className"_a = "four columns",
        "children"_a = kids(html("H5")("Phenotype Profiling Analysis"), html("Br")(),
                            html("P")("Select phenotype"),
                            empty_dropdown("profile-phenotype-dropdown"), html("Br")(),
                            html("Br")(), loading("phenotype-distribution", "default")));
}

nb::object build_profile_distr_card() {
    // The id's underscore is what pages and styles already address.
    return figure_column("profile-distr_card", "Distribution", "profile-distr-fig", figure_height());
}

nb::object build_profile_corr_card() {
    return figure_column("profile-corr-card", "Correlation", "profile-corr-fig", figure_height());
}

nb::object build_profile_card() {
    return html("Div")("id"_a = "profile-component", "className"_a = "row",
                       "children"_a = kids(build_profile_control_card(), build_profile_distr_card(),
                                           build_profile_corr_card()));
}

}  // namespace

void register_profile_cards(nb::module_& m) {
    def_card(m, "build_profile_control_card", &build_profile_control_card, "The phenotype picker.");
    def_card(m, "build_profile_distr_card", &build_profile_distr_card, "The distribution of the chosen phenotype.");
    def_card(m, "build_profile_corr_card", &build_profile_corr_card, "The correlation between phenotypes.");
    def_card(m, "build_profile_card", &build_profile_card, "The profiling row: picker and two figures.");
}

}  // namespace layout
