// Rank sums of every feature at once, for the rank tests of the differential
// card: one radix sort per feature, on the machine's threads, without the GIL.
// Average ranks of tied values are half-integers and every sum stays far
// below 2^53, so the sums are exact whatever the order of addition.
#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/tuple.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <tuple>
#include <utility>
#include <vector>

#include "arrays.hpp"
#include "kernels.hpp"

namespace nb = nanobind;

namespace {

using Column = arrays::Column<double>;

// The ranks of two sorted sides together (1-based average ranks over ties):
// the sum of the ranks of side 1, the tie term sum(t^3 - t) over tie groups.
// A tie group is the run of equal keys on both sides; its rank follows from the
// number of values below it.
void walk(const std::vector<std::uint64_t>& other, const std::vector<std::uint64_t>& mine, double& sum,
          double& ties) {
    sum = ties = 0.0;
    std::size_t o = 0, c = 0;
    while (o < other.size() || c < mine.size()) {
        const std::uint64_t v = c == mine.size() || (o < other.size() && other[o] < mine[c]) ? other[o] : mine[c];
        const std::size_t start = o + c, chosen_before = c;
        while (o < other.size() && other[o] == v) ++o;
        while (c < mine.size() && mine[c] == v) ++c;
        const std::size_t stop = o + c;
        const double size = double(stop - start), rank = (double(start + 1) + double(stop)) / 2.0;
        sum += rank * double(c - chosen_before);
        if (stop - start > 1) ties += size * size * size - size;
    }
}

// Sides 0 and 1 (side 2 is scratch), radix-sorted as keys of the values' order.
using Sides = std::vector<std::uint64_t>[3];

void sort_sides(Sides& sides) {
    kern::radix_sort(sides[0], sides[2]);
    kern::radix_sort(sides[1], sides[2]);
}

// -0.0 as 0.0, so that equal values have equal keys.
std::uint64_t key(double v) { return kern::order_key(v + 0.0); }

// K new columns of n doubles each.
template <std::size_t K>
std::array<Column, K> columns(std::size_t n, std::array<double*, K>& data) {
    std::array<Column, K> out;
    for (std::size_t k = 0; k < K; ++k) out[k] = arrays::owned(n, data[k]);
    return out;
}

using Matrix = nb::ndarray<const double, nb::ndim<2>, nb::device::cpu>;

// A samples-by-features matrix, any memory order.
kern::In grid_of(const Matrix& x) {
    return {x.data(), x.shape(0), x.shape(1), std::ptrdiff_t(x.stride(0)), std::ptrdiff_t(x.stride(1))};
}

// Runs one(j, sides) over the features on the threads without the GIL.
template <typename F>
void per_feature(std::size_t features, std::size_t cells, F&& one) {
    nb::gil_scoped_release release;
    kern::parallel_for(features, kern::threads_for(cells), [&](std::size_t begin, std::size_t end, unsigned) {
        Sides sides;
        for (std::size_t j = begin; j < end; ++j) one(j, sides);
    });
}

// For each feature (column): the rank sum of a's values among a's and b's, the tie
// term, and the numbers of values of a and of b.
std::tuple<Column, Column, Column, Column> group_rank_sums(Matrix a, Matrix b) {
    const std::size_t m = a.shape(1);
    if (b.shape(1) != m) throw nb::value_error("group_rank_sums: a and b must have the same columns");
    std::array<double*, 4> out;
    std::array<Column, 4> cols = columns(m, out);
    const kern::In xa = grid_of(a), xb = grid_of(b);
    per_feature(m, (xa.rows + xb.rows) * m, [&](std::size_t j, Sides& sides) {
        sides[0].clear();
        sides[1].clear();
        for (std::size_t i = 0; i < xa.rows; ++i)
            if (const double v = xa.at(i, j); !std::isnan(v)) sides[1].push_back(key(v));
        for (std::size_t i = 0; i < xb.rows; ++i)
            if (const double v = xb.at(i, j); !std::isnan(v)) sides[0].push_back(key(v));
        out[2][j] = double(sides[1].size());
        out[3][j] = double(sides[0].size());
        sort_sides(sides);
        walk(sides[0], sides[1], out[0][j], out[1][j]);
    });
    return {cols[0], cols[1], cols[2], cols[3]};
}

// For each feature: the signed-rank sums of the differences a - b of the pairs
// (rows) where both are present: the rank sum of the positive differences among
// the absolute differences that are not zero, the tie term, the number of those
// differences, of pairs, and of zero differences.
std::tuple<Column, Column, Column, Column, Column> signed_rank_sums(Matrix a, Matrix b) {
    const std::size_t m = a.shape(1), rows = a.shape(0);
    if (b.shape(1) != m || b.shape(0) != rows) throw nb::value_error("signed_rank_sums: a and b must have one shape");
    std::array<double*, 5> out;
    std::array<Column, 5> cols = columns(m, out);
    const kern::In xa = grid_of(a), xb = grid_of(b);
    per_feature(m, rows * m, [&](std::size_t j, Sides& sides) {
        sides[0].clear();
        sides[1].clear();
        std::size_t pairs = 0, zeros = 0;
        for (std::size_t i = 0; i < rows; ++i) {
            const double d = xa.at(i, j) - xb.at(i, j);
            if (std::isnan(d)) continue;
            ++pairs;
            if (d == 0.0)
                ++zeros;
            else
                sides[d > 0.0 ? 1 : 0].push_back(key(std::fabs(d)));
        }
        out[2][j] = double(sides[0].size() + sides[1].size());
        out[3][j] = double(pairs);
        out[4][j] = double(zeros);
        sort_sides(sides);
        walk(sides[0], sides[1], out[0][j], out[1][j]);
    });
    return {cols[0], cols[1], cols[2], cols[3], cols[4]};
}

}  // namespace

void bind_rank_sums(nb::module_& m) {
    m.def("group_rank_sums", &group_rank_sums, nb::arg("a"), nb::arg("b"),
          nb::sig("def group_rank_sums(a: numpy.typing.NDArray[numpy.float64], b: numpy.typing.NDArray[numpy.float64]) "
                  "-> tuple[numpy.typing.NDArray[numpy.float64], numpy.typing.NDArray[numpy.float64], "
                  "numpy.typing.NDArray[numpy.float64], numpy.typing.NDArray[numpy.float64]]"),
          "Per column of `a` and `b` (samples by features, NaN for missing, any memory order): the sum of "
          "the average ranks of a's values among the values of both, the tie term sum(t^3 - t), and the "
          "numbers of values of a and of b. Runs without the GIL.");
    m.def("signed_rank_sums", &signed_rank_sums, nb::arg("a"), nb::arg("b"),
          nb::sig("def signed_rank_sums(a: numpy.typing.NDArray[numpy.float64], b: numpy.typing.NDArray[numpy.float64]) "
                  "-> tuple[numpy.typing.NDArray[numpy.float64], numpy.typing.NDArray[numpy.float64], "
                  "numpy.typing.NDArray[numpy.float64], numpy.typing.NDArray[numpy.float64], "
                  "numpy.typing.NDArray[numpy.float64]]"),
          "Per column of the differences a - b (rows paired by position; pairs with a missing value "
          "left out): the sum of the average ranks of the positive differences among the absolute "
          "differences that are not 0, the tie term sum(t^3 - t) of those, their number, the number of "
          "pairs, and the number of zero differences. Runs without the GIL.");
}
