// The differential-expression card: pickers, the run, the volcano and the box plot.
#include "vistro.hpp"

namespace vistro {
namespace {

// The preprocessed matrix of a source picked on the page, or None when there is none yet.
nb::object preprocessed(const Ctx& c, nb::handle source) {
    if (pyglue::is_blank(source)) return nb::none();
    nb::object path = c.my_path.attr("get_preprocess_path")(source);
    if (!path_exists(path)) return nb::none();
    return service("read_expr_path")(path);
}

// The distinct values of a column, as text, in order of first appearance.
nb::list distinct_texts(nb::handle column) {
    nb::list out;
    for (nb::handle v : column.attr("unique")()) {
        nb::str text = nb::str(v);
        if (!contains(out, text)) out.append(text);
    }
    return out;
}

// Sample ids whose phenotype value, as text, equals the group's text.
nb::list samples_of(nb::handle info, nb::handle phenotype, nb::handle group) {
    nb::object text = info[phenotype].attr("astype")(nb::module_::import_("builtins").attr("str"));
    nb::object same = text.attr("__eq__")(nb::str(group));
    return pyglue::to_list(info.attr("index")[same]);
}

// The source, and the groups with the number of samples each contributed, so a run that
// used fewer samples than the groups hold says so on its figure.
nb::object volcano_title(nb::handle rows, nb::handle source) {
    if (!contains(rows.attr("columns"), nb::str("TargetSamples"))) return nb::borrow(source);
    nb::object row = rows.attr("iloc")[0];
    return nb::str("{}: {} (n = {}) vs {} (n = {})")
        .attr("format")(source, row["Target"], row["TargetSamples"], row["Reference"], row["ReferenceSamples"]);
}

}  // namespace

VISTRO_CALLBACK(update_diff_data_source) { return pyglue::mirror_picker(a[0]); }

VISTRO_CALLBACK(update_diff_phenotypes) { return pyglue::mirror_picker(a[0]); }

VISTRO_CALLBACK(update_target_groups) {
    nb::handle phenotype = a[0];
    nb::object empty = nb::make_tuple(nb::list(), nb::none(), nb::list(), nb::none());
    nb::object info_path = meta_path(c);
    if (!path_exists(info_path) || is_missing(phenotype)) return empty;
    nb::object info = service("read_info_file")(info_path);
    if (!contains(info.attr("columns"), phenotype)) return empty;  // an unhashable value: TypeError
    // A sample whose cell is missing belongs to no group: missing values are never offered.
    nb::list groups = distinct_texts(info[phenotype].attr("dropna")());
    if (nb::len(groups) < 2) return empty;

    nb::object target = groups[0], reference = groups[1];
    if (contains(groups, nb::str("Tumor"))) {
        target = nb::str("Tumor");
        reference = nb::none();
        // Prefer a real group as reference; a status written as text "NA" or "nan" only as a last resort.
        for (nb::handle g : groups) {
            std::string s = nb::cast<std::string>(g);
            if (s != "Tumor" && s != "NA" && s != "nan") {
                reference = nb::borrow(g);
                break;
            }
        }
        if (reference.is_none())
            for (nb::handle g : groups)
                if (nb::cast<std::string>(g) != "Tumor") {
                    reference = nb::borrow(g);
                    break;
                }
    }
    nb::list options = pyglue::options_from(groups);
    return nb::make_tuple(options, target, options, reference);
}

VISTRO_CALLBACK(update_diff_inter) {
    nb::object result = nb::str("");
    nb::dict kwargs = named_args(c, a);
    if (path_exists(meta_path(c)) && path_exists(out_dir(c))) result = service("update_diff_inter")(kwargs);
    return nb::make_tuple(result, "");
}

VISTRO_CALLBACK(update_diff_figure_source) {
    nb::handle diff_result_path = a[2];
    if (!path_exists(out_dir(c)) || !path_exists(diff_result_path)) return no_choice();
    nb::list sources = pyglue::to_list(service("read_result_path")(diff_result_path)["Source"]);
    if (nb::len(sources) == 0) return no_choice();
    return nb::make_tuple(pyglue::options_from(sources), sources[0]);
}

VISTRO_CALLBACK(update_diff_figure_feature) {
    nb::handle diff_result_path = a[1], source = a[2];
    if (!path_exists(out_dir(c)) || !path_exists(diff_result_path)) return no_choice();
    nb::object data = preprocessed(c, source);
    if (data.is_none()) return no_choice();
    nb::list features = pyglue::to_list(data.attr("columns").attr("values"));
    return nb::make_tuple(pyglue::text_options(features), nb::len(features) ? nb::object(features[0]) : nb::none());
}

VISTRO_CALLBACK(update_diff_volcano) {
    nb::handle diff_result_path = a[1], source = a[2];
    nb::object height = short_figure_height();
    nb::object fig = placeholder(height);
    // No result yet (no value, or a file that is gone) leaves the placeholder.
    if (path_exists(out_dir(c)) && path_exists(diff_result_path)) {
        nb::object summary = service("read_result_path")(diff_result_path);
        if (contains(pyglue::to_list(summary["Source"]), source)) {
            nb::object rows = summary[summary["Source"].attr("__eq__")(source)];
            nb::object diff_path = rows["DiffPath"].attr("iloc")[0];
            nb::object table = service("read_expr_path")(diff_path);
            fig = global("volcano")(table, "figure_height"_a = height, "title"_a = volcano_title(rows, source));
            fig = service("prefer_webgl")(fig);  // thousands of points: WebGL
        }
    }
    return nb::make_tuple(fig, "");
}

VISTRO_CALLBACK(update_diff_box) {
    nb::dict kw = named_args(c, a);
    nb::object height = short_figure_height();
    nb::object fig = placeholder(height);
    if (!path_exists(out_dir(c))) return nb::make_tuple(fig, "");
    nb::object data = preprocessed(c, kw["diff-fig-source-dropdown"]);
    nb::object info_path = meta_path(c);
    if (data.is_none() || !path_exists(info_path)) return nb::make_tuple(fig, "");
    nb::object info = service("read_info_file")(info_path);
    nb::object phenotype = kw["phenotype-dropdown"];
    if (is_missing(phenotype) || !contains(info.attr("columns"), phenotype))
        return nb::make_tuple(fig, "");
    nb::object target = kw["target-groups-dropdown"], reference = kw["refer-groups-dropdown"];
    nb::object gene = kw["diff-gene-dropdown"];
    fig = global("boxplot")(data.attr("T"), gene, samples_of(info, phenotype, target),
                            samples_of(info, phenotype, reference), target, reference, "title"_a = gene,
                            "figure_height"_a = height);
    return nb::make_tuple(fig, "");
}

}  // namespace vistro
