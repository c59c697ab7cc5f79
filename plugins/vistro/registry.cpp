// The dashboard's wiring: one row per callback, in registration order.
#include "vistro.hpp"

#include <memory>
#include <utility>
#include <vector>

namespace vistro {
namespace {

struct Dep {
    const char* id;
    const char* prop;
};
using Deps = std::vector<Dep>;

enum Shape { Listed, Bare };          // outputs passed as a list, or one bare output
enum Arity { Fixed, Variadic };       // named parameters, or a variable argument list

struct Row {
    const char* name;
    Deps outputs;
    Deps inputs;
    Deps states;
    Callback fn;
    Shape shape = Listed;
    Arity arity = Fixed;
};

const Dep Paths{"Paths", "data"};
const Dep SourceOptions{"preprocess-source-dropdown", "options"};

// clang-format off
const std::vector<Row>& table() {
    static const std::vector<Row> rows = {
    // ---- preprocessing ----
    {"init_preprocess_data",
     {{"preprocess-source-dropdown", "options"}, {"preprocess-source-dropdown", "value"},
      {"loading-output-preprocess-distribution", "children"}},
     {Paths}, {}, init_preprocess_data},
    {"update_preprocess_parameters",
     {{"preprocess-transform-dropdown", "value"}, {"preprocess-max-miss-ratio-input", "value"},
      {"preprocess-normalization-dropdown", "value"}, {"preprocess-imputation-dropdown", "value"}},
     {{"preprocess-source-dropdown", "value"}}, {Paths}, update_preprocess_parameters},
    {"update_preprocess_figure",
     {{"preprocess-figure", "figure"}, {"loading-output-preprocess-figure", "children"}},
     {{"preprocess-button", "n_clicks"}, {"preprocess-source-dropdown", "value"}},
     {Paths, {"preprocess-transform-dropdown", "value"}, {"preprocess-max-miss-ratio-input", "value"},
      {"preprocess-normalization-dropdown", "value"}, {"preprocess-imputation-dropdown", "value"}},
     update_preprocess_figure},
    // ---- phenotype profiling ----
    {"update_profile_phenotypes",
     {{"profile-phenotype-dropdown", "options"}, {"profile-phenotype-dropdown", "value"}},
     {Paths}, {}, update_profile_phenotypes},
    {"update_profile_distr",
     {{"profile-distr-fig", "figure"}, {"loading-output-phenotype-distribution", "children"}},
     {{"profile-phenotype-dropdown", "value"}}, {Paths}, update_profile_distr},
    {"update_numeric_phenotype_inter", {{"numeric-info-inter", "data"}}, {Paths}, {},
     update_numeric_phenotype_inter, Bare},
    {"update_phenotype_corr_inter", {{"profile-corr-inter", "data"}}, {Paths}, {},
     update_phenotype_corr_inter, Bare},
    {"update_phenotype_corr_fig", {{"profile-corr-fig", "figure"}}, {{"profile-corr-inter", "data"}}, {},
     update_phenotype_corr_fig, Bare},
    // ---- quality control ----
    {"update_qc_data_source",
     {{"qc-data-source-dropdown", "options"}, {"qc-data-source-dropdown", "value"}},
     {Paths, SourceOptions}, {}, update_qc_data_source},
    {"update_qc_samples",
     {{"qc-samples-dropdown", "options"}, {"qc-samples-dropdown", "value"}},
     {{"qc-data-source-dropdown", "value"}}, {Paths}, update_qc_samples},
    {"update_qc_figures",
     {{"qc-corr-fig", "figure"}, {"qc-cv-fig", "figure"}, {"loading-output-qc", "children"}},
     {{"qc-data-source-dropdown", "value"}, {"qc-samples-dropdown", "value"}}, {Paths},
     update_qc_figures, Listed, Variadic},
    // ---- annotation ----
    {"update_annotation_control",
     {{"annotation-source-dropdown", "options"}, {"annotation-source-dropdown", "value"}},
     {SourceOptions}, {}, update_annotation_control},
    {"update_annotation_table",
     {{"annotation-id-datatable", "data"}, {"annotation-id-datatable", "columns"},
      {"loading-output-annotation-table", "children"}},
     {{"annotation-source-dropdown", "value"}, SourceOptions}, {Paths}, update_annotation_table},
    // ---- differential analysis ----
    {"update_diff_data_source", {{"diff-data-source-dropdown", "options"}, {"diff-data-source-dropdown", "value"}},
     {SourceOptions}, {}, update_diff_data_source},
    {"update_diff_phenotypes", {{"phenotype-dropdown", "options"}, {"phenotype-dropdown", "value"}},
     {{"profile-phenotype-dropdown", "options"}}, {}, update_diff_phenotypes},
    {"update_target_groups", {{"target-groups-dropdown", "options"}, {"target-groups-dropdown", "value"},
                              {"refer-groups-dropdown", "options"}, {"refer-groups-dropdown", "value"}},
     {{"phenotype-dropdown", "value"}}, {}, update_target_groups},
    {"update_diff_inter", {{"diff-inter", "data"}, {"loading-output-diff-calculation", "children"}},
     {{"diff-data-source-dropdown", "value"}, SourceOptions, {"run-diff-button", "n_clicks"}},
     {{"diff-exp-analysis-methods-dropdown", "value"}, {"target-groups-dropdown", "value"},
      {"refer-groups-dropdown", "value"}, {"phenotype-dropdown", "value"}, {"diff-fdr-input", "value"},
      {"diff-log2fc-input", "value"}, Paths},
     update_diff_inter, Listed, Variadic},
    {"update_diff_figure_source", {{"diff-fig-source-dropdown", "options"}, {"diff-fig-source-dropdown", "value"}},
     {{"run-diff-button", "n_clicks"}, SourceOptions, {"diff-inter", "data"}}, {Paths}, update_diff_figure_source},
    {"update_diff_figure_feature", {{"diff-gene-dropdown", "options"}, {"diff-gene-dropdown", "value"}},
     {{"run-diff-button", "n_clicks"}, {"diff-inter", "data"}, {"diff-fig-source-dropdown", "value"}}, {Paths},
     update_diff_figure_feature},
    {"update_diff_volcano", {{"diff-volcano-fig", "figure"}, {"loading-output-diff-volcano", "children"}},
     {{"run-diff-button", "n_clicks"}, {"diff-inter", "data"}, {"diff-fig-source-dropdown", "value"}}, {Paths},
     update_diff_volcano},
    {"update_diff_box", {{"diff-box-fig", "figure"}, {"loading-output-diff-box", "children"}},
     {{"run-diff-button", "n_clicks"}, {"diff-inter", "data"}, {"diff-fig-source-dropdown", "value"},
      {"diff-gene-dropdown", "value"}},
     {Paths, {"target-groups-dropdown", "value"}, {"refer-groups-dropdown", "value"}, {"phenotype-dropdown", "value"},
      {"path-check-result", "data"}},
     update_diff_box, Listed, Variadic},
    // ---- decomposition ----
    {"update_decomposition_data_source",
     {{"decomposition-data-source-dropdown", "options"}, {"decomposition-data-source-dropdown", "value"}},
     {SourceOptions}, {Paths}, update_decomposition_data_source},
    {"update_decomposition_figure_source",
     {{"decomposition-figure-source-dropdown", "options"}, {"decomposition-figure-source-dropdown", "value"}},
     {{"run-decomposition-button", "n_clicks"}, SourceOptions, {"decomposition-inter", "data"}}, {Paths},
     update_decomposition_figure_source},
    {"update_decomposition_figure_phenotype",
     {{"decomposition-figure-phenotype-dropdown", "options"}, {"decomposition-figure-phenotype-dropdown", "value"}},
     {{"run-decomposition-button", "n_clicks"}, SourceOptions}, {}, update_decomposition_figure_phenotype},
    {"update_decomposition_inter", {{"decomposition-inter", "data"}},
     {{"run-decomposition-button", "n_clicks"}, SourceOptions, {"decomposition-data-source-dropdown", "options"}},
     {{"decomposition-data-source-dropdown", "value"}, {"decomposition-method-dropdown", "value"}, Paths},
     update_decomposition_inter, Bare, Variadic},
    {"update_decomposition_figure1", {{"decomposition-figure-1", "figure"}, {"loading-output-decomposition", "children"}},
     {{"run-decomposition-button", "n_clicks"}, {"decomposition-inter", "data"},
      {"decomposition-figure-source-dropdown", "value"}, {"decomposition-figure-phenotype-dropdown", "value"}},
     {Paths}, update_decomposition_figure1},
    {"update_decomposition_figure2", {{"decomposition-figure-2", "figure"}},
     {{"run-decomposition-button", "n_clicks"}, {"decomposition-inter", "data"},
      {"decomposition-figure-source-dropdown", "value"}, {"decomposition-figure-phenotype-dropdown", "value"}},
     {Paths}, update_decomposition_figure2, Bare},
    // ---- feature clustering ----
    {"update_feature_clustering_source", {{"clustering-source-dropdown", "options"}, {"clustering-source-dropdown", "value"}},
     {SourceOptions}, {Paths}, update_feature_clustering_source},
    {"update_feature_clustering_phenotypes",
     {{"clustering-phenotype-dropdown", "options"}, {"clustering-phenotype-dropdown", "value"}},
     {{"profile-phenotype-dropdown", "options"}}, {Paths}, update_feature_clustering_phenotypes},
    {"update_feature_clustering_inter",
     {{"feature-clustering-inter", "data"}, {"clustering-figure-source", "options"}, {"clustering-figure-source", "value"},
      {"loading-output-feature-clustering", "children"}},
     {{"run-feature-clustering-button", "n_clicks"}, {"clustering-source-dropdown", "options"}},
     {{"clustering-number-input", "value"}, {"clustering-source-dropdown", "value"},
      {"clustering-phenotype-dropdown", "value"}, Paths},
     update_feature_clustering_inter, Listed, Variadic},
    {"update_feature_clustering_figure_1",
     {{"clustering-figure-1", "figure"}, {"loading-output-clustering-figure-1", "children"}},
     {{"run-feature-clustering-button", "n_clicks"}, {"clustering-source-dropdown", "options"},
      {"clustering-figure-source", "value"}, {"feature-clustering-inter", "data"}},
     {{"clustering-number-input", "value"}, {"clustering-source-dropdown", "value"},
      {"clustering-phenotype-dropdown", "value"}, Paths},
     update_feature_clustering_figure_1, Listed, Variadic},
    // ---- association ----
    {"update_assoc_data_source",
     {{"assoc-data-source-dropdown", "options"}, {"assoc-data-source-dropdown", "value"}},
     {SourceOptions}, {Paths}, update_assoc_data_source},
    {"update_assoc_phenotype",
     {{"assoc-phenotype-dropdown", "options"}, {"assoc-phenotype-dropdown", "value"}},
     {{"numeric-info-inter", "data"}}, {Paths}, update_assoc_phenotype},
    {"update_assoc_target_phenotype",
     {{"assoc-target-phenotype-dropdown", "options"}, {"assoc-target-phenotype-dropdown", "value"}},
     {{"profile-phenotype-dropdown", "options"}}, {Paths}, update_assoc_target_phenotype},
    {"update_assoc_target_groups",
     {{"assoc-target-groups-dropdown", "options"}, {"assoc-target-groups-dropdown", "value"}},
     {{"assoc-target-phenotype-dropdown", "value"}}, {Paths}, update_assoc_target_groups},
    {"update_assoc_collect_results",
     {{"feature-sets-inter", "data"}, {"loading-output-phenotype-feature-2", "children"}},
     {{"diff-inter", "data"}, {"decomposition-inter", "data"}, {"feature-clustering-inter", "data"}},
     {Paths}, update_assoc_collect_results},
    {"update_assoc_features",
     {{"assoc-feature-set-dropdown", "options"}, {"assoc-feature-set-dropdown", "value"}},
     {{"assoc-data-source-dropdown", "value"}, {"feature-sets-inter", "data"}}, {Paths}, update_assoc_features},
    {"update_phenotype_feature_correlation_inter",
     {{"phenotype-feature-result-inter", "data"}, {"loading-output-phenotype-feature-1", "children"}},
     {{"run-assoc-button", "n_clicks"}, {"feature-sets-inter", "data"}, {"numeric-info-inter", "data"},
      {"assoc-feature-set-dropdown", "options"}},
     {{"assoc-data-source-dropdown", "value"}, {"assoc-phenotype-dropdown", "value"},
      {"assoc-target-phenotype-dropdown", "value"}, {"assoc-target-groups-dropdown", "value"},
      {"assoc-feature-set-dropdown", "value"}, Paths},
     update_phenotype_feature_correlation_inter},
    {"update_association_figure_1",
     {{"assoc-corr-fig", "figure"}, {"loading-output-phenotype-feature-corr", "children"},
      {"assoc-roc-figure-feature-dropdown", "options"}, {"assoc-roc-figure-feature-dropdown", "value"}},
     {{"run-assoc-button", "n_clicks"}, {"phenotype-feature-result-inter", "data"}}, {Paths},
     update_association_figure_1},
    {"update_assoc_roc",
     {{"assoc-roc-fig", "figure"}, {"loading-output-phenotype-feature-roc", "children"}},
     {{"run-assoc-button", "n_clicks"}, {"phenotype-feature-result-inter", "data"},
      {"assoc-roc-figure-feature-dropdown", "value"}},
     {Paths}, update_assoc_roc},
    // ---- enrichment ----
    {"update_enrich_data_source",
     {{"enrich-data-source-dropdown", "options"}, {"enrich-data-source-dropdown", "value"}},
     {SourceOptions}, {Paths}, update_enrich_data_source},
    {"update_enrich_data_source",
     {{"enrich-feature-set-dropdown", "options"}, {"enrich-feature-set-dropdown", "value"}},
     {{"feature-sets-inter", "data"}, {"enrich-data-source-dropdown", "options"}},
     {{"enrich-data-source-dropdown", "value"}, Paths}, update_enrich_feature_sets},
    {"update_enrich_ora_fig",
     {{"enrich-ora-fig", "figure"}, {"loading-output-phenotype-enrich-figure1", "children"}},
     {{"feature-sets-inter", "data"}, {"enrich-data-source-dropdown", "value"},
      {"enrich-feature-set-dropdown", "value"}, {"enrich-gene-sets-dropdown", "value"}},
     {Paths}, update_enrich_ora_fig},
    {"update_enrich_gene_sets",
     {{"enrich-gene-sets-dropdown", "options"}, {"enrich-gene-sets-dropdown", "value"}},
     {Paths}, {}, update_enrich_gene_sets},
    };
    return rows;
}
// clang-format on

nb::list dependency_list(const char* kind, const Deps& deps) {
    nb::object cls = global(kind);
    nb::list out;
    for (const Dep& d : deps) out.append(cls(d.id, d.prop));
    return out;
}

nb::object as_python_function(const Row& row, std::shared_ptr<const Ctx> ctx) {
    const size_t expected = row.inputs.size() + row.states.size();
    const bool fixed = row.arity == Fixed;
    Callback fn = row.fn;
    std::string name = row.name;
    nb::object f = nb::cpp_function(
        [ctx, fn, fixed, expected, name](nb::args args) -> nb::object {
            if (fixed && args.size() != expected)
                pyglue::raise_type(name + "() takes " + std::to_string(expected) +
                                   " positional arguments but " + std::to_string(args.size()) +
                                   " were given");
            return fn(*ctx, args);
        },
        nb::name(row.name));
    // Dash's functools.wraps copies __qualname__, which a function without a scope
    // lacks; a scope would instead chain same-named callbacks (registration 42, a
    // second build_app) into one overload set. A partial carries the names itself.
    nb::object named = nb::module_::import_("functools").attr("partial")(f);
    named.attr("__name__") = row.name;
    named.attr("__qualname__") = row.name;
    named.attr("__module__") = global("__name__");
    return named;
}

}  // namespace

void register_callbacks(nb::object app, nb::object my_path) {
    for (const Row& row : table()) {
        auto ctx = std::make_shared<Ctx>();
        ctx->my_path = my_path;
        ctx->inputs = dependency_list("Input", row.inputs);
        ctx->states = dependency_list("State", row.states);
        nb::list outputs = dependency_list("Output", row.outputs);
        nb::object out = row.shape == Bare ? nb::object(outputs[0]) : nb::object(outputs);
        nb::object decorator = row.states.empty() ? app.attr("callback")(out, ctx->inputs)
                                                  : app.attr("callback")(out, ctx->inputs, ctx->states);
        decorator(as_python_function(row, std::move(ctx)));
    }
}

}  // namespace vistro
