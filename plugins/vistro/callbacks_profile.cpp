// Phenotype-profiling card: phenotype list, distribution, the numerical-phenotype
// store and the phenotype correlation.
#include "vistro.hpp"

namespace vistro {

VISTRO_CALLBACK(update_profile_phenotypes) { return service("update_profile_phenotypes")(a[0]); }

// args: phenotype, paths
VISTRO_CALLBACK(update_profile_distr) {
    return nb::make_tuple(service("update_profile_distr")(a[0], a[1]), "");
}

VISTRO_CALLBACK(update_numeric_phenotype_inter) { return service("update_numeric_phenotype_inter")(a[0]); }

VISTRO_CALLBACK(update_phenotype_corr_inter) { return service("update_phenotype_corr_inter")(a[0]); }

// The stored correlation result, or the placeholder while there is none on disk.
VISTRO_CALLBACK(update_phenotype_corr_fig) {
    nb::handle path = a[0];
    if (pyglue::is_present(path) && pyglue::path_exists(path)) return service("update_phenotype_corr_fig")(path);
    return placeholder(figure_height());
}

}  // namespace vistro
