#include "steps.hpp"

#include <cmath>
#include <string>

namespace prep {
namespace {

// Method names are compared as the caller's own object compares them.
bool is(nb::handle method, const char* name) { return method.equal(nb::str(name)); }

// Where a step writes: over its input when that is our own buffer, else a
// new buffer in the input's layout.
Table target(const Table& t, const Numeric& x) {
    if (x.writable) return t;
    bool row_major = x.grid.row_major() && !x.grid.col_major();
    return new_table(x.rows(), x.cols(), row_major, index_of(t), columns_of(t));
}

// A frame of the unchanged integer values of `t` (integers are never missing),
// copied so that the result shares nothing with the caller's frame.
Table integer_frame(nb::handle values, nb::handle index, nb::handle columns) {
    Table out;
    out.frame = pd().attr("DataFrame")(values, "index"_a = index, "columns"_a = columns, "copy"_a = true);
    return out;
}

nb::object frame_copy(const Table& t) { return t.frame.attr("copy")(); }

// Python's float() of a value: numbers and numeric text; its own errors.
double to_float(nb::handle v) {
    nb::handle float_type(reinterpret_cast<PyObject*>(&PyFloat_Type));
    return nb::cast<double>(float_type(v));
}

[[noreturn]] void raise_zero_division(const std::string& msg) {
    PyErr_SetString(PyExc_ZeroDivisionError, msg.c_str());
    throw nb::python_error();
}

// pandas' median of a row as DataFrame.median(axis=1) takes it: a single
// row goes through numpy's 1-D median, fewer than 600 features through its
// masked-array median, which averages an odd count's middle value with itself.
bool median_doubles_odd(std::size_t rows, std::size_t cols) { return rows > 1 && cols < 600; }

Table global_min(const Table& t) {
    Numeric x = numeric(t, "impute");
    double g = 0;
    bool found;
    {
        nb::gil_scoped_release unlocked;
        found = kern::global_min(x.grid, &g);
    }
    // Columns missing everywhere have no minimum and take no part in the
    // global one; with no value at all there is nothing to fill.
    if (!x.all_f64) {
        Table out;
        out.frame = found ? t.frame.attr("replace")(np().attr("nan"), nb::float_(g)) : frame_copy(t);
        return out;
    }
    if (!found) {
        if (!t.is_frame()) return t;
        Table out;
        out.frame = frame_copy(t);
        return out;
    }
    Table out = target(t, x);
    nb::gil_scoped_release unlocked;
    kern::fill_all(x.grid, g, out.grid);
    return out;
}

Table sample_min(const Table& t) {
    Numeric x = numeric(t, "impute");
    if (x.rows() == 0) return empty_table();
    nb::object index = names_index(label_list(index_of(t)));
    if (x.int_common)
        return integer_frame(t.frame.attr("to_numpy")(), index, columns_of(t));
    std::vector<double> mins(x.rows());
    Table out = target(t, x);
    out.index = index;
    nb::gil_scoped_release unlocked;
    kern::row_mins(x.grid, mins.data());
    kern::fill_rows(x.grid, mins.data(), out.grid);
    return out;
}

Table feature_min(const Table& t) {
    Numeric x = numeric(t, "impute");
    if (x.cols() == 0) return empty_table();
    nb::object columns = names_index(label_list(columns_of(t)));
    if (x.int_common && x.rows() > 0)
        return integer_frame(t.frame.attr("to_numpy")(), index_of(t), columns);
    std::vector<double> mins(x.cols());
    Table out = target(t, x);
    out.columns = columns;
    nb::gil_scoped_release unlocked;
    kern::col_mins(x.grid, mins.data());
    kern::fill_cols(x.grid, mins.data(), out.grid);
    return out;
}

// The missing values filled by `fill(grid in, grid out)`. Integer frames hold
// none and come back as an equal copy; any other result is float64.
template <typename Fill>
Table fill_missing(const Table& t, Fill&& fill) {
    Numeric x = numeric(t, "impute");
    if (x.rows() == 0 || x.cols() == 0) {
        if (!t.is_frame()) return t;
        Table out;
        out.frame = frame_copy(t);
        return out;
    }
    if (x.int_common) return integer_frame(t.frame.attr("to_numpy")(), index_of(t), columns_of(t));
    Table out = target(t, x);
    nb::gil_scoped_release unlocked;
    fill(x.grid, out.grid);
    return out;
}

[[noreturn]] void raise_value(const std::string& msg) {
    PyErr_SetString(PyExc_ValueError, msg.c_str());
    throw nb::python_error();
}

// An integer setting: Python ints, and floats or text holding a whole number.
long long whole(nb::handle v, const char* what) {
    double d = to_float(v);
    if (!std::isfinite(d) || d != std::floor(d) || std::fabs(d) > 9007199254740992.0)
        raise_value(std::string("impute: ") + what + " must be a whole number, got " + pyglue::repr(v));
    return static_cast<long long>(d);
}

}  // namespace

ImputeParams impute_params(nb::handle k, nb::handle shift, nb::handle width, nb::handle seed) {
    ImputeParams p;
    long long kk = whole(k, "the number of neighbours");
    if (kk < 1) raise_value("impute: the number of neighbours must be at least 1, got " + pyglue::repr(k));
    p.k = std::size_t(kk);
    p.shift = to_float(shift);
    p.width = to_float(width);
    if (!std::isfinite(p.shift)) raise_value("impute: the shift must be a finite number, got " + pyglue::repr(shift));
    if (!(std::isfinite(p.width) && p.width >= 0))
        raise_value("impute: the width must be a finite number of at least 0, got " + pyglue::repr(width));
    long long s = whole(seed, "the seed");
    if (s < 0) raise_value("impute: the seed must be at least 0, got " + pyglue::repr(seed));
    p.seed = std::uint64_t(s);
    return p;
}

ImputeParams impute_params(nb::handle settings) {
    ImputeParams d;
    nb::object get = settings.attr("get");
    return impute_params(get("ImputationNeighbours", d.k), get("ImputationShift", d.shift),
                         get("ImputationWidth", d.width), get("ImputationSeed", d.seed));
}

Table as_table(nb::handle obj) {
    Table t;
    t.frame = nb::borrow(obj);
    return t;
}

Table transform(Table t, nb::handle method) {
    if (is(method, "NA") || !is(method, "Log2")) return t;
    Numeric x = numeric(t, "transform");
    if (x.rows() == 0) {
        // Nothing to take the logarithm of; the columns keep their types.
        if (!t.is_frame()) return t;
        Table out;
        out.frame = frame_copy(t);
        return out;
    }
    Table out = target(t, x);
    numpy_log2(x.values, out.buf);
    return out;
}

Table norm(Table t, nb::handle method) {
    if (is(method, "NA") || !is(method, "MedianNorm")) return t;
    Numeric x = numeric(t, "norm");
    if (x.rows() == 0) return empty_table();
    nb::object index = names_index(label_list(index_of(t)));
    std::vector<double> medians(x.rows());
    Table out = target(t, x);
    out.index = index;
    bool doubled = median_doubles_odd(x.rows(), x.cols());
    nb::gil_scoped_release unlocked;
    kern::row_medians(x.grid, medians.data(), doubled);
    kern::sub_rows(x.grid, medians.data(), out.grid);
    return out;
}

Table noise_filter(Table t, nb::handle miss_ratio) {
    double threshold = to_float(miss_ratio) / 100.0;
    Numeric x = numeric(t, "noise_filter");
    std::size_t n = x.rows(), m = x.cols();
    if (m == 0) return empty_table();
    if (n == 0)
        raise_zero_division("noise_filter: " + std::to_string(m) +
                            " features but no samples to take a missing-value ratio over");
    std::vector<std::size_t> missing(m), keep;
    {
        nb::gil_scoped_release unlocked;
        kern::col_missing(x.grid, missing.data());
    }
    keep.reserve(m);
    for (std::size_t j = 0; j < m; ++j)
        if (!(double(missing[j]) / double(n) > threshold)) keep.push_back(j);
    if (keep.empty()) return empty_table();

    nb::object columns = names_index(label_list(columns_of(t), keep));
    if (x.int_common) {
        nb::list positions;
        for (std::size_t j : keep) positions.append(j);
        nb::object values = t.frame.attr("to_numpy")().attr("take")(positions, "axis"_a = 1);
        return integer_frame(values, index_of(t), columns);
    }
    std::size_t k = keep.size();
    Table out;
    // In place only while most of the buffer stays in use; a small selection
    // gets its own buffer so that the large one is freed.
    if (x.writable && 2 * k >= m) {
        kern::Out dst = t.grid;
        dst.cols = k;
        if (t.grid.col_major()) dst.rs = 1, dst.cs = std::ptrdiff_t(n);
        else dst.rs = std::ptrdiff_t(k), dst.cs = 1;
        {
            nb::gil_scoped_release unlocked;
            kern::take_cols(x.grid, keep, dst);
        }
        out = first_cols(t, k);
    } else {
        bool row_major = x.grid.row_major() && !x.grid.col_major();
        out = new_table(n, k, row_major, index_of(t), columns);
        nb::gil_scoped_release unlocked;
        kern::take_cols(x.grid, keep, out.grid);
    }
    out.index = index_of(t);
    out.columns = columns;
    return out;
}

Table impute(Table t, nb::handle method, const ImputeParams& p) {
    if (is(method, "NA")) return t;
    if (is(method, "GlobalMin")) return global_min(t);
    if (is(method, "SampleMin")) return sample_min(t);
    if (is(method, "FeatureMin")) return feature_min(t);
    if (is(method, "KNN"))
        return fill_missing(t, [&](const kern::In& x, const kern::Out& out) { kern::knn_fill(x, p.k, out); });
    if (is(method, "DownshiftedNormal"))
        return fill_missing(t, [&](const kern::In& x, const kern::Out& out) {
            kern::downshift_fill(x, p.shift, p.width, p.seed, out);
        });
    return t;
}

}  // namespace prep
