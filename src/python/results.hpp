// What the bodies of the function records (records.hpp) return: a result
// object, or an empty Ref with a Python error set. Result buffers become NumPy
// arrays here without a copy, and the three modules build their tuples of
// arrays and their refusals alike, so they build them here too.
//
// Wrapping throws InternalFailure: the result stage has no user-facing errors
// of its own.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>

#include "core/buffer.hpp"
#include "python/ref.hpp"

namespace brenix {

// New arrays that take over the buffers (no copy); their base is the buffer's
// owner object.
PyObject* wrap_1d(Buffer<double> buffer);
PyObject* wrap_1d(Buffer<float> buffer);
PyObject* wrap_1d(Buffer<std::int32_t> buffer);
PyObject* wrap_1d(Buffer<std::int64_t> buffer);
PyObject* wrap_2d(Buffer<double> buffer, std::size_t n_rows, std::size_t n_cols);
PyObject* wrap_2d(Buffer<float> buffer, std::size_t n_rows, std::size_t n_cols);

// A tuple taking over the given new references; throws if it cannot be made.
PyObject* make_tuple(std::span<Ref> items);

// No result: a ValueError with `message` is set.
inline Ref raise_value_error(const char* message) {
    PyErr_SetString(PyExc_ValueError, message);
    return {};
}

inline Ref as_result(Ref item) { return item; }

template <class T>
Ref as_result(Buffer<T> values) {
    return Ref::steal(wrap_1d(std::move(values)));
}

// A tuple of the items, in order, each a Ref or a buffer that becomes a 1-D
// array. Made left to right (a braced list fixes the order). An empty Ref
// among them (a list that could not be made) gives no tuple: its error stands.
template <class... Items>
Ref tuple_of(Items&&... items) {
    std::array<Ref, sizeof...(Items)> refs{as_result(std::forward<Items>(items))...};
    for (const Ref& ref : refs) {
        if (!ref) return {};
    }
    // Qualified: argument-dependent lookup through std::array would also find
    // std::make_tuple.
    return Ref::steal(brenix::make_tuple(refs));
}

}  // namespace brenix
