// The number of values, mean and variance of every column over its present
// values, for the t-tests of the differential card, the PCA's fill and the
// clustering's cap. Each column is summed as numpy sums a contiguous run
// (missing values as 0, pairwise): for a Fortran matrix the moments equal those
// of numpy's passes to the bit, and for any layout those of pandas' column
// methods, without the matrix-sized temporaries those passes allocate.
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

using Matrix = nb::ndarray<const double, nb::ndim<2>, nb::device::cpu>;
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

// Columns taken eight at a time: a matrix in another memory order is read a row of
// eight (one cache line) at a time into contiguous columns first.
constexpr std::size_t kBlock = 8;

std::tuple<Column, Column, Column> column_moments(Matrix x) {
    const kern::In grid{x.data(), x.shape(0), x.shape(1), std::ptrdiff_t(x.stride(0)), std::ptrdiff_t(x.stride(1))};
    const std::size_t rows = grid.rows, cols = grid.cols, blocks = (cols + kBlock - 1) / kBlock;
    double *n, *mean, *var;
    Column out_n = arrays::owned(cols, n), out_mean = arrays::owned(cols, mean), out_var = arrays::owned(cols, var);
    {
        nb::gil_scoped_release release;
        kern::parallel_for(blocks, kern::threads_for(rows * cols), [&](std::size_t begin, std::size_t end, unsigned) {
            std::vector<double> buf(rows), block(grid.col_major() ? 0 : rows * kBlock);
            for (std::size_t b = begin; b < end; ++b) {
                const std::size_t j0 = b * kBlock, j1 = std::min(cols, j0 + kBlock);
                if (!grid.col_major())
                    for (std::size_t i = 0; i < rows; ++i)
                        for (std::size_t j = j0; j < j1; ++j) block[(j - j0) * rows + i] = grid.at(i, j);
                for (std::size_t j = j0; j < j1; ++j) {
                    const double* column = !rows ? nullptr : grid.col_major() ? &grid.at(0, j) : &block[(j - j0) * rows];
                    moments(column, rows, buf, n[j], mean[j], var[j]);
                }
            }
        });
    }
    return {out_n, out_mean, out_var};
}

}  // namespace

void bind_column_moments(nb::module_& m) {
    m.def("column_moments", &column_moments, nb::arg("x"),
          nb::sig("def column_moments(x: numpy.typing.NDArray[numpy.float64]) -> tuple[numpy.typing.NDArray["
                  "numpy.float64], numpy.typing.NDArray[numpy.float64], numpy.typing.NDArray[numpy.float64]]"),
          "(n, mean, var) of each column of `x` (any memory order, NaN for missing) over its present values: "
          "their number (as floats), nansum / n (NaN without values) and the nansum of squared deviations "
          "/ (n - 1), each column summed as numpy sums a contiguous run (pairwise). Runs without the GIL.");
}
