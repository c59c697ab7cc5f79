// Figure defaults, heatmap and image embedding.
#include "plotweave.hpp"

namespace plotweave {

namespace {

nb::dict hidden_ticks(double from, double to) {
    nb::dict axis;
    axis["domain"] = nb::make_tuple(from, to);
    axis["showticklabels"] = false;
    return axis;
}

nb::object heatmap_plot(nb::handle expr_data, nb::handle samples, nb::handle features,
                        nb::handle sample_labels, nb::handle feature_labels, nb::handle sample_text,
                        nb::handle feature_text) {
    nb::object Heatmap = global("go").attr("Heatmap");
    nb::object matrix = Heatmap("x"_a = samples, "y"_a = features, "z"_a = expr_data, "type"_a = "heatmap",
                                "colorscale"_a = "Balance", "zmin"_a = -2, "zmax"_a = 2);
    nb::object sample_bar = Heatmap("x"_a = samples, "z"_a = sample_labels, "text"_a = sample_text,
                                    "xaxis"_a = "x2", "yaxis"_a = "y2", "showscale"_a = false,
                                    "hoverinfo"_a = "text");
    nb::object feature_bar = Heatmap("y"_a = features, "z"_a = feature_labels, "xaxis"_a = "x3",
                                     "yaxis"_a = "y3", "text"_a = feature_text, "showscale"_a = false,
                                     "hoverinfo"_a = "text");
    // The matrix takes the lower right; the sample bar the top tenth, the feature bar the left tenth.
    nb::object layout = global("go").attr("Layout")(
        "xaxis"_a = hidden_ticks(0.1, 1), "yaxis"_a = hidden_ticks(0, 0.9),
        "xaxis2"_a = hidden_ticks(0.1, 1), "yaxis2"_a = hidden_ticks(0.9, 1),
        "xaxis3"_a = hidden_ticks(0, 0.1), "yaxis3"_a = hidden_ticks(0, 0.9));
    nb::object fig = global("go").attr("Figure")("data"_a = pyglue::kids(matrix, sample_bar, feature_bar),
                                                 "layout"_a = layout);
    fig.attr("update_layout")("clickmode"_a = "event+select", "xaxis_title"_a = "Samples",
                              "margin"_a = margin(), "height"_a = figure_height(),
                              "paper_bgcolor"_a = kResultBackground, "plot_bgcolor"_a = kResultBackground,
                              "showlegend"_a = false);
    return fig;
}

nb::object build_default_fig(nb::handle height) { return pyglue::placeholder_figure(height); }

// Python's `a * b`, so that ints and floats mix as they do in Python.
nb::object times(nb::handle a, nb::handle b) {
    PyObject* r = PyNumber_Multiply(a.ptr(), b.ptr());
    if (!r) throw nb::python_error();
    return nb::steal(r);
}

// The file as a PNG data URI; the file is closed even when reading fails.
std::string png_data_uri(nb::handle path) {
    nb::object file = nb::module_::import_("builtins").attr("open")(path, "rb");
    nb::object raw;
    try {
        raw = file.attr("read")();
    } catch (...) {
        file.attr("close")();
        throw;
    }
    file.attr("close")();
    nb::object text = global("base64").attr("b64encode")(raw).attr("decode")();
    return "data:image/png;base64," + nb::cast<std::string>(text);
}

nb::object show_image(nb::handle path, nb::handle img_width, nb::handle img_height, nb::handle scale_factor) {
    nb::object width = times(img_width, scale_factor);
    nb::object height = times(img_height, scale_factor);
    nb::object fig = global("go").attr("Figure")();
    // An invisible scatter pins the axes to the image's extent.
    fig.attr("add_trace")(global("go").attr("Scatter")("x"_a = pyglue::kids(0, width),
                                                       "y"_a = pyglue::kids(0, height),
                                                       "mode"_a = "markers", "marker_opacity"_a = 0));
    fig.attr("update_xaxes")("visible"_a = false, "range"_a = pyglue::kids(0, width));
    fig.attr("update_yaxes")("visible"_a = false, "range"_a = pyglue::kids(0, height), "scaleanchor"_a = "x");
    fig.attr("add_layout_image")("x"_a = 0, "sizex"_a = width, "y"_a = height, "sizey"_a = height,
                                 "xref"_a = "x", "yref"_a = "y", "opacity"_a = 1, "layer"_a = "below",
                                 "sizing"_a = "stretch", "source"_a = png_data_uri(path));
    fig.attr("update_layout")("margin"_a = margin(0, 0));
    return fig;
}

}  // namespace

void register_figure_base(nb::module_& m) {
    m.def("heatmap_plot", &heatmap_plot, "expr_data"_a.none(), "samples"_a.none(), "features"_a.none(),
          "sample_labels"_a.none(), "feature_labels"_a.none(), "sample_text"_a.none(),
          "feature_text"_a.none(),
          nb::sig("def heatmap_plot(expr_data: numpy.typing.ArrayLike, samples: collections.abc.Sequence[str], "
                  "features: collections.abc.Sequence[str], sample_labels: numpy.typing.ArrayLike, "
                  "feature_labels: numpy.typing.ArrayLike, sample_text: numpy.typing.ArrayLike, "
                  "feature_text: numpy.typing.ArrayLike) -> plotly.graph_objects.Figure"),
          "A heatmap of the matrix with colour bars for the samples (top) and the features (left).");
    // The default height is the host's value at import; later changes of it do not apply.
    nb::object height = global("default_figure_height");
    std::string sig = "def build_default_fig(height: int | None = " + pyglue::repr(height) +
                      ") -> plotly.graph_objects.Figure";
    m.def("build_default_fig", &build_default_fig, "height"_a.none() = height, nb::sig(sig.c_str()),
          "The empty placeholder figure shown before a result exists.");
    m.def("show_image", &show_image, "path"_a.none(), "img_width"_a.none() = 800, "img_height"_a.none() = 600,
          "scale_factor"_a.none() = 0.5,
          nb::sig("def show_image(path: str | os.PathLike[str], img_width: float = 800, img_height: float = 600, "
                  "scale_factor: float = 0.5) -> plotly.graph_objects.Figure"),
          "A figure showing the PNG file at path, its aspect ratio kept.");
}

}  // namespace plotweave
