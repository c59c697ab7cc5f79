// veltrana.plugins.vistro: the dashboard application and its callbacks.
#include "vistro.hpp"

namespace vistro {

namespace {
// The module object; it lives as long as the interpreter.
nb::handle self_module;
}  // namespace

nb::object global(const char* name) { return self_module.attr(name); }
nb::object host() { return global("callbacks"); }

nb::object figure_height() { return global("default_figure_height"); }


nb::object build_app(nb::object my_paths) {
    nb::object app = global("Dash")(self_module.attr("__name__"));
    app.attr("title") = "Veltrana Dashboard";
    nb::object my_path = host().attr("MyPath")(my_paths);
    register_callbacks(app, my_path);
    return app;
}

}  // namespace vistro

NB_MODULE(vistro, m) {
    using namespace vistro;
    using pyglue::bind_from;
    using pyglue::import_sibling;
    self_module = m;
    m.doc() = "The Veltrana dashboard application: build_app and its callbacks.";

    pyglue::import_modules(m, {{"time", "time"}, {"threading", "threading"}});
    bind_from(m, "layout", "veltrana.plugins.layout", {"build_layout"});
    m.attr("callbacks") = import_sibling(m, "callbacks", "callbacks");
    bind_from(m, "plotweave", "plotweave",
              {"volcano", "boxplot", "histogram", "corrplot", "roc_plot", "show_image"});
    bind_from(m, "plotweave", "plotweave", {"scatter_plot", "genz_volcano", "genz_volcano_pdf"});
    bind_from(m, "pca1", "pca1", {"pca_standalone"});
    pyglue::import_modules(m, {{"os", "os"}, {"re", "re"}, {"np", "numpy"}, {"pd", "pandas"},
                               {"px", "plotly.express"}});
    pyglue::defer_modules(m, {{"gseapy", "gseapy"}});  // seconds to import (its plotting): on first use
    pyglue::import_names(m, "dash.dependencies", {"Input", "Output", "State"});
    // Dash serves in Jupyter by itself, so its own application class is used.
    pyglue::import_modules(m, {{"dash", "dash"}});
    pyglue::import_names(m, "dash", {"Dash"});
    bind_from(m, "defaults", "defaults", {"default_phenotype", "default_figure_height"});
    bind_from(m, "defaults", "defaults", {"sample_dir"});
    bind_from(m, "defaults", "defaults", {"external_stylesheets"});
    bind_from(m, "plotweave", "plotweave", {"build_default_fig"});
    m.attr("tlock") = m.attr("threading").attr("Lock")();

    m.def("build_app", &build_app, "my_paths"_a,
          nb::sig("def build_app(my_paths: dict[str, object]) -> dash.Dash"),
          "Create the dashboard application for the user's data locations and register its 44 callbacks.");
}
