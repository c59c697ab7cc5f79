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

nb::object run_impute(nb::object data_df, nb::object method) {
    return to_frame(impute(as_table(data_df), method));
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
    t = impute(std::move(t), nb::object(settings["Imputation"]));
    return to_frame(t);
}

}  // namespace
}  // namespace prep

NB_MODULE(preprocess, m) {
    using namespace prep;
    m.doc() = "Expression-matrix preprocessing: transform, norm, noise_filter, impute.";
    bind_libraries(m);

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
    m.def("impute", &run_impute, nb::sig("def impute(data_df: pandas.DataFrame, method: str) -> pandas.DataFrame"),
          nb::arg("data_df").none(), nb::arg("method").none(),
          "Missing values replaced by the smallest present value of the frame (\"GlobalMin\"), of their "
          "sample (\"SampleMin\") or of their feature (\"FeatureMin\"); a sample or feature without any "
          "value stays missing, and columns without any value take no part in the global minimum. Any "
          "other method returns data_df itself.");
    m.def("preprocess", &run_preprocess, nb::sig("def preprocess(data_df: pandas.DataFrame, settings: typing.Mapping[str, object]) -> pandas.DataFrame"),
          nb::arg("data_df").none(), nb::arg("settings").none(),
          "transform, norm, noise_filter and impute in that order, with settings[\"Transformation\"], "
          "[\"Normalization\"], [\"Filter\"] and [\"Imputation\"]; the caller's frame is never altered.");
}
