// Per-gene scaling of the stored values of a CSR matrix: each value divided by
// its column's standard deviation over all n_rows rows (implicit zeros
// included), clipped from above only, never centred, so zeros stay zeros.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "core/buffer.hpp"

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
// them).
template <class Out, class In>
Buffer<Out> scale_sparse_values(std::span<const std::int64_t> indices, std::span<const In> data,
                                std::size_t n_cols, std::span<const double> stdev,
                                std::optional<double> max_value);

}  // namespace brenix
