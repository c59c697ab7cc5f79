// Module constants, the import-time phenotype discovery, the placeholder figure,
// the store card and the input card.
#include "layout.hpp"

namespace layout {

namespace {
nb::handle self_module;

void bind_imports(nb::module_& m) {
    pyglue::import_modules(m, {{"dash", "dash"}, {"dcc", "dash.dcc"}, {"html", "dash.html"},
                               {"dash_table", "dash.dash_table"}});
    pyglue::import_names(m, "dash.dependencies", {"Input", "Output", "ClientsideFunction"});
    pyglue::import_modules(m, {{"os", "os"}, {"sys", "sys"}, {"re", "re"}, {"np", "numpy"}, {"pd", "pandas"},
                               {"datetime", "datetime"}});
    m.attr("dt") = m.attr("datetime").attr("datetime");
    pyglue::import_modules(m, {{"pathlib", "pathlib"}, {"px", "plotly.express"}, {"go", "plotly.graph_objects"}});
    pyglue::defer_names(m, "scipy.stats", {"pearsonr", "spearmanr"});  // imported on first use
}

// Reads the sample-information table of the working directory, when there is one, with the
// host's loader (ids as text, missing cells NaN). A table the loader refuses fails the import
// with the loader's message: a page with no phenotypes would hide that the table is wrong.
void discover_phenotypes(nb::module_& m) {
    nb::object path = m.attr("sample_information_path");
    if (!nb::cast<bool>(m.attr("os").attr("path").attr("exists")(path))) return;
    nb::object info = nb::module_::import_("veltrana.study.loader").attr("read_sample_table")(path);
    m.attr("info_df") = info;
    nb::list phenotypes = pyglue::to_list(info.attr("columns").attr("values"));
    m.attr("phenotypes") = phenotypes;
    nb::object chosen = m.attr("default_phenotype");
    if (!pyglue::contains(phenotypes, chosen)) {
        // A table without phenotype columns has no groups to offer.
        if (nb::len(phenotypes) == 0) return;
        chosen = phenotypes[0];
    }
    // Missing cells are no group (NaN would also not sort beside text).
    nb::object builtins = nb::module_::import_("builtins");
    m.attr("groups") = builtins.attr("sorted")(builtins.attr("set")(info[chosen].attr("dropna")()));
}

nb::object build_default_fig(nb::object height) { return pyglue::placeholder_figure(height); }

nb::object build_dcc_store_card(nb::object paths) {
    nb::list children;
    children.append(dcc("Store")("id"_a = "Paths", "data"_a = paths));
    for (const char* id : {"info-inter", "decomposition-inter", "numeric-info-inter", "data-source-inter",
                           "diff-inter", "profile-corr-inter", "feature-clustering-inter",
                           "feature-sets-inter", "phenotype-feature-result-inter",
                           "enrich-gsea-pres-inter", "path-check-result"})
        children.append(dcc("Store")("id"_a = id));
    children.append(html("Div")("id"_a = "test-div"));
    return html("Div")("id"_a = "store-card", "children"_a = children);
}

nb::object build_input_card() {
    std::string expr = "Protein=" + nb::cast<std::string>(global("sample_expression_path")) +
                       "\nGlycoform=" + nb::cast<std::string>(global("sample_glycoform_path"));
    nb::dict area_style;
    area_style["height"] = 100;
    area_style["width"] = "100%";
    nb::dict label_style;
    label_style["display"] = "inline-block";
    nb::dict confirm;
    confirm["label"] = "Confirm Paths";
    confirm["value"] = "CP";
    return html("Div")(
        "id"_a = "input-card",
        "children"_a = kids(
            html("Hr")(), html("P")("Expression Matrix Paths"),
            dcc("Textarea")("id"_a = "expr-input", "value"_a = expr, "style"_a = area_style),
            html("Br")(), html("P")("Information Matrix Path"),
            dcc("Input")("id"_a = "info-input", "type"_a = "text", "placeholder"_a = "",
                         "value"_a = global("sample_information_path"), "style"_a = wide_input_style()),
            html("Br")(), html("P")("Output Directory"),
            dcc("Input")("id"_a = "out-dir", "type"_a = "text", "placeholder"_a = "", "value"_a = "",
                         "style"_a = wide_input_style()),
            dcc("Checklist")("id"_a = "path_checklist", "options"_a = kids(confirm), "value"_a = nb::list(),
                             "labelStyle"_a = label_style)));
}
}  // namespace

nb::object global(const char* name) { return self_module.attr(name); }
nb::dict wide_input_style() {
    nb::dict s;
    s["marginRight"] = "10px";
    s["width"] = "100%";
    return s;
}
int figure_height() { return nb::cast<int>(global("default_figure_height")); }
nb::object placeholder(int height) { return global("build_default_fig")("height"_a = height); }
nb::object graph(const char* id, int height) {
    return dcc("Graph")("id"_a = id, "figure"_a = placeholder(height));
}

void register_frame(nb::module_& m) {
    self_module = m;
    m.attr("default_figure_height") = 500;
    m.attr("sample_expression_path") = "protein_log2r_20210811.txt";
    m.attr("sample_glycoform_path") = "glycoform_log2r_20210811.txt";
    m.attr("sample_information_path") = "clinical_information3.txt";
    m.attr("info_df") = nb::none();
    m.attr("phenotypes") = nb::list();
    m.attr("groups") = nb::list();
    m.attr("default_phenotype") = "Pathological_Status";
    bind_imports(m);

    m.def("build_default_fig", &build_default_fig, "height"_a = 500,
          nb::sig("def build_default_fig(height: int | None = 500) -> plotly.graph_objects.Figure"),
          "An empty figure with 20-pixel margins on a LightSteelBlue paper, as placeholder.");
    m.def("build_dcc_store_card", &build_dcc_store_card, "paths"_a.none(),
          nb::sig("def build_dcc_store_card(paths: dict[str, object] | None) -> dash.html.Div"),
          "The card of in-memory stores; `paths` becomes the data of the \"Paths\" store.");
    def_card(m, "build_input_card", &build_input_card, "The card that shows the data paths in use.");

    discover_phenotypes(m);
}

}  // namespace layout
