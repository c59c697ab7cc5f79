// veltrana.plugins.preprocess: log2, median normalisation, missing-value filter, imputation.
#include "steps.hpp"

namespace prep {
namespace {

nb::object run_transform(nb::object data_df, nb::object method) {
    return to_frame(transform(as_table(data_df), method));
}

nb::object run_norm(nb::object data_df, nb::object method) {
    return to_frame(norm(as_table(data_df), method));
}

nb::object run_noise_filter(nb::object data_df, nb::object miss_ratio) {
    return to_frame(noise_filter(as_table(data_df), miss_ratio));
}

nb::object run_impute(nb::object data_df, nb::object method, nb::object k, nb::object shift, nb::object width,
                      nb::object seed) {
    return to_frame(impute(as_table(data_df), method, impute_params(k, shift, width, seed)));
}

// The four steps in their fixed order, each setting read when its step is
// due. No step alters the frame it is given, so the caller's frame needs no
// defensive copy; after the first step that computes, the rest work in
// place on that step's buffer.
nb::object run_preprocess(nb::object data_df, nb::object settings) {
    require_frame(data_df, "preprocess");
    Table t = as_table(data_df);
    t = transform(std::move(t), nb::object(settings["Transformation"]));
    t = norm(std::move(t), nb::object(settings["Normalization"]));
    t = noise_filter(std::move(t), nb::object(settings["Filter"]));
    nb::object method = settings["Imputation"];
    // Only the methods that take parameters read them.
    bool takes = method.equal(nb::str("KNN")) || method.equal(nb::str("DownshiftedNormal"));
    t = impute(std::move(t), method, takes ? impute_params(settings) : ImputeParams{});
    return to_frame(t);
}

}  // namespace
}  // namespace prep

void bind_text_numbers(nanobind::module_& m);  // text_numbers.cpp
void bind_rank_sums(nanobind::module_& m);     // rank_sums.cpp
void bind_roc_curves(nanobind::module_& m);    // roc_curves.cpp
void bind_correlations(nanobind::module_& m);  // correlations.cpp
void bind_column_medians(nanobind::module_& m);  // column_medians.cpp
void bind_column_moments(nanobind::module_& m);  // column_moments.cpp
void bind_row_boxes(nanobind::module_& m);       // row_boxes.cpp
void bind_ward_linkage(nanobind::module_& m);    // ward_linkage.cpp

NB_MODULE(preprocess, m) {
    using namespace prep;
    m.doc() = "Expression-matrix preprocessing: transform, norm, noise_filter, impute.";
    bind_libraries(m);
    bind_text_numbers(m);
    bind_rank_sums(m);
    bind_roc_curves(m);
    bind_correlations(m);
    bind_column_medians(m);
    bind_column_moments(m);
    bind_row_boxes(m);
    bind_ward_linkage(m);

    m.def("transform", &run_transform, nb::sig("def transform(data_df: pandas.DataFrame, method: str) -> pandas.DataFrame"),
          nb::arg("data_df").none(), nb::arg("method").none(),
          "Base-2 logarithm of every value for \"Log2\"; any other method returns data_df itself.");
    m.def("norm", &run_norm, nb::sig("def norm(data_df: pandas.DataFrame, method: str) -> pandas.DataFrame"),
          nb::arg("data_df").none(), nb::arg("method").none(),
          "Each sample (row) minus its median over the present values for \"MedianNorm\"; any other "
          "method returns data_df itself.");
    m.def("noise_filter", &run_noise_filter, nb::sig("def noise_filter(data_df: pandas.DataFrame, miss_ratio: float | str) -> pandas.DataFrame"),
          nb::arg("data_df").none(), nb::arg("miss_ratio").none(),
          "A new frame of the features (columns) whose share of missing values is at most miss_ratio "
          "percent (a number or numeric text).");
    ImputeParams d;
    m.def("impute", &run_impute,
          nb::sig("def impute(data_df: pandas.DataFrame, method: str, k: int = 5, shift: float = 1.8, "
                  "width: float = 0.3, seed: int = 20260101) -> pandas.DataFrame"),
          nb::arg("data_df").none(), nb::arg("method").none(), nb::arg("k") = d.k, nb::arg("shift") = d.shift,
          nb::arg("width") = d.width, nb::arg("seed") = d.seed,
          "Missing values replaced by the smallest present value of the frame (\"GlobalMin\"), of their "
          "sample (\"SampleMin\") or of their feature (\"FeatureMin\"); a sample or feature without any "
          "value stays missing, and columns without any value take no part in the global minimum.\n\n"
          "\"KNN\": the mean of the feature over the k samples nearest to the sample among those that have "
          "it, distances being the root mean square difference over the features both samples have (ties "
          "to the earlier sample; no shared feature, no neighbour; no neighbour with the feature, still "
          "missing). Samples are the neighbours: a cohort has far fewer samples than features, so the "
          "distances are cheap and each rests on thousands of shared values.\n\n"
          "\"DownshiftedNormal\": draws from a normal distribution per sample, its mean the sample's mean "
          "minus shift standard deviations and its sd width of them (sd with n - 1; samples with fewer "
          "than two values keep their missing values); std::mt19937_64 seeded with seed and Box-Muller, "
          "samples in row order, so a rerun gives the same matrix.\n\n"
          "The last two give float64 columns. Any other method returns data_df itself.");
    m.def("preprocess", &run_preprocess, nb::sig("def preprocess(data_df: pandas.DataFrame, settings: typing.Mapping[str, object]) -> pandas.DataFrame"),
          nb::arg("data_df").none(), nb::arg("settings").none(),
          "transform, norm, noise_filter and impute in that order, with settings[\"Transformation\"], "
          "[\"Normalization\"], [\"Filter\"] and [\"Imputation\"] (and impute's k, shift, width and "
          "seed from settings[\"ImputationNeighbours\"], [\"ImputationShift\"], [\"ImputationWidth\"] "
          "and [\"ImputationSeed\"] when given); the caller's frame is never altered.");
}
