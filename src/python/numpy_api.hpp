// NumPy's C interface for the files of src/python/ that call it (intake.cpp
// and results.cpp). The table is one symbol for both: NumPy's headers would
// otherwise give each file a table of its own, and only the intake's would
// ever be loaded. intake.cpp defines it (BRENIX_NUMPY_TABLE_HERE).
#pragma once

#include <Python.h>

#define NPY_NO_DEPRECATED_API NPY_1_25_API_VERSION
#define PY_ARRAY_UNIQUE_SYMBOL brenix_numpy_api
#ifndef BRENIX_NUMPY_TABLE_HERE
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>

#include <string>

namespace brenix {

// Takes the pending Python exception and returns its text, where a failure at
// the NumPy boundary becomes an internal one.
std::string take_pending_error();

}  // namespace brenix
