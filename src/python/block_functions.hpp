// The functions of brenix_kernels._blocks: the pieces of the four statistics
// for one row block of a larger matrix, which brenix_kernels.dask chains so
// that the results have the bits of the whole-matrix functions.
#pragma once

#include <Python.h>

#include <span>

namespace brenix {

// Their table, in the order of the module's __all__.
std::span<PyMethodDef> block_functions();

}  // namespace brenix
