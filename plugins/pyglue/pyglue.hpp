// Helpers shared by the five plug-in modules: imports, the tests on values the page
// sends, component shapes that the page repeats, option lists, the placeholder
// figure and the figure styling, and error raising. A Python error raised inside
// any of them propagates as that error.
#pragma once

#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include <initializer_list>
#include <string>
#include <utility>
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

// `import <module> as <name>` on `self`, for each {name, module} pair in order.
void import_modules(nb::module_& self, std::initializer_list<std::pair<const char*, const char*>> modules);

// `from <module> import a, b, ...` from an absolute module, binding each name on `self`.
void import_names(nb::module_& self, const char* module, std::initializer_list<const char*> names);

// The same two, bound when a name is first read (the module's __getattr__ imports it and binds
// it on `self`): for libraries that take seconds to import and no code needs at import.
void defer_modules(nb::module_& self, std::initializer_list<std::pair<const char*, const char*>> modules);
void defer_names(nb::module_& self, const char* module, std::initializer_list<const char*> names);

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

// No choice made in a single picker: a missing value or the empty text.
bool is_blank(nb::handle value);
// No choice made in any picker: is_blank, or an empty multi-choice list (or tuple).
bool is_unset(nb::handle value);

// Python's bool(value); an error raised by __bool__ or __len__ propagates.
bool truthy(nb::handle value);

// Python's `value in container`; an error raised by the test propagates (a list
// handed where a name is expected is a TypeError of the container, for example).
bool contains(nb::handle container, nb::handle value);

// The received arguments named by component id: the ids of `inputs` then `states`
// zipped with `args` (as far as both go); a repeated id keeps the later value.
nb::dict named_args(nb::handle inputs, nb::handle states, const nb::args& args);

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
// [{"label": s, "value": str(s)} for s in values]: labels as they are, values as text.
nb::list text_options(nb::handle iterable);
// {"label": value, "value": value}
nb::dict option(nb::handle value);

// A picker with nothing to offer: ([], None).
nb::tuple no_choice();
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

// ---- figures --------------------------------------------------------------

// The paper of the placeholder figure, the background of every result figure,
// and plotly's first trace colour (the QC matrix's markers).
inline constexpr const char* kPlaceholderPaper = "LightSteelBlue";
inline constexpr const char* kResultBackground = "White";
inline constexpr const char* kMarkerColour = "#636EFA";

// Figures that share a row with controls are this much lower than the default height.
inline constexpr int kShorterBy = 100;
// height - kShorterBy, with Python's arithmetic (an int stays an int).
nb::object shorter(nb::handle height);

// {"l": side, "r": side, "t": top, "b": side}; figures with a title leave 50 on top.
nb::dict margin(int top = 20, int side = 20);

// The placeholder shown before a result exists: an empty figure with 20-pixel
// margins on a LightSteelBlue paper, `height` pixels high, or of plotly's
// default height when `height` is a null handle.
nb::object placeholder_figure(nb::handle height = nb::handle());

}  // namespace pyglue
