// veltrana.plugins.plotweave: the dashboard's figures.
#include "plotweave.hpp"

namespace plotweave {
namespace {
nb::handle self_module;

// `import <name>` bound under `as`.
void bind_module(nb::module_& m, const char* as, const char* name) {
    m.attr(as) = nb::module_::import_(name);
}

// `from <module> import a, b, ...` from an absolute module.
void bind_names(nb::module_& m, const char* module, std::initializer_list<const char*> names) {
    nb::object mod = nb::module_::import_(module);
    for (const char* n : names) m.attr(n) = mod.attr(n);
}

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
    bind_module(m, "re", "re");
    bind_module(m, "sys", "sys");
    bind_module(m, "os", "os");
    bind_module(m, "pd", "pandas");
    bind_module(m, "go", "plotly.graph_objects");
    bind_module(m, "px", "plotly.express");
    bind_module(m, "np", "numpy");
    bind_pca(m);
    bind_names(m, "scipy.stats", {"pearsonr", "spearmanr"});
    bind_names(m, "sklearn.model_selection", {"train_test_split"});
    bind_names(m, "sklearn.metrics", {"roc_curve"});
    bind_names(m, "sklearn.metrics", {"roc_auc_score"});
    bind_names(m, "sklearn.linear_model", {"LogisticRegression"});
    bind_names(m, "plotly.subplots", {"make_subplots"});
    bind_module(m, "base64", "base64");
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
