// The figure functions, one source file per figure family.
#pragma once

#include "pyglue.hpp"

namespace plotweave {
namespace nb = nanobind;
using namespace nb::literals;

// A module-level binding of plotweave, looked up when called.
nb::object global(const char* name);

// {"l": side, "r": side, "t": side, "b": side}
nb::dict margin_of(int side);

void register_figure_base(nb::module_& m);     // defaults, heatmap, image embedding
void register_qc_plots(nb::module_& m);
void register_volcano_plots(nb::module_& m);
void register_distribution_plots(nb::module_& m);
void register_roc_plot(nb::module_& m);

}  // namespace plotweave
