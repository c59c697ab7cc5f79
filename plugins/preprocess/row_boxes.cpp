// The box of every sample (row) at once, for the preprocessing card's figure of
// the sample distributions: quartiles and whiskers by selection on the machine's
// threads without the GIL, instead of sorting every row.
#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/tuple.h>

#include <cstddef>
#include <tuple>

#include "arrays.hpp"
#include "kernels.hpp"

namespace nb = nanobind;

namespace {

using Matrix = nb::ndarray<const double, nb::ndim<2>, nb::device::cpu>;
using Column = arrays::Column<double>;

std::tuple<Column, Column, Column, Column, Column> row_box_stats(Matrix x) {
    const kern::In grid{x.data(), x.shape(0), x.shape(1), std::ptrdiff_t(x.stride(0)), std::ptrdiff_t(x.stride(1))};
    double *q1, *median, *q3, *lowerfence, *upperfence;
    Column a = arrays::owned(grid.rows, q1), b = arrays::owned(grid.rows, median), c = arrays::owned(grid.rows, q3);
    Column d = arrays::owned(grid.rows, lowerfence), e = arrays::owned(grid.rows, upperfence);
    {
        nb::gil_scoped_release release;
        kern::row_box_stats(grid, q1, median, q3, lowerfence, upperfence);
    }
    return {a, b, c, d, e};
}

}  // namespace

void bind_row_boxes(nb::module_& m) {
    m.def("row_box_stats", &row_box_stats, nb::arg("x"),
          nb::sig("def row_box_stats(x: numpy.typing.NDArray[numpy.float64]) -> tuple[numpy.typing.NDArray["
                  "numpy.float64], numpy.typing.NDArray[numpy.float64], numpy.typing.NDArray[numpy.float64], "
                  "numpy.typing.NDArray[numpy.float64], numpy.typing.NDArray[numpy.float64]]"),
          "(q1, median, q3, lowerfence, upperfence) of each row of `x` (any memory order, NaN for missing) over "
          "its present values: numpy.nanpercentile's quartiles, and the lowest and highest values within 1.5 "
          "IQR of the box (the row's extremes when none is); NaN for a row without values. Runs without the GIL.");
}
