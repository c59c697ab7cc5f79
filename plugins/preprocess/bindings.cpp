// veltrana.plugins.preprocess: log2, median normalisation, missing-value filter, imputation.
#include "pyglue.hpp"

NB_MODULE(preprocess, m) { m.doc() = "Expression-matrix preprocessing: transform, norm, noise_filter, impute."; }
