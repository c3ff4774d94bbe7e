// Entry point of brenix_kernels._core: the module object, the function table
// with its text signatures and docstrings, and the call wrapper through which
// every call passes and every failure becomes a Python exception.
#include <Python.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <exception>
#include <new>

#include "failure.hpp"
#include "fp_env.hpp"
#include "functions.hpp"
#include "py_ref.hpp"

namespace brenix {

namespace {

constexpr char SCALE_DOC[] =
    "scale(x, *, zero_center=True, max_value=None, return_mean_std=False)\n"
    "--\n"
    "\n"
    "Standardize each gene (column) to zero mean and unit variance.\n"
    "\n"
    "`x` must be a 2-D NumPy array of dtype `float32`, `float64`, or an integer\n"
    "type (integers are cast to `float64`, matching Brenix).\n"
    "\n"
    "- `zero_center`: subtract the per-gene mean before scaling.\n"
    "- `max_value`: clip (truncate) scaled values to `[-max_value, max_value]`;\n"
    "  the lower bound is only applied when `zero_center` is true.\n"
    "- `return_mean_std`: also return the per-gene mean and std arrays.";

constexpr char SCALE_SPARSE_DATA_DOC[] =
    "scale_sparse_data(indices, data, n_rows, n_cols, *, max_value=None, promote=False)\n"
    "--\n"
    "\n"
    "Scale a sparse (CSR) matrix's non-zero values and return mean/std.\n"
    "\n"
    "`indices[k]` is the column index of `data[k]`; `n_rows`/`n_cols` are the\n"
    "matrix dimensions. Matches `brenix.pp.scale`'s sparse path (sklearn-style\n"
    "mean/variance, upper-bound clipping only). `promote` reproduces the\n"
    "reference's CSC behaviour: CSC output is promoted to `float64`, CSR keeps\n"
    "its dtype.";

constexpr char HVG_SEURAT_STATS_DOC[] =
    "hvg_seurat_stats(x, *, log_base=None)\n"
    "--\n"
    "\n"
    "Compute per-gene `means` and `dispersions` for the Seurat flavor.\n"
    "\n"
    "`x` is the logarithmized (log1p) expression matrix, `n_obs` x `n_vars`,\n"
    "float32 or float64. `log_base` is the base of the logarithm (`None` = natural\n"
    "log, matching `brenix.pp.log1p`'s default).\n"
    "\n"
    "Returns `(means, dispersions)` as float64 arrays of length `n_vars`, where\n"
    "`means = log1p(mean(expm1(x)))` and\n"
    "`dispersions = log(var(expm1(x)) / mean(expm1(x)))` with the reference's\n"
    "exact edge-case handling (`mean==0 -> 1e-12`, `dispersion==0 -> NaN`).";

constexpr char HVG_SEURAT_STATS_SPARSE_DOC[] =
    "hvg_seurat_stats_sparse(indices, data, n_rows, n_cols, *, log_base=None, square_f64=False)\n"
    "--\n"
    "\n"
    "Sparse (CSR) variant of [`hvg_seurat_stats`]: `indices[k]` is the column of\n"
    "`data[k]`. Same Seurat recipe, but sums only the non-zero entries.";

constexpr char PANIC_DOC[] =
    "Raised when the native code of brenix_kernels hits an internal failure.\n"
    "\n"
    "Like SystemExit, it derives from BaseException rather than Exception, so\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.";

PyObject* g_panic_exception = nullptr;  // created on the first internal failure

void raise_panic(const char* message) {
    if (g_panic_exception == nullptr) {
        g_panic_exception = PyErr_NewExceptionWithDoc("brenix_kernels._core.PanicException",
                                                      PANIC_DOC, PyExc_BaseException, nullptr);
        if (g_panic_exception == nullptr) return;  // its error is set instead
    }
    Ref text = Ref::steal(
        PyUnicode_DecodeUTF8(message, static_cast<Py_ssize_t>(strlen(message)), "replace"));
    if (!text) return;
    PyErr_SetObject(g_panic_exception, text.get());
}

// The call wrapper: no C++ exception crosses into the interpreter.
template <FastcallImpl Impl>
PyObject* call(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
               PyObject* kwnames) noexcept {
    // The combining and finishing steps run here, on the caller's thread.
    DefaultFloatingPoint defaults;
    try {
        PyObject* result = Impl(args, nargs, kwnames);
        if (result == nullptr && !PyErr_Occurred()) {
            PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
        }
        return result;
    } catch (const InternalFailure& failure) {
        raise_panic(failure.what());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& failure) {
        raise_panic(failure.what());
    } catch (...) {
        raise_panic("unknown internal failure");
    }
    return nullptr;
}

struct FunctionRecord {
    const char* name;
    PyObject* (*entry)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) noexcept;
    const char* doc;
};

constexpr FunctionRecord FUNCTIONS[] = {
    {"scale", call<scale_impl>, SCALE_DOC},
    {"scale_sparse_data", call<scale_sparse_data_impl>, SCALE_SPARSE_DATA_DOC},
    {"hvg_seurat_stats", call<hvg_seurat_stats_impl>, HVG_SEURAT_STATS_DOC},
    {"hvg_seurat_stats_sparse", call<hvg_seurat_stats_sparse_impl>, HVG_SEURAT_STATS_SPARSE_DOC},
};

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT,
    "_core",
    "The native extension module (`brenix_kernels._core`).",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// The first interpreter to import the module owns it for the life of the
// process; the module's process-wide state cannot be shared with another.
std::atomic<std::int64_t> g_interpreter{-1};
PyObject* g_module = nullptr;

bool add_function(PyObject* module, const FunctionRecord& record) {
    // The function object keeps pointing at its method record: never freed.
    auto* method = new PyMethodDef{
        record.name,
        reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(record.entry)),
        METH_FASTCALL | METH_KEYWORDS,
        record.doc,
    };
    Ref module_name = Ref::steal(PyModule_GetNameObject(module));
    if (!module_name) return false;
    Ref function = Ref::steal(PyCMethod_New(method, module, module_name.get(), nullptr));
    if (!function) return false;
    Ref name = Ref::steal(PyObject_GetAttrString(function.get(), "__name__"));
    if (!name) return false;
    Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        all = Ref::steal(PyList_New(0));
        if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return false;
    }
    if (PyList_Append(all.get(), name.get()) < 0) return false;
    return PyObject_SetAttr(module, name.get(), function.get()) == 0;
}

PyObject* init_module() {
    const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
        }
        return nullptr;
    }
    std::int64_t expected = -1;
    if (!g_interpreter.compare_exchange_strong(expected, id) && expected != id) {
        PyErr_SetString(PyExc_ImportError,
                        "brenix_kernels._core does not support sub-interpreters: it can only be "
                        "imported once per process, in the interpreter that imported it first");
        return nullptr;
    }
    if (g_module != nullptr) return Py_NewRef(g_module);

    Ref module = Ref::steal(PyModule_Create2(&g_module_def, 1013));
    if (!module) return nullptr;
    for (const FunctionRecord& record : FUNCTIONS) {
        if (!add_function(module.get(), record)) return nullptr;
    }
    g_module = Py_NewRef(module.get());
    return module.release();
}

}  // namespace

}  // namespace brenix

PyMODINIT_FUNC PyInit__core() { return brenix::init_module(); }
