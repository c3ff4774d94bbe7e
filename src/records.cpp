#include "records.hpp"

#include <atomic>
#include <cstdint>
#include <cstring>
#include <exception>
#include <new>
#include <string>

#include "failure.hpp"

namespace brenix {

namespace {

constexpr char PANIC_DOC[] =
    "Raised when the native code of brenix_kernels hits an internal failure.\n"
    "\n"
    "Like SystemExit, it derives from BaseException rather than Exception, so\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.";

// The state of the one module of this extension file. The first interpreter to
// import the module owns it for the life of the process; the module's
// process-wide state cannot be shared with another.
PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT, nullptr, nullptr, 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};
const char* g_module_name = nullptr;
std::atomic<std::int64_t> g_interpreter{-1};
PyObject* g_module = nullptr;
PyObject* g_panic_exception = nullptr;  // created on the first internal failure

void raise_panic(const char* message) {
    if (g_panic_exception == nullptr) {
        const std::string name = std::string(g_module_name) + ".PanicException";
        g_panic_exception =
            PyErr_NewExceptionWithDoc(name.c_str(), PANIC_DOC, PyExc_BaseException, nullptr);
        if (g_panic_exception == nullptr) return;  // its error is set instead
    }
    Ref text = Ref::steal(
        PyUnicode_DecodeUTF8(message, static_cast<Py_ssize_t>(strlen(message)), "replace"));
    if (!text) return;
    PyErr_SetObject(g_panic_exception, text.get());
}

bool add_functions(PyObject* module, std::span<PyMethodDef> functions) {
    Ref module_name = Ref::steal(PyModule_GetNameObject(module));
    if (!module_name) return false;
    Ref all = Ref::steal(PyList_New(0));
    if (!all) return false;
    for (PyMethodDef& method : functions) {
        Ref function = Ref::steal(PyCMethod_New(&method, module, module_name.get(), nullptr));
        if (!function) return false;
        Ref name = Ref::steal(PyObject_GetAttrString(function.get(), "__name__"));
        if (!name || PyList_Append(all.get(), name.get()) < 0 ||
            PyObject_SetAttr(module, name.get(), function.get()) < 0) {
            return false;
        }
    }
    return PyObject_SetAttrString(module, "__all__", all.get()) == 0;
}

}  // namespace

void raise_from_current_exception() noexcept {
    try {
        throw;
    } catch (const InternalFailure& failure) {
        raise_panic(failure.what());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& failure) {
        raise_panic(failure.what());
    } catch (...) {
        raise_panic("unknown internal failure");
    }
}

PyObject* released_result(Ref result) noexcept {
    if (!result && !PyErr_Occurred()) {
        PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
    }
    return result.release();
}

PyObject* create_module(const ModuleSpec& spec) {
    const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
        }
        return nullptr;
    }
    std::int64_t expected = -1;
    if (!g_interpreter.compare_exchange_strong(expected, id) && expected != id) {
        PyErr_Format(PyExc_ImportError,
                     "%s does not support sub-interpreters: it can only be imported once per "
                     "process, in the interpreter that imported it first",
                     spec.name);
        return nullptr;
    }
    if (g_module != nullptr) return Py_NewRef(g_module);

    // Single-phase modules are defined by their last name: the import system
    // gives the module its full one.
    const char* dot = std::strrchr(spec.name, '.');
    g_module_def.m_name = dot != nullptr ? dot + 1 : spec.name;
    g_module_def.m_doc = spec.doc;
    g_module_name = spec.name;
    Ref module = Ref::steal(PyModule_Create2(&g_module_def, PYTHON_API_VERSION));
    if (!module || !add_functions(module.get(), spec.functions)) return nullptr;
    g_module = Py_NewRef(module.get());
    return module.release();
}

}  // namespace brenix
