// The one intake of array arguments: every array a function of the three
// modules reads comes in here, as a typed read-only view of the caller's
// memory (or, where the layout or alignment is unusable, a copy this side
// owns), checked as the parameter's contract words it.
//
// Every take_* follows the interpreter's convention: false means a Python
// exception is set. Each view holds a reference to the array it reads, so it
// stays valid without the interpreter lock for as long as the view lives.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <variant>
#include <vector>

#include "core/buffer.hpp"
#include "core/column_sums.hpp"
#include "core/sparse_matrix.hpp"
#include "python/ref.hpp"
#include "vst/deviations.hpp"

namespace brenix {

// NumPy's C interface table, loaded on the first use in the process (never
// at import: importing a module of ours must not import NumPy). Throws
// InternalFailure if NumPy cannot be loaded.
void load_numpy_api();

// --- dense matrices -----------------------------------------------------------

// A dense matrix as one contiguous row-major run of values: the input's own
// memory when it already has that layout, otherwise a copy that lives as long
// as this object. `keep` holds the array the values come from.
struct DenseMatrix {
    std::variant<std::span<const double>, std::span<const float>> values;
    std::size_t n_rows = 0;
    std::size_t n_cols = 0;
    Ref keep;
    Buffer<double> copy_f64;
    Buffer<float> copy_f32;
};

// x of the dense functions: a 2-D float64 or float32 array, or whatever
// x.astype("float64") makes of it.
bool take_dense(PyObject* x, DenseMatrix& out);

// --- flat arrays --------------------------------------------------------------

// A 1-D contiguous array of T (int32, int64, bool, float32 or float64), in
// place or as an aligned copy. take_vector sets no error: the caller says
// what was wrong, as the parameter's contract words it.
template <class T>
struct Vector {
    std::span<const T> values;
    Ref keep;
    Buffer<T> aligned;
};
enum class Taken { ok, other_type, not_contiguous };
Taken take_vector(PyObject* object, Vector<std::int32_t>& out);
Taken take_vector(PyObject* object, Vector<std::int64_t>& out);
Taken take_vector(PyObject* object, Vector<bool>& out);
Taken take_vector(PyObject* object, Vector<float>& out);
Taken take_vector(PyObject* object, Vector<double>& out);

// A 1-D contiguous float64 array (the given column statistics of the scaling
// passes, the chunk sums of a fold).
bool take_f64(PyObject* object, Vector<double>& out);

// The parameters of a deviation pass (vst/deviations.hpp): a mean per column
// of each of n_sets row sets, an sd as large and a clip per set, float64; sd
// and clip None for the centred pass. Read in place, without the lock: a
// value written meanwhile changes a result, never an address.
struct DeviationArrays {
    Vector<double> mean;
    Vector<double> sd;
    Vector<double> clip;
    GroupDeviations dev;
};
bool take_deviations(PyObject* mean, PyObject* sd, PyObject* clip, std::size_t n_sets,
                     std::size_t n_cols, DeviationArrays& out);

// --- stored entries -----------------------------------------------------------

// Which index types a function takes: _core's four functions document int64
// alone (with their own wording for anything else); the other modules read
// SciPy's indices as stored, int32 or int64.
enum class IndexTypes { int64_only, int32_or_int64 };

// Stored entries: indices and data (float32 or float64), 1-D and contiguous,
// each of whichever width it comes in.
struct Entries {
    Vector<std::int32_t> indices32;
    Vector<std::int64_t> indices64;
    Vector<float> data32;
    Vector<double> data64;
    bool wide_indices = false;
    bool float_data = false;

    std::size_t n_indices() const {
        return wide_indices ? indices64.values.size() : indices32.values.size();
    }
    std::size_t n_values() const {
        return float_data ? data32.values.size() : data64.values.size();
    }

