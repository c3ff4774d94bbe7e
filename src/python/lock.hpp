// Kernels run without the interpreter lock, for the functions of _arrays and
// _blocks.
#pragma once

#include <Python.h>

#include <optional>

#include "core/sparse_matrix.hpp"

namespace brenix {

// Other Python threads run while a kernel computes. The lock comes back when
// this goes, also when the kernel throws; the kernel touches no Python object.
class WithoutInterpreterLock {
public:
    WithoutInterpreterLock() : state_(PyEval_SaveThread()) {}
    ~WithoutInterpreterLock() { PyEval_RestoreThread(state_); }
    WithoutInterpreterLock(const WithoutInterpreterLock&) = delete;
    WithoutInterpreterLock& operator=(const WithoutInterpreterLock&) = delete;

private:
    PyThreadState* state_;
};

// Runs the kernel without the lock; a duplicate entry becomes a ValueError.
// The kernel's rows are those of a larger matrix from `first_row` on (a row
// block), which the message counts from.
template <class Kernel>
auto compute(Kernel&& kernel, std::size_t first_row = 0) -> std::optional<decltype(kernel())> {
    try {
        WithoutInterpreterLock unlocked;
        return kernel();
    } catch (const DuplicateEntry& duplicate) {
        const DuplicateEntry in_matrix(first_row + duplicate.row(), duplicate.col());
        PyErr_SetString(PyExc_ValueError, in_matrix.what());
        return std::nullopt;
    }
}

}  // namespace brenix
