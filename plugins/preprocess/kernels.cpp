#include "kernels.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <numeric>
#include <random>
#include <system_error>
#include <thread>

namespace kern {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// Rows gathered together when a row-wise job reads a column-major matrix:
// one short contiguous run per column instead of one cache line per value.
constexpr std::size_t kTile = 16;

inline bool missing(double v) { return v != v; }

// The values at sorted positions p and p + 1 of v[0..k) (only the first
// when p + 1 == k), reordering v; `scratch` holds k values. A sorted sample
// brackets position p; one pass counts the values below the bracket and
// copies those inside it, and a short selection over the copies finishes.
// When the bracket misses, the selection runs over everything.
void select_pair(double* v, std::size_t k, std::size_t p, double* scratch, double* lo, double* hi) {
    constexpr std::size_t kSample = 255, kSmall = 4096;
    auto finish = [&](double* w, std::size_t n, std::size_t q) {
        std::nth_element(w, w + q, w + n);
        *lo = w[q];
        if (q + 1 < n) *hi = *std::min_element(w + q + 1, w + n);
    };
    if (k >= kSmall) {
        double sample[kSample];
        for (std::size_t s = 0; s < kSample; ++s) sample[s] = v[(2 * s + 1) * k / (2 * kSample)];
        std::sort(sample, sample + kSample);
        // p's rank in the sample, widened by about three standard deviations.
        std::ptrdiff_t centre = std::ptrdiff_t(double(p) / double(k) * double(kSample)), spread = 24;
        double low = sample[std::max<std::ptrdiff_t>(0, centre - spread)];
        double high = sample[std::min<std::ptrdiff_t>(kSample - 1, centre + spread)];
        std::size_t below = 0, inside = 0;
        for (std::size_t i = 0; i < k; ++i) {
            double x = v[i];
            below += x < low;
            scratch[inside] = x;
            inside += (x >= low) & (x <= high);
        }
        if (below <= p && p + 1 < below + inside) return finish(scratch, inside, p - below);
    }
    finish(v, k, p);
}

// The median of v[0..k) (k > 0), reordering v.
double median_of(double* v, std::size_t k, double* scratch, bool doubled_odd) {
    double lo = 0, hi = 0;
    if (k % 2) {
        select_pair(v, k, k / 2, scratch, &lo, &hi);
        return doubled_odd ? (lo + lo) / 2.0 : lo;
    }
    select_pair(v, k, k / 2 - 1, scratch, &lo, &hi);
    return (lo + hi) / 2.0;
}

// Visits the values of a strided line; a unit stride gets its own loop so
// that the compiler can vectorise it.
template <typename F>
inline void for_line(const double* p, std::ptrdiff_t stride, std::size_t len, F&& f) {
    if (stride == 1)
        for (std::size_t k = 0; k < len; ++k) f(k, p[k]);
    else
        for (std::size_t k = 0; k < len; ++k) f(k, p[std::ptrdiff_t(k) * stride]);
}

// Calls row_fn(i, values, count, scratch) for every row with its present
// values gathered in a buffer (and room for as many more in `scratch`), rows
// handed out to threads in tiles.
template <typename RowFn>
void for_each_row_present(const In& x, RowFn&& row_fn) {
    std::size_t tiles = (x.rows + kTile - 1) / kTile;
    unsigned nt = threads_for(x.rows * x.cols);
    // One pair of buffers per thread, allocated here so that a failure to
    // allocate is raised to the caller rather than inside a worker.
    std::vector<std::vector<double>> bufs(nt, std::vector<double>(kTile * x.cols));
    std::vector<std::vector<double>> scratches(nt, std::vector<double>(x.cols));
    parallel_for(tiles, nt, [&](std::size_t t0, std::size_t t1, unsigned part) {
        std::vector<double>& buf = bufs[part];
        std::vector<double>& scratch = scratches[part];
        std::size_t cnt[kTile];
        for (std::size_t t = t0; t < t1; ++t) {
            std::size_t i0 = t * kTile, b = std::min(kTile, x.rows - i0);
            std::fill(cnt, cnt + b, 0);
            // Written always, kept only if present: no branch on the data.
            auto keep = [&](std::size_t r, double v) {
                buf[r * x.cols + cnt[r]] = v;
                cnt[r] += !missing(v);
            };
            if (x.row_major() && !x.col_major()) {
                for (std::size_t r = 0; r < b; ++r)
                    for_line(&x.at(i0 + r, 0), x.cs, x.cols, [&](std::size_t, double v) { keep(r, v); });
            } else {
                for (std::size_t j = 0; j < x.cols; ++j) for_line(&x.at(i0, j), x.rs, b, keep);
            }
            for (std::size_t r = 0; r < b; ++r) row_fn(i0 + r, &buf[r * x.cols], cnt[r], scratch.data());
        }
    });
}

// Per-column reduction: one column per step on column-major data, else rows
// streamed into per-thread accumulators that `merge` combines.
template <typename Acc, typename Step, typename Merge>
void reduce_cols(const In& x, Acc init, Acc* out, Step&& step, Merge&& merge) {
    unsigned nt = threads_for(x.rows * x.cols);
    if (x.col_major() || x.rows <= 1) {
        parallel_for(x.cols, nt, [&](std::size_t j0, std::size_t j1, unsigned) {
            for (std::size_t j = j0; j < j1; ++j) {
                // Four interleaved accumulators keep the reduction off one dependency chain.
                Acc a[4] = {init, init, init, init};
                for_line(&x.at(0, j), x.rs, x.rows, [&](std::size_t i, double v) { step(a[i & 3], v); });
                merge(a[0], a[1]);
                merge(a[2], a[3]);
                merge(a[0], a[2]);
                out[j] = a[0];
            }
        });
        return;
    }
    if (nt > x.rows) nt = unsigned(x.rows);
    std::vector<std::vector<Acc>> part(std::max(nt, 1u), std::vector<Acc>(x.cols, init));
    parallel_for(x.rows, nt, [&](std::size_t i0, std::size_t i1, unsigned t) {
        Acc* acc = part[t].data();
        for (std::size_t i = i0; i < i1; ++i)
            for_line(&x.at(i, 0), x.cs, x.cols, [&](std::size_t j, double v) { step(acc[j], v); });
    });
    for (std::size_t j = 0; j < x.cols; ++j) {
        Acc a = part[0][j];
        for (std::size_t t = 1; t < part.size(); ++t) merge(a, part[t][j]);
        out[j] = a;
    }
}

// Per-row reduction: one row per step on row-major data, else columns
// streamed into per-thread row accumulators that `merge` combines.
template <typename Acc, typename Step, typename Merge>
void reduce_rows(const In& x, Acc init, Acc* out, Step&& step, Merge&& merge) {
    In t{x.p, x.cols, x.rows, x.cs, x.rs};  // the transpose, reduced by columns
    reduce_cols(t, init, out, step, merge);
}

// out(i, j) = f(x(i, j), i, j), along the output's contiguous axis.
template <typename F>
void map_cells(const In& x, const Out& out, F&& f) {
    unsigned nt = threads_for(x.rows * x.cols);
    if (out.col_major()) {
        parallel_for(x.cols, nt, [&](std::size_t j0, std::size_t j1, unsigned) {
            for (std::size_t j = j0; j < j1; ++j) {
                double* o = &out.at(0, j);
                for_line(&x.at(0, j), x.rs, x.rows, [&](std::size_t i, double v) { o[i] = f(v, i, j); });
            }
        });
    } else {
        parallel_for(x.rows, nt, [&](std::size_t i0, std::size_t i1, unsigned) {
            for (std::size_t i = i0; i < i1; ++i) {
                double* o = &out.at(i, 0);
                std::ptrdiff_t os = out.cs;
                for_line(&x.at(i, 0), x.cs, x.cols, [&](std::size_t j, double v) {
                    o[std::ptrdiff_t(j) * os] = f(v, i, j);
                });
            }
        });
    }
}

// Smallest present value: NaN never compares less, so a running minimum
// from +inf skips it (and compiles to a vector min). A minimum still at +inf
// is told apart from "nothing present" afterwards.
inline void min_step(double& a, double v) { a = v < a ? v : a; }
inline bool has_inf(const double* p, std::ptrdiff_t stride, std::size_t len) {
    bool found = false;
    for_line(p, stride, len, [&](std::size_t, double v) { found |= v == kInf; });
    return found;
}

// NaN c gives v, without a branch on the data.
inline double present_or(double c, double v) {
    std::uint64_t ci, vi;
    std::memcpy(&ci, &c, sizeof ci);
    std::memcpy(&vi, &v, sizeof vi);
    std::uint64_t take = -std::uint64_t(c != c);
    std::uint64_t bits = (vi & take) | (ci & ~take);
    double out;
    std::memcpy(&out, &bits, sizeof out);
    return out;
}

}  // namespace

