// veltrana.plugins.survival: per-group survival tables, Kaplan-Meier curves, log-rank tests.
#include "survival.hpp"

namespace survival {
namespace {
nb::handle self_module;

void bind_imports(nb::module_& m) {
    pyglue::import_modules(m, {{"pd", "pandas"}, {"np", "numpy"}, {"re", "re"}});
    pyglue::import_names(m, "itertools", {"combinations"});
    // lifelines and pyplot take seconds to import: bound when an analysis first reads them.
    pyglue::defer_names(m, "lifelines", {"KaplanMeierFitter"});
    pyglue::defer_names(m, "lifelines.statistics", {"logrank_test"});
    pyglue::defer_modules(m, {{"plt", "matplotlib.pyplot"}});
    pyglue::defer_names(m, "matplotlib.offsetbox", {"AnchoredText"});
}
}  // namespace

nb::object global(const char* name) { return self_module.attr(name); }

}  // namespace survival

NB_MODULE(survival, m) {
    using namespace survival;
    self_module = m;
    m.doc() = "Survival tables, Kaplan-Meier curves and log-rank p-values.";
    bind_imports(m);
    register_table(m);
    register_kaplan_meier(m);
}
