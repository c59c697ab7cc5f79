// The differential-expression card: controls, volcano plot and box plot.
#include "layout.hpp"

namespace layout {

nb::object phenotype_dropdown(const char* id) {
    nb::list phenotypes = pyglue::to_list(global("phenotypes"));
    nb::object preferred = global("default_phenotype");
    nb::object value = nb::str("");
    if (PySequence_Contains(phenotypes.ptr(), preferred.ptr()) == 1)
        value = preferred;
    else if (nb::len(phenotypes) > 0)
        value = phenotypes[0];
    return dropdown(id, options_from(phenotypes), value);
}

namespace {

// The volcano and box placeholders keep plotly's default height.
nb::object unsized_placeholder() {
    nb::object fig = global("go").attr("Figure")();
    nb::dict margin;
    for (const char* side : {"l", "r", "t", "b"}) margin[side] = 20;
    fig.attr("update_layout")("margin"_a = margin, "paper_bgcolor"_a = "LightSteelBlue");
    return fig;
}

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
            dropdown("diff-data-source-dropdown", nb::list(), nb::str(""), true),
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
            dropdown("target-groups-dropdown", nb::list(), nb::str("")),
            html("P")("Select reference group"),
            dropdown("refer-groups-dropdown", nb::list(), nb::str("")),
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
        "children"_a = kids(html("P")(picker_caption), dropdown(picker_id, nb::list(), nb::str("")), html("Br")(),
                            html("P")(figure_caption), loading(topic, "circle"),
                            bordered(kids(dcc("Graph")("id"_a = graph_id, "figure"_a = unsized_placeholder())))));
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

void register_diff_cards(nb::module_& m) {
    m.def("build_diff_control_card", &build_diff_control_card,
          "Sources, phenotype, test, thresholds and groups of the differential analysis, and its run button.");
    m.def("build_diff_volcano_card", &build_diff_volcano_card, "The volcano plot of one source's result.");
    m.def("build_diff_boxplot_card", &build_diff_boxplot_card, "The box plot of one feature in both groups.");
    m.def("build_diff_card", &build_diff_card, "The differential-expression row: controls, volcano, box plot.");
}

}  // namespace layout