unsigned threads_for(std::size_t cells) {
    // Below this a thread costs more than it saves.
    constexpr std::size_t kMinCellsPerThread = std::size_t(1) << 16;
    unsigned hw = std::max(1u, std::min(std::thread::hardware_concurrency(), 16u));
    std::size_t want = cells / kMinCellsPerThread;
    return unsigned(std::max<std::size_t>(1, std::min<std::size_t>(hw, want)));
}

void row_medians(const In& x, double* out, bool doubled_odd) {
    for_each_row_present(x, [&](std::size_t i, double* v, std::size_t k, double* scratch) {
        out[i] = k ? median_of(v, k, scratch, doubled_odd) : kNaN;
    });
}

namespace {

// numpy's "linear" percentile q of sorted values: the position k q + (1 - q) - 1
// between two neighbours, interpolated as numpy writes it.
double percentile_of(double* v, std::size_t k, double q, double* scratch) {
    const double position = double(k) * q + (1.0 - q) - 1.0, below = std::floor(position);
    const std::size_t low = below < 0 ? 0 : std::size_t(below);
    double a = 0, b = 0;
    select_pair(v, k, low, scratch, &a, &b);
    if (low + 1 >= k) b = a;
    const double t = position - below, diff = b - a;
    return t >= 0.5 ? b - diff * (1 - t) : a + diff * t;
}

// The value at sorted position p of v[0..k), reordering v.
double order_stat(double* v, std::size_t k, std::size_t p, double* scratch) {
    double a = 0, b = 0;
    select_pair(v, k, p, scratch, &a, &b);
    return a;
}

}  // namespace

