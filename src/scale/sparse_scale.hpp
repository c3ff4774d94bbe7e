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

template <class T>
struct ScaledValues {
    Buffer<T> values;  // one per stored entry, in storage order
    Buffer<double> mean;
    Buffer<double> stdev;
};

ScaledValues<double> scale_sparse_f64(std::span<const std::int64_t> indices,
                                      std::span<const double> data, std::size_t n_rows,
                                      std::size_t n_cols, std::optional<double> max_value);

// float32 values, float64 squares in the moments and float64 output.
ScaledValues<double> scale_sparse_f32_promoted(std::span<const std::int64_t> indices,
                                               std::span<const float> data, std::size_t n_rows,
                                               std::size_t n_cols, std::optional<double> max_value);

// float32 values, float32 squares in the moments, float32 output rounded once
// after clipping in float64.
ScaledValues<float> scale_sparse_f32(std::span<const std::int64_t> indices,
                                     std::span<const float> data, std::size_t n_rows,
                                     std::size_t n_cols, std::optional<double> max_value);

// The write pass of the functions above alone, with the deviations given
// (one per column, n_cols of them): the values in the element type of each.
Buffer<double> scale_sparse_values(std::span<const std::int64_t> indices,
                                   std::span<const double> data, std::size_t n_cols,
                                   std::span<const double> stdev, std::optional<double> max_value);
Buffer<double> scale_sparse_values_promoted(std::span<const std::int64_t> indices,
                                            std::span<const float> data, std::size_t n_cols,
                                            std::span<const double> stdev,
                                            std::optional<double> max_value);
Buffer<float> scale_sparse_values(std::span<const std::int64_t> indices,
                                  std::span<const float> data, std::size_t n_cols,
                                  std::span<const double> stdev, std::optional<double> max_value);

}  // namespace brenix
