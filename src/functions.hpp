// The four functions' bodies as the call wrapper sees them: bind and convert
// the arguments, take the arrays in, run the kernel, build the result.
// Python convention: nullptr means an exception is set. Internal failures and
// std::bad_alloc propagate as C++ exceptions to the wrapper.
#pragma once

#include <Python.h>

namespace brenix {

using FastcallImpl = PyObject* (*)(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

PyObject* scale_impl(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* scale_sparse_data_impl(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* hvg_seurat_stats_impl(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* hvg_seurat_stats_sparse_impl(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace brenix
