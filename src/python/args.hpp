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

// A function's parameters as binding sees them: the positional ones are all
// required, the keyword-only ones all optional.
struct ParameterList {
    const char* function;  // its name, without "()"
    std::span<const char* const> positional;
    std::span<const char* const> keyword_only;
};

// Fills slots (positional parameters first, then keyword-only ones; one per
// parameter) with borrowed references, leaving absent ones null.
bool bind(const ParameterList& parameters, PyObject* const* args, Py_ssize_t nargs,
          PyObject* kwnames, std::span<PyObject*> slots);

// The conversion of a given argument to its parameter's type, one overload per
// type a parameter may have. A TypeError raised by a conversion is re-raised as
// "argument '{name}': {message}".
inline bool convert(PyObject* slot, const char* /*name*/, PyObject*& out) {
    out = slot;  // as given (borrowed): arrays, taken in by the function's body
    return true;
}
bool convert(PyObject* slot, const char* name, bool& out);  // True, False or a NumPy bool
bool convert(PyObject* slot, const char* name, std::optional<double>& out);  // None or a real
bool convert(PyObject* slot, const char* name, std::uint64_t& out);          // an index >= 0

// "'{qualname of type(object)}' object cannot be converted to '{target}'"
void raise_cannot_convert(PyObject* object, const char* target);

}  // namespace brenix
