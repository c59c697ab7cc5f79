// veltrana.plugins.plotweave: the dashboard's figures.
#include "plotweave.hpp"

namespace plotweave {
namespace {
nb::handle self_module;

// `from .pca1 import pca_standalone`: relative only, a missing host module fails the import.
void bind_pca(nb::module_& m) {
    std::string pkg = pyglue::package_of(m);
    if (pkg.empty()) {
        PyErr_SetString(PyExc_ImportError,
                        "attempted relative import of pca1 with no known parent package");
        throw nb::python_error();
    }
    m.attr("pca_standalone") = nb::module_::import_((pkg + ".pca1").c_str()).attr("pca_standalone");
}

// The names every figure function looks up, bound once at import.
void bind_imports(nb::module_& m) {
    using pyglue::import_names;
    pyglue::import_modules(m, {{"re", "re"}, {"sys", "sys"}, {"os", "os"}, {"pd", "pandas"},
                               {"go", "plotly.graph_objects"}, {"px", "plotly.express"}, {"np", "numpy"}});
    bind_pca(m);
    // The statistics libraries take seconds to import: bound when a figure first reads them.
    using pyglue::defer_names;
    defer_names(m, "scipy.stats", {"pearsonr", "spearmanr"});
    defer_names(m, "sklearn.model_selection", {"train_test_split"});
    defer_names(m, "sklearn.metrics", {"roc_curve", "roc_auc_score"});
    defer_names(m, "sklearn.linear_model", {"LogisticRegression"});
    import_names(m, "plotly.subplots", {"make_subplots"});
    pyglue::import_modules(m, {{"base64", "base64"}});
    pyglue::bind_from(m, "toolkit", "toolkit", {"calc_cv_values"});
    pyglue::bind_from(m, "defaults", "defaults",
                      {"default_phenotype", "default_figure_height", "sample_dir", "external_stylesheets"});
}
}  // namespace

nb::object global(const char* name) { return self_module.attr(name); }
}  // namespace plotweave

NB_MODULE(plotweave, m) {
    using namespace plotweave;
    self_module = m;
    m.doc() = "The Veltrana figures: volcano, box, histogram, scatter, heatmap, ROC and QC plots.";
    bind_imports(m);
    register_figure_base(m);
    register_qc_plots(m);
    register_volcano_plots(m);
    register_distribution_plots(m);
    register_roc_plot(m);
}
