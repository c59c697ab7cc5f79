// The phenotype-feature association card: its pickers, the feature-sets table
// collected from earlier results, the association run and its two figures.
#include "vistro.hpp"

#include <string>
#include <vector>

namespace vistro {
namespace {

nb::object np() { return global("np"); }
nb::object pd() { return global("pd"); }
nb::object builtins() { return nb::module_::import_("builtins"); }

nb::object read_result(nb::handle path) { return service("read_result_path")(path); }
nb::object dropdown_by_list(nb::handle values) {
    return service("build_default_dropdown_by_list")(values);
}

// frame[frame[column] == value]
nb::object rows_where(nb::handle frame, const char* column, nb::handle value) {
    return frame.attr("__getitem__")(frame[column].attr("__eq__")(value));
}

// ";".join(str(v) for v in values)
nb::str join(nb::handle values, const char* sep = ";") {
    nb::list parts;
    for (nb::handle v : values) parts.append(nb::str(v));
    return nb::str(nb::str(sep).attr("join")(parts));
}

// A result table written beside `table_path` and named after one of its rows; read
// only when it lies inside the output directory (its location comes from the page).
nb::object sibling_table(const Ctx& c, nb::handle table_path, nb::handle base_name, const char* suffix) {
    nb::object folder = service("path_full_split")(table_path)[0];
    nb::object path = folder + global("os").attr("sep") + nb::str(base_name) + nb::str(suffix);
    if (!nb::cast<bool>(service("inside")(path, out_dir(c))) || !path_exists(path))
        return nb::none();
    return read_result(path);  // the host's reader keeps feature ids as text
}

// The rows of a table in order, each as a Series (labels may repeat).
std::vector<nb::object> rows_of(nb::handle frame) {
    std::vector<nb::object> out;
    for (size_t k = 0, n = nb::len(frame); k < n; ++k) out.push_back(frame.attr("iloc")[nb::cast(k)]);
    return out;
}

nb::list row(const char* module, nb::handle source, nb::handle label, nb::handle features) {
    return kids(nb::str(module), source, label, features);
}

// "U" lists the features of "U" followed by those of "S-U"; "D" likewise with "S-D".
void add_differential_sets(nb::handle diff_result_path, nb::list& rows) {
    nb::object summary = read_result(diff_result_path);
    for (const nb::object& entry : rows_of(summary)) {
        nb::object table = read_result(entry["DiffPath"]);
        auto features_of = [&](const char* process) {
            return join(rows_where(table, "Significance", nb::str(process))["Feature"]);
        };
        for (const char* process : {"S-U", "U", "S-D", "D"}) {
            nb::str features = features_of(process);
            if (std::string(process) == "U") features = nb::str(features + nb::str(";") + features_of("S-U"));
            if (std::string(process) == "D") features = nb::str(features + nb::str(";") + features_of("S-D"));
            rows.append(row("Differential", entry["Source"], nb::str(process), features));
        }
    }
}

// The (at most) 100 features of highest scaled PCA contribution, highest first.
void add_decomposition_sets(const Ctx& c, nb::handle decomposition_result_path, nb::list& rows) {
    nb::object summary = read_result(decomposition_result_path);
    for (const nb::object& entry : rows_of(summary)) {
        if (!entry["Method"].equal(nb::str("PCA"))) continue;
        nb::object contribution =
            sibling_table(c, decomposition_result_path, entry["BaseName"], "_PCA_contribution.txt");
        if (contribution.is_none()) continue;
        nb::object scaled = contribution.attr("__getitem__")(
            contribution.attr("index").attr("__eq__")(nb::str("Scaled")));
        if (nb::len(scaled) == 0) continue;
        nb::object values = scaled.attr("iloc")[0].attr("to_numpy")();
        nb::list order = pyglue::to_list(np().attr("argsort")(values).attr("tolist")());
        nb::list top;
        nb::object names = contribution.attr("columns");
        for (size_t k = nb::len(order); k > 0 && nb::len(top) < 100; --k) top.append(names[order[k - 1]]);
        if (nb::len(top) > 0) rows.append(row("Decomposition", entry["Source"], nb::str("TOP100"), join(top)));
    }
}

// One set per cluster, in ascending order of the cluster value.
void add_clustering_sets(const Ctx& c, nb::handle clustering_result_path, nb::list& rows) {
    nb::object summary = read_result(clustering_result_path);
    for (const nb::object& entry : rows_of(summary)) {
        if (!entry["Method"].equal(nb::str("Hierarchical clustering"))) continue;
        nb::object clusters =
            sibling_table(c, clustering_result_path, entry["BaseName"], "_feature_clustering.txt");
        if (clusters.is_none()) continue;
        nb::object column = clusters["FeatureCluster"];
        for (nb::handle value : builtins().attr("sorted")(column.attr("unique")().attr("tolist")())) {
            nb::object members = clusters.attr("index")[column.attr("__eq__")(value)];
            rows.append(row("FeatureClustering", entry["Source"], nb::str("Cluster:({})").attr("format")(value),
                            join(members)));
        }
    }
}

bool have_result(nb::handle path) { return pyglue::is_present(path) && path_exists(path); }

// The features of one set of the feature-sets table; empty when the source or the set is absent.
nb::list features_of_set(nb::handle feature_sets_path, nb::handle source, nb::handle feature_set) {
    nb::list parts = pyglue::to_list(global("re").attr("split")("@", feature_set));
    if (nb::len(parts) != 2)
        pyglue::raise_value("feature set must read Module@Label, got " + pyglue::repr(feature_set));
    nb::object table = read_result(feature_sets_path);
    if (!contains(table["Source"].attr("values"), source)) return nb::list();
    nb::object hit = rows_where(table, "Source", source);
    hit = rows_where(hit, "Module", parts[0]);
    hit = rows_where(hit, "Label", parts[1]);
    if (nb::len(hit) == 0) return nb::list();
    nb::object features = hit["Features"].attr("iloc")[0];
    if (is_missing(features)) return nb::list();  // an empty set reads back as a missing cell
    return pyglue::to_list(global("re").attr("split")(";", nb::str(features)));
}

nb::list chosen_samples(nb::handle info_df, nb::handle data_df, nb::handle sample_phenotype, nb::list groups) {
    nb::object samples;
    if (nb::len(groups) > 0 && groups[0].equal(nb::str("All Samples"))) {
        samples = info_df.attr("index");
    } else {
        if (!contains(info_df.attr("columns"), sample_phenotype))
            pyglue::raise_value("unknown phenotype " + pyglue::repr(sample_phenotype) +
                                ": the sample table has no such column");
        // The group names were offered as text, whatever the column's type.
        nb::object column = info_df[sample_phenotype].attr("astype")(builtins().attr("str"));
        samples = info_df.attr("index")[column.attr("isin")(groups)];
    }
    nb::object known = data_df.attr("index");
    nb::list out;
    for (nb::handle s : samples)
        if (contains(known, s)) out.append(s);
    return out;
}

// Computes and publishes the association run `run` (its summary written last).
void run_association(const Ctx& c, nb::handle run, nb::handle preprocess_path, nb::handle numeric_info_path,
                     nb::handle feature_sets_path, nb::handle source, nb::handle phenotype,
                     nb::handle sample_phenotype, nb::list groups, nb::handle feature_set) {
    nb::object info_path = meta_path(c);
    nb::object data_df = service("read_expr_path")(preprocess_path);
    nb::object numeric_info_df = service("read_info_file")(numeric_info_path);
    nb::object info_df = service("read_info_file")(info_path);
    nb::list samples = chosen_samples(info_df, data_df, sample_phenotype, groups);
    nb::list features;
    if (nb::str(feature_set).equal(nb::str("All Features")))
        features = pyglue::to_list(data_df.attr("columns"));
    else if (have_result(feature_sets_path))
        features = features_of_set(feature_sets_path, source, feature_set);

    nb::object pfc_path = service("update_phenotype_feature_correlation_inter")(
        data_df, samples, features, numeric_info_df, phenotype, run["correlation"]);
    nb::object pfl_path = service("update_phenotype_feature_logistic_inter")(
        data_df, samples, features, numeric_info_df, phenotype, run["logistic"]);

    nb::list summary_row = kids(source, phenotype, sample_phenotype, join(groups), feature_set, pfc_path, pfl_path,
                                nb::int_(nb::len(samples)), join(samples));
    nb::list columns;
    for (const char* name : {"Source", "Phenotype", "SamplePhenotype", "SampleGroups", "FeatureSet",
                             "CorrelationPath", "LogisticPath", "Samples", "SampleIds"})
        columns.append(nb::str(name));
    nb::object frame = pd().attr("DataFrame")(kids(summary_row), "columns"_a = columns);
    nb::object result_path = run["summary"];
    service("save_result_path")(result_path, frame);
    service("mark_published")(result_path, "association", run["inputs"], run["data"]);
}

// The samples behind the figure: those chosen, and the most any feature's test used
// (a sample without a phenotype value or a feature value takes no part).
// A summary or table from before these counts were recorded gives no title.
nb::object association_title(nb::handle summary, nb::handle table) {
    for (const char* column : {"Source", "Phenotype", "Samples"})
        if (!contains(summary.attr("columns"), nb::str(column))) return nb::none();
    if (!contains(table.attr("columns"), nb::str("Pairs"))) return nb::none();
    nb::object row = summary.attr("iloc")[0];
    nb::object most = nb::len(table) ? table["Pairs"].attr("max")() : nb::object(nb::int_(0));
    return nb::str(nb::str("{}: {} ({} samples chosen, at most {} with values)")
                       .attr("format")(row["Source"], row["Phenotype"], row["Samples"], most));
}

}  // namespace

VISTRO_CALLBACK(update_assoc_data_source) { return pyglue::mirror_picker(a[0]); }

VISTRO_CALLBACK(update_assoc_phenotype) {
    nb::handle info_path = a[0];
    nb::list phenotypes;
    if (have_result(info_path)) {
        nb::object info = service("read_info_file")(info_path);
        if (!info.is_none()) phenotypes = pyglue::to_list(info.attr("columns"));
    }
    if (nb::len(phenotypes) == 0) return no_choice();
    return dropdown_by_list(phenotypes);
}

VISTRO_CALLBACK(update_assoc_target_phenotype) { return pyglue::mirror_picker(a[0]); }

VISTRO_CALLBACK(update_assoc_target_groups) {
    nb::handle phenotype = a[0];
    nb::object info_path = meta_path(c);
    if (!path_exists(info_path) || is_missing(phenotype)) return no_choice();
    nb::object info = service("read_info_file")(info_path);
    if (!contains(info.attr("columns"), phenotype)) return no_choice();
    nb::object re = global("re");
    const bool numerical = !re.attr("search")("Numerical", phenotype).is_none();
    // A phenotype without either marker is categorical too (the sample table's own
    // rule), so the default "Pathological_Status" offers its groups.
    if (!re.attr("search")("Categorical", phenotype).is_none() || !numerical) {
        nb::list groups;
        // Missing cells are no group: a sample without a value is simply left out.
        for (nb::handle v : info[phenotype].attr("dropna")().attr("unique")()) groups.append(nb::str(v));
        groups.sort();
        nb::object picked = dropdown_by_list(groups);
        if (contains(groups, nb::str("Tumor"))) return nb::make_tuple(picked[0], nb::str("Tumor"));
        return picked;
    }
    return dropdown_by_list(kids(nb::str("All Samples")));
}

VISTRO_CALLBACK(update_assoc_collect_results) {
    nb::handle diff_path = a[0], decomposition_path = a[1], clustering_path = a[2];
    if (!path_exists(out_dir(c))) return nb::make_tuple(nb::str(""), nb::str(""));
    c.my_path.attr("get_feature_association_dir")();
    // The sets of these three results have a file of their own, made once: a reload
    // or another tab with other results never overwrites them.
    nb::object feature_sets_path =
        service("feature_sets_path")(c.my_path, diff_path, decomposition_path, clustering_path);
    if (path_exists(feature_sets_path)) return nb::make_tuple(feature_sets_path, nb::str(""));
    nb::list rows;
    if (have_result(diff_path)) add_differential_sets(diff_path, rows);
    if (have_result(decomposition_path)) add_decomposition_sets(c, decomposition_path, rows);
    if (have_result(clustering_path)) add_clustering_sets(c, clustering_path, rows);
    nb::object frame = pd().attr("DataFrame")(rows, "columns"_a = kids(nb::str("Module"), nb::str("Source"),
                                                                       nb::str("Label"), nb::str("Features")));
    service("save_result_path")(feature_sets_path, frame);
    return nb::make_tuple(feature_sets_path, nb::str(""));
}

VISTRO_CALLBACK(update_assoc_features) {
    nb::handle source = a[0], feature_sets_path = a[1];
    nb::object all = dropdown_by_list(kids(nb::str("All Features")));
    nb::object sets = service("get_feature_sets")(feature_sets_path, source);
    nb::list options = pyglue::to_list(all[0]);
    nb::object extra = sets[0];
    for (nb::handle o : extra) options.append(o);
    return nb::make_tuple(options, all[1]);
}

VISTRO_CALLBACK(update_phenotype_feature_correlation_inter) {
    nb::handle feature_sets_path = a[1], numeric_info_path = a[2];
    nb::handle source = a[4], phenotype = a[5], sample_phenotype = a[6], sample_groups = a[7],
               feature_set = a[8];
    // Until every choice is made (as on page load) there is nothing to run.
    for (nb::handle v : {source, phenotype, sample_phenotype, sample_groups, feature_set})
        if (pyglue::is_unset(v))
            return nb::make_tuple(nb::none(), nb::str(""));
    nb::object preprocess_path = c.my_path.attr("get_preprocess_path")(source);
    if (!path_exists(preprocess_path) || !have_result(numeric_info_path))
        return nb::make_tuple(nb::none(), nb::str(""));

    nb::list groups = nb::isinstance<nb::str>(sample_groups) ? kids(sample_groups) : pyglue::to_list(sample_groups);
    // The run's files live in a folder keyed by these choices and the data's fingerprint;
    // a published run (its summary written last) is reused as it is.
    nb::object run = service("association_paths")(c.my_path, source, phenotype, sample_phenotype, groups,
                                                  feature_set, feature_sets_path);
    nb::object result_path = run["summary"];
    if (path_exists(result_path)) return nb::make_tuple(result_path, nb::str(""));

    // One computation of a run at a time: a second request for it (a click while the
    // page-load run is still going) waits for the first and reuses its run.
    nb::object lock = run["lock"];
    lock.attr("acquire")();
    try {
        if (!path_exists(result_path))
            run_association(c, run, preprocess_path, numeric_info_path, feature_sets_path, source, phenotype,
                            sample_phenotype, groups, feature_set);
    } catch (...) {
        lock.attr("release")();
        throw;
    }
    lock.attr("release")();
    return nb::make_tuple(result_path, nb::str(""));
}

VISTRO_CALLBACK(update_association_figure_1) {
    nb::handle result_path = a[1];
    nb::object fig = placeholder();
    nb::tuple defaults = nb::make_tuple(fig, nb::str(""), nb::list(), nb::str(""));
    if (!path_exists(result_path)) return defaults;
    nb::object summary = read_result(result_path);
    nb::object correlation_path = summary["CorrelationPath"].attr("iloc")[0];
    if (!path_exists(correlation_path)) return defaults;
    nb::object table = read_result(correlation_path);
    nb::object x = table["Correlation"].attr("to_numpy")();
    nb::object y = np().attr("log10")(table["P-value"].attr("to_numpy")()).attr("__neg__")();
    nb::list features = pyglue::to_list(table["Feature"].attr("tolist")());
    fig = global("scatter_plot")(x, y, "x_name"_a = "Correlation", "y_name"_a = "-Log10(P-value)",
                                 "hover_text"_a = features, "figure_height"_a = figure_height());
    fig = service("prefer_webgl")(fig);  // a point per feature: WebGL when there are thousands
    nb::object title = association_title(summary, table);
    if (!title.is_none()) fig.attr("update_layout")("title"_a = title);
    features.sort();
    nb::object picked = dropdown_by_list(features);
    return nb::make_tuple(fig, nb::str(""), picked[0], picked[1]);
}

VISTRO_CALLBACK(update_assoc_roc) {
    nb::handle result_path = a[1], feature = a[2];
    nb::object height = figure_height() - nb::int_(80);
    nb::object fig = placeholder(height);
    if (!path_exists(result_path)) return nb::make_tuple(fig, nb::str(""));
    nb::object regression_path = read_result(result_path)["LogisticPath"].attr("iloc")[0];
    if (have_result(regression_path)) {
        // One feature's curve, read on its own (the table holds every feature's as text).
        nb::object curve = service("roc_curve_of")(regression_path, feature);
        if (!curve.is_none()) {
            nb::list parts = pyglue::to_list(curve);
            if (nb::len(parts) != 3)
                pyglue::raise_value("roc_curve_of returned " + pyglue::repr(curve) + "; expected (fpr, tpr, auc)");
            fig = global("roc_plot")("fpr"_a = parts[0], "tpr"_a = parts[1], "auc"_a = parts[2],
                                     "figure_height"_a = height);
        }
    }
    return nb::make_tuple(fig, nb::str(""));
}

}  // namespace vistro