    // f(std::span<const I> indices, std::span<const T> data).
    template <class F>
    decltype(auto) visit(F&& f) const {
        return visit_indices([&]<class I>(std::span<const I> indices) -> decltype(auto) {
            if (float_data) return f(indices, data32.values);
            return f(indices, data64.values);
        });
    }
    // f(std::span<const I> indices).
    template <class F>
    decltype(auto) visit_indices(F&& f) const {
        return wide_indices ? f(indices64.values) : f(indices32.values);
    }
    // f(std::span<const T> data), for a function that takes int64 indices only.
    template <class F>
    decltype(auto) visit_data(F&& f) const {
        return float_data ? f(data32.values) : f(data64.values);
    }
};

bool take_entries(PyObject* indices, PyObject* data, IndexTypes types, Entries& out);

// A compressed matrix's arrays, used in place: its stored entries, and the
// offsets of its rows (csr) or columns (csc) among them.
struct Compressed : Entries {
    Layout layout = Layout::csr;
    Vector<std::int64_t> indptr;
    std::size_t n_rows = 0;
    std::size_t n_cols = 0;

    // f(SparseMatrix<I, T>) for the matrix's index and value types.
    template <class F>
    decltype(auto) visit(F&& f) const {
        return Entries::visit([&]<class I, class T>(std::span<const I> indices,
                                                    std::span<const T> data) -> decltype(auto) {
            return f(SparseMatrix<I, T>{layout, indptr.values, indices, data, n_rows, n_cols});
        });
    }
};

// layout ('csr' or 'csc'), indptr (int64), indices (int32 or int64), data
// (float32 or float64), each 1-D and contiguous, used in place; indptr
// checked to hold n_rows + 1 (csr) or n_cols + 1 (csc) offsets from 0, never
// decreasing, up to len(data).
bool take_compressed(PyObject* layout, PyObject* indptr, PyObject* indices, PyObject* data,
                     std::uint64_t n_rows, std::uint64_t n_cols, Compressed& out);

// A CSR row block of n_cols columns: indptr (int64, n_rows + 1 offsets, which
// give the block's rows), then as take_compressed. Without data (null), the
// structure alone: indptr then ends at len(indices), and only the indices are
// taken (visit_indices).
bool take_csr_block(PyObject* indptr, PyObject* indices, PyObject* data, std::uint64_t n_cols,
                    Compressed& out);

// --- rows: masks and groups ---------------------------------------------------

// mask: None, or one bool per row; a byte other than 0 and 1 is true (the
// flags are then a normalised copy).
struct Mask {
    Vector<bool> flags;
    std::optional<std::span<const bool>> rows;
};
bool take_mask(PyObject* object, std::size_t n_rows, Mask& out);

// groups: None, or one int64 code in [-1, n_groups) per row; a number of
// groups whose per-group offsets could not fit in memory raises MemoryError.
struct Groups {
    Vector<std::int64_t> codes;
    std::optional<std::span<const std::int64_t>> rows;
};
bool take_groups(PyObject* object, std::size_t n_rows, std::size_t n_groups, Groups& out);

// Counts per group: a 1-D contiguous int64 array of values >= 0; `name` is the
// parameter's, for the messages.
bool take_counts(PyObject* object, const char* name, std::vector<std::uint64_t>& out);

// The groups of a row block's rows: `codes` (given, one per row, as
// take_groups checks them) and `before` (counts: each group's rows above the
// block), whose length gives the number of groups.
struct BlockGroups {
    Groups codes;
    std::vector<std::uint64_t> before;
};
bool take_block_groups(PyObject* codes, PyObject* before, std::size_t n_rows, BlockGroups& out);

// A head: one count per group, adding up to `items`.
bool take_head(PyObject* object, std::size_t items, std::vector<std::uint64_t>& out);

// --- running sums -------------------------------------------------------------

// Running sums given from Python: one FlatSums run, whose width gives the
// number of columns.
bool take_sums(PyObject* object, ColumnSums& out);

// Open chunks given from Python: one FlatSums run of n_cols columns per group.
bool take_open(PyObject* object, std::size_t n_groups, std::size_t n_cols, Vector<double>& out);

}  // namespace brenix
