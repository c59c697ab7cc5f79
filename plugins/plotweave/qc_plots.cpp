// Placeholder until the figures are built.
#include "plotweave.hpp"

namespace plotweave {

void register_qc_plots(nb::module_& m) {
    for (const char* name : {"qc_corr_matrix_plot", "qc_cv_hist_plot"})
        m.def(name, [name](nb::args, nb::kwargs) -> nb::object { pyglue::raise_not_implemented(name); },
              nb::name(name));
}

}  // namespace plotweave
