// ROC curves of every feature at once, for the association card: one sort per
// feature row on the machine's threads, without the GIL; and the curves' rates
// written as text, each curve's rates joined into one string as Python writes them. The curves are
// counts of samples, so they are exact whatever the order of the work.
#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/tuple.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>
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
// point of each distinct score after all samples of that score, then only the
// corners (a middle point whose steps before and after are equal lies on a
// straight segment and goes). The scores of each class are sorted apart and
// walked together: a point counts the scores of each class up to its own.
void row_curve(const double* row, const std::int64_t* hit, std::size_t n, std::vector<std::uint64_t> (&by_class)[3],
               std::vector<Point>& out) {
    by_class[0].clear();
    by_class[1].clear();
    for (std::size_t j = 0; j < n; ++j)
        if (!std::isnan(row[j])) by_class[hit[j]].push_back(kern::order_key(row[j] + 0.0));  // -0.0 as 0.0
    kern::radix_sort(by_class[0], by_class[2]);
    kern::radix_sort(by_class[1], by_class[2]);
    const std::vector<std::uint64_t>& neg = by_class[0];
    const std::vector<std::uint64_t>& pos = by_class[1];
    out.clear();
    Point step{0, 0};  // from the previous point (of all, not only the corners kept)
    std::size_t f = 0, t = 0;
    while (f < neg.size() || t < pos.size()) {
        const std::uint64_t v = t == pos.size() || (f < neg.size() && neg[f] < pos[t]) ? neg[f] : pos[t];
        while (f < neg.size() && neg[f] == v) ++f;
        while (t < pos.size() && pos[t] == v) ++t;
        const Point p{std::int64_t(f), std::int64_t(t)};
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
            std::vector<std::uint64_t> by_class[3];  // negatives, positives, scratch
            for (std::size_t r = begin; r < end; ++r) row_curve(values + r * n, hits, n, by_class, curves[r]);
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

// Python's repr of a finite double, into `out` (32 bytes suffice); its length.
// The digits are the shortest that read back as `v` (std::to_chars, as Python's
// own), laid out as Python lays them: positional when the decimal point falls
// within -4 < point <= 16 of the first digit (with ".0" when there is no
// fraction), else as d.ddde-XX with at least two exponent digits.
std::size_t python_repr(double v, char* out) {
    char buf[40];
    char* const end = std::to_chars(buf, buf + sizeof buf - 1, v, std::chars_format::scientific).ptr;
    *end = '\0';  // for atoi
    const char* p = buf;
    char* o = out;
    if (*p == '-') *o++ = *p++;
    char digits[24] = {};
    std::size_t n = 0;
    for (; p < end && *p != 'e'; ++p)
        if (*p != '.') digits[n++] = *p;
    const int point = std::atoi(p + 1) + 1;  // digits before the decimal point
    if (point > -4 && point <= 16) {
        if (point <= 0) {
            *o++ = '0';
            *o++ = '.';
            for (int z = 0; z < -point; ++z) *o++ = '0';
            o = std::copy(digits, digits + n, o);
        } else if (std::size_t(point) >= n) {
            o = std::copy(digits, digits + n, o);
            for (std::size_t z = n; z < std::size_t(point); ++z) *o++ = '0';
            *o++ = '.';
            *o++ = '0';
        } else {
            o = std::copy(digits, digits + point, o);
            *o++ = '.';
            o = std::copy(digits + point, digits + n, o);
        }
    } else {
        *o++ = digits[0];
        if (n > 1) {
            *o++ = '.';
            o = std::copy(digits + 1, digits + n, o);
        }
        const int e = point - 1;
        *o++ = 'e';
        *o++ = e < 0 ? '-' : '+';
        const int a = e < 0 ? -e : e;
        if (a >= 100) *o++ = char('0' + a / 100);
        *o++ = char('0' + a / 10 % 10);
        *o++ = char('0' + a % 10);
    }
    return std::size_t(o - out);
}

// rate_texts for totals too large for a table: each rate written where it stands.
nb::list rate_texts_one_by_one(const std::int64_t* count, const std::int64_t* total, const std::int64_t* bounds,
                               std::size_t curves) {
    const std::size_t points = std::size_t(bounds[curves]);
    std::vector<std::string> texts(curves);
    {
        nb::gil_scoped_release release;
        kern::parallel_for(curves, kern::threads_for(points * 8), [&](std::size_t begin, std::size_t end, unsigned) {
            char word[48];
            for (std::size_t k = begin; k < end; ++k) {
                std::string& text = texts[k];
                const auto a = std::size_t(bounds[k]), b = std::size_t(bounds[k + 1]);
                text.reserve((b - a) * 20);
                for (std::size_t i = a; i < b; ++i) {
                    if (i > a) text.push_back(',');
                    text.append(word, python_repr(double(count[i]) / double(total[k]), word));
                }
            }
        });
    }
    nb::list out;
    for (std::string& text : texts) {
        out.append(nb::str(text.data(), text.size()));
        std::string().swap(text);
    }
    return out;
}

struct Word {
    char text[31];
    std::uint8_t size;
};

// Each curve's rates as text: curve k is ",".join(repr(c / totals[k]) for c in
// counts[start[k]:start[k + 1]]), built on the threads without the GIL.
// Curves of a cohort share their totals, so each fraction in use is written
// once (when the table of k / n for every n in use stays small) and copied.
nb::list rate_texts(Counts counts, Counts totals, Counts start) {
    const std::size_t curves = totals.shape(0), points = counts.shape(0);
    const std::int64_t* count = counts.data();
    const std::int64_t* total = totals.data();
    const std::int64_t* bounds = start.data();
    if (start.shape(0) != curves + 1 || bounds[0] != 0 || bounds[curves] != std::int64_t(points))
        throw nb::value_error("rate_texts: start must run from 0 to the number of counts, one step per total");
    for (std::size_t k = 0; k < curves; ++k)
        if (bounds[k + 1] < bounds[k] || total[k] < 1)
            throw nb::value_error("rate_texts: start must not decrease and every total must be positive");
    // Where the fractions of each total begin in the table (of n + 1 entries per total in use).
    std::vector<std::int64_t> totals_used(total, total + curves);
    std::sort(totals_used.begin(), totals_used.end());
    totals_used.erase(std::unique(totals_used.begin(), totals_used.end()), totals_used.end());
    std::vector<std::size_t> base(totals_used.size() + 1, 0);
    bool tabled = true;
    for (std::size_t u = 0; u < totals_used.size() && tabled; ++u) {
        base[u + 1] = base[u] + std::size_t(totals_used[u]) + 1;
        tabled = base[u + 1] <= 4 * points + (std::size_t(1) << 20);
    }
    std::vector<std::size_t> first(curves, 0);  // table entry of fraction 0 of each curve's total
    std::vector<std::int64_t> slot;             // the word of each table entry in use, else -1
    std::vector<Word> words;
    std::vector<std::size_t> sizes(curves, 0);
    bool in_range = true;
    {
        nb::gil_scoped_release release;
        for (std::size_t k = 0; k < curves; ++k) {
            for (auto i = std::size_t(bounds[k]); i < std::size_t(bounds[k + 1]); ++i)
                in_range &= count[i] >= 0 && count[i] <= total[k];
            if (tabled)
                first[k] = base[std::size_t(std::lower_bound(totals_used.begin(), totals_used.end(), total[k]) -
                                            totals_used.begin())];
        }
        if (in_range && tabled) {
            slot.assign(base.back(), -1);
            for (std::size_t k = 0; k < curves; ++k)
                for (auto i = std::size_t(bounds[k]); i < std::size_t(bounds[k + 1]); ++i)
                    slot[first[k] + std::size_t(count[i])] = 0;
            std::vector<std::size_t> entries;
            for (std::size_t e = 0; e < slot.size(); ++e)
                if (slot[e] == 0) {
                    slot[e] = std::int64_t(entries.size());
                    entries.push_back(e);
                }
            words.resize(entries.size());
            // The table entry e of total n = totals_used[u] is the fraction (e - base[u]) / n.
            kern::parallel_for(entries.size(), kern::threads_for(entries.size() * 16),
                               [&](std::size_t begin, std::size_t end, unsigned) {
                auto u = std::size_t(std::upper_bound(base.begin(), base.end(), entries[begin]) - base.begin()) - 1;
                for (std::size_t w = begin; w < end; ++w) {
                    while (entries[w] >= base[u + 1]) ++u;
                    const double rate = double(entries[w] - base[u]) / double(totals_used[u]);
                    words[w].size = std::uint8_t(python_repr(rate, words[w].text));
                }
            });
        }
    }
    if (!in_range) throw nb::value_error("rate_texts: every count must lie between 0 and its curve's total");
    if (!tabled) return rate_texts_one_by_one(count, total, bounds, curves);
    // The strings are made with the GIL, then filled in on the threads without it.
    {
        nb::gil_scoped_release release;
        kern::parallel_for(curves, kern::threads_for(points), [&](std::size_t begin, std::size_t end, unsigned) {
            for (std::size_t k = begin; k < end; ++k) {
                std::size_t size = 0;
                for (auto i = std::size_t(bounds[k]); i < std::size_t(bounds[k + 1]); ++i)
                    size += words[std::size_t(slot[first[k] + std::size_t(count[i])])].size + 1u;
                sizes[k] = size ? size - 1 : 0;
            }
        });
    }
    std::vector<char*> into(curves);
    nb::list out;
    for (std::size_t k = 0; k < curves; ++k) {
        nb::object text = nb::steal(PyUnicode_New(Py_ssize_t(sizes[k]), 127));
        if (!text.is_valid()) throw nb::python_error();
        into[k] = static_cast<char*>(PyUnicode_DATA(text.ptr()));
        out.append(text);
    }
    {
        nb::gil_scoped_release release;
        kern::parallel_for(curves, kern::threads_for(points), [&](std::size_t begin, std::size_t end, unsigned) {
            for (std::size_t k = begin; k < end; ++k) {
                char* p = into[k];
                for (auto i = std::size_t(bounds[k]); i < std::size_t(bounds[k + 1]); ++i) {
                    if (i > std::size_t(bounds[k])) *p++ = ',';
                    const Word& w = words[std::size_t(slot[first[k] + std::size_t(count[i])])];
                    std::memcpy(p, w.text, w.size);
                    p += w.size;
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
    m.def("rate_texts", &rate_texts, nb::arg("counts"), nb::arg("totals"), nb::arg("start"),
          nb::sig("def rate_texts(counts: numpy.typing.NDArray[numpy.int64], totals: numpy.typing.NDArray[numpy.int64], "
                  "start: numpy.typing.NDArray[numpy.int64]) -> list[str]"),
          "For each curve k, \",\".join(repr(c / totals[k]) for c in counts[start[k]:start[k + 1]]): the "
          "texts Python writes for those doubles. Runs without the GIL.");
}
