#include "python/intake.hpp"

#define NPY_NO_DEPRECATED_API NPY_1_25_API_VERSION
#include <numpy/arrayobject.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "python/args.hpp"
#include "runtime/failure.hpp"

namespace brenix {

namespace {

// Takes the pending Python exception and returns its text; used where a
// Python-level failure becomes an internal one.
std::string take_pending_error() {
    Ref error = Ref::steal(PyErr_GetRaisedException());
    if (!error) return "attempted to fetch exception but none was set";
    Ref text = Ref::steal(PyObject_Str(error.get()));
    const char* utf8 = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
    if (utf8 == nullptr) {
        PyErr_Clear();
        return "<exception str() failed>";
    }
    return std::string(Py_TYPE(error.get())->tp_name) + ": " + utf8;
}

// NumPy's C interface table, loaded on the first array intake of the process
// (never at import: importing this module must not import NumPy). NumPy 2
// moved its core to numpy._core; the capsule is looked up where the running
// version keeps it.
bool try_load_numpy_api() {
    Ref numpy = Ref::steal(PyImport_ImportModule("numpy"));
    if (!numpy) return false;
    Ref version = Ref::steal(PyObject_GetAttrString(numpy.get(), "__version__"));
    if (!version) return false;
    Ref lib = Ref::steal(PyImport_ImportModule("numpy.lib"));
    if (!lib) return false;
    Ref parsed = Ref::steal(PyObject_CallMethod(lib.get(), "NumpyVersion", "O", version.get()));
    if (!parsed) return false;
    Ref major = Ref::steal(PyObject_GetAttrString(parsed.get(), "major"));
    if (!major) return false;
    const long major_version = PyLong_AsLong(major.get());
    if (major_version == -1 && PyErr_Occurred()) return false;
    const char* core = major_version >= 2 ? "numpy._core.multiarray" : "numpy.core.multiarray";
    Ref multiarray = Ref::steal(PyImport_ImportModule(core));
    if (!multiarray) return false;
    Ref capsule = Ref::steal(PyObject_GetAttrString(multiarray.get(), "_ARRAY_API"));
    if (!capsule) return false;
    if (!PyCapsule_CheckExact(capsule.get())) {
        PyErr_SetString(PyExc_TypeError, "_ARRAY_API is not a capsule");
        return false;
    }
    auto** table = static_cast<void**>(PyCapsule_GetPointer(capsule.get(), nullptr));
    if (table == nullptr) return false;
    PyArray_API = table;
    // A newer ABI than the headers know, or an older feature level than they
    // need, would make the table's layout unknown: refuse both.
    if (PyArray_GetNDArrayCVersion() > NPY_ABI_VERSION ||
        static_cast<int>(PyArray_GetNDArrayCFeatureVersion()) < NPY_FEATURE_VERSION) {
        PyArray_API = nullptr;
        PyErr_Format(PyExc_ImportError,
                     "NumPy C API version 0x%x (ABI 0x%x) is not compatible with the one this "
                     "module was built against",
                     static_cast<int>(PyArray_GetNDArrayCFeatureVersion()),
                     static_cast<int>(PyArray_GetNDArrayCVersion()));
        return false;
    }
    PyArray_RUNTIME_VERSION = static_cast<int>(PyArray_GetNDArrayCFeatureVersion());
    return true;
}

void load_numpy_api() {
    if (PyArray_API != nullptr) return;
    if (!try_load_numpy_api()) {
        throw InternalFailure("Failed to access NumPy array API capsule: " + take_pending_error());
    }
}

// Accepted as an array of element type `typenum` and `ndim` dimensions: an
// ndarray (or subclass) whose descriptor is, or is equivalent to, the
// canonical one. Equivalence includes native byte order.
bool accepts(PyObject* object, int typenum, int ndim) {
    if (!PyArray_Check(object)) return false;
    auto* array = reinterpret_cast<PyArrayObject*>(object);
    if (PyArray_NDIM(array) != ndim) return false;
    PyArray_Descr* canonical = PyArray_DescrFromType(typenum);
    const bool same =
        PyArray_DESCR(array) == canonical || PyArray_EquivTypes(PyArray_DESCR(array), canonical);
    Py_DECREF(canonical);
    return same;
}

bool refuse_array(PyObject* object) {
    raise_cannot_convert(object, "PyArray<T, D>");
    return false;
}

bool is_aligned(const void* data, std::size_t alignment) {
    return reinterpret_cast<std::uintptr_t>(data) % alignment == 0;
}

// Row-major contiguous in the sense of the kernels: ignoring axes of length 1,
// the last stride is one element and the first the length of a row; an empty
// array qualifies. Misaligned memory does not: it is copied too, so kernels
// only ever see properly aligned values.
template <class T>
bool is_row_major(PyArrayObject* array) {
    const npy_intp* dims = PyArray_DIMS(array);
    const npy_intp* strides = PyArray_STRIDES(array);
    if (dims[0] == 0 || dims[1] == 0) return true;
    const npy_intp item = sizeof(T);
    if (dims[1] != 1 && strides[1] != item) return false;
    if (dims[0] != 1 && strides[0] != dims[1] * item) return false;
    return is_aligned(PyArray_DATA(array), alignof(T));
}

template <class T>
void view_dense(Ref array_ref, DenseMatrix& out) {
    auto* array = reinterpret_cast<PyArrayObject*>(array_ref.get());
    const std::size_t n_rows = static_cast<std::size_t>(PyArray_DIM(array, 0));
    const std::size_t n_cols = static_cast<std::size_t>(PyArray_DIM(array, 1));
    out.n_rows = n_rows;
    out.n_cols = n_cols;
    const std::size_t n = n_rows * n_cols;
    if (is_row_major<T>(array)) {
        out.values = std::span<const T>(static_cast<const T*>(PyArray_DATA(array)), n);
    } else {
        // Byte strides, signed: negative strides and strides that are not a
        // multiple of the element size are both read in logical order.
        auto copy = Buffer<T>::uninitialized(n);
        const char* base = static_cast<const char*>(PyArray_DATA(array));
        const npy_intp row_stride = PyArray_STRIDE(array, 0);
        const npy_intp col_stride = PyArray_STRIDE(array, 1);
        for (std::size_t r = 0; r < n_rows; ++r) {
            const char* row = base + static_cast<npy_intp>(r) * row_stride;
            T* dst = copy.data() + r * n_cols;
            for (std::size_t c = 0; c < n_cols; ++c) {
                std::memcpy(dst + c, row + static_cast<npy_intp>(c) * col_stride, sizeof(T));
            }
        }
        out.values = std::span<const T>(copy.data(), n);
        if constexpr (std::is_same_v<T, double>) {
            out.copy_f64 = std::move(copy);
        } else {
            out.copy_f32 = std::move(copy);
        }
    }
    out.keep = std::move(array_ref);
}

bool refuse_noncontiguous() {
    PyErr_SetString(PyExc_TypeError, "The given array is not contiguous");
    return false;
}

bool is_contiguous(PyObject* object) {
    auto* array = reinterpret_cast<PyArrayObject*>(object);
    return PyArray_IS_C_CONTIGUOUS(array) || PyArray_IS_F_CONTIGUOUS(array);
}

// A contiguous 1-D array used in place, or, when its memory is misaligned for
// its element type, an aligned copy.
template <class T>
std::span<const T> view_flat(PyObject* object, Buffer<T>& aligned) {
    auto* array = reinterpret_cast<PyArrayObject*>(object);
    const std::size_t n = static_cast<std::size_t>(PyArray_DIM(array, 0));
    const void* data = PyArray_DATA(array);
    if (is_aligned(data, alignof(T))) return {static_cast<const T*>(data), n};
    aligned = Buffer<T>::uninitialized(n);
    if (n > 0) std::memcpy(aligned.data(), data, n * sizeof(T));
    return {aligned.data(), n};
}

// --- result arrays ---------------------------------------------------------

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

bool take_dense(PyObject* x, DenseMatrix& out) {
    load_numpy_api();
    if (accepts(x, NPY_DOUBLE, 2)) {
        view_dense<double>(Ref::borrow(x), out);
        return true;
    }
    if (accepts(x, NPY_FLOAT, 2)) {
        view_dense<float>(Ref::borrow(x), out);
        return true;
    }
    Ref astype = Ref::steal(PyObject_GetAttrString(x, "astype"));
    if (!astype) return false;
    Ref dtype = Ref::steal(PyUnicode_FromString("float64"));
    if (!dtype) return false;
    Ref converted = Ref::steal(PyObject_CallOneArg(astype.get(), dtype.get()));
    if (!converted) return false;
    if (!accepts(converted.get(), NPY_DOUBLE, 2)) return refuse_array(converted.get());
    view_dense<double>(std::move(converted), out);
    return true;
}

bool take_sparse(PyObject* indices, PyObject* data, SparseEntries& out) {
    load_numpy_api();
    if (!accepts(indices, NPY_INT64, 1)) return refuse_array(indices);
    if (!is_contiguous(indices)) return refuse_noncontiguous();
    out.keep_indices = Ref::borrow(indices);
    out.indices = view_flat<std::int64_t>(indices, out.aligned_indices);

    if (accepts(data, NPY_DOUBLE, 1)) {
        if (!is_contiguous(data)) return refuse_noncontiguous();
        out.data = view_flat<double>(data, out.aligned_f64);
    } else if (accepts(data, NPY_FLOAT, 1)) {
        if (!is_contiguous(data)) return refuse_noncontiguous();
        out.data = view_flat<float>(data, out.aligned_f32);
    } else {
        PyErr_SetString(PyExc_TypeError, "sparse data must be float32 or float64");
        return false;
    }
    out.keep_data = Ref::borrow(data);
    return true;
}

bool take_f64_vector(PyObject* object, F64Vector& out) {
    load_numpy_api();
    if (!accepts(object, NPY_DOUBLE, 1)) return refuse_array(object);
    if (!is_contiguous(object)) return refuse_noncontiguous();
    out.keep = Ref::borrow(object);
    out.values = view_flat<double>(object, out.aligned);
    return true;
}

namespace {

template <class T>
Taken take_vector_of(PyObject* object, int typenum, Vector<T>& out) {
    load_numpy_api();
    if (!accepts(object, typenum, 1)) return Taken::other_type;
    if (!is_contiguous(object)) return Taken::not_contiguous;
    out.keep = Ref::borrow(object);
    out.values = view_flat<T>(object, out.aligned);
    return Taken::ok;
}

}  // namespace

Taken take_vector(PyObject* object, Vector<std::int32_t>& out) {
    return take_vector_of(object, NPY_INT32, out);
}
Taken take_vector(PyObject* object, Vector<std::int64_t>& out) {
    return take_vector_of(object, NPY_INT64, out);
}
Taken take_vector(PyObject* object, Vector<bool>& out) {
    static_assert(sizeof(bool) == 1);
    return take_vector_of(object, NPY_BOOL, out);
}
Taken take_vector(PyObject* object, Vector<float>& out) {
    return take_vector_of(object, NPY_FLOAT, out);
}
Taken take_vector(PyObject* object, Vector<double>& out) {
    return take_vector_of(object, NPY_DOUBLE, out);
}

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