void row_box_stats(const In& x, double* q1, double* median, double* q3, double* lowerfence, double* upperfence) {
    for_each_row_present(x, [&](std::size_t i, double* v, std::size_t k, double* scratch) {
        if (!k) {
            q1[i] = median[i] = q3[i] = lowerfence[i] = upperfence[i] = kNaN;
            return;
        }
        q1[i] = percentile_of(v, k, 0.25, scratch);
        median[i] = percentile_of(v, k, 0.5, scratch);
        q3[i] = percentile_of(v, k, 0.75, scratch);
        const double iqr = q3[i] - q1[i], low = q1[i] - 1.5 * iqr, high = q3[i] + 1.5 * iqr;
        std::size_t under = 0, within = 0;  // values below the lower limit, values not above the upper
        for (std::size_t j = 0; j < k; ++j) {
            under += v[j] < low;
            within += v[j] <= high;
        }
        // The lowest value not below the whisker's reach (the highest when all are), the highest
        // not above it (the lowest when none is): as they stand in the sorted row.
        lowerfence[i] = order_stat(v, k, std::min(under, k - 1), scratch);
        upperfence[i] = order_stat(v, k, within ? within - 1 : 0, scratch);
    });
}

void row_mins(const In& x, double* out) {
    reduce_rows(x, kInf, out, min_step, min_step);
    for (std::size_t i = 0; i < x.rows; ++i)
        if (out[i] == kInf && !has_inf(&x.at(i, 0), x.cs, x.cols)) out[i] = kNaN;
}

void col_mins(const In& x, double* out) {
    reduce_cols(x, kInf, out, min_step, min_step);
    for (std::size_t j = 0; j < x.cols; ++j)
        if (out[j] == kInf && !has_inf(&x.at(0, j), x.rs, x.rows)) out[j] = kNaN;
}

bool global_min(const In& x, double* out) {
    std::vector<double> mins(x.cols);
    col_mins(x, mins.data());
    double low = kInf;
    bool seen = false;
    for (double v : mins) {
        min_step(low, v);
        seen |= !missing(v);
    }
    *out = low;
    return seen;
}

void col_missing(const In& x, std::size_t* out) {
    reduce_cols<std::size_t>(
        x, std::size_t(0), out, [](std::size_t& a, double v) { a += missing(v); },
        [](std::size_t& a, std::size_t b) { a += b; });
}

void sub_rows(const In& x, const double* v, const Out& out) {
    map_cells(x, out, [v](double c, std::size_t i, std::size_t) { return c - v[i]; });
}

void fill_rows(const In& x, const double* v, const Out& out) {
    map_cells(x, out, [v](double c, std::size_t i, std::size_t) { return present_or(c, v[i]); });
}

