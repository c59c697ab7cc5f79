// The survival table: per-group durations (months), event flags and sample ids,
// kept as comma-joined text so that a table cell, a text file or a page store
// carries them unchanged; and the text helpers that write and read those lists.
#include "survival.hpp"

#include <charconv>
#include <cmath>
#include <string>
#include <vector>

namespace survival {
namespace {

const char* const kStatusColumn = "Vital Status (at time of last contact)";

// "{0:.4f}" of a finite double: the same correctly rounded digits as Python's float formatting.
void append_fixed4(std::string& out, double v) {
    char buf[400];  // DBL_MAX has 309 integer digits
    auto res = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed, 4);
    out.append(buf, res.ptr);
}

nb::object num_text(nb::handle x) {
    if (PyFloat_CheckExact(x.ptr())) {
        double v = PyFloat_AS_DOUBLE(x.ptr());
        if (std::isfinite(v)) {
            std::string s;
            append_fixed4(s, v);
            return nb::str(s.c_str(), s.size());
        }
    }
    // ints, numpy scalars, nan and the rest format as Python formats them
    static nb::handle four_places = nb::str(".4f").release();
    PyObject* text = PyObject_Format(x.ptr(), four_places.ptr());
    if (!text) throw nb::python_error();  // e.g. a string has no ".4f" form
    return nb::steal(text);
}

bool equals(nb::handle a, nb::handle b) {
    int r = PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_EQ);
    if (r < 0) throw nb::python_error();
    return r == 1;
}

nb::object list2str(nb::handle mylist, nb::handle mode, nb::handle sep) {
    bool num = equals(mode, nb::str("num"));
    bool flag = !num && equals(mode, nb::str("bool"));
    if (!num && !flag) return sep.attr("join")(mylist);
    nb::list pieces;
    for (nb::handle x : mylist) pieces.append(num ? num_text(x) : nb::str(pyglue::truthy(x) ? "True" : "False"));
    return sep.attr("join")(pieces);
}

// bool, numpy.bool_ and any spelling numpy reads as a boolean dtype: numpy
// itself would call every non-empty string True.
bool is_bool_dtype(nb::handle dtype) {
    if (dtype.is(reinterpret_cast<PyObject*>(&PyBool_Type))) return true;
    if (dtype.is_none()) return false;
    try {
        return nb::cast<std::string>(global("np").attr("dtype")(dtype).attr("kind")) == "b";
    } catch (nb::python_error&) {
        return false;  // not a dtype: numpy's own error follows in np.array
    }
}

struct Group {
    nb::object key;
    std::vector<double> months;
    std::vector<char> events;
    nb::list samples;
    std::string duration_text, event_text;
};

// Groups in the order first met; every missing group value (None, NaN, NA) is one
// group, keyed by the first such value.
class Groups {
public:
    Group& at(nb::handle key, bool missing) {
        if (missing) {
            if (missing_slot_ < 0) missing_slot_ = add(key);
            return groups_[static_cast<size_t>(missing_slot_)];
        }
        PyObject* found = PyDict_GetItemWithError(slots_.ptr(), key.ptr());
        if (found) return groups_[static_cast<size_t>(PyLong_AsSsize_t(found))];
        if (PyErr_Occurred()) throw nb::python_error();
        Py_ssize_t slot = add(key);
        slots_[key] = slot;
        return groups_[static_cast<size_t>(slot)];
    }
    std::vector<Group>& all() { return groups_; }

private:
    Py_ssize_t add(nb::handle key) {
        groups_.push_back(Group{nb::borrow(key), {}, {}, nb::list(), {}, {}});
        return static_cast<Py_ssize_t>(groups_.size()) - 1;
    }
    nb::dict slots_;
    std::vector<Group> groups_;
    Py_ssize_t missing_slot_ = -1;
};

// The row loop: status decides which day column counts, and whether the sample
// had the event. Columns are read only when some row needs them, as a row-wise
// reading would.
void collect(nb::handle data, nb::handle status_col, nb::handle group_col, nb::handle id_col,
             nb::handle d1_col, nb::handle d2_col, nb::handle status1, nb::handle status2, Groups& groups) {
    if (nb::len(data) == 0) return;
    Column status(data, status_col);
    if (!any_present(status)) return;
    Column d1(data, d1_col, true), d2(data, d2_col, true);
    Column ids(data, id_col), group(data, group_col);

    for (size_t i = 0; i < status.size(); ++i) {
        if (status.missing(i)) continue;
        nb::handle s = status.item(i);
        bool event;
        if (equals(s, status1)) event = false;
        else if (equals(s, status2)) event = true;
        else continue;
        const Column& days = event ? d2 : d1;
        double months;
        if (days.missing(i) || !days.months(i, months)) continue;
        Group& g = groups.at(group.item(i), group.missing(i));
        g.months.push_back(months);
        g.events.push_back(event);
        g.samples.append(ids.item(i));
    }
}

