// The functions of brenix_kernels._core.
#pragma once

#include <Python.h>

#include <span>

namespace brenix {

// Their table, in the order of the module's __all__.
std::span<PyMethodDef> core_functions();

}  // namespace brenix
