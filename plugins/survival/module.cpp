// veltrana.plugins.survival: per-group survival tables, Kaplan-Meier curves, log-rank tests.
#include "pyglue.hpp"

NB_MODULE(survival, m) { m.doc() = "Survival tables, Kaplan-Meier curves and log-rank p-values."; }
