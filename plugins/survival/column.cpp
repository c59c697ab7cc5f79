// Columns of a data frame read once, for row loops in C++.
#include "survival.hpp"

#include <nanobind/ndarray.h>

#include <cmath>
#include <string>

namespace survival {
namespace {

template <typename T>
const T* buffer_of(nb::object& keep, nb::handle series) {
    keep = global("np").attr("ascontiguousarray")(series.attr("to_numpy")());
    auto view = nb::cast<nb::ndarray<const T, nb::ndim<1>, nb::c_contig, nb::device::cpu>>(keep);
    return view.data();
}

// Whole days over 30 for a count int() has already produced.
bool months_of_whole(long long n, double& out) {
    if (n == 0) return false;
    out = static_cast<double>(n) / 30.0;
    return true;
}

constexpr long long kExact = 1LL << 53;  // integers a double holds exactly

// int(value) / 30 through Python: huge integers, infinities, strings, decimals.
bool months_by_python(nb::handle value, double& out) {
    nb::object whole = nb::steal(PyNumber_Long(value.ptr()));
    if (!whole.is_valid()) throw nb::python_error();
    int zero = PyObject_Not(whole.ptr());
    if (zero < 0) throw nb::python_error();
    if (zero) return false;
    nb::object q = nb::steal(PyNumber_TrueDivide(whole.ptr(), nb::int_(30).ptr()));
    if (!q.is_valid()) throw nb::python_error();
    out = PyFloat_AsDouble(q.ptr());
    return true;
}

// Python divides an exact whole number by 30 with one rounding, as does a double
// division of the same number, so both give the same bits.
bool months_of_double(double v, double& out) {
    if (!std::isfinite(v)) return months_by_python(nb::float_(v), out);
    double whole = std::trunc(v);
    if (whole == 0) return false;
    out = whole / 30.0;
    return true;
}

bool months_of_int(long long n, double& out) {
    if (n > -kExact && n < kExact) return months_of_whole(n, out);
    return months_by_python(nb::steal(PyLong_FromLongLong(n)), out);
}

bool months_of_object(nb::handle value, double& out) {
    PyObject* p = value.ptr();
    if (PyFloat_Check(p)) return months_of_double(PyFloat_AS_DOUBLE(p), out);
    if (PyLong_Check(p)) {
        int overflow = 0;
        long long n = PyLong_AsLongLongAndOverflow(p, &overflow);
        if (n == -1 && PyErr_Occurred()) throw nb::python_error();
        if (!overflow) return months_of_int(n, out);
    }
    return months_by_python(value, out);
}

}  // namespace

Column::Column(nb::handle data, nb::handle name, bool numbers) {
    nb::object series = data.attr("__getitem__")(name);
    if (!nb::isinstance(series, global("pd").attr("Series")))
        pyglue::raise_value("column " + pyglue::repr(name) + " does not select a single column of the table");
    size_ = nb::len(series);
    if (numbers) {
        nb::object dtype = series.attr("dtype");
        // numpy dtypes only: pandas' nullable dtypes hold NA in other ways
        std::string code = nb::isinstance(dtype, global("np").attr("dtype"))
                               ? nb::cast<std::string>(nb::str(dtype.attr("str")))
                               : std::string();
        if (code == "<f8") {
            kind_ = Kind::floats;
            floats_ = buffer_of<double>(array_, series);
            return;
        }
        if (code == "<i8") {
            kind_ = Kind::ints;
            ints_ = buffer_of<int64_t>(array_, series);
            return;
        }
    }
    // item() reads the list unchecked, so it must be a real list as long as the column.
    values_ = pyglue::to_list(series.attr("tolist")());
    if (values_.size() != size_)
        pyglue::raise_value("column " + pyglue::repr(name) + " gave " + std::to_string(values_.size()) +
                            " values for " + std::to_string(size_) + " rows");
}

nb::handle Column::item(size_t i) const {
    return PyList_GET_ITEM(values_.ptr(), static_cast<Py_ssize_t>(i));
}

bool Column::missing(size_t i) const {
    switch (kind_) {
        case Kind::floats: return std::isnan(floats_[i]);
        case Kind::ints: return false;
        case Kind::objects: break;
    }
    PyObject* p = item(i).ptr();
    if (p == Py_None) return true;
    if (PyUnicode_Check(p) || PyLong_Check(p)) return false;
    if (PyFloat_Check(p)) return std::isnan(PyFloat_AS_DOUBLE(p));
    return pyglue::is_missing(p);  // NaT, NA, decimal NaN, ... as pandas sees them
}

bool Column::months(size_t i, double& out) const {
    switch (kind_) {
        case Kind::floats: return months_of_double(floats_[i], out);
        case Kind::ints: return months_of_int(ints_[i], out);
        case Kind::objects: break;
    }
    return months_of_object(item(i), out);
}

void require_frame(nb::handle data) {
    if (!nb::isinstance(data, global("pd").attr("DataFrame")))
        pyglue::raise_type("data must be a pandas DataFrame, not " +
                           nb::cast<std::string>(nb::type_name(data.type())));
}

bool any_present(const Column& column) {
    for (size_t i = 0; i < column.size(); ++i)
        if (!column.missing(i)) return true;
    return false;
}

}  // namespace survival
