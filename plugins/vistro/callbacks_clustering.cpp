// The feature-clustering card: pickers, the run and the heatmap.
#include "vistro.hpp"

namespace vistro {
namespace {

// The card's keyword dictionary from the host's own service, so that a host that
// replaces it is heard.
nb::object host_kwargs(const Ctx& c, const nb::args& a) {
    return service("build_default_kwargs")(c.inputs, c.states, a);
}

}  // namespace

VISTRO_CALLBACK(update_feature_clustering_source) { return pyglue::mirror_picker(a[0]); }

VISTRO_CALLBACK(update_feature_clustering_phenotypes) { return pyglue::mirror_picker(a[0]); }

VISTRO_CALLBACK(update_feature_clustering_inter) {
    nb::object result_path = nb::str(""), options = nb::list(), value = nb::str("");
    nb::object kwargs = host_kwargs(c, a);
    nb::object info_path = meta_path(c);
    nb::object defaults = nb::make_tuple(result_path, options, value, "");
    if (!path_exists(out_dir(c))) return defaults;
    nb::object module_dir = c.my_path.attr("get_clustering_dir")();
    if (is_unset(kwargs["clustering-source-dropdown"]) || is_unset(kwargs["clustering-phenotype-dropdown"]))
        return defaults;
    // The clustering folder is created by the run itself, so only the sample table must exist.
    if (path_exists(info_path)) {
        result_path = service("update_feature_clustering_inter")(kwargs, module_dir);
        if (path_exists(result_path)) {
            nb::list sources = pyglue::to_list(service("read_result_path")(result_path)["Source"]);
            nb::object picker = service("build_default_dropdown_by_list")(sources);
            options = picker[0];
            value = picker[1];
        }
    }
    return nb::make_tuple(result_path, options, value, "");
}

VISTRO_CALLBACK(update_feature_clustering_figure_1) {
    nb::object kwargs = host_kwargs(c, a);
    nb::object fig = placeholder();
    nb::object module_dir = c.my_path.attr("get_clustering_dir")();
    if (path_exists(meta_path(c)) && path_exists(module_dir)) {
        nb::object result_path = kwargs["feature-clustering-inter"];
        if (!path_exists(result_path)) return nb::make_tuple(fig, "");
        fig = service("update_feature_clustering_figure_1")(kwargs, result_path, module_dir);
    }
    return nb::make_tuple(fig, "");
}

}  // namespace vistro
