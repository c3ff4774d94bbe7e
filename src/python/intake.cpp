#include "python/intake.hpp"

#define BRENIX_NUMPY_TABLE_HERE
#include "python/numpy_api.hpp"

#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string_view>

#include "python/args.hpp"
#include "runtime/failure.hpp"

namespace brenix {

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

namespace {

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

}  // namespace

void load_numpy_api() {
    if (PyArray_API != nullptr) return;
    if (!try_load_numpy_api()) {
        throw InternalFailure("Failed to access NumPy array API capsule: " + take_pending_error());
    }
}

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

namespace {

void value_error(const char* message) { PyErr_SetString(PyExc_ValueError, message); }

bool refused(Taken taken, const char* wrong_type) {
    PyErr_SetString(PyExc_TypeError, taken == Taken::not_contiguous
                                         ? "The given array is not contiguous"
                                         : wrong_type);
    return false;
}

bool take_indices(PyObject* indices, IndexTypes types, Entries& out) {
    if (types == IndexTypes::int64_only) {
        out.wide_indices = true;
        const Taken taken = take_vector(indices, out.indices64);
        if (taken == Taken::other_type) return refuse_array(indices);
        if (taken == Taken::not_contiguous) return refuse_noncontiguous();
        return true;
    }
    Taken taken = take_vector(indices, out.indices32);
    if (taken == Taken::other_type) {
        taken = take_vector(indices, out.indices64);
        out.wide_indices = true;
    }
    return taken == Taken::ok || refused(taken, "indices must be an int32 or int64 array");
}

// The offsets of a compressed matrix's n_major rows (csr) or columns (csc)
// among its n_entries stored entries.
bool offsets_fit(std::span<const std::int64_t> p, std::size_t n_major, std::size_t n_entries) {
    bool ok =
        p.size() == n_major + 1 && p[0] == 0 && static_cast<std::size_t>(p.back()) == n_entries;
    for (std::size_t i = 1; ok && i < p.size(); ++i) ok = p[i - 1] <= p[i];
    if (!ok) {
        value_error(
            "indptr must hold n_rows + 1 (csr) or n_cols + 1 (csc) offsets, from 0, never "
            "decreasing, up to len(data)");
    }
    return ok;
}

// The entries (or, without data, the indices alone), then indptr, checked
// against the layout and shape.
bool take_offsets_and_entries(Layout layout, PyObject* indptr, PyObject* indices, PyObject* data,
                              std::uint64_t n_rows, std::uint64_t n_cols, Compressed& out) {
    out.layout = layout;
    out.n_rows = n_rows;
    out.n_cols = n_cols;
    if (data != nullptr) {
        if (!take_entries(indices, data, IndexTypes::int32_or_int64, out)) return false;
    } else {
        if (!take_indices(indices, IndexTypes::int32_or_int64, out)) return false;
    }
    const Taken taken = take_vector(indptr, out.indptr);
    if (taken != Taken::ok) return refused(taken, "indptr must be an int64 array");
    // The passes address entries by these offsets without the interpreter
    // lock, while another thread may write the caller's array: they work on
    // a copy taken here, under the lock, and checked below (one offset per
    // row or column, little beside the entries).
    if (out.indptr.values.data() != out.indptr.aligned.data()) {
        out.indptr.aligned = Buffer<std::int64_t>::uninitialized(out.indptr.values.size());
        std::copy(out.indptr.values.begin(), out.indptr.values.end(), out.indptr.aligned.data());
        out.indptr.values = {out.indptr.aligned.data(), out.indptr.values.size()};
    }
    return offsets_fit(out.indptr.values, layout == Layout::csr ? n_rows : n_cols,
                       data != nullptr ? out.n_values() : out.n_indices());
}

}  // namespace

bool take_f64(PyObject* object, Vector<double>& out) {
    const Taken taken = take_vector(object, out);
    if (taken == Taken::other_type) return refuse_array(object);
    if (taken == Taken::not_contiguous) return refuse_noncontiguous();
    return true;
}

bool take_deviations(PyObject* mean, PyObject* sd, PyObject* clip, std::size_t n_sets,
                     std::size_t n_cols, DeviationArrays& out) {
    const bool standardised = sd != Py_None;
    if (standardised != (clip != Py_None)) {
        value_error("sd and clip come together (the standardised pass) or not at all");
        return false;
    }
    if (!take_f64(mean, out.mean) ||
        (standardised && (!take_f64(sd, out.sd) || !take_f64(clip, out.clip)))) {
        return false;
    }
    if (out.mean.values.size() != n_sets * n_cols ||
        (standardised &&
         (out.sd.values.size() != n_sets * n_cols || out.clip.values.size() != n_sets))) {
        value_error("mean and sd must hold one value per column of each group, clip one per group");
        return false;
    }
    out.dev = {out.mean.values, out.sd.values, out.clip.values, n_cols, standardised};
    return true;
}

bool take_entries(PyObject* indices, PyObject* data, IndexTypes types, Entries& out) {
    if (!take_indices(indices, types, out)) return false;
    Taken taken = take_vector(data, out.data64);
    if (taken == Taken::other_type) {
        taken = take_vector(data, out.data32);
        out.float_data = true;
    }
    return taken == Taken::ok || refused(taken, "sparse data must be float32 or float64");
}

bool take_compressed(PyObject* layout, PyObject* indptr, PyObject* indices, PyObject* data,
                     std::uint64_t n_rows, std::uint64_t n_cols, Compressed& out) {
    const char* name = PyUnicode_Check(layout) ? PyUnicode_AsUTF8(layout) : nullptr;
    if (name == nullptr) PyErr_Clear();
    const std::string_view given = name != nullptr ? name : "";
    if (given != "csr" && given != "csc") {
        value_error("layout must be 'csr' or 'csc'");
        return false;
    }
    return take_offsets_and_entries(given == "csr" ? Layout::csr : Layout::csc, indptr, indices,
                                    data, n_rows, n_cols, out);
}

bool take_csr_block(PyObject* indptr, PyObject* indices, PyObject* data, std::uint64_t n_cols,
                    Compressed& out) {
    Vector<std::int64_t> pointers;
    if (take_vector(indptr, pointers) != Taken::ok || pointers.values.empty()) {
        value_error("indptr must be a 1-D contiguous int64 array of n_rows + 1 offsets");
        return false;
    }
    return take_offsets_and_entries(Layout::csr, indptr, indices, data, pointers.values.size() - 1,
                                    n_cols, out);
}

bool take_mask(PyObject* object, std::size_t n_rows, Mask& out) {
    if (object == Py_None) return true;
    if (take_vector(object, out.flags) != Taken::ok || out.flags.values.size() != n_rows) {
        value_error("mask must be None or a 1-D contiguous bool array with one flag per row");
        return false;
    }
    // A NumPy bool may hold any byte (a view of uint8 as bool does), and a
    // bool holding other than 0 or 1 is undefined behaviour to read; and the
    // kernels read the mask without the interpreter lock, while another thread
    // may write it. So the kernels always get a copy of 0s and 1s, read here
    // byte by byte, any nonzero byte being true: one byte per row.
    const auto* bytes = reinterpret_cast<const unsigned char*>(out.flags.values.data());
    const std::size_t n = out.flags.values.size();
    auto flags = Buffer<bool>::uninitialized(n);
    for (std::size_t r = 0; r < n; ++r) flags.data()[r] = bytes[r] != 0;
    out.flags.aligned = std::move(flags);
    out.flags.values = {out.flags.aligned.data(), n};
    out.rows = out.flags.values;
    return true;
}

namespace {

std::uint64_t physical_memory() {
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long page = sysconf(_SC_PAGE_SIZE);
    if (pages <= 0 || page <= 0) return std::uint64_t{16} << 30;
    return static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(page);
}

}  // namespace

bool take_groups(PyObject* object, std::size_t n_rows, std::size_t n_groups, Groups& out) {
    if (object == Py_None) return true;
    // Every grouped pass keeps offsets and counts per group, whatever the
    // codes: a number of groups whose offsets alone would not fit in memory is
    // refused before they are asked for.
    constexpr std::uint64_t per_group = 2 * sizeof(std::size_t);
    if (n_groups > physical_memory() / per_group) {
        PyErr_Format(PyExc_MemoryError,
                     "n_groups is %zu: the per-group offsets alone would take more than this "
                     "machine's %llu bytes of memory",
                     n_groups, static_cast<unsigned long long>(physical_memory()));
        return false;
    }
    if (take_vector(object, out.codes) != Taken::ok || out.codes.values.size() != n_rows) {
        value_error("groups must be None or a 1-D contiguous int64 array with one code per row");
        return false;
    }
    for (const std::int64_t code : out.codes.values) {
        if (code < -1 || (code >= 0 && static_cast<std::uint64_t>(code) >= n_groups)) {
            value_error("a group code is out of range: codes must lie in [-1, n_groups)");
            return false;
        }
    }
    out.rows = out.codes.values;
    return true;
}

bool take_counts(PyObject* object, const char* name, std::vector<std::uint64_t>& out) {
    Vector<std::int64_t> counts;
    if (take_vector(object, counts) != Taken::ok) {
        PyErr_Format(PyExc_ValueError,
                     "%s must be a 1-D contiguous int64 array, one count per group", name);
        return false;
    }
    for (const std::int64_t count : counts.values) {
        if (count < 0) {
            PyErr_Format(PyExc_ValueError, "%s must hold counts >= 0", name);
            return false;
        }
        out.push_back(static_cast<std::uint64_t>(count));
    }
    return true;
}

bool take_block_groups(PyObject* codes, PyObject* before, std::size_t n_rows, BlockGroups& out) {
    if (!take_counts(before, "before", out.before)) return false;
    if (!take_groups(codes, n_rows, out.before.size(), out.codes)) return false;
    if (out.codes.rows) return true;
    value_error("codes must be given, one per row of the block");
    return false;
}

bool take_head(PyObject* object, std::size_t items, std::vector<std::uint64_t>& out) {
    if (!take_counts(object, "head", out)) return false;
    std::uint64_t sum = 0;
    for (const std::uint64_t count : out) sum += count;
    if (sum == items) return true;
    value_error("head must add up to the items given, one count per group");
    return false;
}

bool take_sums(PyObject* object, ColumnSums& out) {
    Vector<double> flat;
    if (!take_f64(object, flat)) return false;
    const FlatSums layout{flat.values.size() / 2};
    if (layout.run() != flat.values.size()) {
        value_error("running sums must hold 2 * n_cols values");
        return false;
    }
    out = layout.read(flat.values);
    return true;
}

bool take_open(PyObject* object, std::size_t n_groups, std::size_t n_cols, Vector<double>& out) {
    if (!take_f64(object, out)) return false;
    if (out.values.size() == n_groups * FlatSums{n_cols}.run()) return true;
    value_error("open chunks must hold 2 * n_cols values per group");
    return false;
}

}  // namespace brenix
