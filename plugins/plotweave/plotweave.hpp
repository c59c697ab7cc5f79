// The figure functions, one source file per figure family.
#pragma once

#include "pyglue.hpp"

namespace plotweave {
namespace nb = nanobind;
using namespace nb::literals;

// A module-level binding of plotweave, looked up when called.
nb::object global(const char* name);

using pyglue::kResultBackground;
using pyglue::margin;

// default_figure_height as bound at import, and the height of figures that share a row.
inline nb::object figure_height() { return global("default_figure_height"); }
inline nb::object short_figure_height() { return pyglue::shorter(figure_height()); }

void register_figure_base(nb::module_& m);     // defaults, heatmap, image embedding
void register_qc_plots(nb::module_& m);
void register_volcano_plots(nb::module_& m);
void register_distribution_plots(nb::module_& m);
void register_roc_plot(nb::module_& m);

}  // namespace plotweave
