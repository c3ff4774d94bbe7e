#include "python/records.hpp"

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <exception>
#include <new>
#include <string>

#include "runtime/failure.hpp"

namespace brenix {

namespace {

constexpr char PANIC_DOC[] =
    "Raised when the native code of brenix_kernels hits an internal failure.\n"
    "\n"
    "Like SystemExit, it derives from BaseException rather than Exception, so\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.";

// The state of the modules of this extension file (_core, with _blocks and
// _arrays beside it so that all share one worker pool). The first interpreter to import one
// of them owns them all for the life of the process; their process-wide state
// cannot be shared with another.
struct ModuleState {
    PyModuleDef def = {
        PyModuleDef_HEAD_INIT, nullptr, nullptr, 0, nullptr, nullptr, nullptr, nullptr, nullptr,
    };
    const char* name = nullptr;
    PyObject* module = nullptr;
    PyObject* panic_exception = nullptr;  // created on the module's first internal failure
    bool reports_failures = false;
};
constexpr std::size_t MAX_MODULES = 3;
ModuleState g_modules[MAX_MODULES];
std::atomic<std::int64_t> g_interpreter{-1};

// The state of the module with this name, claiming a free one the first time.
ModuleState* module_state(const char* name) {
    for (ModuleState& state : g_modules) {
        if (state.name == nullptr) state.name = name;
        if (std::strcmp(state.name, name) == 0) return &state;
    }
    return nullptr;
}

// The state of the module that a function's call came through.
ModuleState& calling_module(PyObject* module) {
    for (ModuleState& state : g_modules) {
        if (state.module != nullptr && state.module == module) return state;
    }
    return g_modules[0];
}

// Written on the calling thread, once the failure is the one the call raises.
void report(PyObject* module, const InternalFailure& failure) noexcept {
    if (!calling_module(module).reports_failures) return;
    try {
        const std::string text = failure.report();
        std::fwrite(text.data(), 1, text.size(), stderr);  // one call: reports do not interleave
    } catch (...) {  // no memory for the report: the exception still says what failed
    }
}

void raise_panic(PyObject* module, const char* message) {
    ModuleState& state = calling_module(module);
    if (state.panic_exception == nullptr) {
        const std::string name =
            std::string(state.name != nullptr ? state.name : "brenix_kernels") + ".PanicException";
        state.panic_exception =
            PyErr_NewExceptionWithDoc(name.c_str(), PANIC_DOC, PyExc_BaseException, nullptr);
        if (state.panic_exception == nullptr) return;  // its error is set instead
    }
    Ref text = Ref::steal(
        PyUnicode_DecodeUTF8(message, static_cast<Py_ssize_t>(strlen(message)), "replace"));
    if (!text) return;
    PyErr_SetObject(state.panic_exception, text.get());
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

void raise_from_current_exception(PyObject* module) noexcept {
    try {
        throw;
    } catch (const InternalFailure& failure) {
        report(module, failure);
        raise_panic(module, failure.what());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& failure) {
        raise_panic(module, failure.what());
    } catch (...) {
        raise_panic(module, "unknown internal failure");
    }
}

PyObject* released_result(Ref result) noexcept {
    if (!result && !PyErr_Occurred()) {
        PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
    }
    return result.release();
}

PyObject* create_module(const ModuleDescription& module_description) {
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
                     module_description.name);
        return nullptr;
    }
    ModuleState* state = module_state(module_description.name);
    if (state == nullptr) {
        PyErr_Format(PyExc_SystemError, "%s: too many modules in one extension file",
                     module_description.name);
        return nullptr;
    }
    if (state->module != nullptr) return Py_NewRef(state->module);

    // Single-phase modules are defined by their last name: the import system
    // gives the module its full one.
    const char* dot = std::strrchr(module_description.name, '.');
    state->def.m_name = dot != nullptr ? dot + 1 : module_description.name;
    state->def.m_doc = module_description.doc;
    state->reports_failures = module_description.reports_failures;
    Ref module = Ref::steal(PyModule_Create2(&state->def, PYTHON_API_VERSION));
    if (!module || !add_functions(module.get(), module_description.functions)) return nullptr;
    state->module = Py_NewRef(module.get());
    return module.release();
}

}  // namespace brenix
