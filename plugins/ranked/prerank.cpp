#include "ranked.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <limits>
#include <random>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>

namespace ranked {
namespace {

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();

double step_weight(double score, double weight) {
    if (weight == 0.0) return 1.0;
    double a = std::fabs(score);
    return weight == 1.0 ? a : std::pow(a, weight);
}

// splitmix64: spreads (seed, set) into the seed of the set's own generator, so a set's
// null does not depend on which thread draws it or in what order.
std::uint64_t mix(std::uint64_t x) {
    x += 0x9e3779b97f4a7c15ULL;
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
    return x ^ (x >> 31);
}

__extension__ typedef unsigned __int128 u128;

// A uniform draw from [0, bound) by multiply-and-shift, rejecting the few products that
// would bias it: the same on every standard library (unlike
// std::uniform_int_distribution), and without a division per draw.
std::uint64_t below(std::mt19937_64& rng, std::uint64_t bound) {
    u128 product = u128(rng()) * bound;
    if (std::uint64_t(product) < bound) {
        std::uint64_t floor = (0 - bound) % bound;  // 2^64 mod bound
        while (std::uint64_t(product) < floor) product = u128(rng()) * bound;
    }
    return std::uint64_t(product >> 64);
}

// The enrichment score (the running score's largest deviation from zero, the negative
// one on a tie) of the k positions marked in `bits` out of n genes, `total` the sum of
// their weights. The running score rises only at hits, so its maximum is at a hit and its
// minimum just before one (or at the end, where it returns to zero): O(k + n / 64), no
// walk along the ranking.
double marked_score(const std::vector<double>& w, std::size_t n, std::size_t k, const std::vector<std::uint64_t>& bits,
                    double total) {
    bool flat = !(total > 0.0);
    double up = flat ? 1.0 / double(k) : 1.0 / total;
    double down = 1.0 / double(n - k);
    double cum = 0.0, hi = 0.0, lo = 0.0;
    std::size_t m = 0;
    for (std::size_t word = 0; word < bits.size(); ++word) {
        for (std::uint64_t b = bits[word]; b; b &= b - 1) {
            std::size_t p = word * 64 + std::size_t(__builtin_ctzll(b));
            double misses = double(p) - double(m);
            if (p > 0) lo = std::min(lo, cum * up - misses * down);
            cum += flat ? 1.0 : w[p];
            hi = std::max(hi, cum * up - misses * down);
            ++m;
        }
    }
    return std::fabs(hi) > std::fabs(lo) ? hi : lo;
}

// Null enrichment scores of a set of k genes: per permutation, k distinct uniform random
// positions marked in a bitmap (redrawing a position already taken), read back in order,
// so no sort. A set of more than half the genes marks the positions outside it instead.
void null_scores(const std::vector<double>& w, double all_weight, std::size_t k, std::uint64_t seed,
                 std::size_t set, std::vector<std::uint64_t>& bits, double* out, std::size_t permutations) {
    std::size_t n = w.size(), words = (n + 63) / 64;
    bool outside = 2 * k > n;
    std::size_t draws = outside ? n - k : k;
    std::mt19937_64 rng(mix(seed ^ mix(std::uint64_t(set))));
    for (std::size_t p = 0; p < permutations; ++p) {
        bits.assign(words, 0);
        double drawn = 0.0;
        for (std::size_t i = 0; i < draws;) {
            std::size_t pos = std::size_t(below(rng, n));
            std::uint64_t bit = std::uint64_t(1) << (pos % 64);
            if (bits[pos / 64] & bit) continue;
            bits[pos / 64] |= bit;
            drawn += w[pos];
            ++i;
        }
        if (outside) {
            for (auto& word : bits) word = ~word;
            if (n % 64) bits.back() &= (std::uint64_t(1) << (n % 64)) - 1;
        }
        out[p] = marked_score(w, n, k, bits, outside ? all_weight - drawn : drawn);
    }
}

template <typename F>
void over_sets(std::size_t count, unsigned threads, F&& f) {
    std::atomic<std::size_t> next{0};
    auto work = [&]() {
        for (std::size_t s; (s = next.fetch_add(1)) < count;) f(s);
    };
    std::vector<std::thread> pool;
    for (unsigned t = 1; t < std::min<std::size_t>(threads, count); ++t) {
        try {
            pool.emplace_back(work);
        } catch (const std::system_error&) {
            break;  // a thread refused under load: the others take its sets
        }
    }
    work();
    for (auto& th : pool) th.join();
}

// The share of `sorted` at or beyond x on x's side of zero (>= x for x >= 0, <= x below).
double tail_share(const std::vector<double>& sorted, double x) {
    auto zero = std::lower_bound(sorted.begin(), sorted.end(), 0.0);
    if (x >= 0) {
        double side = double(sorted.end() - zero);
        return double(sorted.end() - std::lower_bound(sorted.begin(), sorted.end(), x)) / side;
    }
    double side = double(zero - sorted.begin());
    return double(std::upper_bound(sorted.begin(), sorted.end(), x) - sorted.begin()) / side;
}

// NES (ES over the mean of the same-signed null scores), the nominal p (the share of
// same-signed null scores at least as extreme) and the normalised null of one set.
void normalise(Result& r, std::size_t s, double* null, std::size_t permutations) {
    double pos = 0.0, neg = 0.0;
    std::size_t npos = 0, nneg = 0;
    for (std::size_t p = 0; p < permutations; ++p) {
        if (null[p] >= 0) pos += null[p], ++npos;
        else neg += null[p], ++nneg;
    }
    double pos_mean = npos ? pos / double(npos) : NaN, neg_mean = nneg ? neg / double(nneg) : NaN;
    double es = r.es[s];
    std::size_t beyond = 0;
    for (std::size_t p = 0; p < permutations; ++p) beyond += (es >= 0 ? null[p] >= es : null[p] < es) ? 1u : 0u;
    std::size_t side = es >= 0 ? npos : nneg;
    r.pval[s] = side ? double(beyond) / double(side) : NaN;
    r.nes[s] = es >= 0 ? es / pos_mean : -es / neg_mean;
    for (std::size_t p = 0; p < permutations; ++p)
        null[p] = null[p] >= 0 ? null[p] / pos_mean : -null[p] / neg_mean;
}

// FDR q: the share of all sets' normalised null scores beyond a set's NES, over the
// share of observed NES beyond it, on the NES's side of zero; at most 1.
void false_discovery(Result& r, std::vector<double>& null) {
    null.erase(std::remove_if(null.begin(), null.end(), [](double v) { return std::isnan(v); }), null.end());
    std::sort(null.begin(), null.end());
    std::vector<double> observed;
    for (double v : r.nes)
        if (!std::isnan(v)) observed.push_back(v);
    std::sort(observed.begin(), observed.end());
    for (std::size_t s = 0; s < r.nes.size(); ++s) {
        double nes = r.nes[s];
        if (std::isnan(nes)) continue;
        double q = tail_share(null, nes) / tail_share(observed, nes);
        r.fdr[s] = std::isnan(q) ? 1.0 : std::min(q, 1.0);
    }
}

}  // namespace

void check(const Sets& sets) {
    for (std::size_t i = 0; i < sets.n; ++i) {
        if (!std::isfinite(sets.metric[i]))
            throw std::invalid_argument("the ranking has a missing or infinite score at position " + std::to_string(i));
        if (i && sets.metric[i] > sets.metric[i - 1])
            throw std::invalid_argument("the ranking must be sorted from the highest score down");
    }
    if (sets.offsets[0] != 0) throw std::invalid_argument("the first set must start at offset 0");
    for (std::size_t s = 0; s < sets.count; ++s) {
        std::int64_t a = sets.offsets[s], b = sets.offsets[s + 1];
        if (b <= a) throw std::invalid_argument("set " + std::to_string(s) + " has no gene");
        if (std::size_t(b - a) >= sets.n)
            throw std::invalid_argument("set " + std::to_string(s) + " has " + std::to_string(b - a) +
                                        " genes of a ranking of " + std::to_string(sets.n) +
                                        ": it needs genes outside it");
        for (std::int64_t i = a; i < b; ++i) {
            std::int64_t p = sets.positions[i];
            if (p < 0 || std::size_t(p) >= sets.n || (i > a && p <= sets.positions[i - 1]))
                throw std::invalid_argument("set " + std::to_string(s) +
                                            ": positions must be increasing and within the ranking");
        }
    }
}

std::vector<double> running_score(const double* metric, std::size_t n, const std::int64_t* hits, std::size_t k,
                                  double weight) {
    std::vector<double> step(n, -1.0 / double(n - k));
    double total = 0.0;
    for (std::size_t m = 0; m < k; ++m) total += step_weight(metric[hits[m]], weight);
    bool flat = !(total > 0.0);
    for (std::size_t m = 0; m < k; ++m)
        step[std::size_t(hits[m])] = flat ? 1.0 / double(k) : step_weight(metric[hits[m]], weight) / total;
    for (std::size_t i = 1; i < n; ++i) step[i] += step[i - 1];
    return step;
}

Result prerank(const Sets& sets, const Options& o) {
    std::size_t count = sets.count, n = sets.n, perms = o.permutations;
    Result r;
    r.es.assign(count, NaN), r.nes.assign(count, NaN), r.pval.assign(count, NaN), r.fdr.assign(count, NaN);
    r.leading_edge.assign(count, 0), r.peak.assign(count, 0);
    std::vector<double> w(n);
    for (std::size_t i = 0; i < n; ++i) w[i] = step_weight(sets.metric[i], o.weight);
    double all_weight = 0.0;
    for (double v : w) all_weight += v;
    std::vector<double> null(count * perms);

    over_sets(count, std::max(1u, o.threads), [&](std::size_t s) {
        thread_local std::vector<std::uint64_t> bits;
        const std::int64_t* hits = sets.positions + sets.offsets[s];
        std::size_t k = std::size_t(sets.offsets[s + 1] - sets.offsets[s]);
        // The observed score from the whole walk: its peak also marks the leading edge.
        std::vector<double> res = running_score(sets.metric, n, hits, k, o.weight);
        auto hi = std::max_element(res.begin(), res.end()), lo = std::min_element(res.begin(), res.end());
        bool up = std::fabs(*hi) > std::fabs(*lo);
        r.es[s] = up ? *hi : *lo;
        std::int64_t peak = up ? hi - res.begin() : lo - res.begin();
        r.peak[s] = peak;
        r.leading_edge[s] = up ? std::upper_bound(hits, hits + k, peak) - hits
                               : hits + k - std::lower_bound(hits, hits + k, peak);
        double* out = null.data() + s * perms;
        null_scores(w, all_weight, k, o.seed, s, bits, out, perms);
        normalise(r, s, out, perms);
    });
    false_discovery(r, null);
    return r;
}

}  // namespace ranked
