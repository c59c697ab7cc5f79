// Pearson correlations of every feature with one phenotype, for the association
// card: each feature over its own complete pairs, on the machine's threads
// without the GIL. The sums are numpy's own (pairwise, as numpy sums a
// contiguous row), so the correlations equal those of the numpy passes to the bit.
#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/tuple.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <tuple>
#include <vector>

#include "arrays.hpp"
#include "kernels.hpp"

namespace nb = nanobind;

namespace {

using Rows = nb::ndarray<const double, nb::ndim<2>, nb::c_contig, nb::device::cpu>;
using Values = nb::ndarray<const double, nb::ndim<1>, nb::c_contig, nb::device::cpu>;
using Column = arrays::Column<double>;
using Counts = arrays::Column<std::int64_t>;

struct Work {
    std::vector<double> dx, dy, product;
};

// sxy / sqrt(sxx * syy) of one feature's deviations from its means over its
// complete pairs (0 elsewhere), and the number of pairs.
void correlate(const double* x, const double* y, std::size_t n, Work& w, double& r, std::int64_t& pairs) {
    std::int64_t count = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const bool both = !std::isnan(x[i]) && !std::isnan(y[i]);
        w.dx[i] = both ? x[i] : 0.0;
        w.dy[i] = both ? y[i] : 0.0;
        count += both;
    }
    const double mx = kern::row_sum(w.dx) / double(count), my = kern::row_sum(w.dy) / double(count);
    for (std::size_t i = 0; i < n; ++i) {
        const bool both = !std::isnan(x[i]) && !std::isnan(y[i]);
        w.dx[i] = both ? w.dx[i] - mx : 0.0;
        w.dy[i] = both ? w.dy[i] - my : 0.0;
    }
    for (std::size_t i = 0; i < n; ++i) w.product[i] = w.dx[i] * w.dy[i];
    const double sxy = kern::row_sum(w.product);
    for (std::size_t i = 0; i < n; ++i) w.product[i] = w.dx[i] * w.dx[i];
    const double sxx = kern::row_sum(w.product);
    for (std::size_t i = 0; i < n; ++i) w.product[i] = w.dy[i] * w.dy[i];
    const double syy = kern::row_sum(w.product);
    r = sxy / std::sqrt(sxx * syy);
    pairs = count;
}

std::tuple<Column, Counts> pearson_rows(Rows rows, Values y) {
    const std::size_t m = rows.shape(0), n = rows.shape(1);
    if (y.shape(0) != n) throw nb::value_error("pearson_rows: y must hold one value per column of rows");
    double* out_r;
    std::int64_t* out_n;
    Column r = arrays::owned(m, out_r);
    Counts pairs = arrays::owned(m, out_n);
    const double* x = rows.data();
    const double* yv = y.data();
    const unsigned nt = kern::threads_for(m * n);
    std::vector<Work> work(nt, Work{std::vector<double>(n), std::vector<double>(n), std::vector<double>(n)});
    {
        nb::gil_scoped_release release;
        kern::parallel_for(m, nt, [&](std::size_t begin, std::size_t end, unsigned part) {
            for (std::size_t k = begin; k < end; ++k) correlate(x + k * n, yv, n, work[part], out_r[k], out_n[k]);
        });
    }
    return {r, pairs};
}

// For each row: the sums over its present values (not NaN) of x * outcome, of x and of |x|.
std::tuple<Column, Column, Column> orientation_sums(Rows rows, Values outcome) {
    const std::size_t m = rows.shape(0), n = rows.shape(1);
    if (outcome.shape(0) != n)
        throw nb::value_error("orientation_sums: outcome must hold one value per column of rows");
    double *sxo, *sx, *sa;
    Column with = arrays::owned(m, sxo), plain = arrays::owned(m, sx), size = arrays::owned(m, sa);
    const double* x = rows.data();
    const double* o = outcome.data();
    {
        nb::gil_scoped_release release;
        kern::parallel_for(m, kern::threads_for(m * n), [&](std::size_t begin, std::size_t end, unsigned) {
            for (std::size_t k = begin; k < end; ++k) {
                const double* row = x + k * n;
                double a = 0.0, b = 0.0, c = 0.0;
                for (std::size_t i = 0; i < n; ++i) {
                    const double v = std::isnan(row[i]) ? 0.0 : row[i];
                    a += v * o[i];
                    b += v;
                    c += std::fabs(v);
                }
                sxo[k] = a, sx[k] = b, sa[k] = c;
            }
        });
    }
    return {with, plain, size};
}

}  // namespace

void bind_correlations(nb::module_& m) {
    m.def("orientation_sums", &orientation_sums, nb::arg("rows"), nb::arg("outcome"),
          nb::sig("def orientation_sums(rows: numpy.typing.NDArray[numpy.float64], outcome: "
                  "numpy.typing.NDArray[numpy.float64]) -> tuple[numpy.typing.NDArray[numpy.float64], "
                  "numpy.typing.NDArray[numpy.float64], numpy.typing.NDArray[numpy.float64]]"),
          "(sum x * outcome, sum x, sum |x|) of each row of `rows` (C-contiguous) over its present values "
          "(NaN for missing), summed in order. Runs without the GIL.");
    m.def("pearson_rows", &pearson_rows, nb::arg("rows"), nb::arg("y"),
          nb::sig("def pearson_rows(rows: numpy.typing.NDArray[numpy.float64], y: numpy.typing.NDArray[numpy.float64]) "
                  "-> tuple[numpy.typing.NDArray[numpy.float64], numpy.typing.NDArray[numpy.int64]]"),
          "(r, pairs): for each row of `rows` (C-contiguous, NaN for missing), sxy / sqrt(sxx * syy) of its "
          "complete pairs with `y` (deviations from the means over those pairs, summed pairwise as numpy "
          "sums a contiguous row; no clipping, NaN where the sums give it) and the number of pairs. Runs "
          "without the GIL.");
}
