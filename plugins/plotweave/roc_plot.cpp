// The ROC curve of one feature, drawn from rates computed elsewhere.
#include "figure_kit.hpp"

namespace plotweave {
namespace {

nb::object roc_plot(nb::object fpr, nb::object tpr, nb::object auc, nb::object figure_height) {
    nb::object go = global("go");
    nb::object fig = go.attr("Figure")();
    // No mode: Plotly shows markers on short curves and lines only on long ones.
    fig.attr("add_trace")(go.attr("Scatter")("x"_a = fpr, "y"_a = tpr, "name"_a = "ROC",
                                             "marker"_a = kit::dict_of("color", "firebrick", "size", 5)));
    // The chance diagonal.
    fig.attr("add_trace")(go.attr("Scatter")(
        "x"_a = pyglue::kids(0, 1), "y"_a = pyglue::kids(0, 1), "name"_a = "ROC",
        "line"_a = kit::dict_of("color", "royalblue", "width", 4, "dash", "dash")));
    nb::dict axis = kit::axis_lines();
    fig.attr("update_layout")(
        "clickmode"_a = "event+select", "xaxis_title"_a = "False positive rate",
        "yaxis_title"_a = "True positive rate", "title"_a = kit::format("AUC:{:.2f}", auc),
        "xaxis"_a = axis, "yaxis"_a = axis, "margin"_a = margin(50), "height"_a = figure_height,
        "paper_bgcolor"_a = kResultBackground, "plot_bgcolor"_a = kResultBackground, "showlegend"_a = false);
    return fig;
}

}  // namespace

void register_roc_plot(nb::module_& m) {
    m.def("roc_plot", &roc_plot, "fpr"_a, "tpr"_a, "auc"_a, "figure_height"_a = 500,
          nb::sig("def roc_plot(fpr: numpy.typing.ArrayLike, tpr: numpy.typing.ArrayLike, auc: float, "
                  "figure_height: int = 500) -> plotly.graph_objects.Figure"),
          "Draws a ROC curve with the chance diagonal; the title shows the AUC.");
}

}  // namespace plotweave
