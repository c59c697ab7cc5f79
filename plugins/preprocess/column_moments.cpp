// The number of values, mean and variance of every column over its present
// values, for the t-tests of the differential card. The sums are numpy's own
// over a Fortran matrix's columns (missing values as 0, each column summed
// pairwise), so the moments equal those of the numpy passes to the bit, without
// the three matrix-sized temporaries those passes allocate.
#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/tuple.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <tuple>
#include <vector>

#include "arrays.hpp"
#include "kernels.hpp"

namespace nb = nanobind;

namespace {

using Columns = nb::ndarray<const double, nb::ndim<2>, nb::f_contig, nb::device::cpu>;
using Column = arrays::Column<double>;

// One column: the count of present values, their mean (NaN for none) and the sum
// of squared deviations over n - 1, worked in `buf` as numpy works the matrix.
void moments(const double* x, std::size_t rows, std::vector<double>& buf, double& n, double& mean,
             double& var) {
    std::size_t count = 0;
    for (std::size_t i = 0; i < rows; ++i) {
        const bool here = !std::isnan(x[i]);
        buf[i] = here ? x[i] : 0.0;
        count += here;
    }
    n = double(count);
    mean = count ? kern::row_sum(buf) / std::max(n, 1.0) : std::numeric_limits<double>::quiet_NaN();
    for (std::size_t i = 0; i < rows; ++i) {
        const double d = std::isnan(x[i]) ? 0.0 : buf[i] - mean;
        buf[i] = d * d;
    }
    var = kern::row_sum(buf) / (n - 1.0);
}

std::tuple<Column, Column, Column> column_moments(Columns x) {
    const std::size_t rows = x.shape(0), cols = x.shape(1);
    double *n, *mean, *var;
    Column out_n = arrays::owned(cols, n), out_mean = arrays::owned(cols, mean), out_var = arrays::owned(cols, var);
    const double* values = x.data();
    {
        nb::gil_scoped_release release;
        kern::parallel_for(cols, kern::threads_for(rows * cols), [&](std::size_t begin, std::size_t end, unsigned) {
            std::vector<double> buf(rows);
            for (std::size_t j = begin; j < end; ++j) moments(values + j * rows, rows, buf, n[j], mean[j], var[j]);
        });
    }
    return {out_n, out_mean, out_var};
}

}  // namespace

void bind_column_moments(nb::module_& m) {
    m.def("column_moments", &column_moments, nb::arg("x"),
          nb::sig("def column_moments(x: numpy.typing.NDArray[numpy.float64]) -> tuple[numpy.typing.NDArray["
                  "numpy.float64], numpy.typing.NDArray[numpy.float64], numpy.typing.NDArray[numpy.float64]]"),
          "(n, mean, var) of each column of `x` (Fortran order, NaN for missing) over its present values: "
          "their number (as floats), nansum / n (NaN without values) and the nansum of squared deviations "
          "/ (n - 1), summed as numpy sums the columns. Runs without the GIL.");
}
