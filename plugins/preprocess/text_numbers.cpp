// The numbers of a delimited text matrix, read in native code: the loader's
// fast path for plain (unquoted) files, where one cell in a million is text.
// Anything that is not a plain decimal number or a missing-value token makes
// the whole read give up, and the loader's strict path (which names the cell)
// takes over; so this path only ever has to be right, never to explain.
#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/string.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <string_view>
#include <vector>

#include "arrays.hpp"
#include "kernels.hpp"

namespace nb = nanobind;

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// The loader's missing-value tokens (besides the empty cell), in capitals.
constexpr std::string_view kMissing[] = {"NA", "NAN", "N/A", "#N/A", "NULL", "-"};

bool is_missing(std::string_view s) {
    if (s.empty()) return true;
    for (std::string_view t : kMissing) {
        if (t.size() != s.size()) continue;
        bool same = true;
        for (std::size_t i = 0; i < s.size() && same; ++i)
            same = std::toupper(static_cast<unsigned char>(s[i])) == t[i];
        if (same) return true;
    }
    return false;
}

bool digit(char c) { return c >= '0' && c <= '9'; }

// [+-]? (d+ (. d*)? | . d+) ([eE] [+-]? d+)?, parsed correctly rounded; false
// for anything else, and for values beyond the range of a double.
bool number(std::string_view s, double* out) {
    std::size_t i = 0, n = s.size();
    bool plus = i < n && s[i] == '+';
    if (i < n && (s[i] == '+' || s[i] == '-')) ++i;
    std::size_t whole = 0, frac = 0;
    while (i < n && digit(s[i])) ++i, ++whole;
    if (i < n && s[i] == '.') {
        ++i;
        while (i < n && digit(s[i])) ++i, ++frac;
    }
    if (whole + frac == 0) return false;
    if (i < n && (s[i] == 'e' || s[i] == 'E')) {
        ++i;
        if (i < n && (s[i] == '+' || s[i] == '-')) ++i;
        std::size_t exp = 0;
        while (i < n && digit(s[i])) ++i, ++exp;
        if (!exp) return false;
    }
    if (i != n) return false;
    const char* first = s.data() + (plus ? 1 : 0);
    auto [end, ec] = std::from_chars(first, s.data() + n, *out, std::chars_format::general);
    return ec == std::errc() && end == s.data() + n;
}

std::string_view trimmed(const char* a, const char* b, char sep) {
    auto blank = [sep](char c) { return c == ' ' || (c == '\t' && sep != '\t'); };
    while (a < b && blank(*a)) ++a;
    while (b > a && blank(b[-1])) --b;
    return {a, std::size_t(b - a)};
}

// One data line: its id field skipped, `cols` cells into out[0..cols). A cell that
// is not a number fails the line, or, given `text`, marks its column there (as NaN).
bool parse_line(const char* a, const char* b, char sep, std::size_t cols, double* out, char* text = nullptr) {
    if (b > a && b[-1] == '\r') --b;
    const char* p = static_cast<const char*>(std::memchr(a, sep, std::size_t(b - a)));
    if (!p) return cols == 0;
    for (std::size_t c = 0; c < cols; ++c) {
        const char* start = p + 1;
        if (start > b) return false;
        const char* stop = static_cast<const char*>(std::memchr(start, sep, std::size_t(b - start)));
        if (!stop) stop = b;
        std::string_view cell = trimmed(start, stop, sep);
        if (is_missing(cell)) {
            out[c] = kNaN;
        } else if (!number(cell, &out[c])) {
            if (!text) return false;
            text[c] = 1;
            out[c] = kNaN;
        }
        p = stop;
    }
    return p == b;  // no field left over
}

// A line the loader skips: empty, or only separators, spaces and tabs.
bool blank_line(const char* a, const char* b, char sep) {
    for (; a < b; ++a)
        if (*a != sep && *a != ' ' && *a != '\t' && *a != '\r') return false;
    return true;
}

// The [begin, end) byte ranges of the first `rows` non-blank lines after the
// first `skip` lines; fewer when the text ends first.
std::vector<std::pair<const char*, const char*>> data_lines(const char* p, const char* end, std::size_t skip,
                                                            std::size_t rows, char sep) {
    std::vector<std::pair<const char*, const char*>> lines;
    lines.reserve(rows);
    for (std::size_t n = 0; p < end && lines.size() < rows; ++n) {
        const char* nl = static_cast<const char*>(std::memchr(p, '\n', std::size_t(end - p)));
        const char* stop = nl ? nl : end;
        if (n >= skip && !blank_line(p, stop, sep)) lines.emplace_back(p, stop);
        p = nl ? nl + 1 : end;
    }
    return lines;
}

