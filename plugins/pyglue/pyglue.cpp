#include "pyglue.hpp"

namespace pyglue {

std::string package_of(const nb::module_& self) {
    std::string name = nb::cast<std::string>(self.attr("__name__"));
    auto dot = name.rfind('.');
    return dot == std::string::npos ? std::string() : name.substr(0, dot);
}

static bool is_import_failure(nb::python_error& e) {
    return e.matches(PyExc_ImportError) || e.matches(PyExc_AttributeError);
}

nb::object import_sibling(const nb::module_& self, const char* name, const char* absolute) {
    std::string pkg = package_of(self);
    if (!pkg.empty()) {
        try {
            return nb::module_::import_((pkg + "." + name).c_str());
        } catch (nb::python_error& e) {
            if (!e.matches(PyExc_ImportError)) throw;
        }
    }
    return nb::module_::import_(absolute);
}

void bind_from(nb::module_& self, const char* name, const char* absolute,
               std::initializer_list<const char*> names) {
    auto bind_all = [&](const std::string& modname) {
        nb::object mod = nb::module_::import_(modname.c_str());
        std::vector<nb::object> values;
        for (const char* n : names) values.push_back(mod.attr(n));
        size_t i = 0;
        for (const char* n : names) self.attr(n) = values[i++];
    };
    std::string pkg = package_of(self);
    if (!pkg.empty()) {
        try {
            bind_all(pkg + "." + name);
            return;
        } catch (nb::python_error& e) {
            if (!is_import_failure(e)) throw;
        }
    }
    bind_all(absolute);
}

void import_modules(nb::module_& self, std::initializer_list<std::pair<const char*, const char*>> modules) {
    for (const auto& [name, module] : modules) self.attr(name) = nb::module_::import_(module);
}

void import_names(nb::module_& self, const char* module, std::initializer_list<const char*> names) {
    nb::object mod = nb::module_::import_(module);
    for (const char* n : names) self.attr(n) = mod.attr(n);
}

// The deferred names of a module: {name: (module, attribute or None)}, read by its __getattr__.
static nb::dict deferred_table(nb::module_& self) {
    if (nb::hasattr(self, "_deferred")) return nb::borrow<nb::dict>(self.attr("_deferred"));
    nb::dict table;
    self.attr("_deferred") = table;
    nb::handle module = self;  // lives as long as the interpreter: modules are never unloaded
    self.attr("__getattr__") = nb::cpp_function([module](nb::str name) -> nb::object {
        nb::dict deferred = nb::borrow<nb::dict>(nb::getattr(module, "_deferred"));
        if (!deferred.contains(name)) {
            std::string text = "module '" + nb::cast<std::string>(module.attr("__name__")) + "' has no attribute '" +
                               nb::cast<std::string>(name) + "'";
            throw nb::attribute_error(text.c_str());
        }
        nb::tuple where = nb::borrow<nb::tuple>(deferred[name]);
        // Through the host's one import lock: two threads importing a package with import cycles
        // at once fail ("partially initialized module").
        nb::object value = nb::module_::import_("veltrana.deferred").attr("load")(where[0]);
        if (!where[1].is_none()) value = value.attr(where[1]);
        nb::setattr(module, name, value);
        return value;
    }, nb::name("__getattr__"));
    self.attr("__dir__") = nb::cpp_function([module]() {
        nb::dict bound = nb::borrow<nb::dict>(module.attr("__dict__"));
        nb::list names = nb::list(bound.keys());
        for (nb::handle name : nb::borrow<nb::dict>(nb::getattr(module, "_deferred")).keys())
            if (!bound.contains(name)) names.append(name);
        return names;
    }, nb::name("__dir__"));
    return table;
}

void defer_modules(nb::module_& self, std::initializer_list<std::pair<const char*, const char*>> modules) {
    nb::dict table = deferred_table(self);
    for (const auto& [name, module] : modules) table[name] = nb::make_tuple(module, nb::none());
}

void defer_names(nb::module_& self, const char* module, std::initializer_list<const char*> names) {
    nb::dict table = deferred_table(self);
    for (const char* n : names) table[n] = nb::make_tuple(module, n);
}

[[noreturn]] void raise_type(const std::string& msg) { throw nb::type_error(msg.c_str()); }
[[noreturn]] void raise_value(const std::string& msg) { throw nb::value_error(msg.c_str()); }

std::string repr(nb::handle h) { return nb::cast<std::string>(nb::repr(h)); }

bool is_missing(nb::handle value) {
    // Leaked on purpose: a static nb::object would be released after the
    // interpreter has finalised. Not a guarded static: its guard would be held
    // across Python code, where another thread waiting on it with the GIL would
    // never let the first finish. A race here only fetches the same function twice.
    static PyObject* isna_fn = nullptr;
    if (!isna_fn) isna_fn = nb::object(nb::module_::import_("pandas").attr("isna")).release().ptr();
    nb::handle isna(isna_fn);
    nb::object r = isna(value);
    // isna of a list-like gives an array; only scalars are asked here, but an
    // array is never "missing" as a whole.
    if (nb::isinstance<nb::bool_>(r)) return nb::cast<bool>(r);
    nb::object np_bool = nb::module_::import_("numpy").attr("bool_");
    if (nb::isinstance(r, np_bool)) return nb::cast<bool>(nb::bool_(r));
    return false;
}

bool path_exists(nb::handle path) {
    if (path.is_none() || !(nb::isinstance<nb::str>(path) || nb::hasattr(path, "__fspath__")))
        return false;
    return nb::cast<bool>(nb::module_::import_("os.path").attr("exists")(path));
}

bool is_blank(nb::handle value) {
    return is_missing(value) || (nb::isinstance<nb::str>(value) && nb::len(value) == 0);
}

bool is_unset(nb::handle value) {
    if (nb::isinstance<nb::list>(value) || nb::isinstance<nb::tuple>(value)) return nb::len(value) == 0;
    return is_blank(value);
}

bool truthy(nb::handle value) {
    int r = PyObject_IsTrue(value.ptr());
    if (r < 0) throw nb::python_error();
    return r == 1;
}

bool contains(nb::handle container, nb::handle value) {
    int r = PySequence_Contains(container.ptr(), value.ptr());
    if (r < 0) throw nb::python_error();
    return r == 1;
}

nb::dict named_args(nb::handle inputs, nb::handle states, const nb::args& args) {
    nb::dict out;
    size_t i = 0;
    for (nb::handle deps : {inputs, states})
        for (nb::handle dep : deps) {
            if (i >= args.size()) return out;
            out[dep.attr("component_id")] = args[i++];
        }
    return out;
}

nb::object html(const char* cls) { return nb::module_::import_("dash.html").attr(cls); }
nb::object dcc(const char* cls) { return nb::module_::import_("dash.dcc").attr(cls); }
nb::object table(const char* cls) { return nb::module_::import_("dash.dash_table").attr(cls); }

nb::list to_list(nb::handle iterable) {
    PyObject* out = PySequence_List(iterable.ptr());
    if (!out) throw nb::python_error();
    return nb::steal<nb::list>(out);
}

nb::dict option(nb::handle v) {
    nb::dict d;
    d["label"] = v;
    d["value"] = v;
    return d;
}

nb::list options_from(std::initializer_list<const char*> values) {
    nb::list out;
    for (const char* v : values) out.append(option(nb::str(v)));
    return out;
}

nb::list options_from(nb::handle iterable) {
    nb::list out;
    for (nb::handle v : iterable) out.append(option(v));
    return out;
}

nb::list text_options(nb::handle iterable) {
    nb::list out;
    for (nb::handle v : iterable) {
        nb::dict o;
        o["label"] = v;
        o["value"] = nb::str(v);
        out.append(o);
    }
    return out;
}

nb::tuple no_choice() { return nb::make_tuple(nb::list(), nb::none()); }

nb::tuple mirror_picker(nb::handle options) {
    if (!options.is_none() && nb::len(options) > 0)
        return nb::make_tuple(options, options[0]["value"]);
    return no_choice();
}

nb::object loading(const std::string& topic, const char* type) {
    return dcc("Loading")("id"_a = "loading-" + topic, "type"_a = type,
                          "children"_a = html("Div")("id"_a = "loading-output-" + topic));
}

nb::object bordered(nb::list children) {
    nb::dict style;
    style["border"] = "2px black solid";
    return html("Div")("style"_a = style, "children"_a = children);
}

nb::object columns(const char* width, nb::list children) {
    return html("Div")("className"_a = width, "children"_a = children);
}

nb::object dropdown(const char* id, nb::handle options, nb::handle value, bool multi) {
    if (multi)
        return dcc("Dropdown")("id"_a = id, "options"_a = options, "value"_a = value, "multi"_a = true);
    return dcc("Dropdown")("id"_a = id, "options"_a = options, "value"_a = value);
}

nb::object shorter(nb::handle height) { return height - nb::int_(kShorterBy); }

nb::dict margin(int top, int side) {
    nb::dict m;
    m["l"] = side;
    m["r"] = side;
    m["t"] = top;
    m["b"] = side;
    return m;
}

nb::object placeholder_figure(nb::handle height) {
    nb::object fig = nb::module_::import_("plotly.graph_objects").attr("Figure")();
    if (height.is_valid())
        fig.attr("update_layout")("margin"_a = margin(), "paper_bgcolor"_a = kPlaceholderPaper, "height"_a = height);
    else
        fig.attr("update_layout")("margin"_a = margin(), "paper_bgcolor"_a = kPlaceholderPaper);
    return fig;
}

}  // namespace pyglue
