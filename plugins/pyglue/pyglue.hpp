// Helpers shared by the five plug-in modules: imports, component shapes that the
// page repeats, option lists, and error raising.
#pragma once

#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include <initializer_list>
#include <string>
#include <vector>

namespace pyglue {
namespace nb = nanobind;
using namespace nb::literals;

// ---- imports --------------------------------------------------------------

// The package a module lives in ("veltrana.plugins" for "veltrana.plugins.vistro").
std::string package_of(const nb::module_& self);

// `from .<name> import ...` relative to `self`'s package, falling back to the
// absolute module `absolute` when the relative import raises ImportError.
nb::object import_sibling(const nb::module_& self, const char* name, const char* absolute);

// `from .<name> import a, b, ...`, binding each name on `self`; a missing name
// counts as an import failure, as it does for Python's from-import.
void bind_from(nb::module_& self, const char* name, const char* absolute,
               std::initializer_list<const char*> names);

// ---- errors ---------------------------------------------------------------

[[noreturn]] void raise_type(const std::string& msg);
[[noreturn]] void raise_value(const std::string& msg);

// repr() of a value, for error messages.
std::string repr(nb::handle h);

// ---- values ---------------------------------------------------------------

// pandas.isna / notna on a scalar (None, NaN, NaT, pd.NA count as missing).
bool is_missing(nb::handle value);
inline bool is_present(nb::handle value) { return !is_missing(value); }

// os.path.exists(path) for a value that may be missing or not a string.
bool path_exists(nb::handle path);

// ---- components -----------------------------------------------------------

nb::object html(const char* cls);   // dash.html.<cls>
nb::object dcc(const char* cls);    // dash.dcc.<cls>
nb::object table(const char* cls);  // dash.dash_table.<cls>

// list(iterable), as Python's list() makes it.
nb::list to_list(nb::handle iterable);

// A Python list of the given items.
template <typename... T>
nb::list kids(T&&... items) {
    nb::list out;
    (out.append(std::forward<T>(items)), ...);
    return out;
}

// [{"label": s, "value": s} for s in values]
nb::list options_from(std::initializer_list<const char*> values);
nb::list options_from(nb::handle iterable);

// A picker that mirrors another: (options, first value) or ([], None).
nb::tuple mirror_picker(nb::handle options);

// dcc.Loading(id="loading-<topic>", type=<type>, children=html.Div(id="loading-output-<topic>"))
nb::object loading(const std::string& topic, const char* type = "default");

// html.Div(style={"border": "2px black solid"}, children=[...])
nb::object bordered(nb::list children);

// html.Div(className="six columns", children=[...]) and friends.
nb::object columns(const char* width, nb::list children);

// dcc.Dropdown(id=..., options=..., value=..., [multi=True])
nb::object dropdown(const char* id, nb::handle options, nb::handle value, bool multi = false);

}  // namespace pyglue
