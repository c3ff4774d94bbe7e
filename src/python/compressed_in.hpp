// Intake shared by the functions of _arrays and _blocks: a SciPy compressed
// matrix's arrays and a row's group codes, taken in place and checked as
// their contracts word them.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "core/sparse_matrix.hpp"
#include "python/intake.hpp"

namespace brenix {

// Stored entries of a row block: indices (int32 or int64) and data (float32
// or float64), 1-D and contiguous, used in place.
struct EntriesIn {
    Vector<std::int32_t> indices32;
    Vector<std::int64_t> indices64;
    Vector<float> data32;
    Vector<double> data64;
    bool wide_indices = false;
    bool float_data = false;

    // f(std::span<const I> indices, std::span<const T> data).
    template <class F>
    decltype(auto) visit(F&& f) const {
        auto with_data = [&]<class I>(std::span<const I> indices) -> decltype(auto) {
            if (float_data) return f(indices, data32.values);
            return f(indices, data64.values);
        };
        return wide_indices ? with_data(indices64.values) : with_data(indices32.values);
    }
};

// indices and data, each of whichever width it comes in. False with a Python
// error set otherwise.
bool take_entries_in(PyObject* indices, PyObject* data, EntriesIn& out);

// A compressed matrix's arrays, used in place: its stored entries, and the
// offsets of its rows (csr) or columns (csc) among them.
struct SparseIn : EntriesIn {
    Layout layout = Layout::csr;
    Vector<std::int64_t> indptr;
    std::size_t n_rows = 0;
    std::size_t n_cols = 0;

    // f(SparseMatrix<I, T>) for the matrix's index and value types.
    template <class F>
    decltype(auto) visit(F&& f) const {
        return EntriesIn::visit([&]<class I, class T>(std::span<const I> indices,
                                                      std::span<const T> data) -> decltype(auto) {
            return f(SparseMatrix<I, T>{layout, indptr.values, indices, data, n_rows, n_cols});
        });
    }
};

// layout ('csr' or 'csc'), indptr (int64), indices (int32 or int64), data
// (float32 or float64), each 1-D and contiguous, used in place; indptr
// checked to hold n_rows + 1 (csr) or n_cols + 1 (csc) offsets from 0, never
// decreasing, up to len(data). False with a Python error set otherwise.
bool take_sparse_in(PyObject* layout, PyObject* indptr, PyObject* indices, PyObject* data,
                    std::uint64_t n_rows, std::uint64_t n_cols, SparseIn& out);

// groups (None or one int64 code in [-1, n_groups) per row) as row groups.
bool take_groups(PyObject* object, std::size_t n_rows, std::size_t n_groups,
                 Vector<std::int64_t>& codes, std::optional<std::span<const std::int64_t>>& out);

}  // namespace brenix
