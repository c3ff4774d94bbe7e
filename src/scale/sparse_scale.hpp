// Per-gene scaling of the stored values of a CSR matrix: each value divided by
// its column's standard deviation over all n_rows rows (implicit zeros
// included), clipped from above only, never centred, so zeros stay zeros.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "core/buffer.hpp"
#include "core/sparse_matrix.hpp"

namespace brenix {

// One stored value scaled: divided by its column's deviation in float64,
// clipped from above (an ordered comparison: a NaN value or a NaN bound clips
// nothing), then rounded once to Out.
template <class Out, class In>
inline Out scale_stored_value(In x, double stdev, std::optional<double> max_value) {
    double v = static_cast<double>(x) / stdev;
    if (max_value && v > *max_value) v = *max_value;
    return static_cast<Out>(v);
}

// One stored value of a masked scaling: scaled in a row the mask keeps,
// otherwise only converted to Out.
template <class Out, class In>
inline Out masked_stored_value(bool scaled, In x, double stdev, std::optional<double> max_value) {
    return scaled ? scale_stored_value<Out>(x, stdev, max_value) : static_cast<Out>(x);
}

template <class T>
struct ScaledValues {
    Buffer<T> values;  // one per stored entry, in storage order
    Buffer<double> mean;
    Buffer<double> stdev;
};

// Out is the element type of the values: that of the data, or double to
// promote float32 data, which then also squares in float64 for the moments.
// float32 output is rounded once, after clipping in float64. Instantiated for
// (double, double), (double, float) and (float, float).
template <class Out, class In>
ScaledValues<Out> scale_sparse(std::span<const std::int64_t> indices, std::span<const In> data,
                               std::size_t n_rows, std::size_t n_cols,
                               std::optional<double> max_value);

// The write pass alone, with the deviations given (one per column, n_cols of
// them). Indices are int32 or int64.
template <class Out, class I, class In>
Buffer<Out> scale_sparse_values(std::span<const I> indices, std::span<const In> data,
                                std::size_t n_cols, std::span<const double> stdev,
                                std::optional<double> max_value);

// What the write pass of a CSR matrix checks before it reads a column's
// deviation.
enum class WriteCheck {
    // The moment pass checked the rows it summed (the scaled ones); the rows
    // the mask leaves out are checked here in full (in range, none twice), so
    // that every row is checked as the in-memory functions promise.
    rows_left_out,
    // Every entry's column is in range: a row block whose moments other calls
    // summed and checked, whose rows this call cannot number in the matrix.
    columns,
};

// The write pass of a CSR matrix, in storage order: the values of the rows
// the mask keeps (all, without a mask) scaled as scale_stored_value scales
// them, those of the other rows unchanged but for the conversion to Out. The
// first bad entry in storage order fails.
template <class Out, class I, class In>
Buffer<Out> scale_csr_values(const SparseMatrix<I, In>& m, std::span<const double> stdev,
                             std::optional<double> max_value,
                             const std::optional<std::span<const bool>>& mask, WriteCheck check);

}  // namespace brenix
