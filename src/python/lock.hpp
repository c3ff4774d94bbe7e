// The interpreter lock around a function's kernel. Whether a call gives it up
// is one declaration in the function's record (records.hpp), never a decision
// of the body; the rule for making that declaration is written there.
#pragma once

#include <Python.h>

#include <cstddef>
#include <optional>
#include <type_traits>

#include "core/sparse_matrix.hpp"

namespace brenix {

// What a record declares: whether its calls give up the interpreter lock
// while the kernel runs, and, if they keep it, why.
struct LockUse {
    bool releases;
    const char* why_kept;
};

inline constexpr LockUse RELEASES_LOCK{true, nullptr};

constexpr LockUse keeps_lock(const char* why) { return {false, why}; }

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

// How a body runs its kernel, made by the call wrapper from the record's
// declaration. A kernel reads only the intake's views (which hold their
// arrays) and returns owned buffers, so it may run without the lock; the
// body takes its arguments in before and wraps the results after.
class Compute {
public:
    constexpr explicit Compute(LockUse lock) : releases_(lock.releases) {}

    // The kernel's result, or nothing with a ValueError set for an entry
    // stored twice. The kernel's rows are those of a larger matrix from
    // `first_row` on (a row block), which the message counts from.
    template <class Kernel>
    auto operator()(Kernel&& kernel, std::size_t first_row = 0) const
        -> std::optional<std::invoke_result_t<Kernel&>> {
        try {
            if (!releases_) return kernel();
            WithoutInterpreterLock unlocked;
            return kernel();
        } catch (const DuplicateEntry& duplicate) {
            const DuplicateEntry in_matrix(first_row + duplicate.row(), duplicate.col());
            PyErr_SetString(PyExc_ValueError, in_matrix.what());
            return std::nullopt;
        }
    }

private:
    bool releases_;
};

}  // namespace brenix
