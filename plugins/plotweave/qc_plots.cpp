// Quality-control plots: the sample-by-sample correlation matrix and the CV histogram.
//
// The matrix has n x n panels and n(n-1)/2 scatter traces of every feature. Building it with
// make_subplots and one update_xaxes/update_yaxes/add_annotation per panel costs a scan of all
// axes or annotations per call, and plotly validates and deep-copies every point of every trace.
// Here the layout (the same grid make_subplots computes) and the traces are assembled as plain
// dicts, the figure is created once without validation, and each trace then receives its own
// copy of its points; the figure equals the step-by-step one.
#include "plotweave.hpp"

#include <nanobind/ndarray.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

namespace plotweave {
namespace {

using Doubles = nb::ndarray<const double, nb::ndim<1>, nb::c_contig, nb::device::cpu>;

using pyglue::kMarkerColour;

// ---- the subplot grid ------------------------------------------------------

// One panel's axes, numbered k = row * n + col + 1 (0-based row and col) as make_subplots does.
struct Panel {
    std::string xaxis, yaxis;  // layout keys: "xaxis", "xaxis2", ...
    std::string x, y;          // trace and annotation references: "x", "x2", ...
};

Panel panel(size_t k) {
    std::string num = k > 1 ? std::to_string(k) : std::string();
    return {"xaxis" + num, "yaxis" + num, "x" + num, "y" + num};
}

// make_subplots' grid for rows = cols = n with its default spacing, start cell top left:
// column c spans x_domain[c], row r (counted from the top) spans y_domain[r]. The arithmetic
// follows plotly's step by step so that the floats are the same.
struct Grid {
    std::vector<std::pair<double, double>> x_domain, y_domain;
};

double clamp_unit(double v) {
    if (v < 0.0 && v > -0.01) return 0.0;
    if (v > 1.0 && v < 1.01) return 1.0;
    return v;
}

Grid subplot_grid(size_t n) {
    const double hs = 0.2 / double(n), vs = 0.3 / double(n);
    const double width = (1.0 - hs * double(n - 1)) / double(n);
    const double height = (1.0 - vs * double(n - 1)) / double(n);
    Grid g;
    double sum_w = 0.0, sum_h = 0.0;  // running sums of the widths/heights before this cell
    std::vector<double> y_start(n);
    for (size_t c = 0; c < n; ++c) {
        double start = sum_w + double(c) * hs;
        g.x_domain.emplace_back(start, start + width);
        sum_w += width;
    }
    for (size_t b = 0; b < n; ++b) {  // rows counted from the bottom
        y_start[b] = sum_h + double(b) * vs;
        sum_h += height;
    }
    for (size_t r = 0; r < n; ++r) {
        double start = y_start[n - 1 - r];
        g.y_domain.emplace_back(clamp_unit(start), clamp_unit(start + height));
    }
    return g;
}

nb::dict axis(const std::pair<double, double>& domain, const std::string& anchor) {
    nb::dict a;
    a["domain"] = pyglue::kids(domain.first, domain.second);
    a["anchor"] = anchor;
    return a;
}

void frame_axis(nb::dict a, nb::handle range) {
    if (range.is_valid()) a["range"] = range;
    a["linecolor"] = "black";
    a["showline"] = true;
    a["mirror"] = true;
}

nb::dict titled(nb::handle text) {
    nb::dict t;
    t["text"] = text;
    return t;
}

// The subplot references that make_subplots leaves on its figure, so that row/col addressing
// (add_trace(row=, col=), update_xaxes(row=, col=)) works on the result, and its print_grid text.
void attach_grid(nb::handle fig, size_t n) {
    nb::object SubplotRef = nb::module_::import_("plotly._subplots").attr("SubplotRef");
    nb::list grid_ref;
    std::vector<std::string> cells;
    size_t widest = 0;
    for (size_t r = 0; r < n; ++r) {
        nb::list row;
        for (size_t c = 0; c < n; ++c) {
            Panel p = panel(r * n + c + 1);
            nb::dict kwargs;
            kwargs["xaxis"] = p.x;
            kwargs["yaxis"] = p.y;
            row.append(nb::make_tuple(SubplotRef("xy", nb::make_tuple(p.xaxis, p.yaxis), kwargs)));
            cells.push_back("(" + std::to_string(r + 1) + "," + std::to_string(c + 1) + ") " + p.x + "," + p.y);
            widest = std::max(widest, cells.back().size());
        }
        grid_ref.append(row);
    }
    std::string text = "This is the format of your plot grid:\n";
    for (size_t r = 0; r < n; ++r) {
        for (size_t c = 0; c < n; ++c) {
            const std::string& cell = cells[r * n + c];
            text += (c ? "  [ " : "[ ") + cell + std::string(widest - cell.size(), ' ') + " ]";
        }
        text += "\n";
    }
    nb::dict attrs = nb::borrow<nb::dict>(fig.attr("__dict__"));
    attrs["_grid_ref"] = grid_ref;
    attrs["_grid_str"] = nb::str(text.c_str());
}

// ---- data ------------------------------------------------------------------

// The first row of the frame whose index label equals `sample`, as a list.
nb::object sample_row(nb::handle data_df, nb::handle sample) {
    nb::object mask = data_df.attr("index").attr("__eq__")(sample);
    nb::object rows = data_df.attr("__getitem__")(mask);
    return rows.attr("iloc").attr("__getitem__")(0).attr("tolist")();
}

// The common axis range [min - 5 %, max + 5 %] of the span over all values of the frame, and
// the step (1 % of the span).
struct Range {
    double lo, hi, step;
};

using Grid2 = nb::ndarray<const double, nb::ndim<2>, nb::device::cpu>;

// The smallest and largest value of a frame of numbers, NaN skipped, scanned where the
// numbers lie: the frame's own min() and max() copy a cohort's whole matrix to skip them.
// Order does not matter (no arithmetic): the extremes equal those of the per-column ones.
bool numeric_extremes(nb::handle data_df, double& lo, double& hi) {
    nb::object values = data_df.attr("to_numpy")();
    Grid2 grid;
    if (!nb::try_cast(values, grid, false) || grid.shape(1) == 0) return false;
    nb::gil_scoped_release released;
    // The inner loop along the shorter stride: a frame's numbers lie column by column.
    const bool by_rows = std::abs(grid.stride(1)) <= std::abs(grid.stride(0));
    const size_t outer = grid.shape(by_rows ? 0 : 1), inner = grid.shape(by_rows ? 1 : 0);
    const int64_t os = grid.stride(by_rows ? 0 : 1), is = grid.stride(by_rows ? 1 : 0);
    for (size_t i = 0; i < outer; ++i)
        for (size_t j = 0; j < inner; ++j) {
            const double v = grid.data()[int64_t(i) * os + int64_t(j) * is];
            if (std::isnan(v)) continue;
            if (std::isnan(lo) || v < lo) lo = v;
            if (std::isnan(hi) || v > hi) hi = v;
        }
    return true;
}

Range value_range(nb::handle data_df) {
    double lo = NAN, hi = NAN;
    if (numeric_extremes(data_df, lo, hi)) {
        const double step = (hi - lo) / 100;
        return {lo - 5 * step, hi + 5 * step, step};
    }
    nb::object np = global("np");
    nb::object mins = np.attr("asarray")(data_df.attr("min")(), "dtype"_a = "float64");
    nb::object maxs = np.attr("asarray")(data_df.attr("max")(), "dtype"_a = "float64");
    Doubles lo_of = nb::cast<Doubles>(np.attr("ascontiguousarray")(mins));
    Doubles hi_of = nb::cast<Doubles>(np.attr("ascontiguousarray")(maxs));
    if (lo_of.shape(0) == 0)
        pyglue::raise_value("qc_corr_matrix_plot: the data frame has no columns to take a value range from");
    if (hi_of.shape(0) != lo_of.shape(0))
        pyglue::raise_value("qc_corr_matrix_plot: the frame's min() and max() differ in length");
    // A feature missing in every sample has no minimum; it must not blank every axis range, so
    // missing column extremes are skipped. Ties keep the first value, as numpy's min does.
    for (size_t i = 0; i < lo_of.shape(0); ++i) {
        if (std::isnan(lo) || lo_of(i) < lo) lo = lo_of(i);
        if (std::isnan(hi) || hi_of(i) > hi) hi = hi_of(i);
    }
    double step = (hi - lo) / 100;
    return {lo - 5 * step, hi + 5 * step, step};
}

// A numpy array that owns the vector.
nb::object to_numpy(std::unique_ptr<std::vector<double>> v) {
    double* data = v->data();
    size_t size = v->size();
    nb::capsule owner(v.get(), [](void* p) noexcept { delete static_cast<std::vector<double>*>(p); });
    v.release();
    return nb::ndarray<nb::numpy, double, nb::ndim<1>>(data, {size}, owner).cast();
}

// pearsonr over the positions where both vectors have a value.
nb::object complete_pair_corr(const std::vector<double>& x, const std::vector<double>& y) {
    auto xx = std::make_unique<std::vector<double>>(), yy = std::make_unique<std::vector<double>>();
    {
        nb::gil_scoped_release released;
        xx->reserve(x.size());
        yy->reserve(y.size());
        for (size_t k = 0, len = std::min(x.size(), y.size()); k < len; ++k)
            if (!std::isnan(x[k]) && !std::isnan(y[k])) {
                xx->push_back(x[k]);
                yy->push_back(y[k]);
            }
    }
    nb::object ax = to_numpy(std::move(xx)), ay = to_numpy(std::move(yy));
    return global("pearsonr")(ax, ay).attr("__getitem__")(0);
}

std::vector<double> as_doubles(nb::handle values) {
    nb::object arr = global("np").attr("ascontiguousarray")(values, "dtype"_a = "float64");
    Doubles view = nb::cast<Doubles>(arr);
    return std::vector<double>(view.data(), view.data() + view.shape(0));
}

// ---- the figure ------------------------------------------------------------

nb::dict histogram_trace(const Panel& p) {
    nb::dict line, marker, t;
    line["color"] = "white";
    line["width"] = 1;
    marker["color"] = kMarkerColour;
    marker["line"] = line;
    t["type"] = "histogram";
    t["histnorm"] = "percent";
    t["marker"] = marker;
    t["nbinsx"] = 10;
    t["xaxis"] = p.x;
    t["yaxis"] = p.y;
    return t;
}

nb::dict scatter_trace(const Panel& p) {
    nb::dict marker, t;
    marker["color"] = kMarkerColour;
    marker["size"] = 1;
    t["type"] = "scatter";
    t["mode"] = "markers";
    t["marker"] = marker;
    t["xaxis"] = p.x;
    t["yaxis"] = p.y;
    return t;
}

nb::dict corr_annotation(const Range& r, nb::handle corr, const Panel& p) {
    nb::dict a;
    a["x"] = (r.lo + r.hi) / 2;
    a["y"] = r.hi - 10 * r.step;
    a["xref"] = p.x;
    a["yref"] = p.y;
    a["text"] = nb::str("Corr:{:.2f}").attr("format")(corr);
    a["showarrow"] = false;
    return a;
}

// A trace's points: {"x": x} or {"x": x, "y": y}, each a list of its own.
nb::dict xy(nb::handle x, nb::handle y) {
    nb::dict d;
    d["x"] = pyglue::to_list(x);
    if (y.is_valid()) d["y"] = pyglue::to_list(y);
    return d;
}

// Axis titles are strings in plotly; a number is shown as its text.
nb::object title_text(nb::handle sample) {
    return nb::isinstance<nb::str>(sample) ? nb::borrow(sample) : nb::object(nb::str(sample));
}

// Turns validation back on for the figure and what it holds, so later edits by a caller are
// checked as on any figure.
void validate_from_now(nb::handle fig) {
    fig.attr("_validate") = true;
    fig.attr("layout").attr("_validate") = true;
    for (nb::handle trace : fig.attr("data")) trace.attr("_validate") = true;
}

nb::object qc_corr_matrix_plot(nb::handle data_df, nb::handle samples) {
    if (nb::len(samples) < 1) return nb::none();
    // n samples draw n * n panels: a list that repeats samples past the frame's own rows
    // would only grow the figure (and the memory it takes) without bound.
    const size_t frame_rows = nb::len(nb::object(data_df.attr("index")));
    if (nb::len(samples) > frame_rows)
        pyglue::raise_value("qc_corr_matrix_plot: " + std::to_string(nb::len(samples)) +
                            " samples asked of a frame with " + std::to_string(frame_rows) + " rows");
    std::vector<nb::object> ids, rows;
    for (nb::handle s : samples) {
        ids.push_back(nb::borrow(s));
        rows.push_back(sample_row(data_df, s));
    }
    // What iteration gave, not what len() claimed: the vectors are indexed up to n.
    const size_t n = ids.size();
    if (n < 1) return nb::none();
    const Range r = value_range(data_df);
    nb::list range = pyglue::kids(r.lo, r.hi);
    const Grid grid = subplot_grid(n);

    nb::dict layout;
    nb::list traces, points, annotations;
    for (size_t i = 0; i < n; ++i) {
        for (size_t j = 0; j < n; ++j) {
            Panel p = panel(i * n + j + 1);
            nb::dict xa = axis(grid.x_domain[j], p.y), ya = axis(grid.y_domain[i], p.x);
            if (i == j) {
                xa["title"] = titled(title_text(ids[i]));
                frame_axis(xa, range);
                ya["title"] = titled(nb::str("Percentage"));
                frame_axis(ya, nb::handle());
            } else if (j > i) {
                frame_axis(xa, range);
                frame_axis(ya, range);
            }
            layout[p.xaxis.c_str()] = xa;
            layout[p.yaxis.c_str()] = ya;
        }
        traces.append(histogram_trace(panel(i * n + i + 1)));
        points.append(xy(rows[i], nb::handle()));
    }
    std::vector<std::vector<double>> values;  // each sample's row, read once for all its pairs
    if (n > 1)
        for (const nb::object& row : rows) values.push_back(as_doubles(row));
    for (size_t i = 0; i < n; ++i)
        for (size_t j = i + 1; j < n; ++j) {
            Panel p = panel(i * n + j + 1);
            nb::object corr = complete_pair_corr(values[i], values[j]);
            traces.append(scatter_trace(p));
            points.append(xy(rows[i], rows[j]));
            annotations.append(corr_annotation(r, corr, p));
        }
    if (nb::len(annotations) > 0) layout["annotations"] = annotations;
    layout["clickmode"] = "event+select";
    layout["margin"] = margin();
    layout["height"] = short_figure_height();
    layout["paper_bgcolor"] = kResultBackground;
    layout["plot_bgcolor"] = kResultBackground;
    layout["showlegend"] = false;

    nb::object fig = global("go").attr("Figure")("data"_a = traces, "layout"_a = layout,
                                                 "_validate"_a = false);
    size_t k = 0;
    for (nb::handle trace : fig.attr("data")) {
        if (k >= points.size()) break;
        trace.attr("update")(points[k++]);
    }
    validate_from_now(fig);
    attach_grid(fig, n);
    return fig;
}

// calc_cv_values takes the samples as columns. A frame with the samples as rows (as the
// correlation matrix takes it) is turned, never altered.
nb::object samples_as_columns(nb::handle data_df, nb::handle samples) {
    nb::object columns = data_df.attr("columns"), index = data_df.attr("index");
    bool in_columns = true, in_index = true;
    for (nb::handle s : samples) {
        in_columns = in_columns && nb::cast<bool>(columns.attr("__contains__")(s));
        in_index = in_index && nb::cast<bool>(index.attr("__contains__")(s));
    }
    return !in_columns && in_index ? data_df.attr("T") : nb::borrow(data_df);
}

nb::object qc_cv_hist_plot(nb::handle data_df, nb::handle samples) {
    nb::object height = short_figure_height();
    if (nb::len(samples) < 1) return pyglue::placeholder_figure(height);
    nb::object values =
        global("calc_cv_values")(samples_as_columns(data_df, samples), "columns"_a = samples);
    return global("histogram")(values, "figure_height"_a = height);
}

}  // namespace

void register_qc_plots(nb::module_& m) {
    m.def("qc_corr_matrix_plot", &qc_corr_matrix_plot, "data_df"_a.none(), "samples"_a.none(),
          nb::sig("def qc_corr_matrix_plot(data_df: pandas.DataFrame, samples: collections.abc.Sequence[str]) "
                  "-> plotly.graph_objects.Figure | None"),
          "Histograms of each sample on the diagonal, pairwise scatters with the Pearson "
          "correlation above it; data_df has one row per sample. None for no samples.");
    m.def("qc_cv_hist_plot", &qc_cv_hist_plot, "data_df"_a.none(), "samples"_a.none(),
          nb::sig("def qc_cv_hist_plot(data_df: pandas.DataFrame, samples: collections.abc.Sequence[str]) "
                  "-> plotly.graph_objects.Figure"),
          "The histogram of the per-feature coefficients of variation over the samples.");
}

}  // namespace plotweave
