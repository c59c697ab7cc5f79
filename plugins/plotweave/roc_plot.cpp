// Placeholder until the figures are built.
#include "plotweave.hpp"

namespace plotweave {

void register_roc_plot(nb::module_& m) {
    for (const char* name : {"roc_plot"})
        m.def(name, [name](nb::args, nb::kwargs) -> nb::object { pyglue::raise_not_implemented(name); },
              nb::name(name));
}

}  // namespace plotweave
