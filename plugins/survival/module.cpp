// veltrana.plugins.survival: per-group survival tables, Kaplan-Meier curves, log-rank tests.
#include "survival.hpp"

namespace survival {
namespace {
nb::handle self_module;

void bind_imports(nb::module_& m) {
    auto imp = [](const char* name) { return nb::module_::import_(name); };
    m.attr("pd") = imp("pandas");
    m.attr("np") = imp("numpy");
    m.attr("re") = imp("re");
    m.attr("combinations") = imp("itertools").attr("combinations");
    m.attr("KaplanMeierFitter") = imp("lifelines").attr("KaplanMeierFitter");
    m.attr("logrank_test") = imp("lifelines.statistics").attr("logrank_test");
    m.attr("plt") = imp("matplotlib.pyplot");
    m.attr("AnchoredText") = imp("matplotlib.offsetbox").attr("AnchoredText");
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
