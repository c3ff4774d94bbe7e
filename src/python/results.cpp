#include "python/results.hpp"

#include "python/intake.hpp"
#include "python/numpy_api.hpp"

#include <cstdlib>

#include "runtime/failure.hpp"

namespace brenix {

namespace {

using ReleaseFn = void (*)(void* address, std::size_t length, std::size_t capacity);

// Owner of one result buffer; NumPy keeps it alive as the array's base.
struct SliceContainer {
    PyObject_HEAD void* address;
    std::size_t length;
    std::size_t capacity;
    ReleaseFn release;
};

void release_malloced(void* address, std::size_t, std::size_t capacity) {
    if (capacity != 0) std::free(address);
}

void slice_container_dealloc(PyObject* self) {
    auto* container = reinterpret_cast<SliceContainer*>(self);
    container->release(container->address, container->length, container->capacity);
    PyTypeObject* type = Py_TYPE(self);
    auto* free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_slot(self);
    Py_DECREF(type);
}

PyTypeObject* owner_type() {
    static PyTypeObject* type = nullptr;  // created once, kept for the process
    if (type != nullptr) return type;
    static PyType_Slot slots[] = {
        {Py_tp_dealloc, reinterpret_cast<void*>(slice_container_dealloc)},
        {Py_tp_doc, const_cast<char*>(
                        "Utility type to safely store `Box<[_]>` or `Vec<_>` on the Python heap")},
        {0, nullptr},
    };
    // The dotted name sets __module__ to "builtins" explicitly; a bare name
    // would report the same module but warn (DeprecationWarning) on creation,
    // which breaks the first call under warnings-as-errors.
    static PyType_Spec owner_spec = {
        "builtins.PySliceContainer",
        sizeof(SliceContainer),
        0,
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
        slots,
    };
    PyObject* created = PyType_FromSpec(&owner_spec);
    if (created == nullptr) {
        throw InternalFailure("An error occurred while initializing class PySliceContainer: " +
                              take_pending_error());
    }
    type = reinterpret_cast<PyTypeObject*>(created);
    return type;
}

// NumPy allocates memory of its own when given a null data pointer, so empty
// results point here instead; their owner has capacity 0 and frees nothing.
alignas(64) unsigned char empty_storage[64];

template <class T>
PyObject* wrap(Buffer<T> buffer, int ndim, const npy_intp* dims, int typenum) {
    load_numpy_api();
    PyTypeObject* type = owner_type();
    Ref owner = Ref::steal(PyType_GenericAlloc(type, 0));
    if (!owner) throw InternalFailure("Failed to create slice container: " + take_pending_error());
    auto* container = reinterpret_cast<SliceContainer*>(owner.get());
    container->length = buffer.size();
    container->capacity = buffer.size();
    container->release = release_malloced;
    container->address = buffer.release();  // from here on the owner frees it
    void* data = container->address != nullptr ? container->address : empty_storage;

    npy_intp strides[2] = {0, 0};
    const bool empty = dims[0] == 0 || (ndim == 2 && dims[1] == 0);
    if (!empty) {
        strides[ndim - 1] = sizeof(T);
        if (ndim == 2) strides[0] = dims[1] * static_cast<npy_intp>(sizeof(T));
    }
    PyObject* array = PyArray_NewFromDescr(&PyArray_Type, PyArray_DescrFromType(typenum), ndim,
                                           const_cast<npy_intp*>(dims), strides, data,
                                           NPY_ARRAY_WRITEABLE, nullptr);
    if (array == nullptr) {
        PyErr_PrintEx(0);
        throw InternalFailure("Python API call failed");
    }
    // Steals the owner reference, also when it fails.
    if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array), owner.release()) < 0) {
        Py_DECREF(array);
        PyErr_PrintEx(0);
        throw InternalFailure("Python API call failed");
    }
    return array;
}

}  // namespace

PyObject* wrap_1d(Buffer<double> buffer) {
    const npy_intp dims[1] = {static_cast<npy_intp>(buffer.size())};
    return wrap(std::move(buffer), 1, dims, NPY_DOUBLE);
}

PyObject* wrap_1d(Buffer<float> buffer) {
    const npy_intp dims[1] = {static_cast<npy_intp>(buffer.size())};
    return wrap(std::move(buffer), 1, dims, NPY_FLOAT);
}

PyObject* wrap_1d(Buffer<std::int32_t> buffer) {
    const npy_intp dims[1] = {static_cast<npy_intp>(buffer.size())};
    return wrap(std::move(buffer), 1, dims, NPY_INT32);
}

PyObject* wrap_1d(Buffer<std::int64_t> buffer) {
    const npy_intp dims[1] = {static_cast<npy_intp>(buffer.size())};
    return wrap(std::move(buffer), 1, dims, NPY_INT64);
}

PyObject* wrap_2d(Buffer<double> buffer, std::size_t n_rows, std::size_t n_cols) {
    const npy_intp dims[2] = {static_cast<npy_intp>(n_rows), static_cast<npy_intp>(n_cols)};
    return wrap(std::move(buffer), 2, dims, NPY_DOUBLE);
}

PyObject* wrap_2d(Buffer<float> buffer, std::size_t n_rows, std::size_t n_cols) {
    const npy_intp dims[2] = {static_cast<npy_intp>(n_rows), static_cast<npy_intp>(n_cols)};
    return wrap(std::move(buffer), 2, dims, NPY_FLOAT);
}

PyObject* make_tuple(std::span<Ref> items) {
    PyObject* tuple = PyTuple_New(static_cast<Py_ssize_t>(items.size()));
    if (tuple == nullptr) {
        PyErr_PrintEx(0);
        throw InternalFailure("Python API call failed");
    }
    for (std::size_t i = 0; i < items.size(); ++i) {
        PyTuple_SET_ITEM(tuple, static_cast<Py_ssize_t>(i), items[i].release());
    }
    return tuple;
}

}  // namespace brenix
