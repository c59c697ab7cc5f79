// Volcano plots: the differential card's interactive figure, and the
// glycosylation-enzyme figure drawn interactively and as a static file.
#include "figure_kit.hpp"

#include <cmath>
#include <limits>
#include <mutex>

namespace plotweave {
namespace {

// ---- differential volcano -----------------------------------------------

// The grey dotted threshold lines of the differential volcano.
nb::object cutoff_line(nb::handle go, nb::list xs, nb::list ys) {
    return go.attr("Scatter")("x"_a = xs, "y"_a = ys, "opacity"_a = 0.5, "mode"_a = "lines",
                              "line"_a = kit::dict_of("color", "grey", "dash", "dot"), "showlegend"_a = false);
}

// One significance class; `group` is null for the class kept out of the legend.
nb::object class_trace(nb::handle go, nb::handle rows, nb::handle x, nb::handle y, nb::object opacity,
                       const char* color, nb::str name, const char* group) {
    nb::dict kw = kit::dict_of("mode", "markers", "x", nb::object(rows[x]), "y", nb::object(rows[y]), "text",
                               rows.attr("index"), "hoverinfo", "text", "opacity", opacity, "marker",
                               kit::dict_of("color", color, "size", 2), "name", name);
    if (group)
        kw["legendgroup"] = group;
    else
        kw["showlegend"] = false;
    return go.attr("Scatter")(**kw);
}

// The figure width a caller may pass as `figure_width` (or `width`).
nb::object width_of(const nb::kwargs& kwargs) {
    for (const char* key : {"figure_width", "width"})
        if (kwargs.contains(key) && !nb::handle(kwargs[key]).is_none()) {
            PyObject* width = PyNumber_Float(nb::object(kwargs[key]).ptr());
            if (!width) throw nb::python_error();
            return nb::steal(width);
        }
    return nb::object();
}

nb::object volcano(nb::object df, nb::object x, nb::object y, nb::object figure_height, nb::object title,
                   nb::object fdr, nb::object fc, nb::kwargs kwargs) {
    nb::object np = global("np"), go = global("go");
    nb::object y_cutoff = nb::int_(-1) * np.attr("log10")(fdr);
    nb::object x_cutoff = np.attr("log2")(fc);

    nb::object codes = df["Significance"];
    auto coded = [&](const char* code) { return nb::object(df[codes.attr("__eq__")(code)]); };
    nb::object up = coded("U"), sig_up = coded("S-U"), down = coded("D"), sig_down = coded("S-D");
    nb::object no_sig = df[global("pd").attr("isna")(codes)];

    nb::object x_max = np.attr("max")(df[x]), x_min = np.attr("min")(df[x]), y_max = np.attr("max")(df[y]);
    nb::int_ zero(0);
    if (x_max > zero && x_min < zero) {  // both directions present: centre zero
        nb::object x_abs = np.attr("max")(pyglue::kids(np.attr("abs")(x_max), np.attr("abs")(x_min)));
        x_min = nb::int_(-1) * x_abs;
        x_max = x_abs;
    }

    nb::object fig = go.attr("Figure")();
    fig.attr("add_trace")(cutoff_line(go, pyglue::kids(x_min, x_max), pyglue::kids(y_cutoff, y_cutoff)));
    fig.attr("add_trace")(cutoff_line(go, pyglue::kids(-x_cutoff, -x_cutoff), pyglue::kids(0, y_max)));
    fig.attr("add_trace")(cutoff_line(go, pyglue::kids(x_cutoff, x_cutoff), pyglue::kids(0, y_max)));

    size_t n_up = nb::len(up), n_sig_up = nb::len(sig_up), n_down = nb::len(down), n_sig_down = nb::len(sig_down);
    nb::float_ half(0.5);
    nb::int_ full(1);
    // The Up and Down counts include the features beyond the fold-change cut-off.
    fig.attr("add_trace")(class_trace(go, no_sig, x, y, half, "grey",
                                      kit::format("NoSig:{}", nb::len(no_sig)), nullptr));
    fig.attr("add_trace")(class_trace(go, up, x, y, half, "red",
                                      kit::format("Up(FDR<{0}):{1}", fdr, n_up + n_sig_up), "group_up"));
    fig.attr("add_trace")(class_trace(go, down, x, y, half, "blue",
                                      kit::format("Down(FDR<{0}):{1}", fdr, n_down + n_sig_down), "group_down"));
    fig.attr("add_trace")(class_trace(go, sig_up, x, y, full, "red",
                                      kit::format("SigUp({0}X):{1}", fc, n_sig_up), "group_up"));
    fig.attr("add_trace")(class_trace(go, sig_down, x, y, full, "blue",
                                      kit::format("SigDown({0}X):{1}", fc, n_sig_down), "group_down"));

    nb::dict axis = kit::axis_lines();
    nb::dict layout = kit::dict_of(
        "clickmode", "event+select",
        "title", kit::dict_of("text", title, "y", 1, "x", 0.5, "xanchor", "center", "yanchor", "top"),
        "xaxis", axis, "yaxis", axis, "xaxis_title", x, "yaxis_title", y, "margin", margin(50),
        "height", figure_height, "paper_bgcolor", kResultBackground, "plot_bgcolor", kResultBackground,
        "legend", kit::dict_of("orientation", "h", "yanchor", "bottom", "y", 1.02, "xanchor", "center", "x", 0.5));
    if (nb::object width = width_of(kwargs); width.is_valid()) layout["width"] = width;
    fig.attr("update_layout")(**layout);
    return fig;
}

// ---- enzyme volcano -------------------------------------------------------

// Fixed cut-offs of the enzyme figures: 1.5-fold change, FDR 0.01.
nb::object enzyme_fold_cutoff() { return global("np").attr("log2")(1.5); }
constexpr double enzyme_fdr_line = 2.0;  // -log10(0.01)

// The largest value of a column (of its absolute values if asked), ignoring
// missing values; NaN when the column has none.
double column_max(nb::handle column, bool absolute) {
    double best = -std::numeric_limits<double>::infinity();
    bool any = false;
    for (nb::handle item : column) {
        double v = PyFloat_AsDouble(item.ptr());
        if (v == -1.0 && PyErr_Occurred()) throw nb::python_error();
        if (std::isnan(v)) continue;
        if (absolute) v = std::fabs(v);
        if (!any || v > best) best = v;
        any = true;
    }
    return any ? best : std::numeric_limits<double>::quiet_NaN();
}

nb::object stage_trace(nb::handle go, nb::handle df, nb::handle x, nb::handle y, const char* stage,
                       const char* color) {
    nb::object rows = df[df["Stage"].attr("__eq__")(stage)];
    return go.attr("Scatter")("mode"_a = "markers", "x"_a = nb::object(rows[x]), "y"_a = nb::object(rows[y]),
                              "text"_a = rows.attr("index"), "hoverinfo"_a = "text", "opacity"_a = 0.7,
                              "marker"_a = kit::dict_of("color", color, "size", 10),
                              "name"_a = kit::format((std::string(stage) + ":{}").c_str(), nb::len(rows)));
}

nb::object genz_volcano(nb::object df, nb::object x, nb::object y, nb::object title, nb::object figure_height) {
    nb::object go = global("go");
    nb::object fig = go.attr("Figure")();
    // 5 % head-room above and beside the furthest enzyme.
    nb::float_ top_y(column_max(df[y], false) * 1.05), top_x(column_max(df[x], true) * 1.05);
    nb::object fold = enzyme_fold_cutoff();
    nb::dict line = kit::dict_of("color", "grey", "width", 1, "dash", "dash");
    auto add_line = [&](nb::list xs, nb::list ys) {
        fig.attr("add_trace")(go.attr("Scatter")("x"_a = xs, "y"_a = ys, "line"_a = line, "showlegend"_a = false));
    };
    add_line(pyglue::kids(fold, fold), pyglue::kids(0, top_y));
    add_line(pyglue::kids(-fold, -fold), pyglue::kids(0, top_y));
    add_line(pyglue::kids(-top_x, top_x), pyglue::kids(2, 2));
    fig.attr("add_trace")(stage_trace(go, df, x, y, "Precursor", "blue"));
    fig.attr("add_trace")(stage_trace(go, df, x, y, "Trimming", "green"));
    fig.attr("add_trace")(stage_trace(go, df, x, y, "Capping", "orange"));
    nb::dict axis = kit::axis_lines(true);
    fig.attr("update_layout")("clickmode"_a = "event+select", "title"_a = title, "xaxis"_a = axis,
                              "yaxis"_a = axis, "xaxis_title"_a = "Log2FC(median)",
                              "yaxis_title"_a = "-Log10(FDR)", "margin"_a = margin(50),
                              "height"_a = figure_height, "paper_bgcolor"_a = kResultBackground,
                              "plot_bgcolor"_a = kResultBackground);
    return fig;
}

// ---- enzyme volcano as a file -------------------------------------------------

// pyplot keeps process-wide state; one drawing at a time.
std::mutex pdf_mutex;

nb::object genz_volcano_pdf(nb::object diff_enz_df, nb::object out_path) {
    std::unique_lock<std::mutex> lock(pdf_mutex, std::defer_lock);
    {
        nb::gil_scoped_release unlocked;
        lock.lock();
    }
    nb::object mpl = nb::module_::import_("matplotlib");
    nb::object sns = nb::module_::import_("seaborn");
    nb::object plt = nb::module_::import_("matplotlib.pyplot");
    nb::object adjust_text = nb::module_::import_("adjustText").attr("adjust_text");

    mpl.attr("rcParams")["pdf.fonttype"] = 42;  // TrueType fonts, editable in the PDF
    sns.attr("set_style")("white");
    nb::tuple fig_ax = nb::cast<nb::tuple>(plt.attr("subplots")("figsize"_a = nb::make_tuple(5, 5), "dpi"_a = 300));
    nb::object fig = fig_ax[0], ax = fig_ax[1];
    const char* fc_col = "Log2FC(median)";
    const char* fdr_col = "-Log10(FDR)";
    sns.attr("scatterplot")("x"_a = fc_col, "y"_a = fdr_col, "data"_a = diff_enz_df, "hue"_a = "Stage", "ax"_a = ax);

    // Each label starts just right of its point; adjust_text then moves them apart.
    nb::list texts;
    nb::object labels = diff_enz_df.attr("index");
    nb::list xs = nb::cast<nb::list>(diff_enz_df[fc_col].attr("tolist")());
    nb::list ys = nb::cast<nb::list>(diff_enz_df[fdr_col].attr("tolist")());
    if (nb::len(labels) != xs.size() || ys.size() != xs.size())
        pyglue::raise_value("genz_volcano_pdf: the fold-change and FDR columns must have one value per row");
    size_t i = 0;
    for (nb::handle label : labels) {
        if (i >= xs.size()) break;
        double x = PyFloat_AsDouble(nb::object(xs[i]).ptr()), y = PyFloat_AsDouble(nb::object(ys[i]).ptr());
        ++i;
        if (PyErr_Occurred()) throw nb::python_error();
        // A point without both coordinates is not drawn, so it gets no label.
        if (!std::isfinite(x) || !std::isfinite(y)) continue;
        texts.append(ax.attr("text")(x + 0.03, y, label, "fontsize"_a = 9));
    }
    if (nb::len(texts) > 0) adjust_text(texts, "ax"_a = ax);

    nb::object fold = enzyme_fold_cutoff();
    nb::dict style = kit::dict_of("color", "lightgray", "lw", 1, "ls", "-.");
    ax.attr("axhline")("y"_a = enzyme_fdr_line, **style);
    ax.attr("axvline")("x"_a = -fold, **style);
    ax.attr("axvline")("x"_a = fold, **style);
    ax.attr("legend")("loc"_a = "lower right");
    fig.attr("savefig")(out_path, "bbox_inches"_a = "tight");
    return nb::none();
}

}  // namespace

void register_volcano_plots(nb::module_& m) {
    // The enzyme volcano's default height is the host's setting as it is now, at import.
    nb::object height = m.attr("default_figure_height");

    m.def("volcano", &volcano, "df"_a, "x"_a = "Log2FC(median)", "y"_a = "-Log10(FDR)", "figure_height"_a = 500,
          "title"_a = "", "fdr"_a = 0.01, "fc"_a = 2, "kwargs"_a,
          nb::sig("def volcano(df: pandas.DataFrame, x: str = 'Log2FC(median)', y: str = '-Log10(FDR)', "
                  "figure_height: int = 500, title: str = '', fdr: float = 0.01, fc: float = 2, "
                  "**kwargs: object) -> plotly.graph_objects.Figure"),
          "Volcano of a differential table coloured by its 'Significance' codes, with threshold lines at "
          "-log10(fdr) and +-log2(fc); a `figure_width` keyword sets the width.");
    std::string genz_sig = "def genz_volcano(df: pandas.DataFrame, x: str = 'Log2FC(median)', "
                           "y: str = '-Log10(FDR)', title: str = '', figure_height: int = " +
                           pyglue::repr(height) + ") -> plotly.graph_objects.Figure";
    m.def("genz_volcano", &genz_volcano, "df"_a, "x"_a = "Log2FC(median)", "y"_a = "-Log10(FDR)", "title"_a = "",
          "figure_height"_a = height, nb::sig(genz_sig.c_str()), "Volcano of enzyme results coloured by their processing 'Stage'.");
    m.def("genz_volcano_pdf", &genz_volcano_pdf, "diff_enz_df"_a, "out_path"_a,
          nb::sig("def genz_volcano_pdf(diff_enz_df: pandas.DataFrame, out_path: str | os.PathLike[str]) -> None"),
          "Writes the labelled enzyme volcano to out_path (the format follows the extension).");
}

}  // namespace plotweave
