// What the bodies of the function records (records.hpp) return: a result
// object, or an empty Ref with a Python error set. The three modules build
// their tuples of arrays and their refusals alike, so they build them here.
#pragma once

#include <Python.h>

#include <array>
#include <utility>

#include "core/buffer.hpp"
#include "python/intake.hpp"
#include "python/ref.hpp"

namespace brenix {

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
