// Figure defaults, heatmap and image embedding (placeholder until built).
#include "plotweave.hpp"

namespace plotweave {

void register_figure_base(nb::module_& m) {
    m.def("build_default_fig", [](int height) {
        nb::object fig = global("go").attr("Figure")();
        nb::dict margin;
        for (const char* side : {"l", "r", "t", "b"}) margin[side] = 20;
        fig.attr("update_layout")("margin"_a = margin, "paper_bgcolor"_a = "LightSteelBlue",
                                  "height"_a = height);
        return fig;
    }, "height"_a = global("default_figure_height"));
    for (const char* name : {"heatmap_plot", "show_image"})
        m.def(name, [name](nb::args, nb::kwargs) -> nb::object { pyglue::raise_not_implemented(name); },
              nb::name(name));
}

}  // namespace plotweave
