// Ward's hierarchical clustering of a condensed distance matrix, for the
// clustering card: the nearest-neighbour chain with the Lance-Williams update,
// step for step and operation for operation as scipy's linkage(y, "ward"), so
// the tree is the same to the bit. scipy first copies the distances (100 MB at
// 5,000 features, the card's default cap); this works in the caller's array,
// which it overwrites, without the GIL.
#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <numeric>
#include <utility>
#include <vector>

namespace nb = nanobind;

namespace {

using Condensed = nb::ndarray<double, nb::ndim<1>, nb::c_contig, nb::device::cpu>;
using Tree = nb::ndarray<nb::numpy, double, nb::ndim<2>>;

// Where the distance of points i != j lies in the condensed matrix of n points.
inline std::size_t condensed_index(std::size_t n, std::size_t i, std::size_t j) {
    if (i > j) std::swap(i, j);
    return n * i - (i * (i + 1) / 2) + (j - i - 1);
}

// The distance of cluster i to the union of x and y (sizes in the same order).
inline double ward(double d_xi, double d_yi, double d_xy, int size_x, int size_y, int size_i) {
    const double t = 1.0 / double(size_x + size_y + size_i);
    return std::sqrt(double(size_i + size_x) * t * d_xi * d_xi + double(size_i + size_y) * t * d_yi * d_yi -
                     double(size_i) * t * d_xy * d_xy);
}

// The merges in the order the chain finds them: (x, y, distance) per row, x < y,
// y the surviving cluster's slot.
void nn_chain(double* d, std::size_t n, double* z) {
    std::vector<int> size(n, 1);
    std::vector<std::size_t> chain(n);
    std::size_t length = 0, y = 0;
    for (std::size_t k = 0; k + 1 < n; ++k) {
        if (length == 0) {
            length = 1;
            for (std::size_t i = 0; i < n; ++i)
                if (size[i] > 0) {
                    chain[0] = i;
                    break;
                }
        }
        std::size_t x;
        double least;
        for (;;) {  // along the chain of nearest neighbours until two are each other's
            x = chain[length - 1];
            // The previous link is preferred among equals: no cycles.
            if (length > 1) {
                y = chain[length - 2];
                least = d[condensed_index(n, x, y)];
            } else {
                least = std::numeric_limits<double>::infinity();
            }
            for (std::size_t i = 0; i < n; ++i) {
                if (size[i] == 0 || i == x) continue;
                const double dist = d[condensed_index(n, x, i)];
                if (dist < least) {
                    least = dist;
                    y = i;
                }
            }
            if (length > 1 && y == chain[length - 2]) break;
            chain[length++] = y;
        }
        length -= 2;
        if (x > y) std::swap(x, y);
        const int nx = size[x], ny = size[y];
        z[4 * k] = double(x);
        z[4 * k + 1] = double(y);
        z[4 * k + 2] = least;
        z[4 * k + 3] = double(nx + ny);
        size[x] = 0;
        size[y] = nx + ny;
        for (std::size_t i = 0; i < n; ++i) {
            const int ni = size[i];
            if (ni == 0 || i == y) continue;
            double& to_y = d[condensed_index(n, i, y)];
            to_y = ward(d[condensed_index(n, i, x)], to_y, least, nx, ny, ni);
        }
    }
}

// The merges sorted by distance (stably) and their clusters renamed as a tree
// names them: point i is i, the cluster of merge k is n + k, the smaller first.
void label(double* z, std::size_t n) {
    std::vector<std::size_t> order(n - 1);
    std::iota(order.begin(), order.end(), std::size_t(0));
    std::stable_sort(order.begin(), order.end(),
                     [z](std::size_t a, std::size_t b) { return z[4 * a + 2] < z[4 * b + 2]; });
    std::vector<double> sorted(4 * (n - 1));
    for (std::size_t k = 0; k + 1 < n; ++k) std::copy_n(z + 4 * order[k], 4, sorted.data() + 4 * k);
    std::vector<std::size_t> parent(2 * n - 1), size(2 * n - 1, 1);
    std::iota(parent.begin(), parent.end(), std::size_t(0));
    auto find = [&parent](std::size_t x) {
        std::size_t root = x;
        while (parent[root] != root) root = parent[root];
        while (parent[x] != root) x = std::exchange(parent[x], root);
        return root;
    };
    std::size_t next = n;
    for (std::size_t k = 0; k + 1 < n; ++k) {
        double* row = sorted.data() + 4 * k;
        std::size_t a = find(std::size_t(row[0])), b = find(std::size_t(row[1]));
        if (a > b) std::swap(a, b);
        parent[a] = parent[b] = next;
        size[next] = size[a] + size[b];
        row[0] = double(a);
        row[1] = double(b);
        row[3] = double(size[next++]);
    }
    std::copy(sorted.begin(), sorted.end(), z);
}

Tree ward_linkage(Condensed distances) {
    const std::size_t m = distances.shape(0);
    // n points have n (n - 1) / 2 distances.
    const auto n = std::size_t((1.0 + std::sqrt(1.0 + 8.0 * double(m))) / 2.0 + 0.5);
    if (n < 2 || n * (n - 1) / 2 != m)
        throw nb::value_error("ward_linkage: a condensed distance matrix of two points or more is needed");
    if (n > std::size_t(std::numeric_limits<int>::max()))
        throw nb::value_error("ward_linkage: too many points");
    double* d = distances.data();
    for (std::size_t i = 0; i < m; ++i)
        if (!std::isfinite(d[i]))
            throw nb::value_error("ward_linkage: the condensed distance matrix must contain only finite values");
    double* z = new double[4 * (n - 1)];
    nb::capsule owner(z, [](void* p) noexcept { delete[] static_cast<double*>(p); });
    {
        nb::gil_scoped_release release;
        nn_chain(d, n, z);
        label(z, n);
    }
    std::size_t shape[2] = {n - 1, 4};
    return Tree(z, 2, shape, owner);
}

}  // namespace

void bind_ward_linkage(nb::module_& m) {
    m.def("ward_linkage", &ward_linkage, nb::arg("distances"),
          nb::sig("def ward_linkage(distances: numpy.typing.NDArray[numpy.float64]) -> "
                  "numpy.typing.NDArray[numpy.float64]"),
          "The linkage matrix of Ward's clustering of the condensed `distances` (float64, C-contiguous, "
          "finite), equal to scipy's linkage(distances, 'ward') to the bit. Overwrites `distances`. Runs "
          "without the GIL.");
}
