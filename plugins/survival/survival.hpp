// Survival tables, Kaplan-Meier curves and log-rank p-values.
#pragma once

#include "pyglue.hpp"

#include <cstdint>
#include <vector>

namespace survival {
namespace nb = nanobind;
using namespace nb::literals;

// A module-level name of survival (pd, np, re, plt, KaplanMeierFitter, ...), read
// when called so that a caller may replace it.
nb::object global(const char* name);

// re.split(sep, mystr) as a numpy array of dtype (True exactly for "True" when
// dtype is boolean).
nb::object str2arr(nb::handle mystr, nb::handle sep, nb::handle dtype);

// One column of a data frame, pulled out once so that row loops need no pandas.
// Values come as a list of the Python objects a row would hold; with `numbers`,
// float64 and int64 columns are read from their buffer instead. A KeyError names
// the column when it is absent.
class Column {
public:
    Column(nb::handle data, nb::handle name, bool numbers = false);

    size_t size() const { return size_; }
    // pandas.isna of row i's value.
    bool missing(size_t i) const;
    // Row i's value as a Python object (columns read without `numbers`).
    nb::handle item(size_t i) const;
    // int(value) / 30 for row i, as Python computes it; false when the whole
    // number is 0. Python's own errors for values int() does not take.
    bool months(size_t i, double& out) const;

private:
    enum class Kind { objects, floats, ints } kind_ = Kind::objects;
    size_t size_ = 0;
    nb::list values_;
    nb::object array_;  // keeps the buffer below alive
    const double* floats_ = nullptr;
    const int64_t* ints_ = nullptr;
};

// TypeError unless `data` is a pandas DataFrame.
void require_frame(nb::handle data);

// True when any row of `column` has a value.
bool any_present(const Column& column);

void register_table(nb::module_& m);         // info, list2str, str2arr, get_durations_and_events
void register_kaplan_meier(nb::module_& m);  // kmf_plot, cal_kmf_pvals

}  // namespace survival