using Matrix = nb::ndarray<nb::numpy, double, nb::ndim<2>>;

// The values of a rows x cols matrix (rows: the data lines after line `skip`
// of `data`, each after its id field) into a new array; false when a line has
// another number of fields, or a cell is neither a plain number nor a
// missing-value token and `marks` is null. Given `marks` (one per column), such
// a cell's column is marked there instead (its cells NaN).
bool parse_matrix(const nb::bytes& data, std::size_t skip, std::size_t rows, std::size_t cols, const std::string& sep,
                  Matrix& out, bool* marks) {
    if (sep.size() != 1) throw nb::value_error("sep must be one character");
    const char* text = data.c_str();
    auto* values = new double[std::max<std::size_t>(rows * cols, 1)];
    nb::capsule owner(values, [](void* p) noexcept { delete[] static_cast<double*>(p); });
    std::atomic<bool> parsed{true};
    {
        nb::gil_scoped_release release;
        auto lines = data_lines(text, text + data.size(), skip, rows, sep[0]);
        if (lines.size() != rows) parsed = false;
        const unsigned nt = std::max(1u, kern::threads_for(rows * cols));
        // Marks per thread, merged after: no sharing.
        std::vector<std::vector<char>> seen(marks ? nt : 0, std::vector<char>(cols, 0));
        kern::parallel_for(lines.size(), nt, [&](std::size_t begin, std::size_t end, unsigned part) {
            char* mine = marks ? seen[part].data() : nullptr;
            for (std::size_t r = begin; r < end && parsed; ++r)
                if (!parse_line(lines[r].first, lines[r].second, sep[0], cols, values + r * cols, mine)) parsed = false;
        });
        for (std::size_t j = 0; marks && j < cols; ++j) {
            marks[j] = false;
            for (const auto& s : seen) marks[j] = marks[j] || s[j];
        }
    }
    std::size_t shape[2] = {rows, cols};
    out = Matrix(values, 2, shape, owner);
    return parsed;
}

// The matrix, or None when a cell is neither a plain number nor a missing-value
// token, or a line has another number of fields.
nb::object parse_numeric_rows(nb::bytes data, std::size_t skip, std::size_t rows, std::size_t cols,
                              const std::string& sep) {
    Matrix values;
    return parse_matrix(data, skip, rows, cols, sep, values, nullptr) ? nb::cast(values) : nb::none();
}

// (values, text) with text[j] true where a cell of column j is neither a number
// nor a missing-value token (its cells are then NaN); None when a line has
// another number of fields.
nb::object parse_numeric_columns(nb::bytes data, std::size_t skip, std::size_t rows, std::size_t cols,
                                 const std::string& sep) {
    Matrix values;
    bool* marks;
    arrays::Column<bool> marked = arrays::owned(cols, marks);
    if (!parse_matrix(data, skip, rows, cols, sep, values, marks)) return nb::none();
    return nb::make_tuple(values, marked);
}

}  // namespace

void bind_text_numbers(nb::module_& m) {
    m.def("parse_numeric_rows", &parse_numeric_rows, nb::arg("data"), nb::arg("skip"), nb::arg("rows"),
          nb::arg("cols"), nb::arg("sep"),
          nb::sig("def parse_numeric_rows(data: bytes, skip: int, rows: int, cols: int, sep: str) "
                  "-> numpy.typing.NDArray[numpy.float64] | None"),
          "The rows x cols values of a delimited text matrix: the first `rows` non-blank lines after "
          "the first `skip` lines of `data`, each after its first (id) field. Cells are plain decimal "
          "numbers (correctly rounded) or missing-value tokens (NaN); None when any cell is anything "
          "else or a line has another number of fields. Runs without the GIL.");
    m.def("parse_numeric_columns", &parse_numeric_columns, nb::arg("data"), nb::arg("skip"), nb::arg("rows"),
          nb::arg("cols"), nb::arg("sep"),
          nb::sig("def parse_numeric_columns(data: bytes, skip: int, rows: int, cols: int, sep: str) "
                  "-> tuple[numpy.typing.NDArray[numpy.float64], numpy.typing.NDArray[numpy.bool_]] | None"),
          "(values, text): the matrix of parse_numeric_rows, where a column holding a cell that is neither a "
          "plain number nor a missing-value token is marked in `text` (its cells NaN) instead of giving up; "
          "None when a line has another number of fields. Runs without the GIL.");
}
