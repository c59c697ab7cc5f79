// Quality-control card: source list, samples of a source, and the two figures.
#include "host_results.hpp"

namespace vistro {

// The preprocessing card's source list is an input only so that this list follows it.
VISTRO_CALLBACK(update_qc_data_source) { return service("update_qc_data_source")(a[0]); }

// args: source, paths
VISTRO_CALLBACK(update_qc_samples) { return service("update_qc_samples")(a[0], a[1]); }

// The host names the received values by the registration's own dependency lists.
VISTRO_CALLBACK(update_qc_figures) {
    auto [corr, cv] = pair_of(service("update_qc_figures")(a, c.inputs, c.states), "update_qc_figures");
    return nb::make_tuple(corr, cv, "");
}

}  // namespace vistro
