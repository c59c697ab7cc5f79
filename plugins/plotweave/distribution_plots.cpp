// Distribution and correlation figures: the CV histogram, the two-group box
// plot, the labelled scatter and the paired-values scatter.
#include "figure_kit.hpp"

namespace plotweave {
namespace {

using pyglue::contains;
using pyglue::to_list;
using pyglue::truthy;

nb::object histogram(nb::object values, nb::object figure_height, nb::object show_median) {
    nb::object px = global("px"), go = global("go");
    nb::object fig = px.attr("histogram")(values, "color"_a = px.attr("Constant")("Histogram(CV)"),
                                          "nbins"_a = 20, "labels"_a = kit::dict_of("color", ""));
    fig.attr("update_traces")("marker_line_width"_a = 1, "marker_line_color"_a = "white");
    nb::object med = global("np").attr("nanmedian")(values);
    if (truthy(show_median)) {
        nb::dict marker = kit::dict_of("color", "Red", "size", 20, "line",
                                       kit::dict_of("color", "MediumPurple", "width", 2));
        fig.attr("add_trace")(go.attr("Scatter")("mode"_a = "markers", "x"_a = pyglue::kids(med),
                                                 "y"_a = pyglue::kids(0), "name"_a = "Median(CV)",
                                                 "marker"_a = marker, "showlegend"_a = false));
    }
    nb::dict axis = kit::dict_of("autorange", true, "showgrid", false, "zeroline", false,
                                 "linecolor", "black", "showline", true, "rangemode", "tozero");
    fig.attr("update_layout")("clickmode"_a = "event+select",
                              "xaxis_title"_a = "Coefficient of Variation (CV)", "yaxis_title"_a = "Count",
                              "xaxis"_a = axis, "yaxis"_a = axis, "margin"_a = margin(),
                              "height"_a = figure_height, "paper_bgcolor"_a = kResultBackground,
                              "plot_bgcolor"_a = kResultBackground, "showlegend"_a = false);
    return fig;
}

// The [group, value] pairs of the samples of one group that the feature's row has, in the
// group's order. The row's values are looked up at once (a cohort's group holds thousands of
// samples); a row that names a sample twice is read sample by sample, as its lookups give.
void append_group(nb::list& rows, nb::handle row, nb::handle samples, nb::handle name) {
    nb::object index = row.attr("index");
    if (!truthy(index.attr("is_unique"))) {
        for (nb::handle sample : samples)
            if (contains(row, sample)) rows.append(pyglue::kids(name, nb::object(row[sample])));
        return;
    }
    nb::object wanted = global("pd").attr("Index")(to_list(samples), "dtype"_a = "object");
    nb::object kept = wanted[wanted.attr("isin")(index)];
    nb::list values = to_list(row.attr("loc")[kept].attr("to_numpy")("dtype"_a = "object"));
    for (nb::handle value : values) rows.append(pyglue::kids(name, value));
}

nb::object boxplot(nb::object df, nb::object gene, nb::object a, nb::object b, nb::object name_a,
                   nb::object name_b, nb::object title, nb::object figure_height) {
    nb::object index = df.attr("index");
    if (!contains(index, gene)) return pyglue::placeholder_figure(figure_height);
    nb::object row = df[index.attr("__eq__")(gene)].attr("iloc")[0];
    nb::list rows;
    append_group(rows, row, a, name_a);
    append_group(rows, row, b, name_b);
    nb::object values = global("pd").attr("DataFrame")(rows, "columns"_a = pyglue::kids("Group", "Expression"));
    nb::object fig = global("px").attr("box")(values, "x"_a = "Group", "y"_a = "Expression");
    nb::dict axis = kit::axis_lines();
    fig.attr("update_layout")("clickmode"_a = "event+select", "xaxis"_a = axis, "yaxis"_a = axis,
                              "title"_a = title, "margin"_a = margin(50), "height"_a = figure_height,
                              "paper_bgcolor"_a = kResultBackground, "plot_bgcolor"_a = kResultBackground);
    return fig;
}

nb::object scatter_plot(nb::object x, nb::object y, nb::object x_name, nb::object y_name,
                        nb::object hover_text, nb::object figure_height) {
    nb::object go = global("go");
    nb::object fig = go.attr("Figure")();
    // A point's diameter is its own y value: larger y, larger dot.
    fig.attr("add_trace")(go.attr("Scatter")("mode"_a = "markers", "x"_a = x, "y"_a = y,
                                             "text"_a = hover_text, "hoverinfo"_a = "text",
                                             "marker"_a = kit::dict_of("color", "Red", "size", y)));
    nb::dict axis = kit::axis_lines();
    fig.attr("update_layout")("clickmode"_a = "event+select", "xaxis"_a = axis, "yaxis"_a = axis,
                              "xaxis_title"_a = x_name, "yaxis_title"_a = y_name, "margin"_a = margin(),
                              "height"_a = figure_height, "paper_bgcolor"_a = kResultBackground,
                              "plot_bgcolor"_a = kResultBackground, "showlegend"_a = false);
    return fig;
}

// Element-wise pandas.notna of a sequence, as a list of bools.
nb::list present(nb::handle pd, nb::handle items) {
    return to_list(pd.attr("notna")(pd.attr("Series")(items, "dtype"_a = "object")));
}

nb::object corrplot(nb::object x, nb::object y, nb::object figure_height, nb::object x_name,
                    nb::object y_name) {
    nb::object pd = global("pd"), go = global("go");
    // Pairs are matched by position, whatever index a series carries.
    nb::list xs = to_list(x), ys = to_list(y);
    if (xs.size() != ys.size())
        pyglue::raise_value("corrplot: x and y must have the same length, got " + std::to_string(xs.size()) +
                            " and " + std::to_string(ys.size()));
    nb::list x_ok = present(pd, xs), y_ok = present(pd, ys);
    nb::list new_x, new_y;
    for (size_t i = 0; i < xs.size(); ++i) {
        if (truthy(x_ok[i]) && truthy(y_ok[i])) {
            new_x.append(xs[i]);
            new_y.append(ys[i]);
        }
    }
    nb::object fig = go.attr("Figure")();
    fig.attr("add_trace")(go.attr("Scatter")("mode"_a = "markers", "x"_a = new_x, "y"_a = new_y,
                                             "name"_a = "Median(CV)",
                                             "marker"_a = kit::dict_of("color", "Red", "size", 1)));
    fig.attr("update_layout")("clickmode"_a = "event+select", "xaxis_title"_a = x_name,
                              "yaxis_title"_a = y_name, "margin"_a = margin(), "height"_a = figure_height,
                              "paper_bgcolor"_a = kResultBackground, "plot_bgcolor"_a = kResultBackground, "showlegend"_a = false);
    return fig;
}

}  // namespace

void register_distribution_plots(nb::module_& m) {
    m.def("histogram", &histogram, "values"_a, "figure_height"_a = 500, "show_median"_a = true,
          nb::sig("def histogram(values: numpy.typing.ArrayLike, figure_height: int = 500, show_median: bool = True) "
                  "-> plotly.graph_objects.Figure"),
          "Histogram of the values in 20 bins with the median marked as a red dot.");
    m.def("boxplot", &boxplot, "df"_a, "gene"_a, "a"_a, "b"_a, "name_a"_a, "name_b"_a, "title"_a = "",
          "figure_height"_a = 500,
          nb::sig("def boxplot(df: pandas.DataFrame, gene: str, a: collections.abc.Iterable[str], "
                  "b: collections.abc.Iterable[str], name_a: str, name_b: str, title: str = '', "
                  "figure_height: int = 500) -> plotly.graph_objects.Figure"),
          "Box plot of one feature (a row of df) in the sample groups a and b; the default figure when the "
          "feature is absent.");
    m.def("scatter_plot", &scatter_plot, "x"_a, "y"_a, "x_name"_a, "y_name"_a, "hover_text"_a,
          "figure_height"_a,
          nb::sig("def scatter_plot(x: numpy.typing.ArrayLike, y: numpy.typing.ArrayLike, x_name: str, y_name: str, "
                  "hover_text: collections.abc.Sequence[str], figure_height: int) -> plotly.graph_objects.Figure"),
          "Labelled scatter whose marker sizes follow the y values.");
    m.def("corrplot", &corrplot, "x"_a, "y"_a, "figure_height"_a = 500, "x_name"_a = "X", "y_name"_a = "Y",
          nb::sig("def corrplot(x: collections.abc.Iterable[float], y: collections.abc.Iterable[float], "
                  "figure_height: int = 500, x_name: str = 'X', y_name: str = 'Y') -> plotly.graph_objects.Figure"),
          "Scatter of paired values, leaving out the pairs with a missing value.");
}

}  // namespace plotweave