void fill_cols(const In& x, const double* v, const Out& out) {
    map_cells(x, out, [v](double c, std::size_t, std::size_t j) { return present_or(c, v[j]); });
}

void fill_all(const In& x, double v, const Out& out) {
    map_cells(x, out, [v](double c, std::size_t, std::size_t) { return present_or(c, v); });
}

void take_cols(const In& x, const std::vector<std::size_t>& keep, const Out& out) {
    bool in_place = static_cast<const void*>(x.p) == static_cast<const void*>(out.p);
    if (out.col_major() && x.col_major()) {
        // Whole columns move; in place they only ever move down, one by one.
        auto copy_col = [&](std::size_t t) {
            const double* src = &x.at(0, keep[t]);
            double* dst = &out.at(0, t);
            if (src != dst) std::memmove(dst, src, x.rows * sizeof(double));
        };
        if (in_place) {
            for (std::size_t t = 0; t < keep.size(); ++t) copy_col(t);
        } else {
            parallel_for(keep.size(), threads_for(x.rows * keep.size()), [&](std::size_t a, std::size_t b, unsigned) {
                for (std::size_t t = a; t < b; ++t) copy_col(t);
            });
        }
        return;
    }
    // Row by row; in place each row's values move to lower addresses only.
    auto copy_rows = [&](std::size_t a, std::size_t b, unsigned) {
        for (std::size_t i = a; i < b; ++i)
            for (std::size_t t = 0; t < keep.size(); ++t) out.at(i, t) = x.at(i, keep[t]);
    };
    if (in_place)
        copy_rows(0, x.rows, 0u);
    else
        parallel_for(x.rows, threads_for(x.rows * keep.size()), copy_rows);
}

