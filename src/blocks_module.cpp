// Entry point of brenix_kernels._blocks, the block-wise pieces of the four
// statistics used by brenix_kernels.dask.
//
// It is built into the same shared object as brenix_kernels._core (the
// package's import hook loads it from there), so both modules share one copy
// of the kernels' process-wide state: one worker pool per process, one NumPy
// table. Two shared objects each linking the static numeric library would
// carry two pools of worker threads.
#include <Python.h>

#include <cstring>
#include <exception>
#include <new>

#include "block_functions.hpp"
#include "failure.hpp"
#include "fp_env.hpp"
#include "py_ref.hpp"

namespace brenix {

namespace {

PyObject* g_panic_exception = nullptr;

void raise_panic(const char* message) {
    if (g_panic_exception == nullptr) {
        g_panic_exception = PyErr_NewException("brenix_kernels._blocks.PanicException",
                                               PyExc_BaseException, nullptr);
        if (g_panic_exception == nullptr) return;
    }
    Ref text = Ref::steal(
        PyUnicode_DecodeUTF8(message, static_cast<Py_ssize_t>(strlen(message)), "replace"));
    if (!text) return;
    PyErr_SetObject(g_panic_exception, text.get());
}

using Impl = PyObject* (*)(PyObject* const*, Py_ssize_t, PyObject*);

template <Impl F>
PyObject* call(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
               PyObject* kwnames) noexcept {
    DefaultFloatingPoint defaults;
    try {
        PyObject* result = F(args, nargs, kwnames);
        if (result == nullptr && !PyErr_Occurred()) {
            PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
        }
        return result;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& failure) {
        raise_panic(failure.what());
    } catch (...) {
        raise_panic("unknown internal failure");
    }
    return nullptr;
}

#define BRENIX_METHOD(name, doc)                                                            \
    {#name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(call<name##_impl>)), \
     METH_FASTCALL | METH_KEYWORDS, doc}

PyMethodDef g_methods[] = {
    BRENIX_METHOD(dense_partial,
                  "dense_partial(x, first_row, *, expm1=False, log_base=None)\n--\n\n"),
    BRENIX_METHOD(continue_dense, "continue_dense(sums, x, *, expm1=False, log_base=None)\n--\n\n"),
    BRENIX_METHOD(sparse_partial,
                  "sparse_partial(indices, data, n_cols, first_entry, *, expm1=False, "
                  "log_base=None, square_f64=False)\n--\n\n"),
    BRENIX_METHOD(continue_sparse,
                  "continue_sparse(sums, indices, data, *, expm1=False, log_base=None, "
                  "square_f64=False)\n--\n\n"),
    BRENIX_METHOD(fold, "fold(total, records)\n--\n\n"),
    BRENIX_METHOD(finish_mean_std, "finish_mean_std(total, n_rows)\n--\n\n"),
    BRENIX_METHOD(finish_hvg, "finish_hvg(total, n_rows)\n--\n\n"),
    BRENIX_METHOD(scale_dense,
                  "scale_dense(x, mean, std, *, zero_center=True, max_value=None)\n--\n\n"),
    BRENIX_METHOD(
        scale_sparse_values,
        "scale_sparse_values(indices, data, std, *, max_value=None, promote=False)\n--\n\n"),
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT,
    "_blocks",
    "Block-wise pieces of the statistics (`brenix_kernels._blocks`).",
    0,
    g_methods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace brenix

PyMODINIT_FUNC PyInit__blocks() { return PyModule_Create(&brenix::g_module_def); }
