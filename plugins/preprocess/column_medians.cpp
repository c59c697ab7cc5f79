// The median of every column over its present values, for the group medians of
// the differential card: the preprocessing's row-median kernel on the columns,
// on the machine's threads without the GIL and without sorting whole columns.
#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>

#include <algorithm>
#include <cstddef>

#include "arrays.hpp"
#include "kernels.hpp"

namespace nb = nanobind;

namespace {

using Matrix = nb::ndarray<const double, nb::ndim<2>, nb::device::cpu>;
using Column = arrays::Column<double>;

Column column_medians(Matrix x) {
    const std::size_t rows = x.shape(0), cols = x.shape(1);
    double* medians;
    Column out = arrays::owned(cols, medians);
    // Columns of x are the rows of the kernel's grid.
    const kern::In lines{x.data(), cols, rows, std::ptrdiff_t(x.stride(1)), std::ptrdiff_t(x.stride(0))};
    {
        nb::gil_scoped_release release;
        kern::row_medians(lines, medians, false);
    }
    return out;
}

}  // namespace

void bind_column_medians(nb::module_& m) {
    m.def("column_medians", &column_medians, nb::arg("x"),
          nb::sig("def column_medians(x: numpy.typing.NDArray[numpy.float64]) -> numpy.typing.NDArray[numpy.float64]"),
          "numpy.nanmedian(x, axis=0): the median of each column over its present values (the mean of the "
          "middle two for an even count), NaN for a column without values. Runs without the GIL.");
}
