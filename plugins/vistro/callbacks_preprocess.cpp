// Preprocessing card: the source list, the stored settings of a source, and the
// sample-distribution figure.
#include "host_results.hpp"

namespace vistro {

// (source options, selected source, loading output)
VISTRO_CALLBACK(init_preprocess_data) {
    auto [options, value] = pair_of(service("init_preprocess_data")(a[0]), "init_preprocess_data");
    return nb::make_tuple(options, value, "");
}

// The four settings of the chosen source; any failure shows the card's neutral settings.
VISTRO_CALLBACK(update_preprocess_parameters) {
    try {
        return service("update_preprocess_parameters")(a[0], a[1]);
    } catch (const nb::python_error&) {
    } catch (const std::exception&) {
    }
    return nb::make_tuple("NA", 50, "NA", "NA");
}

// args: clicks, source, paths, transform, missing ratio, normalisation, imputation.
// The settings go to the host exactly as the controls hold them.
VISTRO_CALLBACK(update_preprocess_figure) {
    if (at_least(a[0], 0)) {
        nb::object fig = service("update_preprocess_figure")(a[2], a[1], a[3], a[4], a[5], a[6]);
        return nb::make_tuple(fig, "");
    }
    return nb::make_tuple(placeholder(), "");
}

}  // namespace vistro