void format_lists(std::vector<Group>& groups) {
    nb::gil_scoped_release nogil;
    for (Group& g : groups) {
        g.duration_text.reserve(g.months.size() * 8);
        g.event_text.reserve(g.events.size() * 6);
        for (size_t k = 0; k < g.months.size(); ++k) {
            if (k) {
                g.duration_text += ',';
                g.event_text += ',';
            }
            append_fixed4(g.duration_text, g.months[k]);
            g.event_text += g.events[k] ? "True" : "False";
        }
    }
}

nb::object samples_text(const Group& g) {
    for (nb::handle id : g.samples)
        if (!nb::isinstance<nb::str>(id))
            pyglue::raise_type("sample id " + pyglue::repr(id) + " of group " + pyglue::repr(g.key) +
                               " is not a string");
    return nb::str(",").attr("join")(g.samples);
}

nb::object get_durations_and_events(nb::handle data, nb::handle status_col, nb::handle group_col,
                                    nb::handle id_col, nb::handle d1_col, nb::handle d2_col,
                                    nb::handle status1, nb::handle status2) {
    require_frame(data);
    nb::object status_name = status_col.is_none() ? nb::object(nb::str(kStatusColumn)) : nb::borrow(status_col);
    Groups groups;
    collect(data, status_name, group_col, id_col, d1_col, d2_col, status1, status2, groups);
    format_lists(groups.all());
    nb::list rows;
    for (const Group& g : groups.all())
        rows.append(pyglue::kids(g.key, nb::str(g.duration_text.c_str(), g.duration_text.size()),
                                 nb::str(g.event_text.c_str(), g.event_text.size()), samples_text(g)));
    return global("pd").attr("DataFrame")(rows, "columns"_a = pyglue::kids("group", "duration", "event", "samples"));
}

void info() { nb::module_::import_("builtins").attr("print")("Survival analysis using lifelines pacakge"); }

}  // namespace

nb::object str2arr(nb::handle mystr, nb::handle sep, nb::handle dtype) {
    nb::object pieces = global("re").attr("split")(sep, mystr);
    if (is_bool_dtype(dtype)) {
        nb::list flags;
        nb::str yes("True");
        for (nb::handle p : pieces) flags.append(nb::bool_(equals(p, yes)));
        pieces = flags;
    }
    return global("np").attr("array")(pieces, "dtype"_a = dtype);
}

void register_table(nb::module_& m) {
    m.def("info", &info, "Prints which library does the survival analysis.");
    m.def("list2str", &list2str, "mylist"_a.none(), "mode"_a.none() = nb::none(), "sep"_a.none() = ",",
          nb::sig("def list2str(mylist: collections.abc.Iterable[object], mode: str | None = None, "
                  "sep: str = ',') -> str"),
          "Joins a list with `sep`: mode \"num\" formats numbers with four decimals, mode \"bool\" "
          "writes True/False, any other mode joins the strings as they are.");
    m.def("str2arr", &str2arr, "mystr"_a.none(), "sep"_a.none() = ",",
          "dtype"_a.none() = nb::handle(reinterpret_cast<PyObject*>(&PyFloat_Type)),
          nb::sig("def str2arr(mystr: str, sep: str = ',', dtype: numpy.typing.DTypeLike = float) "
                  "-> numpy.ndarray"),
          "Splits text on the pattern `sep` into a numpy array of `dtype` (for bool: True exactly where the "
          "piece is \"True\").");
    m.def("get_durations_and_events", &get_durations_and_events, "data"_a.none(), "status_col"_a.none(),
          "group_col"_a.none(), "id_col"_a.none() = "Sample_ID",
          "d1_col"_a.none() = "Days between date collection and last contact",
          "d2_col"_a.none() = "Days between date collection and death", "status1"_a.none() = "Living",
          "status2"_a.none() = "Deceased",
          nb::sig("def get_durations_and_events(data: pandas.DataFrame, status_col: str, group_col: str, "
                  "id_col: str = 'Sample_ID', d1_col: str = 'Days between date collection and last contact', "
                  "d2_col: str = 'Days between date collection and death', status1: str = 'Living', "
                  "status2: str = 'Deceased') -> pandas.DataFrame"),
          "Per-group survival table (group, duration in months, event, samples; comma-joined) of a clinical "
          "table, groups in the order first met.");
}

}  // namespace survival
