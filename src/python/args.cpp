#include "python/args.hpp"

#include <string>
#include <vector>

#include "python/ref.hpp"

namespace brenix {

namespace {

std::string full_name(const ParameterList& parameters) {
    return std::string(parameters.function) + "()";
}

// 'a'; 'a' and 'b'; 'a', 'b', and 'c'
std::string quoted_list(std::span<const char* const> names) {
    std::string out;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) out += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
        out += '\'';
        out += names[i];
        out += '\'';
    }
    return out;
}

bool raise_type_error(const std::string& message) {
    PyErr_SetString(PyExc_TypeError, message.c_str());
    return false;
}

// Fills the slot of `name`, refusing a second value for it.
bool fill(const ParameterList& parameters, std::span<PyObject*> slots, std::size_t slot,
          PyObject* value) {
    if (slots[slot] != nullptr) {
        const char* name = slot < parameters.positional.size()
                               ? parameters.positional[slot]
                               : parameters.keyword_only[slot - parameters.positional.size()];
        return raise_type_error(full_name(parameters) + " got multiple values for argument '" +
                                name + "'");
    }
    slots[slot] = value;
    return true;
}

// Re-raises a pending TypeError (exactly that type) with the parameter's name
// in front; other exception types pass unchanged.
bool relabel(const char* name) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return false;
    Ref caught = Ref::steal(PyErr_GetRaisedException());
    if (Py_TYPE(caught.get()) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
        PyErr_SetRaisedException(caught.release());
        return false;
    }
    Ref text = Ref::steal(PyObject_Str(caught.get()));
    if (!text) return false;
    Ref relabelled = Ref::steal(PyObject_CallFunction(
        PyExc_TypeError, "N", PyUnicode_FromFormat("argument '%s': %U", name, text.get())));
    if (!relabelled) return false;
    if (PyObject* cause = PyException_GetCause(caught.get())) {
        PyException_SetCause(relabelled.get(), cause);  // steals the new reference
    }
    PyErr_SetRaisedException(relabelled.release());
    return false;
}

bool is_numpy_bool(PyObject* object) {
    PyTypeObject* type = Py_TYPE(object);
    Ref module = Ref::steal(PyType_GetModuleName(type));
    if (!module) {
        PyErr_Clear();
        return false;
    }
    Ref name = Ref::steal(PyType_GetName(type));
    if (!name) {
        PyErr_Clear();
        return false;
    }
    return PyUnicode_Check(module.get()) &&
           PyUnicode_CompareWithASCIIString(module.get(), "numpy") == 0 &&
           PyUnicode_Check(name.get()) &&
           (PyUnicode_CompareWithASCIIString(name.get(), "bool_") == 0 ||
            PyUnicode_CompareWithASCIIString(name.get(), "bool") == 0);
}

}  // namespace

void raise_cannot_convert(PyObject* object, const char* target) {
    Ref qualname = Ref::steal(PyType_GetQualName(Py_TYPE(object)));
    const char* type_name = nullptr;
    if (qualname && PyUnicode_Check(qualname.get())) type_name = PyUnicode_AsUTF8(qualname.get());
    if (type_name == nullptr) {
        PyErr_Clear();
        type_name = "<failed to extract type name>";
    }
    PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to '%s'", type_name, target);
}

bool bind(const ParameterList& parameters, PyObject* const* args, Py_ssize_t nargs,
          PyObject* kwnames, std::span<PyObject*> slots) {
    const std::size_t n_positional = parameters.positional.size();
    const std::size_t passed = static_cast<std::size_t>(nargs);
    if (passed > n_positional) {
        return raise_type_error(full_name(parameters) + " takes " + std::to_string(n_positional) +
                                " positional arguments but " + std::to_string(passed) + " " +
                                (passed == 1 ? "was" : "were") + " given");
    }
    for (std::size_t i = 0; i < passed; ++i) slots[i] = args[i];

    const Py_ssize_t n_keywords = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < n_keywords; ++k) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
        PyObject* value = args[nargs + k];
        // The interpreter only passes str names; a caller in C may not.
        if (!PyUnicode_Check(keyword)) {
            return raise_type_error(full_name(parameters) + " keywords must be strings");
        }
        // Compared as whole strings: "x\0junk" is not "x", and a name with a
        // lone surrogate, which has no UTF-8 form, is simply no parameter's.
        bool found = false;
        for (std::size_t i = 0; i < parameters.keyword_only.size() && !found; ++i) {
            if (PyUnicode_EqualToUTF8(keyword, parameters.keyword_only[i])) {
                if (!fill(parameters, slots, n_positional + i, value)) return false;
                found = true;
            }
        }
        for (std::size_t i = 0; i < n_positional && !found; ++i) {
            if (PyUnicode_EqualToUTF8(keyword, parameters.positional[i])) {
                if (!fill(parameters, slots, i, value)) return false;
                found = true;
            }
        }
        if (!found) {
            PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'",
                         full_name(parameters).c_str(), keyword);
            return false;
        }
    }

    std::vector<const char*> missing;
    for (std::size_t i = passed; i < n_positional; ++i) {
        if (slots[i] == nullptr) missing.push_back(parameters.positional[i]);
    }
    if (!missing.empty()) {
        return raise_type_error(full_name(parameters) + " missing " +
                                std::to_string(missing.size()) + " required positional " +
                                (missing.size() == 1 ? "argument" : "arguments") + ": " +
                                quoted_list(missing));
    }
    return true;
}

bool convert(PyObject* slot, const char* name, bool& out) {
    if (slot == Py_True || slot == Py_False) {
        out = slot == Py_True;
        return true;
    }
    if (is_numpy_bool(slot)) {
        const int truth = PyObject_IsTrue(slot);
        if (truth < 0) return relabel(name);
        out = truth != 0;
        return true;
    }
    raise_cannot_convert(slot, "PyBool");
    return relabel(name);
}

bool convert(PyObject* slot, const char* name, std::optional<double>& out) {
    if (slot == Py_None) {
        out.reset();
        return true;
    }
    if (PyFloat_CheckExact(slot)) {
        out = PyFloat_AS_DOUBLE(slot);
        return true;
    }
    const double value = PyFloat_AsDouble(slot);
    if (value == -1.0 && PyErr_Occurred()) return relabel(name);
    out = value;
    return true;
}

bool convert(PyObject* slot, const char* name, std::uint64_t& out) {
    Ref integer = PyLong_Check(slot) ? Ref::borrow(slot) : Ref::steal(PyNumber_Index(slot));
    if (!integer) return relabel(name);
    const unsigned long long value = PyLong_AsUnsignedLongLong(integer.get());
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return relabel(name);
    out = value;
    return true;
}

}  // namespace brenix
