// Placeholder until the figures are built.
#include "plotweave.hpp"

namespace plotweave {

void register_volcano_plots(nb::module_& m) {
    for (const char* name : {"volcano", "genz_volcano", "genz_volcano_pdf"})
        m.def(name, [name](nb::args, nb::kwargs) -> nb::object { pyglue::raise_not_implemented(name); },
              nb::name(name));
}

}  // namespace plotweave
