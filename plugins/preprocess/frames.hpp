// From pandas frames to kernel grids and back. A matrix travelling through the
// steps is a Table: a frame (the caller's, or one pandas built), or a float64
// buffer this module allocated together with its labels, so that a chain of
// steps can work on one buffer in place and build a frame only at the end.
#pragma once

#include "kernels.hpp"
#include "pyglue.hpp"

#include <vector>

namespace prep {
namespace nb = nanobind;
using namespace nb::literals;

// The module's own `pd` and `np` bindings (set once at import).
void bind_libraries(nb::module_& m);
nb::handle pd();
nb::handle np();

struct Table {
    nb::object frame;            // set for a frame (or whatever a caller passed)
    nb::object buf;              // else: our float64 ndarray (rows x cols)
    kern::Out grid;              //       and a grid over it
    nb::object index, columns;   //       and its labels
    bool is_frame() const { return frame.is_valid(); }
};

// The float64 content of a table, and what the frame's columns hold.
struct Numeric {
    nb::object values;     // ndarray: the buffer, a view of the frame or a converted copy
    kern::In grid;
    bool writable = false; // values are our own buffer: a step may overwrite them
    bool all_f64 = true;   // every column is numpy float64 (always so for buffers)
    bool int_common = false;  // every column is a numpy integer and so is their common type
    std::size_t rows() const { return grid.rows; }
    std::size_t cols() const { return grid.cols; }
};

// TypeError naming `fn` unless `df` is a DataFrame.
void require_frame(nb::handle df, const char* fn);

// The numbers of `t`; TypeError for a table that is not a frame, or naming
// the first column that is not numeric.
Numeric numeric(const Table& t, const char* fn);

// The labels of a table.
nb::object index_of(const Table& t);
nb::object columns_of(const Table& t);

// A new buffer table, column-major unless `row_major`.
Table new_table(std::size_t rows, std::size_t cols, bool row_major, nb::object index, nb::object columns);

// A table over `values` (ours to keep) with the given labels.
Table buffer_table(nb::object values, nb::object index, nb::object columns);

// A frame table with no rows and no columns (both labels empty ranges).
Table empty_table();

// The first `cols` columns of a buffer table whose columns were compacted in place.
Table first_cols(const Table& t, std::size_t cols);

nb::object to_frame(const Table& t);

// The labels pandas derives from the names of a list of rows: a range when
// none is named, otherwise an Index of the names with None spelled
// "Unnamed 0", "Unnamed 1", ...
nb::object names_index(nb::list names);

// `labels.tolist()`, optionally only at `keep`.
nb::list label_list(nb::handle labels);
nb::list label_list(nb::handle labels, const std::vector<std::size_t>& keep);

// numpy's log2 of `in` written to `out` (possibly the same array), with its
// warnings for zero and negative values silenced.
void numpy_log2(nb::handle in, nb::handle out);

}  // namespace prep
