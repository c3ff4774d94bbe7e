// Entry points of the extension's three modules. All three live in this one
// shared object so that they share the kernels' process-wide state: one worker
// pool per process, one NumPy table. Two shared objects, each linking the
// static numeric library, would each carry a pool of their own. The package's
// import hook (python/brenix_kernels/__init__.py) loads _arrays and _blocks
// from the file of _core.
//
// The functions are in core_functions.cpp, array_functions.cpp and
// block_functions.cpp; the call wrapper, through which every call passes and
// every failure becomes a Python exception, and the making of a module are in
// records.hpp.
#include <Python.h>

#include "python/array_functions.hpp"
#include "python/block_functions.hpp"
#include "python/core_functions.hpp"
#include "python/records.hpp"
#include "runtime/pool.hpp"

// The four documented functions.
PyMODINIT_FUNC PyInit__core() {
    return brenix::create_module({
        .name = "brenix_kernels._core",
        .doc = "The native extension module (`brenix_kernels._core`).",
        .functions = brenix::core_functions(),
        .reports_failures = true,
    });
}

// The kernels behind the package's public functions.
PyMODINIT_FUNC PyInit__arrays() {
    return brenix::create_module({
        .name = "brenix_kernels._arrays",
        .doc = "Kernels of the public array functions (`brenix_kernels._arrays`).",
        .functions = brenix::array_functions(),
    });
}

// The block-wise pieces of the statistics that brenix_kernels.dask and the
// file streaming chain over the blocks of a matrix.
PyMODINIT_FUNC PyInit__blocks() {
    return brenix::create_module({
        .name = "brenix_kernels._blocks",
        .doc = "Block-wise pieces of the statistics (`brenix_kernels._blocks`).",
        .functions = brenix::block_functions(),
    });
}

// For thread-pool controllers, which find this object among those a process
// has loaded and call it through the C interface (the package registers one
// with threadpoolctl): the number of workers a pass may use, and the setting
// of that limit, which returns the limit now in force, or -1 and changes
// nothing when n < 1. Neither starts the pool. The build hides every other
// symbol.
extern "C" {

__attribute__((visibility("default"))) int brenix_kernels_get_num_threads(void) {
    return static_cast<int>(brenix::thread_limit());  // the pool has at most 65535 workers
}

__attribute__((visibility("default"))) int brenix_kernels_set_num_threads(int n) {
    if (n < 1) return -1;
    return static_cast<int>(brenix::set_thread_limit(static_cast<std::size_t>(n)));
}

}  // extern "C"
