// Binding of fastcall arguments to parameters, with the interpreter's own
// wording for misuse, and the conversions of the scalar parameters.
//
// Every function here follows the interpreter's convention: false means a
// Python exception is set.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <span>

namespace brenix {

struct Signature {
    const char* name;                           // function name, without "()"
    std::span<const char* const> positional;    // all required, by position or keyword
    std::span<const char* const> keyword_only;  // all optional
};

// Fills slots (positional parameters first, then keyword-only ones; one per
// parameter) with borrowed references, leaving absent ones null.
bool bind(const Signature& signature, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
          std::span<PyObject*> slots);

// A TypeError raised by these is re-raised as "argument '{name}': {message}".
bool to_flag(PyObject* slot, const char* name, bool fallback, bool& out);
bool to_optional_double(PyObject* slot, const char* name, std::optional<double>& out);
bool to_size(PyObject* slot, const char* name, std::uint64_t& out);

// "'{qualname of type(object)}' object cannot be converted to '{target}'"
void raise_cannot_convert(PyObject* object, const char* target);

}  // namespace brenix
