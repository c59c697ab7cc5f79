// ROC curves of every feature at once, for the association card: one sort per
// feature row on the machine's threads, without the GIL; and the curves' rates
// written as text, each curve's words joined into one string. The curves are
// counts of samples, so they are exact whatever the order of the work.
#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/tuple.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "kernels.hpp"

namespace nb = nanobind;

namespace {

using Rows = nb::ndarray<const double, nb::ndim<2>, nb::c_contig, nb::device::cpu>;
using Hits = nb::ndarray<const std::int64_t, nb::ndim<1>, nb::c_contig, nb::device::cpu>;
using Counts = nb::ndarray<const std::int64_t, nb::ndim<1>, nb::c_contig, nb::device::cpu>;
using Column = nb::ndarray<nb::numpy, std::int64_t, nb::ndim<1>>;

struct Point {
    std::int64_t fp, tp;
};

// One row of scores (missing as NaN), highest first in ascending order: the
// point of each distinct score at its last position once sorted, then only
// the corners (a middle point whose steps before and after are equal lies on
// a straight segment and goes).
void row_curve(const double* row, const std::int64_t* hit, std::size_t n,
               std::vector<std::pair<double, std::int64_t>>& work, std::vector<Point>& out) {
    work.clear();
    for (std::size_t j = 0; j < n; ++j)
        if (!std::isnan(row[j])) work.emplace_back(row[j], hit[j]);
    std::sort(work.begin(), work.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    out.clear();
    std::int64_t tp = 0;
    Point step{0, 0};  // from the previous point (of all, not only the corners kept)
    for (std::size_t i = 0; i < work.size(); ++i) {
        tp += work[i].second;
        if (i + 1 < work.size() && work[i + 1].first == work[i].first) continue;
        const Point p{std::int64_t(i + 1) - tp, tp};
        if (!out.empty()) {
            const Point here{p.fp - out.back().fp, p.tp - out.back().tp};
            // The previous point is a middle one when it is not the first and its steps are equal.
            if (out.size() >= 2 && here.fp == step.fp && here.tp == step.tp) out.pop_back();
            step = here;
        }
        out.push_back(p);
    }
}

Column column(std::int64_t* values, std::size_t n) {
    nb::capsule owner(values, [](void* p) noexcept { delete[] static_cast<std::int64_t*>(p); });
    std::size_t shape[1] = {n};
    return Column(values, 1, shape, owner);
}

std::tuple<Column, Column, Column> roc_counts(Rows scores, Hits outcome) {
    const std::size_t m = scores.shape(0), n = scores.shape(1);
    if (outcome.shape(0) != n)
        throw nb::value_error("roc_counts: outcome must hold one value per column of scores");
    const double* values = scores.data();
    const std::int64_t* hits = outcome.data();
    for (std::size_t j = 0; j < n; ++j)
        if (hits[j] != 0 && hits[j] != 1) throw nb::value_error("roc_counts: outcome must be 0 or 1");
    std::vector<std::vector<Point>> curves(m);
    {
        nb::gil_scoped_release release;
        kern::parallel_for(m, kern::threads_for(m * n), [&](std::size_t begin, std::size_t end, unsigned) {
            std::vector<std::pair<double, std::int64_t>> buffer;
            buffer.reserve(n);
            for (std::size_t r = begin; r < end; ++r) row_curve(values + r * n, hits, n, buffer, curves[r]);
        });
    }
    // Curves end to end, each starting at (0, 0).
    auto* start = new std::int64_t[m + 1];
    Column s = column(start, m + 1);
    start[0] = 0;
    for (std::size_t r = 0; r < m; ++r) start[r + 1] = start[r] + std::int64_t(curves[r].size()) + 1;
    const auto total = std::size_t(start[m]);
    auto* fps = new std::int64_t[std::max<std::size_t>(total, 1)];
    Column f = column(fps, total);
    auto* tps = new std::int64_t[std::max<std::size_t>(total, 1)];
    Column t = column(tps, total);
    for (std::size_t r = 0; r < m; ++r) {
        auto at = std::size_t(start[r]);
        fps[at] = tps[at] = 0;
        for (const Point& p : curves[r]) {
            ++at;
            fps[at] = p.fp;
            tps[at] = p.tp;
        }
    }
    return {f, t, s};
}

// Each curve's words joined with ",": curve k is words[codes[start[k]:start[k + 1]]].
nb::list joined_words(nb::list words, Counts codes, Counts start) {
    // The words end to end in one buffer: word w is text[at[w], at[w + 1]).
    std::string text;
    std::vector<std::size_t> at{0};
    for (nb::handle w : words) {
        if (!nb::isinstance<nb::str>(w)) throw nb::type_error("joined_words: words must be text");
        Py_ssize_t size = 0;
        const char* bytes = PyUnicode_AsUTF8AndSize(w.ptr(), &size);
        if (!bytes) throw nb::python_error();
        if (!PyUnicode_IS_ASCII(w.ptr())) throw nb::value_error("joined_words: words must be ASCII");
        text.append(bytes, std::size_t(size));
        at.push_back(text.size());
    }
    const std::size_t n_words = at.size() - 1, points = codes.shape(0);
    const std::size_t curves = start.shape(0) ? start.shape(0) - 1 : 0;
    const std::int64_t* code = codes.data();
    const std::int64_t* bounds = start.data();
    if (start.shape(0) == 0 || bounds[0] != 0 || std::size_t(bounds[curves]) != points)
        throw nb::value_error("joined_words: start must run from 0 to the number of codes");
    for (std::size_t k = 0; k < curves; ++k)
        if (bounds[k + 1] < bounds[k]) throw nb::value_error("joined_words: start must not decrease");
    std::vector<std::size_t> sizes(curves);
    bool named = true;
    {
        nb::gil_scoped_release release;
        for (std::size_t i = 0; i < points; ++i) named &= code[i] >= 0 && std::size_t(code[i]) < n_words;
        if (named)
            kern::parallel_for(curves, kern::threads_for(points), [&](std::size_t begin, std::size_t end, unsigned) {
                for (std::size_t k = begin; k < end; ++k) {
                    std::size_t size = 0;
                    for (auto i = std::size_t(bounds[k]); i < std::size_t(bounds[k + 1]); ++i)
                        size += at[std::size_t(code[i]) + 1] - at[std::size_t(code[i])] + 1;
                    sizes[k] = size ? size - 1 : 0;
                }
            });
    }
    if (!named) throw nb::value_error("joined_words: a code names no word");
    // The strings are made with the GIL, then filled in on the threads without it.
    std::vector<char*> into(curves);
    nb::list out;
    for (std::size_t k = 0; k < curves; ++k) {
        nb::object s = nb::steal(PyUnicode_New(Py_ssize_t(sizes[k]), 127));
        if (!s.is_valid()) throw nb::python_error();
        into[k] = static_cast<char*>(PyUnicode_DATA(s.ptr()));
        out.append(s);
    }
    {
        nb::gil_scoped_release release;
        kern::parallel_for(curves, kern::threads_for(points), [&](std::size_t begin, std::size_t end, unsigned) {
            for (std::size_t k = begin; k < end; ++k) {
                char* p = into[k];
                for (auto i = std::size_t(bounds[k]); i < std::size_t(bounds[k + 1]); ++i) {
                    if (i > std::size_t(bounds[k])) *p++ = ',';
                    const std::size_t w = std::size_t(code[i]);
                    std::memcpy(p, text.data() + at[w], at[w + 1] - at[w]);
                    p += at[w + 1] - at[w];
                }
            }
        });
    }
    return out;
}

}  // namespace

void bind_roc_curves(nb::module_& m) {
    m.def("roc_counts", &roc_counts, nb::arg("scores"), nb::arg("outcome"),
          nb::sig("def roc_counts(scores: numpy.typing.NDArray[numpy.float64], outcome: numpy.typing.NDArray[numpy.int64]) "
                  "-> tuple[numpy.typing.NDArray[numpy.int64], numpy.typing.NDArray[numpy.int64], "
                  "numpy.typing.NDArray[numpy.int64]]"),
          "(fps, tps, start): the ROC curve of each row of `scores` (C-contiguous, NaN for missing; the "
          "highest-ranked score the lowest) against `outcome` (0 or 1 per column), as counts of false and "
          "true positives: a point per distinct score after all samples of that score, only the corners "
          "kept, each curve starting at (0, 0). The curves lie end to end; curve k is [start[k], "
          "start[k + 1]). Runs without the GIL.");
    m.def("joined_words", &joined_words, nb::arg("words"), nb::arg("codes"), nb::arg("start"),
          nb::sig("def joined_words(words: list[str], codes: numpy.typing.NDArray[numpy.int64], "
                  "start: numpy.typing.NDArray[numpy.int64]) -> list[str]"),
          "For each k, \",\".join(words[c] for c in codes[start[k]:start[k + 1]]) (ASCII words).");
}
