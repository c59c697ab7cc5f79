// Survival tables, Kaplan-Meier curves and log-rank p-values.
#pragma once

#include "pyglue.hpp"

namespace survival {
namespace nb = nanobind;
using namespace nb::literals;

// A module-level name of survival (pd, np, re, plt, KaplanMeierFitter, ...), read
// when called so that a caller may replace it.
nb::object global(const char* name);

// re.split(sep, mystr) as a numpy array of dtype (True exactly for "True" when
// dtype is boolean).
nb::object str2arr(nb::handle mystr, nb::handle sep, nb::handle dtype);

// Column `name` of a data frame as a Python list, with its pandas.isna mask;
// a KeyError names the column when it is absent.
struct Column {
    nb::list values;
    std::vector<bool> missing;
};
Column column_of(nb::handle data, nb::handle name);

void register_table(nb::module_& m);         // info, list2str, str2arr, get_durations_and_events
void register_kaplan_meier(nb::module_& m);  // kmf_plot, cal_kmf_pvals

}  // namespace survival
