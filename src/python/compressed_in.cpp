#include "python/compressed_in.hpp"

#include <string_view>

namespace brenix {

namespace {

void value_error(const char* message) { PyErr_SetString(PyExc_ValueError, message); }

void type_error(const char* message) { PyErr_SetString(PyExc_TypeError, message); }

bool refused(Taken taken, const char* wrong_type) {
    type_error(taken == Taken::not_contiguous ? "The given array is not contiguous" : wrong_type);
    return false;
}

}  // namespace

bool take_entries_in(PyObject* indices, PyObject* data, EntriesIn& out) {
    Taken taken = take_vector(indices, out.indices32);
    if (taken == Taken::other_type) {
        taken = take_vector(indices, out.indices64);
        out.wide_indices = true;
    }
    if (taken != Taken::ok) return refused(taken, "indices must be an int32 or int64 array");
    taken = take_vector(data, out.data64);
    if (taken == Taken::other_type) {
        taken = take_vector(data, out.data32);
        out.float_data = true;
    }
    if (taken != Taken::ok) return refused(taken, "sparse data must be float32 or float64");
    return true;
}

bool take_sparse_in(PyObject* layout, PyObject* indptr, PyObject* indices, PyObject* data,
                    std::uint64_t n_rows, std::uint64_t n_cols, SparseIn& out) {
    const char* name = PyUnicode_Check(layout) ? PyUnicode_AsUTF8(layout) : nullptr;
    if (name == nullptr) PyErr_Clear();
    const std::string_view given = name != nullptr ? name : "";
    if (given != "csr" && given != "csc") {
        value_error("layout must be 'csr' or 'csc'");
        return false;
    }
    out.layout = given == "csr" ? Layout::csr : Layout::csc;
    out.n_rows = n_rows;
    out.n_cols = n_cols;
    if (!take_entries_in(indices, data, out)) return false;
    const Taken taken = take_vector(indptr, out.indptr);
    if (taken != Taken::ok) return refused(taken, "indptr must be an int64 array");

    const std::span<const std::int64_t> p = out.indptr.values;
    const std::size_t n_major = out.layout == Layout::csr ? n_rows : n_cols;
    const std::size_t nnz = out.float_data ? out.data32.values.size() : out.data64.values.size();
    bool ok = p.size() == n_major + 1 && p[0] == 0 && static_cast<std::size_t>(p.back()) == nnz;
    for (std::size_t i = 1; ok && i < p.size(); ++i) ok = p[i - 1] <= p[i];
    if (!ok) {
        value_error(
            "indptr must hold n_rows + 1 (csr) or n_cols + 1 (csc) offsets, from 0, never "
            "decreasing, up to len(data)");
    }
    return ok;
}

bool take_groups(PyObject* object, std::size_t n_rows, std::size_t n_groups,
                 Vector<std::int64_t>& codes, std::optional<std::span<const std::int64_t>>& out) {
    if (object == Py_None) return true;
    if (take_vector(object, codes) != Taken::ok || codes.values.size() != n_rows) {
        value_error("groups must be None or a 1-D contiguous int64 array with one code per row");
        return false;
    }
    for (const std::int64_t code : codes.values) {
        if (code < -1 || (code >= 0 && static_cast<std::uint64_t>(code) >= n_groups)) {
            value_error("a group code is out of range: codes must lie in [-1, n_groups)");
            return false;
        }
    }
    out = codes.values;
    return true;
}

}  // namespace brenix