namespace {

// Two doubles in one SSE2 register (the x86-64 baseline); the sums below run
// in these lanes, an order of additions the compiler may not choose itself.
using v2d = double __attribute__((vector_size(16)));
inline v2d load2(const double* p) {
    v2d v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// Adds to `sum` the squared differences of rows p and q over the positions
// both have, and to `cnt` their number; values are cleaned (missing as 0)
// and mp, mq their 1/0 presence.
inline void add_shared(const double* p, const double* mp, const double* q, const double* mq, std::size_t len,
                       double& sum, double& cnt) {
    v2d s0 = {0, 0}, s1 = {0, 0}, c0 = {0, 0}, c1 = {0, 0};
    std::size_t j = 0;
    for (; j + 4 <= len; j += 4) {
        v2d w0 = load2(mp + j) * load2(mq + j), w1 = load2(mp + j + 2) * load2(mq + j + 2);
        v2d d0 = load2(p + j) - load2(q + j), d1 = load2(p + j + 2) - load2(q + j + 2);
        s0 += w0 * d0 * d0;
        s1 += w1 * d1 * d1;
        c0 += w0;
        c1 += w1;
    }
    double s = (s0[0] + s1[0]) + (s0[1] + s1[1]), c = (c0[0] + c1[0]) + (c0[1] + c1[1]);
    for (; j < len; ++j) {
        double w = mp[j] * mq[j], d = p[j] - q[j];
        s += w * d * d;
        c += w;
    }
    sum += s;
    cnt += c;
}

// Uniform in (0, 1] from the top 53 bits of one generator output.
inline double unit(std::mt19937_64& gen) { return double((gen() >> 11) + 1) * 0x1p-53; }

// Standard normal deviates by the Box-Muller transform, both halves used.
struct Normal {
    std::mt19937_64 gen;
    double spare = 0;
    bool has_spare = false;
    explicit Normal(std::uint64_t seed) : gen(seed) {}
    double operator()() {
        if (has_spare) {
            has_spare = false;
            return spare;
        }
        double radius = std::sqrt(-2.0 * std::log(unit(gen)));
        double angle = 2.0 * 3.14159265358979323846 * unit(gen);
        spare = radius * std::sin(angle);
        has_spare = true;
        return radius * std::cos(angle);
    }
};

}  // namespace

void knn_fill(const In& x, std::size_t k, const Out& out) {
    std::size_t n = x.rows, m = x.cols;
    // Row-major copies of the values (missing and infinite ones as 0) and of
    // their presence (1/0): rows compare contiguously without a branch, and
    // donors keep their values while `out` (possibly x) is written.
    std::vector<double> a(n * m), mask(n * m);
    std::vector<char> receiver(n, 0);
    parallel_for(n, threads_for(n * m), [&](std::size_t i0, std::size_t i1, unsigned) {
        for (std::size_t i = i0; i < i1; ++i) {
            double* row = &a[i * m];
            double* has = &mask[i * m];
            for_line(&x.at(i, 0), x.cs, m, [&](std::size_t j, double v) {
                bool ok = std::isfinite(v);
                row[j] = ok ? v : 0.0;
                has[j] = ok;
            });
            for (std::size_t j = 0; j < m; ++j) receiver[i] |= missing(x.at(i, j));
        }
    });
    std::vector<std::size_t> receivers;
    for (std::size_t i = 0; i < n; ++i) {
        if (receiver[i]) receivers.push_back(i);
        else if (static_cast<const void*>(&out.at(i, 0)) != static_cast<const void*>(&x.at(i, 0)))
            for (std::size_t j = 0; j < m; ++j) out.at(i, j) = x.at(i, j);
    }
    // Receivers go in tiles of kTile rows against every sample, features in
    // chunks: a tile's chunk stays in cache while the samples stream past it.
    constexpr std::size_t kChunk = 256;
    std::size_t tiles = (receivers.size() + kTile - 1) / kTile;
    parallel_for(tiles, threads_for(receivers.size() * n * m / 8), [&](std::size_t t0, std::size_t t1, unsigned) {
        std::vector<double> sum(kTile * n), cnt(kTile * n), dist(n);
        std::vector<std::size_t> order;
        order.reserve(n);
        for (std::size_t t = t0; t < t1; ++t) {
            std::size_t r0 = t * kTile, b = std::min(kTile, receivers.size() - r0);
            std::fill(sum.begin(), sum.end(), 0.0);
            std::fill(cnt.begin(), cnt.end(), 0.0);
            for (std::size_t c0 = 0; c0 < m; c0 += kChunk) {
                std::size_t len = std::min(kChunk, m - c0);
                for (std::size_t s = 0; s < n; ++s)
                    for (std::size_t r = 0; r < b; ++r) {
                        std::size_t i = receivers[r0 + r];
                        add_shared(&a[i * m + c0], &mask[i * m + c0], &a[s * m + c0], &mask[s * m + c0], len,
                                   sum[r * n + s], cnt[r * n + s]);
                    }
            }
            for (std::size_t r = 0; r < b; ++r) {
                std::size_t i = receivers[r0 + r];
                order.clear();
                for (std::size_t s = 0; s < n; ++s) {
                    if (s == i || cnt[r * n + s] == 0) continue;
                    dist[s] = std::sqrt(sum[r * n + s] / cnt[r * n + s]);
                    order.push_back(s);
                }
                std::stable_sort(order.begin(), order.end(),
                                 [&](std::size_t l, std::size_t u) { return dist[l] < dist[u]; });
                for (std::size_t j = 0; j < m; ++j) {
                    double v = x.at(i, j);
                    if (missing(v)) {
                        double total = 0;
                        std::size_t used = 0;
                        for (std::size_t q = 0; q < order.size() && used < k; ++q) {
                            std::size_t at = order[q] * m + j;
                            if (mask[at] != 0) total += a[at], ++used;
                        }
                        v = used ? total / double(used) : kNaN;
                    }
                    out.at(i, j) = v;
                }
            }
        }
    });
}

void downshift_fill(const In& x, double shift, double width, std::uint64_t seed, const Out& out) {
    Normal normal(seed);
    for (std::size_t i = 0; i < x.rows; ++i) {
        // Mean and sd of the present values (two passes, for accuracy).
        double sum = 0, count = 0;
        for_line(&x.at(i, 0), x.cs, x.cols, [&](std::size_t, double v) {
            if (!missing(v)) sum += v, count += 1;
        });
        double mean = sum / count, squares = 0;
        for_line(&x.at(i, 0), x.cs, x.cols, [&](std::size_t, double v) {
            if (!missing(v)) squares += (v - mean) * (v - mean);
        });
        bool drawn = count >= 2;
        double sd = drawn ? std::sqrt(squares / (count - 1)) : kNaN;
        double centre = mean - shift * sd, spread = width * sd;
        for (std::size_t j = 0; j < x.cols; ++j) {
            double v = x.at(i, j);
            out.at(i, j) = !missing(v) ? v : drawn ? centre + spread * normal() : kNaN;
        }
    }
}

}  // namespace kern
