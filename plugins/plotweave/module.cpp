// veltrana.plugins.plotweave: the dashboard's figures.
#include "plotweave.hpp"

namespace plotweave {
namespace {
nb::handle self_module;
}
nb::object global(const char* name) { return self_module.attr(name); }
}  // namespace plotweave

NB_MODULE(plotweave, m) {
    using namespace plotweave;
    self_module = m;
    m.doc() = "The Veltrana figures: volcano, box, histogram, scatter, heatmap, ROC and QC plots.";
    register_figure_base(m);
    register_qc_plots(m);
    register_volcano_plots(m);
    register_distribution_plots(m);
    register_roc_plot(m);
}
