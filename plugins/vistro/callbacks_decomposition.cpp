// The decomposition card: source pickers, the run and the two PCA figures.
#include "vistro.hpp"

namespace vistro {
namespace {

// The host's figure for (source, phenotype) of a stored result, or the placeholder.
nb::object decomposition_figure(const Ctx& c, const nb::args& a, const char* host_figure) {
    nb::handle result_path = a[1], source = a[2], phenotype = a[3];
    nb::object height = figure_height();
    if (!path_exists(out_dir(c)) || !path_exists(result_path))
        return placeholder(height);
    return service(host_figure)(source, phenotype, result_path, meta_path(c), height);
}

}  // namespace

VISTRO_CALLBACK(update_decomposition_data_source) { return pyglue::mirror_picker(a[0]); }

VISTRO_CALLBACK(update_decomposition_figure_source) {
    nb::handle result_path = a[2];
    if (!path_exists(out_dir(c)) || !path_exists(result_path)) return pyglue::no_choice();
    nb::list sources = pyglue::to_list(service("read_result_path")(result_path)["Source"]);
    if (nb::len(sources) == 0) return pyglue::no_choice();
    return nb::make_tuple(pyglue::options_from(sources), sources[0]);
}

VISTRO_CALLBACK(update_decomposition_figure_phenotype) {
    nb::object info_path = meta_path(c);
    nb::list options;
    nb::object value = nb::none();
    if (!path_exists(info_path) || !path_exists(out_dir(c))) return nb::make_tuple(options, value);
    nb::object info = service("read_info_file")(info_path);
    nb::list phenotypes;
    for (nb::handle name : info.attr("columns").attr("values"))
        if (nb::cast<std::string>(nb::str(name)).find("(Numerical") == std::string::npos) phenotypes.append(name);
    // A table with nothing but numerical phenotypes offers no choice.
    if (nb::len(phenotypes) == 0) return nb::make_tuple(options, value);
    nb::object preferred = global("default_phenotype");
    value = pyglue::contains(phenotypes, preferred) ? preferred : nb::object(phenotypes[0]);
    return nb::make_tuple(pyglue::text_options(phenotypes), value);
}

VISTRO_CALLBACK(update_decomposition_inter) {
    nb::dict kwargs = named_args(c, a);
    if (!path_exists(meta_path(c))) return nb::none();
    return service("update_decomposition_inter")(kwargs);
}

VISTRO_CALLBACK(update_decomposition_figure1) {
    return nb::make_tuple(decomposition_figure(c, a, "update_decomposition_figure1"), "");
}

VISTRO_CALLBACK(update_decomposition_figure2) { return decomposition_figure(c, a, "update_decomposition_figure2"); }

}  // namespace vistro
