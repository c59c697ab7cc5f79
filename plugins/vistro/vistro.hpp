// The application module: shared pieces of build_app and the card callbacks.
#pragma once

#include "pyglue.hpp"

namespace vistro {
namespace nb = nanobind;
using namespace nb::literals;
using pyglue::contains;
using pyglue::is_blank;
using pyglue::is_missing;
using pyglue::is_unset;
using pyglue::kids;
using pyglue::no_choice;
using pyglue::path_exists;

// What one registration's callback can see: the application's path object and
// the registration's own dependency lists (the lists captured by build_app).
struct Ctx {
    nb::object my_path;
    nb::list inputs;
    nb::list states;
};

using Callback = nb::object (*)(const Ctx&, const nb::args&);

// The output folder and the sample-information file of the application's paths.
inline nb::object out_dir(const Ctx& c) { return c.my_path.attr("get_out_dir")(); }
inline nb::object meta_path(const Ctx& c) { return c.my_path.attr("get_meta_path")(); }

// A module-level binding of vistro, looked up when called (as a Python global would be).
nb::object global(const char* name);
// The host module `callbacks`, looked up when called so a host or test may replace services.
nb::object host();
// A host service: host().attr(name)
inline nb::object service(const char* name) { return host().attr(name); }

// The named-argument dictionary: component ids of inputs then states, zipped
// with the received arguments; a repeated id keeps the later value.
inline nb::dict named_args(const Ctx& c, const nb::args& args) {
    return pyglue::named_args(c.inputs, c.states, args);
}

// defaults.default_figure_height as bound at import.
nb::object figure_height();
// The height of figures that share a row with controls.
inline nb::object short_figure_height() { return pyglue::shorter(figure_height()); }
// The host's placeholder figure, of the host's default height or of `height`.
inline nb::object placeholder() { return service("build_default_fig")(); }
inline nb::object placeholder(nb::handle height) { return service("build_default_fig")("height"_a = height); }

// ---- the callbacks, one source file per card ------------------------------
// Not every callback needs both its context and its arguments.
#define VISTRO_CALLBACK(name) nb::object name([[maybe_unused]] const Ctx& c, [[maybe_unused]] const nb::args& a)

// preprocessing (callbacks_preprocess.cpp)
VISTRO_CALLBACK(init_preprocess_data);
VISTRO_CALLBACK(update_preprocess_parameters);
VISTRO_CALLBACK(update_preprocess_figure);
// phenotype profiling (callbacks_profile.cpp)
VISTRO_CALLBACK(update_profile_phenotypes);
VISTRO_CALLBACK(update_profile_distr);
VISTRO_CALLBACK(update_numeric_phenotype_inter);
VISTRO_CALLBACK(update_phenotype_corr_inter);
VISTRO_CALLBACK(update_phenotype_corr_fig);
// quality control (callbacks_qc.cpp)
VISTRO_CALLBACK(update_qc_data_source);
VISTRO_CALLBACK(update_qc_samples);
VISTRO_CALLBACK(update_qc_figures);
// annotation (callbacks_annotation.cpp)
VISTRO_CALLBACK(update_annotation_control);
VISTRO_CALLBACK(update_annotation_table);
// differential analysis (callbacks_differential.cpp)
VISTRO_CALLBACK(update_diff_data_source);
VISTRO_CALLBACK(update_diff_phenotypes);
VISTRO_CALLBACK(update_target_groups);
VISTRO_CALLBACK(update_diff_inter);
VISTRO_CALLBACK(update_diff_figure_source);
VISTRO_CALLBACK(update_diff_figure_feature);
VISTRO_CALLBACK(update_diff_volcano);
VISTRO_CALLBACK(update_diff_box);
// decomposition (callbacks_decomposition.cpp)
VISTRO_CALLBACK(update_decomposition_data_source);
VISTRO_CALLBACK(update_decomposition_figure_source);
VISTRO_CALLBACK(update_decomposition_figure_phenotype);
VISTRO_CALLBACK(update_decomposition_inter);
VISTRO_CALLBACK(update_decomposition_figure1);
VISTRO_CALLBACK(update_decomposition_figure2);
// feature clustering (callbacks_clustering.cpp)
VISTRO_CALLBACK(update_feature_clustering_source);
VISTRO_CALLBACK(update_feature_clustering_phenotypes);
VISTRO_CALLBACK(update_feature_clustering_inter);
VISTRO_CALLBACK(update_feature_clustering_figure_1);
// association (callbacks_association.cpp)
VISTRO_CALLBACK(update_assoc_data_source);
VISTRO_CALLBACK(update_assoc_phenotype);
VISTRO_CALLBACK(update_assoc_target_phenotype);
VISTRO_CALLBACK(update_assoc_target_groups);
VISTRO_CALLBACK(update_assoc_collect_results);
VISTRO_CALLBACK(update_assoc_features);
VISTRO_CALLBACK(update_phenotype_feature_correlation_inter);
VISTRO_CALLBACK(update_association_figure_1);
VISTRO_CALLBACK(update_assoc_roc);
// enrichment (callbacks_enrichment.cpp)
VISTRO_CALLBACK(update_enrich_data_source);
VISTRO_CALLBACK(update_enrich_feature_sets);  // registered under the name update_enrich_data_source
VISTRO_CALLBACK(update_enrich_ora_fig);
VISTRO_CALLBACK(update_enrich_gene_sets);

// Registers every row of the registration table on `app`.
void register_callbacks(nb::object app, nb::object my_path);

}  // namespace vistro
