// NumPy at the boundary: loading NumPy's C interface, taking input arrays in
// as typed read-only views, and handing result buffers back as arrays.
//
// Intake functions follow the interpreter's convention (false: a Python
// exception is set). Result wrapping throws InternalFailure, as the result
// stage has no user-facing errors of its own.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <variant>

#include "core/buffer.hpp"
#include "python/ref.hpp"

namespace brenix {

// A dense matrix as one contiguous row-major run of values: the input's own
// memory when it already has that layout, otherwise a copy that lives as long
// as this object. `keep` holds the array the values come from.
struct DenseMatrix {
    std::variant<std::span<const double>, std::span<const float>> values;
    std::size_t n_rows = 0;
    std::size_t n_cols = 0;
    Ref keep;
    Buffer<double> copy_f64;
    Buffer<float> copy_f32;
};

struct SparseEntries {
    std::span<const std::int64_t> indices;
    std::variant<std::span<const double>, std::span<const float>> data;
    Ref keep_indices;
    Ref keep_data;
    Buffer<std::int64_t> aligned_indices;
    Buffer<double> aligned_f64;
    Buffer<float> aligned_f32;
};

// x of the dense functions: a 2-D float64 or float32 array, or whatever
// x.astype("float64") makes of it.
bool take_dense(PyObject* x, DenseMatrix& out);

// indices (1-D int64) then data (1-D float64 or float32), both contiguous.
bool take_sparse(PyObject* indices, PyObject* data, SparseEntries& out);

// A 1-D contiguous float64 array, in place or as an aligned copy.
struct F64Vector {
    std::span<const double> values;
    Ref keep;
    Buffer<double> aligned;
};
bool take_f64_vector(PyObject* object, F64Vector& out);

// A 1-D contiguous array of T (int32, int64, bool, float32 or float64), in
// place or as an aligned copy. take_vector sets no error: the caller says
// what was wrong, as the parameter's contract words it.
template <class T>
struct Vector {
    std::span<const T> values;
    Ref keep;
    Buffer<T> aligned;
};
enum class Taken { ok, other_type, not_contiguous };
Taken take_vector(PyObject* object, Vector<std::int32_t>& out);
Taken take_vector(PyObject* object, Vector<std::int64_t>& out);
Taken take_vector(PyObject* object, Vector<bool>& out);
Taken take_vector(PyObject* object, Vector<float>& out);
Taken take_vector(PyObject* object, Vector<double>& out);

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

}  // namespace brenix
