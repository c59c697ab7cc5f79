// The four preprocessing steps on tables. A step whose method asks for no
// work returns its input table untouched; otherwise it never alters the
// caller's frame, and overwrites only buffers an earlier step allocated.
#pragma once

#include "frames.hpp"

#include <cstdint>

namespace prep {

Table transform(Table t, nb::handle method);
Table norm(Table t, nb::handle method);
Table noise_filter(Table t, nb::handle miss_ratio);
// The parameters of the imputations that take some ("KNN", "DownshiftedNormal").
struct ImputeParams {
    std::size_t k = 5;             // neighbours of "KNN"
    double shift = 1.8;            // "DownshiftedNormal": mean - shift * sd ...
    double width = 0.3;            // ... and width * sd, the sample's own sd
    std::uint64_t seed = 20260101;  // of its generator
};

Table impute(Table t, nb::handle method, const ImputeParams& params = {});

// The parameters as checked numbers; ValueError naming the one out of range.
ImputeParams impute_params(nb::handle k, nb::handle shift, nb::handle width, nb::handle seed);

// Those of a settings mapping: its "ImputationNeighbours", "ImputationShift",
// "ImputationWidth" and "ImputationSeed", each defaulting as above.
ImputeParams impute_params(nb::handle settings);

// A caller's object as a table (checked when a step reads it).
Table as_table(nb::handle obj);

}  // namespace prep
