// Preranked gene-set enrichment: enrichment scores from sorted hit positions and a
// permutation null of random gene positions, normalised as the usual GSEA does.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace ranked {

// A ranking (scores, highest first) and gene sets given as sorted positions in it:
// set s holds positions[offsets[s] .. offsets[s + 1]).
struct Sets {
    const double* metric;
    std::size_t n;
    const std::int64_t* positions;
    const std::int64_t* offsets;
    std::size_t count;
};

struct Options {
    std::size_t permutations;
    std::uint64_t seed;
    unsigned threads;
    double weight;  // the scores' exponent in the hits' steps (1: |score|)
};

// Per set: ES, NES, nominal p, FDR q, the leading-edge size and the position where the
// running score peaks.
struct Result {
    std::vector<double> es, nes, pval, fdr;
    std::vector<std::int64_t> leading_edge, peak;
};

// Throws std::invalid_argument (a ValueError in Python) on input it cannot score.
void check(const Sets& sets);
Result prerank(const Sets& sets, const Options& options);
// The running enrichment score at every position of the ranking, for one set.
std::vector<double> running_score(const double* metric, std::size_t n, const std::int64_t* hits, std::size_t k,
                                  double weight);

}  // namespace ranked
