// The preprocessing card: source and the four step settings on the left, the
// sample distribution on the right.
#include "layout.hpp"

namespace layout {
namespace {

nb::object build_preproc_control_card() {
    nb::list source_options;
    nb::list trans_options = options_from({"NA", "Log2"});
    nb::list norm_options = options_from({"NA", "MedianNorm"});
    nb::list impute_options = options_from({"NA", "GlobalMin", "SampleMin", "FeatureMin"});
    // Steps are numbered in processing order; the grid shows 1 and 3 left, 2 and 4 right.
    nb::object steps = html("Div")(
        "className"_a = "row",
        "children"_a = kids(
            columns("six columns",
                    kids(html("P")("1. Transform"),
                         dropdown("preprocess-transform-dropdown", trans_options, nb::str("NA")),
                         html("Br")(), html("P")("3. Max Missing ratio (%)"),
                         // The card starts with the text "50", as the stored settings hold it.
                         dcc("Input")("id"_a = "preprocess-max-miss-ratio-input", "type"_a = "number",
                                      "value"_a = "50"))),
            columns("six columns",
                    kids(html("P")("2. Normalization"),
                         dropdown("preprocess-normalization-dropdown", norm_options, nb::str("NA")),
                         html("Br")(), html("P")("4. Imputation"),
                         dropdown("preprocess-imputation-dropdown", impute_options, nb::str("NA"))))));
    return html("Div")(
        "id"_a = "preproc-control-card", "className"_a = "four columns",
        "children"_a = kids(html("H5")("Preprocess"), html("P")("Data Source"),
                            dropdown("preprocess-source-dropdown", source_options, nb::str("NA")),
                            html("Br")(), steps, html("Br")(),
                            run_button("Refresh Preprocess", "preprocess-button"),
                            html("Br")(), loading("preprocess-distribution", "default")));
}

nb::object build_preproc_figure_card() {
    return html("Div")(
        "id"_a = "preproc-figure-card", "className"_a = "eight columns",
        "children"_a = kids(html("P")("Sample distribution"),
                            bordered(kids(loading("preprocess-figure", "circle"),
                                          graph("preprocess-figure", short_figure_height())))));
}

nb::object build_preprocess_card() {
    return html("Div")("id"_a = "preproc-card", "className"_a = "row",
                       "children"_a = kids(build_preproc_control_card(), build_preproc_figure_card()));
}

}  // namespace

void register_preprocess_cards(nb::module_& m) {
    def_card(m, "build_preproc_control_card", &build_preproc_control_card,
          "Source picker, the four preprocessing settings and the refresh button.");
    def_card(m, "build_preproc_figure_card", &build_preproc_figure_card, "The sample-distribution figure.");
    def_card(m, "build_preprocess_card", &build_preprocess_card, "The preprocessing row: controls and figure.");
}

}  // namespace layout
