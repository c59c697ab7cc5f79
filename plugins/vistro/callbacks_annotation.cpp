// Annotation card: the source picker mirrors the preprocessing card's list; the
// table shows the chosen source's annotation, or the placeholder table.
#include "host_results.hpp"

namespace vistro {

// len() first: a list of None is a TypeError here, not an empty picker.
VISTRO_CALLBACK(update_annotation_control) {
    nb::handle options = a[0];
    if (nb::len(options) > 0) return nb::make_tuple(options, options[0]["value"]);
    return nb::make_tuple(nb::list(), nb::none());
}

// args: source, preprocessing source options, paths
VISTRO_CALLBACK(update_annotation_table) {
    nb::handle source = a[0], options = a[1];
    if (nb::len(options) > 0) {
        nb::list sources;
        for (nb::handle o : options) sources.append(o["value"]);
        int listed = PySequence_Contains(sources.ptr(), source.ptr());
        if (listed < 0) throw nb::python_error();
        if (listed == 1) {
            auto [rec, col] = pair_of(service("update_annotation_table")(source, a[2]), "update_annotation_table");
            return nb::make_tuple(rec, col, "");
        }
    }
    auto [rec, col] = pair_of(service("build_default_table")(), "build_default_table");
    return nb::make_tuple(rec, col, "");
}

}  // namespace vistro
