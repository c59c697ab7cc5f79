// Numeric kernels of the preprocessing steps: plain C++ over strided double
// matrices (rows are samples, columns features), no Python inside. Missing
// values are NaN. Large matrices are split over worker threads.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

namespace kern {

// A rows x cols matrix addressed by element strides.
template <typename T>
struct Grid {
    T* p = nullptr;
    std::size_t rows = 0, cols = 0;
    std::ptrdiff_t rs = 0, cs = 0;

    T& at(std::size_t i, std::size_t j) const { return p[std::ptrdiff_t(i) * rs + std::ptrdiff_t(j) * cs]; }
    // Columns are contiguous (Fortran order); size-1 axes have no meaningful stride.
    bool col_major() const { return (rows <= 1 || rs == 1) && (cols <= 1 || cs == std::ptrdiff_t(rows)); }
    bool row_major() const { return (cols <= 1 || cs == 1) && (rows <= 1 || rs == std::ptrdiff_t(cols)); }
    operator Grid<const T>() const { return {p, rows, cols, rs, cs}; }
};
using In = Grid<const double>;
using Out = Grid<double>;

// numpy's pairwise summation of a contiguous run (blocks of 128 summed in
// eight lanes, halves of longer runs summed apart).
inline double pairwise(const double* a, std::size_t n) {
    if (n < 8) {
        double s = -0.0;
        for (std::size_t i = 0; i < n; ++i) s += a[i];
        return s;
    }
    if (n <= 128) {
        double r[8];
        for (std::size_t j = 0; j < 8; ++j) r[j] = a[j];
        std::size_t i = 8;
        for (; i < n - n % 8; i += 8)
            for (std::size_t j = 0; j < 8; ++j) r[j] += a[i + j];
        double s = ((r[0] + r[1]) + (r[2] + r[3])) + ((r[4] + r[5]) + (r[6] + r[7]));
        for (; i < n; ++i) s += a[i];
        return s;
    }
    std::size_t half = n / 2;
    half -= half % 8;
    return pairwise(a, half) + pairwise(a + half, n - half);
}

// numpy's sum of a contiguous run (an array's row, a Fortran matrix's column): the
// reduction starts from 0.0.
inline double row_sum(const std::vector<double>& a) { return 0.0 + pairwise(a.data(), a.size()); }

// A double's bits as an unsigned integer of the same order (for numbers; -0.0
// must have become 0.0 first, so that equal scores have equal keys).
inline std::uint64_t order_key(double v) {
    std::uint64_t u;
    std::memcpy(&u, &v, sizeof u);
    return u >> 63 ? ~u : u | (std::uint64_t(1) << 63);
}

// Sorts `a` ascending, kBits at a time (`spare` is scratch): the counts of every
// digit are taken in one pass, and a digit that all keys share moves nothing and
// is skipped (scores of one sign and scale share their top bits).
template <unsigned kBits>
void radix_sort_by(std::vector<std::uint64_t>& a, std::vector<std::uint64_t>& spare) {
    constexpr unsigned kPasses = (64 + kBits - 1) / kBits;
    constexpr std::size_t kDigits = std::size_t(1) << kBits;
    std::vector<std::size_t> counts(kPasses * kDigits, 0);
    for (std::uint64_t k : a)
        for (unsigned p = 0; p < kPasses; ++p) ++counts[p * kDigits + ((k >> (p * kBits)) & (kDigits - 1))];
    spare.resize(a.size());
    for (unsigned p = 0; p < kPasses; ++p) {
        const unsigned shift = p * kBits;
        std::size_t* at = counts.data() + p * kDigits;
        if (at[(a[0] >> shift) & (kDigits - 1)] == a.size()) continue;
        std::size_t sum = 0;
        for (std::size_t d = 0; d < kDigits; ++d) sum += std::exchange(at[d], sum);
        for (std::uint64_t k : a) spare[at[(k >> shift) & (kDigits - 1)]++] = k;
        a.swap(spare);
    }
}

// Sorts `a` ascending: short runs by comparison, longer ones by radix, with digits
// of 8 bits while clearing the counts of wider ones would cost more than the keys.
inline void radix_sort(std::vector<std::uint64_t>& a, std::vector<std::uint64_t>& spare) {
    if (a.size() < 64)
        std::sort(a.begin(), a.end());
    else if (a.size() < 4096)
        radix_sort_by<8>(a, spare);
    else
        radix_sort_by<11>(a, spare);
}

// How many threads a job over `cells` values deserves.
unsigned threads_for(std::size_t cells);

// Runs f(begin, end, part) over [0, n) on `nt` threads (the calling thread
// included), `part` naming the thread. The range is cut into several pieces
// per thread, taken in turn, so that a thread the machine holds back does not
// leave the others waiting.
template <typename F>
void parallel_for(std::size_t n, unsigned nt, F&& f) {
    if (nt > n) nt = unsigned(n);
    if (nt <= 1) {
        if (n) f(std::size_t(0), n, 0u);
        return;
    }
    std::size_t pieces = std::min<std::size_t>(n, std::size_t(nt) * 8);
    std::atomic<std::size_t> next{0};
    auto work = [&](unsigned part) {
        for (std::size_t p; (p = next.fetch_add(1)) < pieces;) f(n * p / pieces, n * (p + 1) / pieces, part);
    };
    std::vector<std::thread> pool;
    pool.reserve(nt - 1);
    // A thread the system refuses (it is short of threads under load) is not
    // needed: the pieces go to the threads there are. Letting the error out
    // would destroy joinable threads, which ends the process.
    for (unsigned t = 1; t < nt; ++t) {
        try {
            pool.emplace_back(work, t);
        } catch (const std::system_error&) {
            break;
        }
    }
    work(0);
    for (auto& th : pool) th.join();
}

// Median of each row over its present values, as numpy's nanmedian gives it
// (mean of the two middle values for an even count; NaN for an empty row).
// `doubled_odd`: numpy's masked-array path also averages the middle value
// with itself for odd counts, which overflows near the largest doubles.
void row_medians(const In& x, double* out, bool doubled_odd);

// The box of each row over its present values, to the bit as numpy states it:
// nanpercentile's quartiles ("linear"), and the whiskers, the extreme values
// within 1.5 IQR of the box. NaN for a row without values.
void row_box_stats(const In& x, double* q1, double* median, double* q3, double* lowerfence, double* upperfence);

// Smallest present value of each row / column; NaN where there is none.
void row_mins(const In& x, double* out);
void col_mins(const In& x, double* out);

// Smallest present value of the matrix; false when every value is missing.
bool global_min(const In& x, double* out);

// Number of missing values of each column.
void col_missing(const In& x, std::size_t* out);

// out = x - v[row]; out = x with NaN replaced by v[row], v[col] or v.
// `out` may be `x` itself.
void sub_rows(const In& x, const double* v, const Out& out);
void fill_rows(const In& x, const double* v, const Out& out);
void fill_cols(const In& x, const double* v, const Out& out);
void fill_all(const In& x, double v, const Out& out);

// out[:, t] = x[:, keep[t]]. With `out` sharing `x`'s storage and layout the
// columns move down in place (keep is increasing).
void take_cols(const In& x, const std::vector<std::size_t>& keep, const Out& out);

// Missing values from the `k` nearest samples: the distance of two samples is
// the root mean square of their differences over the features both have (no
// shared feature: not neighbours), and a missing x(i, j) becomes the mean of
// x(s, j) over the k samples s nearest to i among those that have feature j
// (ties go to the earlier sample). Fewer than k such samples: the mean of
// those there are; none: the value stays missing. Infinite values take no
// part in distances and give no value. Donors are always read from a copy
// of x, so `out` may be `x` itself.
void knn_fill(const In& x, std::size_t k, const Out& out);

// Missing values of each sample drawn from N(mean - shift * sd, (width * sd)^2),
// mean and sd (n - 1) of the sample's present values; a sample with fewer
// than two present values keeps its missing values. The draws come from one
// std::mt19937_64 seeded with `seed` (its output is fixed by the C++
// standard), samples in row order and each sample's missing features in
// column order; uniforms are the top 53 bits of each output and normals
// their Box-Muller transform, both halves used. `out` may be `x` itself.
void downshift_fill(const In& x, double shift, double width, std::uint64_t seed, const Out& out);

}  // namespace kern
