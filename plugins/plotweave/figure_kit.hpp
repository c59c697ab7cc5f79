// Small pieces the volcano, distribution and ROC figures share: literal
// mappings, the axis template, and str.format.
#pragma once

#include "plotweave.hpp"

#include <utility>

namespace plotweave::kit {

inline void fill(nb::dict&) {}

template <typename V, typename... Rest>
void fill(nb::dict& d, const char* key, V&& value, Rest&&... rest) {
    d[key] = nb::cast(std::forward<V>(value));
    fill(d, std::forward<Rest>(rest)...);
}

// dict_of("color", "grey", "size", 2) == {"color": "grey", "size": 2}
template <typename... A>
nb::dict dict_of(A&&... items) {
    nb::dict d;
    fill(d, std::forward<A>(items)...);
    return d;
}

// Black axis lines, optionally mirrored on the opposite side.
inline nb::dict axis_lines(bool mirror = false) {
    nb::dict d = dict_of("linecolor", "black", "showline", true);
    if (mirror) d["mirror"] = true;
    return d;
}

// Python's str.format, so numbers print exactly as Python prints them.
template <typename... A>
nb::str format(const char* pattern, A&&... args) {
    return nb::str(nb::str(pattern).attr("format")(std::forward<A>(args)...));
}

}  // namespace plotweave::kit
