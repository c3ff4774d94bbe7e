// The functions of brenix_kernels._arrays: the statistics of _core for SciPy
// compressed matrices as they are stored, for row groups in one pass, and
// centred scaling of a sparse matrix without its dense copy. The public layer
// in Python calls them.
#pragma once

#include <Python.h>

#include <span>

namespace brenix {

// Their table, in the order of the module's __all__.
std::span<PyMethodDef> array_functions();

}  // namespace brenix
