// Placeholder until the figures are built.
#include "plotweave.hpp"

namespace plotweave {

void register_distribution_plots(nb::module_& m) {
    for (const char* name : {"histogram", "boxplot", "scatter_plot", "corrplot"})
        m.def(name, [name](nb::args, nb::kwargs) -> nb::object { pyglue::raise_not_implemented(name); },
              nb::name(name));
}

}  // namespace plotweave
