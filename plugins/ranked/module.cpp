// veltrana.plugins.ranked: preranked gene-set enrichment at native speed.
#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <stdexcept>
#include <utility>
#include <vector>

#include "pyglue.hpp"
#include "ranked.hpp"

namespace nb = nanobind;
using namespace nb::literals;

namespace {

using Scores = nb::ndarray<const double, nb::ndim<1>, nb::c_contig, nb::device::cpu>;
using Positions = nb::ndarray<const std::int64_t, nb::ndim<1>, nb::c_contig, nb::device::cpu>;

template <typename T>
using Array = nb::ndarray<nb::numpy, T, nb::ndim<1>>;

// A numpy array that owns `values`.
template <typename T>
Array<T> to_numpy(std::vector<T>&& values) {
    auto* owned = new std::vector<T>(std::move(values));
    nb::capsule owner(owned, [](void* p) noexcept { delete static_cast<std::vector<T>*>(p); });
    return Array<T>(owned->data(), {owned->size()}, owner);
}

ranked::Sets sets_of(const Scores& metric, const Positions& positions, const Positions& offsets) {
    if (metric.shape(0) < 2) pyglue::raise_value("the ranking needs at least two genes");
    if (offsets.shape(0) < 2) pyglue::raise_value("no gene set to score");
    std::int64_t last = offsets.data()[offsets.shape(0) - 1];
    if (last < 0 || std::size_t(last) != positions.shape(0))
        pyglue::raise_value("the last offset must equal the number of positions");
    for (std::size_t s = 1; s < offsets.shape(0); ++s)
        if (offsets.data()[s] < offsets.data()[s - 1]) pyglue::raise_value("offsets must not decrease");
    ranked::Sets sets{metric.data(), metric.shape(0), positions.data(), offsets.data(), offsets.shape(0) - 1};
    try {
        ranked::check(sets);
    } catch (const std::invalid_argument& e) {
        pyglue::raise_value(e.what());
    }
    return sets;
}

nb::dict prerank(const Scores& metric, const Positions& positions, const Positions& offsets,
                 std::int64_t permutations, std::uint64_t seed, int threads, double weight) {
    ranked::Sets sets = sets_of(metric, positions, offsets);
    if (permutations < 1) pyglue::raise_value("the number of permutations must be at least 1");
    // every set keeps its null until the FDR: refuse what could not be held, before any thread starts
    if (std::uint64_t(permutations) > (std::uint64_t(1) << 40) / sets.count)
        pyglue::raise_value("too many permutations for " + std::to_string(sets.count) + " sets");
    if (threads < 1) pyglue::raise_value("threads must be at least 1");
    threads = std::min(threads, 64);  // more would only wait for the same cores
    if (!(weight >= 0)) pyglue::raise_value("the weight must be a number >= 0");
    ranked::Result r;
    {
        nb::gil_scoped_release unlocked;
        r = ranked::prerank(sets, {std::size_t(permutations), seed, unsigned(threads), weight});
    }
    nb::dict out;
    out["es"] = to_numpy(std::move(r.es));
    out["nes"] = to_numpy(std::move(r.nes));
    out["pval"] = to_numpy(std::move(r.pval));
    out["fdr"] = to_numpy(std::move(r.fdr));
    out["leading_edge"] = to_numpy(std::move(r.leading_edge));
    out["peak"] = to_numpy(std::move(r.peak));
    return out;
}

Array<double> running_score(const Scores& metric, const Positions& hits, double weight) {
    std::vector<std::int64_t> offsets{0, std::int64_t(hits.shape(0))};
    Positions bounds(offsets.data(), {offsets.size()});
    ranked::Sets sets = sets_of(metric, hits, bounds);
    return to_numpy(ranked::running_score(sets.metric, sets.n, sets.positions, hits.shape(0), weight));
}

}  // namespace

NB_MODULE(ranked, m) {
    m.doc() = "Preranked gene-set enrichment: scores, permutation null, NES, p and FDR.";
    m.def("prerank", &prerank, "metric"_a, "positions"_a, "offsets"_a, "permutations"_a, "seed"_a,
          "threads"_a = 1, "weight"_a = 1.0,
          "Scores each gene set of a ranking (scores sorted from the highest down; set s at\n"
          "positions[offsets[s]:offsets[s + 1]], increasing). Returns a dict of arrays, one\n"
          "value per set: es, nes, pval, fdr, leading_edge (genes of the set up to the peak)\n"
          "and peak (the position where the running score peaks). The null draws the set's\n"
          "size of distinct random positions per permutation, from a generator seeded by the\n"
          "seed and the set's index: the numbers do not depend on `threads`.");
    m.def("running_score", &running_score, "metric"_a, "hits"_a, "weight"_a = 1.0,
          "The running enrichment score at every position of the ranking for one set.");
}
