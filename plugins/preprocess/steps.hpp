// The four preprocessing steps on tables. A step whose method asks for no
// work returns its input table untouched; otherwise it never alters the
// caller's frame, and overwrites only buffers an earlier step allocated.
#pragma once

#include "frames.hpp"

namespace prep {

Table transform(Table t, nb::handle method);
Table norm(Table t, nb::handle method);
Table noise_filter(Table t, nb::handle miss_ratio);
Table impute(Table t, nb::handle method);

// A caller's object as a table (checked when a step reads it).
Table as_table(nb::handle obj);

}  // namespace prep
