// Entry point of brenix_kernels._arrays, the kernels behind the package's
// public functions. Built into the shared object of brenix_kernels._core and
// loaded from there (python/brenix_kernels/__init__.py), like _blocks, so that
// all three modules share one worker pool.
#include <Python.h>

#include "array_functions.hpp"
#include "records.hpp"

PyMODINIT_FUNC PyInit__arrays() {
    return brenix::create_module({
        .name = "brenix_kernels._arrays",
        .doc = "Kernels of the public array functions (`brenix_kernels._arrays`).",
        .functions = brenix::array_functions(),
    });
}
