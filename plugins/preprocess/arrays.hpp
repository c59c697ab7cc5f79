// One-dimensional numpy arrays the kernels fill and hand out: the memory is the
// array's own, freed with it.
#pragma once

#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>

#include <algorithm>
#include <cstddef>

namespace arrays {
namespace nb = nanobind;

template <typename T>
using Column = nb::ndarray<nb::numpy, T, nb::ndim<1>>;

// A new array of n values of T; `data` points at them.
template <typename T>
Column<T> owned(std::size_t n, T*& data) {
    data = new T[std::max<std::size_t>(n, 1)];
    nb::capsule owner(data, [](void* p) noexcept { delete[] static_cast<T*>(p); });
    std::size_t shape[1] = {n};
    return Column<T>(data, 1, shape, owner);
}

}  // namespace arrays
