// Annotation card: the source picker mirrors the preprocessing card's list; the
// table shows the chosen source's annotation, or the placeholder table.
#include "host_results.hpp"

namespace vistro {

// len() first: a list of None is a TypeError here, not an empty picker.
VISTRO_CALLBACK(update_annotation_control) {
    nb::handle options = a[0];
    if (nb::len(options) > 0) return nb::make_tuple(options, options[0]["value"]);
    return pyglue::no_choice();
}

// args: source, preprocessing source options, paths
VISTRO_CALLBACK(update_annotation_table) {
    nb::handle source = a[0], options = a[1];
    if (nb::len(options) > 0) {
        nb::list sources;
        for (nb::handle o : options) sources.append(o["value"]);
        if (pyglue::contains(sources, source)) {
            auto [rec, col] = pair_of(service("update_annotation_table")(source, a[2]), "update_annotation_table");
            return nb::make_tuple(rec, col, "");
        }
    }
    auto [rec, col] = pair_of(service("build_default_table")(), "build_default_table");
    return nb::make_tuple(rec, col, "");
}

}  // namespace vistro
