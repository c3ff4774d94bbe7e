// Entry point of brenix_kernels._blocks, the block-wise pieces of the four
// statistics that brenix_kernels.dask chains over the blocks of an array.
//
// It is built into the shared object of brenix_kernels._core, whose import
// hook (python/brenix_kernels/__init__.py) loads it from there, so the two
// modules share one copy of the kernels' process-wide state: one worker pool
// per process, one NumPy table. Two shared objects, each linking the static
// numeric library, would each carry a pool of their own.
#include <Python.h>

#include "block_functions.hpp"
#include "records.hpp"

PyMODINIT_FUNC PyInit__blocks() {
    return brenix::create_module({
        .name = "brenix_kernels._blocks",
        .doc = "Block-wise pieces of the statistics (`brenix_kernels._blocks`).",
        .functions = brenix::block_functions(),
    });
}
