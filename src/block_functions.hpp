// The bodies of brenix_kernels._blocks: the pieces of the four statistics for
// one row block of a larger matrix, which brenix_kernels.dask chains so that
// the results have the bits of the whole-matrix functions. Running sums travel
// as flat float64 arrays of 2 * n_cols values (sums, then sums of squares).
// Python convention: nullptr means an exception is set.
#pragma once

#include <Python.h>

namespace brenix {

PyObject* dense_partial_impl(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* continue_dense_impl(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* sparse_partial_impl(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* continue_sparse_impl(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* fold_impl(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* finish_mean_std_impl(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* finish_hvg_impl(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* scale_dense_impl(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* scale_sparse_values_impl(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace brenix
