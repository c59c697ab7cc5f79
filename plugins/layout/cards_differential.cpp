// The differential-expression card: controls, volcano plot and box plot.
#include "layout.hpp"

namespace layout {

nb::object phenotype_dropdown(const char* id) {
    nb::list phenotypes = pyglue::to_list(global("phenotypes"));
    nb::object preferred = global("default_phenotype");
    nb::object value = nb::str("");
    if (pyglue::contains(phenotypes, preferred))
        value = preferred;
    else if (nb::len(phenotypes) > 0)
        value = phenotypes[0];
    return dropdown(id, options_from(phenotypes), value);
}

namespace {

nb::object number_input(const char* id, const char* placeholder, double value) {
    nb::dict style;
    style["width"] = "50%";
    return dcc("Input")("id"_a = id, "type"_a = "number", "placeholder"_a = placeholder, "value"_a = value,
                        "style"_a = style);
}

nb::object build_diff_control_card() {
    return html("Div")(
        "id"_a = "diff-exp-analysis-control-card", "className"_a = "four columns",
        "children"_a = kids(
            html("H5")("Differential Expression Analysis"),
            html("P")("Select data source"),
            empty_dropdown("diff-data-source-dropdown", true),
            html("P")("Select phenotype"),
            phenotype_dropdown("phenotype-dropdown"),
            html("P")("Select methods"),
            dropdown("diff-exp-analysis-methods-dropdown",
                     options_from({"T-test(Unpaired)", "T-test(Paired)", "Wilcoxon(Unpaired)", "Wilcoxon(Paired)"}),
                     nb::str("Wilcoxon(Unpaired)")),
            html("Div")("children"_a = kids(
                columns("six columns", kids(html("P")("FDR threshold"),
                                            number_input("diff-fdr-input", "FDR threshold", 0.01))),
                columns("six columns", kids(html("P")("Fold change"),
                                            number_input("diff-log2fc-input", "Fold change threshold", 1.5))))),
            html("Br")(),
            html("P")("Select target group"),
            empty_dropdown("target-groups-dropdown"),
            html("P")("Select reference group"),
            empty_dropdown("refer-groups-dropdown"),
            html("Br")(),
            html("Div")("children"_a = kids(
                columns("six columns",
                        kids(run_button("Refresh diff", "run-diff-button"))),
                columns("six columns", kids(loading("diff-calculation", "default")))))));
}

// One figure column: a picker, a caption, the loading indicator and the bordered graph.
nb::object figure_column(const char* id, const char* picker_caption, const char* picker_id,
                         const char* figure_caption, const char* topic, const char* graph_id) {
    return html("Div")(
        "id"_a = id, "className"_a = "four columns",
        "children"_a = kids(html("P")(picker_caption), empty_dropdown(picker_id), html("Br")(),
                            html("P")(figure_caption), loading(topic, "circle"),
                            // The volcano and box placeholders keep plotly's default height.
                            bordered(kids(dcc("Graph")("id"_a = graph_id, "figure"_a = pyglue::placeholder_figure())))));
}

nb::object build_diff_volcano_card() {
    return figure_column("diff-exp-analysis-volcano", "Figure Data Source", "diff-fig-source-dropdown",
                         "Volcano plot", "diff-volcano", "diff-volcano-fig");
}

nb::object build_diff_boxplot_card() {
    return figure_column("diff-exp-analysis-box", "Figure Feature", "diff-gene-dropdown", "Box plot", "diff-box",
                         "diff-box-fig");
}

nb::object build_diff_card() {
    return html("Div")("id"_a = "diff-exp-analysis-component", "className"_a = "row",
                       "children"_a = kids(build_diff_control_card(), build_diff_volcano_card(),
                                           build_diff_boxplot_card()));
}

}  // namespace

void register_differential_cards(nb::module_& m) {
    def_card(m, "build_diff_control_card", &build_diff_control_card,
          "Sources, phenotype, test, thresholds and groups of the differential analysis, and its run button.");
    def_card(m, "build_diff_volcano_card", &build_diff_volcano_card, "The volcano plot of one source's result.");
    def_card(m, "build_diff_boxplot_card", &build_diff_boxplot_card, "The box plot of one feature in both groups.");
    def_card(m, "build_diff_card", &build_diff_card, "The differential-expression row: controls, volcano, box plot.");
}

}  // namespace layout
