// Kaplan-Meier curves of a survival table and the pairwise log-rank p-values.
#include "survival.hpp"

namespace survival {
namespace {

// Each group's duration and event arrays, in the order the groups were first met;
// a group met twice keeps its later row. `each` sees every row that is read.
struct GroupArrays {
    nb::dict durations, events;
};

template <class Each>
GroupArrays read_groups(nb::handle data, Each&& each) {
    require_frame(data);
    GroupArrays out;
    if (nb::len(data) == 0) return out;
    Column group(data, nb::str("group"));
    if (!any_present(group)) return out;
    Column duration(data, nb::str("duration")), event(data, nb::str("event"));
    nb::handle float_type(reinterpret_cast<PyObject*>(&PyFloat_Type)),
        bool_type(reinterpret_cast<PyObject*>(&PyBool_Type));
    nb::str sep(",");
    for (size_t i = 0; i < group.size(); ++i) {
        if (group.missing(i)) continue;
        nb::handle g = group.item(i);
        nb::object d = str2arr(duration.item(i), sep, float_type);
        nb::object e = str2arr(event.item(i), sep, bool_type);
        out.durations[g] = d;
        out.events[g] = e;
        each(g, d, e);
    }
    return out;
}

struct PValues {
    nb::dict map;
    nb::object text;
};

// Log-rank p-value of every pair of groups, keyed "first,second".
PValues pairwise_logrank(const GroupArrays& a) {
    PValues out;
    nb::object test = global("logrank_test");
    nb::str key_format("{0},{1}"), line_format("{0}:{1:.2e}");
    for (nb::handle pair : global("combinations")(pyglue::to_list(a.durations.keys()), 2)) {
        nb::object i = pair[0], j = pair[1];
        nb::object res = test(a.durations[i], a.durations[j], "event_observed_A"_a = a.events[i],
                              "event_observed_B"_a = a.events[j]);
        out.map[key_format.attr("format")(i, j)] = res.attr("p_value");
    }
    nb::list lines;
    for (auto [key, p] : out.map) lines.append(line_format.attr("format")(key, p));
    out.text = nb::str("\n").attr("join")(lines);
    return out;
}

nb::object kwarg(const nb::kwargs& kwargs, const char* name, nb::handle fallback) {
    return kwargs.contains(name) ? nb::object(kwargs[name]) : nb::borrow(fallback);
}

nb::dict kmf_plot(nb::handle data, const nb::kwargs& kwargs) {
    nb::object pair = global("plt").attr("subplots")(1);
    nb::object fig = pair[0], ax = pair[1];
    nb::object kmf = global("KaplanMeierFitter")();
    nb::object ci_show = kwarg(kwargs, "ci_show", nb::bool_(false));
    PValues p;
    try {
        GroupArrays arrays = read_groups(data, [&](nb::handle g, nb::handle d, nb::handle e) {
            kmf.attr("fit")(d, e, "label"_a = g);
            // plot_survival_function is what the deprecated plot() forwards to
            kmf.attr("plot_survival_function")("ax"_a = ax, "ci_show"_a = ci_show);
        });
        p = pairwise_logrank(arrays);
    } catch (...) {
        global("plt").attr("close")(fig);  // a failed figure is nobody's to close later
        throw;
    }
    ax.attr("add_artist")(global("AnchoredText")(p.text, "loc"_a = "lower right", "frameon"_a = false));
    // Labels this figure's axes, whichever figure pyplot holds as current.
    nb::object xlabel = kwarg(kwargs, "xlabel", nb::none());
    if (nb::cast<bool>(nb::bool_(xlabel))) ax.attr("set_xlabel")(xlabel);
    nb::dict out;
    out["fig"] = fig;
    out["ax"] = ax;
    out["p_values"] = p.map;
    out["p_values_str"] = p.text;
    return out;
}

nb::dict cal_kmf_pvals(nb::handle data, const nb::kwargs&) {
    PValues p = pairwise_logrank(read_groups(data, [](nb::handle, nb::handle, nb::handle) {}));
    nb::dict out;
    out["p_values"] = p.map;
    out["p_values_str"] = p.text;
    return out;
}

}  // namespace

void register_kaplan_meier(nb::module_& m) {
    m.def("kmf_plot", &kmf_plot, "data"_a.none(), "kwargs"_a,
          nb::sig("def kmf_plot(data: pandas.DataFrame, **kwargs: object) -> dict[str, object]"),
          "Kaplan-Meier curve of each group of a survival table on one matplotlib axes, annotated with the "
          "pairwise log-rank p-values. Keywords: ci_show (False), xlabel.");
    m.def("cal_kmf_pvals", &cal_kmf_pvals, "data"_a.none(), "kwargs"_a,
          nb::sig("def cal_kmf_pvals(data: pandas.DataFrame, **kwargs: object) -> dict[str, object]"),
          "The pairwise log-rank p-values of a survival table's groups, without drawing.");
}

}  // namespace survival
