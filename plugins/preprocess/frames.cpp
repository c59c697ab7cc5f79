#include "frames.hpp"

#include <nanobind/ndarray.h>

#include <string>

namespace prep {
namespace {

// Leaked on purpose: released objects must not outlive the interpreter.
nb::handle g_pd, g_np, g_float64, g_dtype_type;

template <typename T>
kern::Grid<T> grid_over(nb::handle arr) {
    using Nd = nb::ndarray<T, nb::ndim<2>, nb::device::cpu>;
    Nd a = nb::cast<Nd>(arr, false);
    return {a.data(), a.shape(0), a.shape(1), std::ptrdiff_t(a.stride(0)), std::ptrdiff_t(a.stride(1))};
}

nb::object slice_all() { return nb::slice(nb::none(), nb::none(), nb::none()); }

// The chunk [a, b) of a matrix along its contiguous axis.
nb::object chunk(nb::handle arr, bool row_major, std::size_t a, std::size_t b) {
    nb::object part = nb::slice(Py_ssize_t(a), Py_ssize_t(b), Py_ssize_t(1));
    nb::tuple key = row_major ? nb::make_tuple(part, slice_all()) : nb::make_tuple(slice_all(), part);
    return arr.attr("__getitem__")(key);
}

enum class Kind { F64, Int, OtherNumeric, Bad };

Kind kind_of(nb::handle dtype) {
    if (dtype.is(g_float64)) return Kind::F64;
    std::string kind = nb::cast<std::string>(dtype.attr("kind"));
    bool numpy = nb::isinstance(dtype, g_dtype_type);
    if (kind == "i" || kind == "u") return numpy ? Kind::Int : Kind::OtherNumeric;
    if (kind == "f") return Kind::OtherNumeric;
    return Kind::Bad;
}

}  // namespace

void bind_libraries(nb::module_& m) {
    nb::module_ pandas = nb::module_::import_("pandas");
    nb::module_ numpy = nb::module_::import_("numpy");
    m.attr("pd") = pandas;
    m.attr("np") = numpy;
    g_pd = pandas.release();
    g_np = numpy.release();
    g_dtype_type = nb::object(g_np.attr("dtype")).release();
    g_float64 = nb::object(g_np.attr("dtype")("float64")).release();
}

nb::handle pd() { return g_pd; }
nb::handle np() { return g_np; }

void require_frame(nb::handle df, const char* fn) {
    if (!nb::isinstance(df, g_pd.attr("DataFrame")))
        pyglue::raise_type(std::string(fn) + ": data_df must be a pandas DataFrame, got " +
                           nb::cast<std::string>(nb::str(nb::type_name(df.type()))));
}

Numeric numeric(const Table& t, const char* fn) {
    Numeric n;
    if (!t.is_frame()) {
        n.values = t.buf;
        n.grid = t.grid;
        n.writable = true;
        return n;
    }
    nb::object df = t.frame;
    require_frame(df, fn);
    nb::list dtypes = pyglue::to_list(df.attr("dtypes"));
    bool f64 = false, ints = false, other = false;
    nb::list int_types;
    nb::handle last;
    Kind kind = Kind::Bad;
    for (std::size_t j = 0; j < dtypes.size(); ++j) {
        nb::handle dt = dtypes[j];
        if (!dt.is(last)) {
            last = dt;
            kind = kind_of(dt);
            if (kind == Kind::Int) int_types.append(dt);
        }
        if (kind == Kind::Bad) {
            nb::object label = df.attr("columns")[nb::int_(j)];
            pyglue::raise_type(std::string(fn) + ": column " + pyglue::repr(label) + " holds " +
                               nb::cast<std::string>(nb::str(dt)) + " values, not numbers");
        }
        f64 |= kind == Kind::F64;
        ints |= kind == Kind::Int;
        other |= kind == Kind::OtherNumeric;
    }
    n.all_f64 = !ints && !other;
    if (ints && !f64 && !other) {
        // Integers hold no missing values; pandas keeps numpy's common type for them.
        std::string k = nb::cast<std::string>(g_np.attr("result_type")(*int_types).attr("kind"));
        n.int_common = k == "i" || k == "u";
    }
    if (other)  // nullable columns hold pd.NA, which becomes NaN
        n.values = df.attr("to_numpy")("dtype"_a = g_float64, "na_value"_a = g_np.attr("nan"));
    else
        n.values = df.attr("to_numpy")("dtype"_a = g_float64);
    n.grid = grid_over<const double>(n.values);
    return n;
}

nb::object index_of(const Table& t) { return t.is_frame() ? t.frame.attr("index") : t.index; }
nb::object columns_of(const Table& t) { return t.is_frame() ? t.frame.attr("columns") : t.columns; }

Table buffer_table(nb::object values, nb::object index, nb::object columns) {
    Table t;
    t.grid = grid_over<double>(values);
    t.buf = std::move(values);
    t.index = std::move(index);
    t.columns = std::move(columns);
    return t;
}

Table new_table(std::size_t rows, std::size_t cols, bool row_major, nb::object index, nb::object columns) {
    nb::object arr = g_np.attr("empty")(nb::make_tuple(rows, cols), "dtype"_a = g_float64,
                                        "order"_a = row_major ? "C" : "F");
    return buffer_table(std::move(arr), std::move(index), std::move(columns));
}

Table empty_table() {
    Table t;
    // Explicit ranges: pd.DataFrame() alone labels its axes differently across versions.
    t.frame = g_pd.attr("DataFrame")("index"_a = g_pd.attr("RangeIndex")(0),
                                     "columns"_a = g_pd.attr("RangeIndex")(0));
    return t;
}

Table first_cols(const Table& t, std::size_t cols) {
    std::size_t rows = t.grid.rows;
    nb::object view;
    if (t.grid.col_major()) {
        view = chunk(t.buf, false, 0, cols);
    } else {
        nb::object flat = t.buf.attr("reshape")(-1);
        view = flat.attr("__getitem__")(nb::slice(Py_ssize_t(0), Py_ssize_t(rows * cols), Py_ssize_t(1)))
                   .attr("reshape")(nb::make_tuple(rows, cols));
    }
    return buffer_table(view, t.index, t.columns);
}

nb::object to_frame(const Table& t) {
    if (t.is_frame()) return t.frame;
    return g_pd.attr("DataFrame")(t.buf, "index"_a = t.index, "columns"_a = t.columns, "copy"_a = false);
}

nb::object names_index(nb::list names) {
    std::size_t n = names.size(), unnamed = 0;
    for (std::size_t i = 0; i < n; ++i) {
        if (!names[i].is_none()) continue;
        names[i] = nb::str(("Unnamed " + std::to_string(unnamed++)).c_str());
    }
    if (unnamed == n) return g_pd.attr("RangeIndex")(n);
    return g_pd.attr("Index")(names);
}

// A real list: tolist() of an unusual label object need not return one.
nb::list label_list(nb::handle labels) { return pyglue::to_list(labels.attr("tolist")()); }

nb::list label_list(nb::handle labels, const std::vector<std::size_t>& keep) {
    nb::list all = label_list(labels), out;
    for (std::size_t j : keep) {
        if (j >= all.size())
            pyglue::raise_value("column position " + std::to_string(j) + " is past the " +
                                std::to_string(all.size()) + " column labels");
        out.append(all[j]);
    }
    return out;
}

void numpy_log2(nb::handle in, nb::handle out) {
    // One call over the whole array: numpy's log2 is memory-bound here, and
    // chunks on several threads measured no faster on a busy machine.
    nb::object ctx = g_np.attr("errstate")("divide"_a = "ignore", "invalid"_a = "ignore");
    ctx.attr("__enter__")();
    try {
        g_np.attr("log2")(in, "out"_a = out);
    } catch (...) {
        ctx.attr("__exit__")(nb::none(), nb::none(), nb::none());
        throw;
    }
    ctx.attr("__exit__")(nb::none(), nb::none(), nb::none());
}

}  // namespace prep
