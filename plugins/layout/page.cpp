// The whole page, and the module run as a program.
#include "layout.hpp"

namespace layout {
namespace {

nb::object card(const char* builder) { return global(builder)(); }

nb::object build_layout(nb::object paths) {
    nb::dict red;
    red["background-color"] = "red";
    red["color"] = "white";
    nb::list page = kids(
        global("build_dcc_store_card")(paths), card("build_input_card"), html("Br")(),
        card("build_profile_card"), html("Br")(), card("build_preprocess_card"), html("Br")(),
        card("build_qc_card"), html("Br")(), card("build_annotation_card"), html("Br")(),
        html("Button")("Phenotype association Analysis", "id"_a = "run-button", "n_clicks"_a = 0,
                       "style"_a = red),
        html("Br")(), card("build_diff_card"), html("Br")(), card("build_decomposition_card"),
        html("Br")(), card("build_clustering_card"), html("Br")(), card("build_association_card"),
        html("Br")(), card("build_enrich_card"));
    for (int i = 0; i < 5; ++i) page.append(html("Br")());
    return html("Div")("id"_a = "app-container", "children"_a = page);
}

// Serves the bare page (no callbacks) on Dash's development server.
void main_program() {
    nb::object dash = global("dash");
    nb::object app = dash.attr("Dash")("veltrana.plugins.layout");
    app.attr("title") = "Veltrana Dashboard";
    global("__dict__")["server"] = app.attr("server");
    app.attr("config").attr("suppress_callback_exceptions") = true;
    app.attr("layout") = build_layout(nb::none());
    // Dash 3 removed run_server; run is its successor.
    app.attr("run")("debug"_a = true);
}

}  // namespace

void register_page(nb::module_& m) {
    m.def("build_layout", &build_layout, "paths"_a.none() = nb::none(),
          nb::sig("def build_layout(paths: dict[str, object] | None = None) -> dash.html.Div"),
          "The dashboard page: the store card (with `paths` as the \"Paths\" data), the input card and "
          "the analysis cards.");
    m.def("main", &main_program, "Serve the bare page, without callbacks, in debug mode.");
}

}  // namespace layout
