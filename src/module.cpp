// Entry point of brenix_kernels._core. The functions are in functions.cpp; the
// call wrapper, through which every call passes and every failure becomes a
// Python exception, and the making of the module are in records.hpp.
#include <Python.h>

#include "functions.hpp"
#include "records.hpp"

PyMODINIT_FUNC PyInit__core() {
    return brenix::create_module({
        .name = "brenix_kernels._core",
        .doc = "The native extension module (`brenix_kernels._core`).",
        .functions = brenix::core_functions(),
    });
}
