// Rank sums of every feature at once, for the rank tests of the differential
// card: one radix sort per feature row, on the machine's threads, without the
// GIL. Average ranks of tied values are half-integers and every sum stays far
// below 2^53, so the sums are exact whatever the order of addition.
#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/tuple.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <tuple>
#include <utility>
#include <vector>

#include "kernels.hpp"

namespace nb = nanobind;

namespace {

using Rows = nb::ndarray<const double, nb::ndim<2>, nb::c_contig, nb::device::cpu>;
using Marks = nb::ndarray<const bool, nb::ndim<2>, nb::c_contig, nb::device::cpu>;
using Column = nb::ndarray<nb::numpy, double, nb::ndim<1>>;

// One row: the sum of the average ranks (1-based, missing values unranked) of
// the chosen values, the tie term sum(t^3 - t) over tie groups, and the count.
// The values of each side (chosen or not) are radix-sorted apart as keys of the
// same order, -0.0 as 0.0, and walked together: a tie group is the run of equal
// keys on both sides, and its rank follows from the values below it.
void rank_row(const double* row, const bool* chosen, std::size_t n, std::vector<std::uint64_t> (&sides)[3],
              double& sum, double& ties, double& count) {
    sides[0].clear();
    sides[1].clear();
    for (std::size_t j = 0; j < n; ++j)
        if (!std::isnan(row[j])) sides[chosen[j] ? 1 : 0].push_back(kern::order_key(row[j] + 0.0));
    kern::radix_sort(sides[0], sides[2]);
    kern::radix_sort(sides[1], sides[2]);
    const std::vector<std::uint64_t>& other = sides[0];
    const std::vector<std::uint64_t>& mine = sides[1];
    sum = ties = 0.0;
    count = double(other.size() + mine.size());
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

Column column(double* values, std::size_t n) {
    nb::capsule owner(values, [](void* p) noexcept { delete[] static_cast<double*>(p); });
    std::size_t shape[1] = {n};
    return Column(values, 1, shape, owner);
}

std::tuple<Column, Column, Column> rank_sums(Rows rows, Marks chosen) {
    const std::size_t m = rows.shape(0), n = rows.shape(1);
    if (chosen.shape(0) != m || chosen.shape(1) != n)
        throw nb::value_error("rank_sums: rows and chosen must have the same shape");
    auto* sums = new double[std::max<std::size_t>(m, 1)];
    auto* ties = new double[std::max<std::size_t>(m, 1)];
    auto* counts = new double[std::max<std::size_t>(m, 1)];
    Column s = column(sums, m), t = column(ties, m), c = column(counts, m);
    const double* values = rows.data();
    const bool* marks = chosen.data();
    {
        nb::gil_scoped_release release;
        kern::parallel_for(m, kern::threads_for(m * n), [&](std::size_t begin, std::size_t end, unsigned) {
            std::vector<std::uint64_t> sides[3];  // not chosen, chosen, scratch
            for (std::size_t r = begin; r < end; ++r)
                rank_row(values + r * n, marks + r * n, n, sides, sums[r], ties[r], counts[r]);
        });
    }
    return {s, t, c};
}

}  // namespace

void bind_rank_sums(nb::module_& m) {
    m.def("rank_sums", &rank_sums, nb::arg("rows"), nb::arg("chosen"),
          nb::sig("def rank_sums(rows: numpy.typing.NDArray[numpy.float64], chosen: numpy.typing.NDArray[numpy.bool_]) "
                  "-> tuple[numpy.typing.NDArray[numpy.float64], numpy.typing.NDArray[numpy.float64], "
                  "numpy.typing.NDArray[numpy.float64]]"),
          "Per row of `rows` (C-contiguous, NaN for missing): the sum of the average ranks of the values "
          "`chosen` marks (missing values take no rank), the tie term sum(t^3 - t) over groups of t equal "
          "values, and the number of values. Runs without the GIL.");
}
