// The enrichment card: its pickers and the over-representation analysis of one
// feature set against a gene-set library, drawn as the ten most significant terms.
#include "vistro.hpp"

#include <string>

namespace vistro {
namespace {

// The folder of the user's own gene-set libraries.
nb::object user_gene_set_dir(const Ctx& c) {
    return out_dir(c) + global("os").attr("sep") + nb::str("user/database/enrichment");
}

// User libraries are the regular files whose names end in ".gmt"; any other name
// would reach the enrichment service as a library name.
bool is_gmt_name(nb::handle name) {
    return nb::isinstance<nb::str>(name) && nb::cast<bool>(name.attr("endswith")(".gmt"));
}

// The library to hand to the enrichment call and whether it lives on the remote
// service: the full path of a file in the user folder, the term -> genes dict of a
// shipped library, or one of the listed remote names. Anything else is refused.
struct Library {
    nb::object gene_sets;
    bool remote = false;
};

Library chosen_gene_sets(const Ctx& c, nb::handle gene_sets) {
    if (is_gmt_name(gene_sets)) {
        nb::object path = service("fix_path")(gene_sets, "parent_dir"_a = user_gene_set_dir(c));
        if (!nb::cast<bool>(global("os").attr("path").attr("isfile")(path)))
            pyglue::raise_value("no gene-set file " + pyglue::repr(gene_sets) + " in the user gene-set folder");
        return {path, false};
    }
    if (contains(service("get_offline_libraries")(), gene_sets))
        return {service("load_offline_library")(gene_sets), false};
    if (!contains(service("get_enrich_libraries")(), gene_sets))
        pyglue::raise_value("unknown gene-set library " + pyglue::repr(gene_sets));
    return {nb::borrow(gene_sets), true};
}

// The placeholder figure titled with a message for the user; a line break in the
// text starts a new title line.
nb::object message_figure(nb::handle text) {
    nb::object fig = placeholder(figure_height());
    nb::dict title, font;
    title["text"] = nb::str(text).attr("replace")("\n", "<br>");
    font["size"] = 14;
    title["font"] = font;
    fig.attr("update_layout")("title"_a = title, "margin"_a = pyglue::margin(80));
    return fig;
}

// gseapy.enrichr under the process-wide lock, released on every way out.
nb::object enrichr_locked(nb::list genes, size_t background, nb::handle gene_sets, nb::handle outdir) {
    nb::object lock = global("tlock");
    if (!nb::cast<bool>(lock.attr("acquire")())) return nb::none();
    try {
        // gseapy takes the background count only as a Python int. Its own bar plot
        // raises when no term passes its cutoff, so the card draws the terms itself.
        nb::object count = nb::cast(background);
        nb::object enr = global("gseapy").attr("enrichr")("gene_list"_a = genes, "background"_a = count,
                                                          "gene_sets"_a = gene_sets, "outdir"_a = outdir,
                                                          "no_plot"_a = true);
        lock.attr("release")();
        return enr;
    } catch (...) {
        lock.attr("release")();
        throw;
    }
}

// The ten most significant terms as horizontal bars, the most significant last.
nb::object top_terms_figure(nb::object table) {
    nb::object np = global("np");
    nb::list scores;
    for (nb::handle p : table["Adjusted P-value"]) scores.append(np.attr("log10")(p).attr("__neg__")());
    table["-Log10(Adj.P)"] = scores;
    table = table.attr("sort_values")("-Log10(Adj.P)", "ascending"_a = false).attr("head")(10);
    nb::object fig = global("px").attr("bar")(table.attr("sort_values")("-Log10(Adj.P)", "ascending"_a = true),
                                               "x"_a = "-Log10(Adj.P)", "y"_a = "Term");
    nb::dict axis;
    axis["linecolor"] = "black";
    axis["showline"] = true;
    fig.attr("update_layout")("clickmode"_a = "event+select", "margin"_a = pyglue::margin(),
                              "height"_a = figure_height(), "xaxis"_a = axis, "yaxis"_a = axis,
                              "paper_bgcolor"_a = pyglue::kResultBackground,
                              "plot_bgcolor"_a = pyglue::kResultBackground);
    return fig;
}

}  // namespace

VISTRO_CALLBACK(update_enrich_data_source) { return pyglue::mirror_picker(a[0]); }

VISTRO_CALLBACK(update_enrich_feature_sets) { return service("get_feature_sets")(a[0], a[2]); }

VISTRO_CALLBACK(update_enrich_gene_sets) {
    nb::object libs = service("get_enrich_libraries")();
    nb::object picked = service("build_default_dropdown_by_list")(libs);
    nb::list options = pyglue::to_list(picked[0]);
    // The listed libraries first, then the user's files, then the shipped libraries.
    nb::list offline = pyglue::to_list(service("get_offline_libraries")());
    nb::object user_dir = user_gene_set_dir(c);
    nb::object first_user_file = nb::none();
    if (path_exists(user_dir)) {
        nb::object os_path = global("os").attr("path");
        for (nb::handle name : global("os").attr("listdir")(user_dir)) {
            if (!is_gmt_name(name) || !nb::cast<bool>(os_path.attr("isfile")(os_path.attr("join")(user_dir, name))))
                continue;
            options.append(pyglue::option(name));
            if (first_user_file.is_none()) first_user_file = nb::borrow(name);
        }
    }
    options.attr("extend")(pyglue::options_from(offline));
    // A local library is preselected, never a remote one: the analysis runs as soon as
    // a feature set exists (on page load, after the differential run), and a remote
    // library would send the user's genes away unasked and, offline, fail on every load.
    nb::object value = nb::none();
    if (!first_user_file.is_none())
        value = first_user_file;
    else if (nb::len(offline) > 0)
        value = offline[0];
    return nb::make_tuple(options, value);
}

VISTRO_CALLBACK(update_enrich_ora_fig) {
    nb::handle feature_sets_path = a[0], source = a[1], feature_set = a[2], gene_sets = a[3];
    nb::tuple defaults =
        nb::make_tuple(placeholder(figure_height()), nb::str(""));
    if (!path_exists(feature_sets_path) || is_blank(source) || is_blank(gene_sets)) return defaults;
    nb::object preprocess_path = c.my_path.attr("get_preprocess_path")(source);
    if (!path_exists(preprocess_path)) return defaults;

    nb::object data_df = service("read_expr_path")(preprocess_path);
    nb::object module_dir = c.my_path.attr("get_enrichment_dir")();
    nb::list gene_list = pyglue::to_list(service("get_features_from_sets")(feature_sets_path, source, feature_set));
    nb::list background = pyglue::to_list(data_df.attr("columns"));
    if (nb::str(source).equal(nb::str("Glycoform"))) {
        gene_list = pyglue::to_list(service("extract_unique_genes")(gene_list));
        background = pyglue::to_list(service("extract_unique_genes")(background));
    }
    Library library = chosen_gene_sets(c, gene_sets);
    if (nb::len(gene_list) == 0) return defaults;

    // A remote library is tried only when its service answers within a few seconds,
    // checked before the lock so an unreachable service holds up no other call.
    auto unreachable = [&] {
        return nb::make_tuple(message_figure(service("remote_unreachable_message")(gene_sets)), nb::str(""));
    };
    if (library.remote && !nb::cast<bool>(service("enrichr_reachable")())) return unreachable();
    nb::object enr;
    try {
        enr = enrichr_locked(gene_list, nb::len(background), library.gene_sets, module_dir);
    } catch (nb::python_error& e) {
        if (library.remote && e.matches(service("REMOTE_ERRORS").ptr())) return unreachable();
        throw;
    }
    // Nothing enriched: gseapy gives no result table at all.
    if (enr.is_none()) return defaults;
    nb::object terms = enr.attr("res2d");
    if (terms.is_none() || nb::len(terms) == 0) return defaults;
    return nb::make_tuple(top_terms_figure(terms), nb::str(""));
}

}  // namespace vistro
