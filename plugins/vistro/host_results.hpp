// Checks on what host services hand back to the callbacks.
#pragma once

#include "vistro.hpp"

namespace vistro {

// `a, b = result` for a host result: exactly two items, or ValueError naming the service.
inline std::pair<nb::object, nb::object> pair_of(nb::handle result, const char* service_name) {
    nb::list items = pyglue::to_list(result);  // not iterable: TypeError, as unpacking gives
    size_t n = nb::len(items);
    if (n != 2)
        pyglue::raise_value(std::string(service_name) + " returned " + std::to_string(n) +
                            " items; expected exactly 2: " + pyglue::repr(result));
    return {items[0], items[1]};
}

// Python's `left >= right`, with its TypeError for values that do not compare.
inline bool at_least(nb::handle left, long right) {
    nb::object r = nb::int_(right);
    int ge = PyObject_RichCompareBool(left.ptr(), r.ptr(), Py_GE);
    if (ge < 0) throw nb::python_error();
    return ge == 1;
}

}  // namespace vistro
