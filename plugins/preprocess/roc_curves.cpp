// ROC curves of every feature at once, for the association card: one sort per
// feature row on the machine's threads, without the GIL; and the curves' rates
// written as text, each curve's rates joined into one string as Python writes them. The curves are
// counts of samples, so they are exact whatever the order of the work.
#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/tuple.h>
#include <nanobind/stl/vector.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <future>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include <fcntl.h>

#include "arrays.hpp"
#include "kernels.hpp"

namespace nb = nanobind;

namespace {

using Rows = nb::ndarray<const double, nb::ndim<2>, nb::c_contig, nb::device::cpu>;
using Hits = nb::ndarray<const std::int64_t, nb::ndim<1>, nb::c_contig, nb::device::cpu>;
using Factors = nb::ndarray<const double, nb::ndim<1>, nb::c_contig, nb::device::cpu>;
using Floats = arrays::Column<double>;
using Counts = nb::ndarray<const std::int64_t, nb::ndim<1>, nb::c_contig, nb::device::cpu>;
using Column = arrays::Column<std::int64_t>;
// The points of the curves: counts of samples, far below 2^31.
using Points = nb::ndarray<const std::int32_t, nb::ndim<1>, nb::c_contig, nb::device::cpu>;
using PointColumn = arrays::Column<std::int32_t>;

struct Point {
    std::int64_t fp, tp;
};

// One row of scores (missing as NaN), highest first in ascending order: the
// point of each distinct score after all samples of that score, then only the
// corners (a middle point whose steps before and after are equal lies on a
// straight segment and goes). The scores of each class are sorted apart and
// walked together: a point counts the scores of each class up to its own.
void row_curve(const double* row, double factor, const std::int64_t* hit, std::size_t n,
               std::vector<std::uint64_t> (&by_class)[3], std::vector<Point>& out) {
    by_class[0].clear();
    by_class[1].clear();
    for (std::size_t j = 0; j < n; ++j) {
        const double score = row[j] * factor;
        if (!std::isnan(score)) by_class[hit[j]].push_back(kern::order_key(score + 0.0));  // -0.0 as 0.0
    }
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

// Curves kept by one thread as they are made: end to end in chunks of 32-bit
// counts (samples number far below 2^31), a chunk filled before the next is
// begun, so that no curve is copied while the work goes on.
struct Kept {
    static constexpr std::size_t kChunk = std::size_t(1) << 20;  // points
    std::vector<std::vector<std::int32_t>> chunks;                // fp, tp interleaved

    // Where curve `c` now lies: its chunk and first point.
    std::pair<std::size_t, std::size_t> add(const std::vector<Point>& c) {
        if (chunks.empty() || chunks.back().size() / 2 + c.size() > std::max(kChunk, c.size())) {
            chunks.emplace_back();
            chunks.back().reserve(2 * std::max(kChunk, c.size()));
        }
        std::vector<std::int32_t>& chunk = chunks.back();
        const std::size_t at = chunk.size() / 2;
        for (const Point& p : c) {
            chunk.push_back(std::int32_t(p.fp));
            chunk.push_back(std::int32_t(p.tp));
        }
        return {chunks.size() - 1, at};
    }
};

std::tuple<PointColumn, PointColumn, Column> roc_counts(Rows scores, Factors factors, Hits outcome) {
    const std::size_t m = scores.shape(0), n = scores.shape(1);
    if (outcome.shape(0) != n)
        throw nb::value_error("roc_counts: outcome must hold one value per column of scores");
    if (factors.shape(0) != m) throw nb::value_error("roc_counts: factors must hold one value per row of scores");
    const double* factor = factors.data();
    const double* values = scores.data();
    const std::int64_t* hits = outcome.data();
    for (std::size_t j = 0; j < n; ++j)
        if (hits[j] != 0 && hits[j] != 1) throw nb::value_error("roc_counts: outcome must be 0 or 1");
    if (n >= std::size_t(INT32_MAX)) throw nb::value_error("roc_counts: too many samples for 32-bit counts");
    // Each row's curve: its chunk (of the thread that kept it), its first point, its length.
    struct Place {
        std::size_t chunk, at, size;
    };
    std::vector<Place> places(m);
    const unsigned nt = std::max(1u, kern::threads_for(m * n));
    std::vector<Kept> kept(nt);
    std::vector<std::vector<std::size_t>> made(nt);  // each thread's rows, in the order it kept them
    std::int64_t* start;
    std::int32_t *fps, *tps;
    Column s = arrays::owned(m + 1, start);
    {
        nb::gil_scoped_release release;
        kern::parallel_for(m, nt, [&](std::size_t begin, std::size_t end, unsigned part) {
            std::vector<std::uint64_t> by_class[3];  // negatives, positives, scratch
            std::vector<Point> curve;                // one row's, its room kept for the next
            for (std::size_t r = begin; r < end; ++r) {
                row_curve(values + r * n, factor[r], hits, n, by_class, curve);
                const auto [chunk, at] = kept[part].add(curve);
                places[r] = {chunk, at, curve.size()};
                made[part].push_back(r);
            }
        });
    }
    // Curves end to end, each starting at (0, 0). Each thread's chunks are copied out in the
    // order they were filled, and each is freed once copied: the curves are not held twice over
    // (160 MB at 1,000 x 20,000 otherwise).
    start[0] = 0;
    for (std::size_t r = 0; r < m; ++r) start[r + 1] = start[r] + std::int64_t(places[r].size) + 1;
    const auto total = std::size_t(start[m]);
    PointColumn f = arrays::owned(total, fps), t = arrays::owned(total, tps);
    {
        nb::gil_scoped_release release;
        kern::parallel_for(nt, nt, [&](std::size_t begin, std::size_t end, unsigned) {
            for (std::size_t owner = begin; owner < end; ++owner) {
                std::vector<std::vector<std::int32_t>>& chunks = kept[owner].chunks;
                std::size_t copied = 0;  // chunks before this one are freed
                for (const std::size_t r : made[owner]) {
                    const Place& p = places[r];
                    for (; copied < p.chunk; ++copied) std::vector<std::int32_t>().swap(chunks[copied]);
                    const std::int32_t* from = chunks[p.chunk].data() + 2 * p.at;
                    auto at = std::size_t(start[r]);
                    fps[at] = tps[at] = 0;
                    for (std::size_t k = 0; k < p.size; ++k) {
                        fps[at + 1 + k] = from[2 * k];
                        tps[at + 1 + k] = from[2 * k + 1];
                    }
                }
                std::vector<std::vector<std::int32_t>>().swap(chunks);
            }
        });
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

struct Word {
    char text[31];
    std::uint8_t size;
};

// The rates of curves laid end to end, count / total of the curve, as the texts
// Python's repr gives. Curves of a cohort share their totals, so each fraction
// in use is written once (when the table of k / n for every n in use stays
// small) and copied; otherwise each rate is written where it stands.
class Rates {
  public:
    Rates(const std::int32_t* count, const std::int64_t* total, const std::int64_t* bounds, std::size_t curves,
          std::size_t points, const char* caller)
        : count_(count), total_(total), bounds_(bounds), curves_(curves) {
        if (bounds[0] != 0 || bounds[curves] != std::int64_t(points))
            throw nb::value_error((std::string(caller) + ": start must run from 0 to the number of counts, one "
                                                         "step per total").c_str());
        for (std::size_t k = 0; k < curves; ++k)
            if (bounds[k + 1] < bounds[k] || total[k] < 1)
                throw nb::value_error((std::string(caller) + ": start must not decrease and every total must be "
                                                             "positive").c_str());
        bool in_range = true;
        for (std::size_t k = 0; k < curves; ++k)
            for (auto i = std::size_t(bounds[k]); i < std::size_t(bounds[k + 1]); ++i)
                in_range &= count[i] >= 0 && count[i] <= total[k];
        if (!in_range)
            throw nb::value_error((std::string(caller) + ": every count must lie between 0 and its curve's total")
                                      .c_str());
        nb::gil_scoped_release release;
        tabulate(points);
    }

    // The text of rate i (of curve k), appended to `out`; its length.
    std::size_t size(std::size_t k, std::size_t i) const {
        if (tabled_) return words_[std::size_t(slot_[first_[k] + std::size_t(count_[i])])].size;
        char word[48];
        return python_repr(double(count_[i]) / double(total_[k]), word);
    }
    char* put(char* out, std::size_t k, std::size_t i) const {
        if (!tabled_) return out + python_repr(double(count_[i]) / double(total_[k]), out);
        const Word& w = words_[std::size_t(slot_[first_[k] + std::size_t(count_[i])])];
        std::memcpy(out, w.text, w.size);
        return out + w.size;
    }
    // Curve k's rates joined with ",": its length, and the text put at `out`.
    std::size_t joined_size(std::size_t k) const {
        std::size_t n = 0;
        for (auto i = std::size_t(bounds_[k]); i < std::size_t(bounds_[k + 1]); ++i) n += size(k, i) + 1u;
        return n ? n - 1 : 0;
    }
    char* put_joined(char* out, std::size_t k) const {
        for (auto i = std::size_t(bounds_[k]); i < std::size_t(bounds_[k + 1]); ++i) {
            if (i > std::size_t(bounds_[k])) *out++ = ',';
            out = put(out, k, i);
        }
        return out;
    }

  private:
    void tabulate(std::size_t points) {
        // Where the fractions of each total begin in the table (of n + 1 entries per total in use).
        std::vector<std::int64_t> totals_used(total_, total_ + curves_);
        std::sort(totals_used.begin(), totals_used.end());
        totals_used.erase(std::unique(totals_used.begin(), totals_used.end()), totals_used.end());
        std::vector<std::size_t> base(totals_used.size() + 1, 0);
        for (std::size_t u = 0; u < totals_used.size(); ++u) {
            base[u + 1] = base[u] + std::size_t(totals_used[u]) + 1;
            if (base[u + 1] > 4 * points + (std::size_t(1) << 20)) return;  // not tabled
        }
        tabled_ = true;
        first_.assign(curves_, 0);  // table entry of fraction 0 of each curve's total
        for (std::size_t k = 0; k < curves_; ++k)
            first_[k] = base[std::size_t(std::lower_bound(totals_used.begin(), totals_used.end(), total_[k]) -
                                         totals_used.begin())];
        slot_.assign(base.back(), -1);  // the word of each table entry in use, else -1
        for (std::size_t k = 0; k < curves_; ++k)
            for (auto i = std::size_t(bounds_[k]); i < std::size_t(bounds_[k + 1]); ++i)
                slot_[first_[k] + std::size_t(count_[i])] = 0;
        std::vector<std::size_t> entries;
        for (std::size_t e = 0; e < slot_.size(); ++e)
            if (slot_[e] == 0) {
                slot_[e] = std::int64_t(entries.size());
                entries.push_back(e);
            }
        words_.resize(entries.size());
        // The table entry e of total n = totals_used[u] is the fraction (e - base[u]) / n.
        kern::parallel_for(entries.size(), kern::threads_for(entries.size() * 16),
                           [&](std::size_t begin, std::size_t end, unsigned) {
            auto u = std::size_t(std::upper_bound(base.begin(), base.end(), entries[begin]) - base.begin()) - 1;
            for (std::size_t w = begin; w < end; ++w) {
                while (entries[w] >= base[u + 1]) ++u;
                const double rate = double(entries[w] - base[u]) / double(totals_used[u]);
                words_[w].size = std::uint8_t(python_repr(rate, words_[w].text));
            }
        });
    }

    const std::int32_t* count_;
    const std::int64_t *total_, *bounds_;
    std::size_t curves_;
    bool tabled_ = false;
    std::vector<std::size_t> first_;
    std::vector<std::int64_t> slot_;
    std::vector<Word> words_;
};

// Each curve's rates as text: curve k is ",".join(repr(c / totals[k]) for c in
// counts[start[k]:start[k + 1]]). The strings are made with the GIL, then
// filled in on the threads without it.
nb::list rate_texts(Points counts, Counts totals, Counts start) {
    const std::size_t curves = totals.shape(0), points = counts.shape(0);
    if (start.shape(0) != curves + 1)
        throw nb::value_error("rate_texts: start must run from 0 to the number of counts, one step per total");
    const Rates rates(counts.data(), totals.data(), start.data(), curves, points, "rate_texts");
    std::vector<std::size_t> sizes(curves, 0);
    {
        nb::gil_scoped_release release;
        kern::parallel_for(curves, kern::threads_for(points), [&](std::size_t begin, std::size_t end, unsigned) {
            for (std::size_t k = begin; k < end; ++k) sizes[k] = rates.joined_size(k);
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
            for (std::size_t k = begin; k < end; ++k) rates.put_joined(into[k], k);
        });
    }
    return out;
}

using Doubles = nb::ndarray<const double, nb::ndim<1>, nb::c_contig, nb::device::cpu>;

// Curve k's line of the table: its number, feature, joined rates and area.
void append_row(std::string& text, std::size_t k, const std::string& feature, const Rates& fpr, const Rates& tpr,
                double auc) {
    char word[48];
    const std::string number = std::to_string(k);
    const std::size_t area = std::isnan(auc) ? 0 : python_repr(auc, word), at = text.size();
    text.resize(at + number.size() + feature.size() + fpr.joined_size(k) + tpr.joined_size(k) + area + 5);
    char* o = text.data() + at;
    o = std::copy(number.begin(), number.end(), o);
    *o++ = '\t';
    o = std::copy(feature.begin(), feature.end(), o);
    *o++ = '\t';
    o = fpr.put_joined(o, k);
    *o++ = '\t';
    o = tpr.put_joined(o, k);
    *o++ = '\t';
    o = std::copy(word, word + area, o);
    *o = '\n';
}

// Starts writing out what lies more than DROP_LAG bytes behind `written` and lets
// the system forget it once on disk. Without this a table of a gigabyte fills as
// much fresh page cache, whose first touch costs the system seconds (several
// times the formatting); with it the same few pages are used over again. Nobody
// reads a table whole soon after it is written; one curve is read by its line.
bool drop_behind(std::FILE* file, std::int64_t written) {
#ifdef POSIX_FADV_DONTNEED
    constexpr std::int64_t DROP_LAG = std::int64_t(32) << 20;
    if (written <= DROP_LAG) return true;
    if (std::fflush(file) != 0) return false;
    // Dirty pages are only queued for writing by this call, and dropped by a later one.
    posix_fadvise(fileno(file), 0, off_t(written - DROP_LAG), POSIX_FADV_DONTNEED);
#else
    (void)file, (void)written;
#endif
    return true;
}

// The ROC table as the host's writer writes a frame of it (a tab-separated table
// whose index is 0, 1, ...): a header line "\tFeature\tFPR\tTPR\tAUC", then per
// curve k its number, feature, joined false- and true-positive rates and its
// area as repr (empty when NaN). The lines are formatted in blocks on the
// threads, a round of blocks while the previous round is written (a cohort's
// table is hundreds of megabytes, and writing them costs the system as much as
// formatting them). Returns where each line starts in the file, and its size
// last, so that one curve is read back on its own.
Column write_roc_table(const std::string& path, const std::vector<std::string>& features, Points fps, Points tps,
                       Counts start, Counts negatives, Counts positives, Doubles auc) {
    const std::size_t curves = features.size(), points = fps.shape(0);
    if (start.shape(0) != curves + 1 || negatives.shape(0) != curves || positives.shape(0) != curves ||
        auc.shape(0) != curves || tps.shape(0) != points)
        throw nb::value_error("write_roc_table: one feature, total and area per curve, one start more");
    const Rates fpr(fps.data(), negatives.data(), start.data(), curves, points, "write_roc_table");
    const Rates tpr(tps.data(), positives.data(), start.data(), curves, points, "write_roc_table");
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (!file) throw nb::value_error(("write_roc_table: cannot write " + path).c_str());
    std::int64_t* offsets;
    Column out = arrays::owned(curves + 1, offsets);
    bool written;
    {
        nb::gil_scoped_release release;
        // Blocks of curves of about 2^14 points each (a third of a megabyte of text).
        std::vector<std::size_t> bounds{0};
        for (std::size_t k = 0; k < curves; ++k)
            if (std::size_t(start.data()[k + 1]) - std::size_t(start.data()[bounds.back()]) >= (1u << 14) ||
                k + 1 == curves)
                bounds.push_back(k + 1);
        const unsigned nt = kern::threads_for(points * 16);
        const std::size_t per_round = std::size_t(nt) * 2;
        std::vector<std::string> rounds[2] = {std::vector<std::string>(per_round),
                                              std::vector<std::string>(per_round)};
        std::int64_t flushed = 0;  // bytes handed to the system so far (by the writing thread)
        auto write_all = [file, &flushed](const std::vector<std::string>& texts, std::size_t blocks) {
            bool ok = true;
            for (std::size_t b = 0; ok && b < blocks; ++b) {
                ok = std::fwrite(texts[b].data(), 1, texts[b].size(), file) == texts[b].size();
                flushed += std::int64_t(texts[b].size());
            }
            return ok && drop_behind(file, flushed);
        };
        static const char header[] = "\tFeature\tFPR\tTPR\tAUC\n";
        written = std::fwrite(header, 1, sizeof header - 1, file) == sizeof header - 1;
        std::int64_t at = sizeof header - 1;  // where the next block starts in the file
        std::future<bool> writing;  // the previous round's
        for (std::size_t first = 0, r = 0; written && first + 1 < bounds.size(); first += per_round, ++r) {
            std::vector<std::string>& texts = rounds[r % 2];  // its last writing was waited for
            const std::size_t blocks = std::min(per_round, bounds.size() - 1 - first);
            kern::parallel_for(blocks, nt, [&](std::size_t begin, std::size_t end, unsigned) {
                for (std::size_t b = begin; b < end; ++b) {
                    texts[b].clear();
                    for (std::size_t k = bounds[first + b]; k < bounds[first + b + 1]; ++k) {
                        offsets[k] = std::int64_t(texts[b].size());  // within the block, for now
                        append_row(texts[b], k, features[k], fpr, tpr, auc.data()[k]);
                    }
                }
            });
            for (std::size_t b = 0; b < blocks; ++b) {
                for (std::size_t k = bounds[first + b]; k < bounds[first + b + 1]; ++k) offsets[k] += at;
                at += std::int64_t(texts[b].size());
            }
            if (writing.valid()) written = writing.get();
            writing = std::async(std::launch::async, write_all, std::cref(texts), blocks);
        }
        if (writing.valid()) written = writing.get() && written;
        written = std::fclose(file) == 0 && written;
        offsets[curves] = at;
    }
    if (!written) throw nb::value_error(("write_roc_table: writing " + path + " failed").c_str());
    return out;
}

// np.trapezoid(tpr, fpr) of each curve of the counts: the rates count / total,
// the terms diff(fpr) * (tpr[1:] + tpr[:-1]) / 2 and their pairwise sum, each
// step as numpy takes it, so to the last bit.
Floats roc_areas(Points fps, Points tps, Counts start, Counts negatives, Counts positives) {
    const std::size_t curves = negatives.shape(0), points = fps.shape(0);
    if (start.shape(0) != curves + 1 || positives.shape(0) != curves || tps.shape(0) != points)
        throw nb::value_error("roc_areas: one total of each kind per curve, one start more");
    const std::int64_t* bounds = start.data();
    for (std::size_t k = 0; k < curves; ++k)
        if (bounds[k + 1] <= bounds[k] || std::size_t(bounds[k + 1]) > points)
            throw nb::value_error("roc_areas: every curve must have a point, within the counts");
    double* areas;
    Floats out = arrays::owned(curves, areas);
    const std::int32_t *f = fps.data(), *t = tps.data();
    const std::int64_t *neg = negatives.data(), *pos = positives.data();
    {
        nb::gil_scoped_release release;
        kern::parallel_for(curves, kern::threads_for(points * 4), [&](std::size_t begin, std::size_t end, unsigned) {
            std::vector<double> terms;
            for (std::size_t k = begin; k < end; ++k) {
                const auto a = std::size_t(bounds[k]), b = std::size_t(bounds[k + 1]);
                const double n = double(neg[k]), p = double(pos[k]);
                terms.resize(b - a - 1);
                for (std::size_t i = a; i + 1 < b; ++i) {
                    const double width = double(f[i + 1]) / n - double(f[i]) / n;
                    terms[i - a] = width * (double(t[i + 1]) / p + double(t[i]) / p) / 2.0;
                }
                areas[k] = kern::row_sum(terms);
            }
        });
    }
    return out;
}

}  // namespace

void bind_roc_curves(nb::module_& m) {
    m.def("roc_counts", &roc_counts, nb::arg("scores"), nb::arg("factors"), nb::arg("outcome"),
          nb::sig("def roc_counts(scores: numpy.typing.NDArray[numpy.float64], factors: numpy.typing.NDArray[numpy.float64], "
                  "outcome: numpy.typing.NDArray[numpy.int64]) "
                  "-> tuple[numpy.typing.NDArray[numpy.int32], numpy.typing.NDArray[numpy.int32], "
                  "numpy.typing.NDArray[numpy.int64]]"),
          "(fps, tps, start): the ROC curve of each row of `scores` times its factor (C-contiguous, NaN for "
          "missing; the highest-ranked score the lowest) against `outcome` (0 or 1 per column), as counts of false and "
          "true positives: a point per distinct score after all samples of that score, only the corners "
          "kept, each curve starting at (0, 0). The curves lie end to end; curve k is [start[k], "
          "start[k + 1]). Runs without the GIL.");
    m.def("rate_texts", &rate_texts, nb::arg("counts"), nb::arg("totals"), nb::arg("start"),
          nb::sig("def rate_texts(counts: numpy.typing.NDArray[numpy.int32], totals: numpy.typing.NDArray[numpy.int64], "
                  "start: numpy.typing.NDArray[numpy.int64]) -> list[str]"),
          "For each curve k, \",\".join(repr(c / totals[k]) for c in counts[start[k]:start[k + 1]]): the "
          "texts Python writes for those doubles. Runs without the GIL.");
    m.def("roc_areas", &roc_areas, nb::arg("fps"), nb::arg("tps"), nb::arg("start"), nb::arg("negatives"),
          nb::arg("positives"),
          nb::sig("def roc_areas(fps: numpy.typing.NDArray[numpy.int32], tps: numpy.typing.NDArray[numpy.int32], "
                  "start: numpy.typing.NDArray[numpy.int64], negatives: numpy.typing.NDArray[numpy.int64], "
                  "positives: numpy.typing.NDArray[numpy.int64]) -> numpy.typing.NDArray[numpy.float64]"),
          "np.trapezoid(tpr, fpr) of each curve of roc_counts (rates fps / negatives and tps / positives), "
          "to the bit. Runs without the GIL.");
    m.def("write_roc_table", &write_roc_table, nb::arg("path"), nb::arg("features"), nb::arg("fps"), nb::arg("tps"),
          nb::arg("start"), nb::arg("negatives"), nb::arg("positives"), nb::arg("auc"),
          nb::sig("def write_roc_table(path: str, features: collections.abc.Sequence[str], "
                  "fps: numpy.typing.NDArray[numpy.int32], tps: numpy.typing.NDArray[numpy.int32], "
                  "start: numpy.typing.NDArray[numpy.int64], negatives: numpy.typing.NDArray[numpy.int64], "
                  "positives: numpy.typing.NDArray[numpy.int64], auc: numpy.typing.NDArray[numpy.float64]) "
                  "-> numpy.typing.NDArray[numpy.int64]"),
          "Writes the ROC table of the curves of roc_counts to `path`, byte for byte as the host writes its "
          "frame: a header line of an empty index name and the columns Feature, FPR, TPR and AUC, then per "
          "curve k the line of k, features[k], rate_texts of fps / negatives and of tps / positives, and "
          "repr(auc[k]), tab-separated. The features must need no quoting (no tab, line break or double "
          "quote). Returns the offset in the file of each curve's line, and the file's size last. Formats on "
          "the threads without the GIL.");
}
