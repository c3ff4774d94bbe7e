#include "scale/sparse_scale.hpp"

#include "core/sparse_sums.hpp"
#include "runtime/pool.hpp"

namespace brenix {

namespace {

// values[k] = data[k] / stdev[indices[k]], clipped from above at max_value.
template <class Out, class In>
Buffer<Out> scale_values(std::span<const std::int64_t> indices, std::span<const In> data,
                         std::size_t n_cols, std::span<const double> stdev,
                         std::optional<double> max_value) {
    const std::size_t nnz = data.size();
    auto values = Buffer<Out>::uninitialized(nnz);
    const std::uint64_t* columns = reinterpret_cast<const std::uint64_t*>(indices.data());
    const double* sd = stdev.data();
    element_map(nnz, [&](std::size_t begin, std::size_t end) {
        const std::size_t indexed_end = std::clamp(indices.size(), begin, end);
        Out* __restrict out = values.data();
        for (std::size_t k = begin; k < indexed_end; ++k) {
            const std::uint64_t j = columns[k];
            if (j >= n_cols) fail_index(n_cols, j);
            double v = static_cast<double>(data[k]) / sd[j];
            // Ordered comparison: a NaN value or a NaN bound clips nothing.
            if (max_value && v > *max_value) v = *max_value;
            out[k] = static_cast<Out>(v);
        }
        if (indexed_end < end) fail_index(indices.size(), indexed_end);
    });
    return values;
}

template <class Out, class In>
ScaledValues<Out> scale_sparse(std::span<const std::int64_t> indices, std::span<const In> data,
                               std::size_t n_rows, std::size_t n_cols,
                               std::optional<double> max_value, ColumnSums totals) {
    auto [mean, stdev] = column_mean_std(totals.sum.span(), totals.sum_sq.span(), n_rows);
    totals = ColumnSums{};
    // The moment pass has already checked every entry; the checks stay in the
    // write pass so that it is safe on its own.
    auto values = scale_values<Out>(indices, data, n_cols, stdev.span(), max_value);
    return {std::move(values), std::move(mean), std::move(stdev)};
}

}  // namespace

ScaledValues<double> scale_sparse_f64(std::span<const std::int64_t> indices,
                                      std::span<const double> data, std::size_t n_rows,
                                      std::size_t n_cols, std::optional<double> max_value) {
    return scale_sparse<double>(indices, data, n_rows, n_cols, max_value,
                                sparse_column_sum_and_sq(indices, data, n_cols));
}

ScaledValues<double> scale_sparse_f32_promoted(std::span<const std::int64_t> indices,
                                               std::span<const float> data, std::size_t n_rows,
                                               std::size_t n_cols,
                                               std::optional<double> max_value) {
    return scale_sparse<double>(indices, data, n_rows, n_cols, max_value,
                                sparse_column_sum_and_sq_f32(indices, data, n_cols, true));
}

ScaledValues<float> scale_sparse_f32(std::span<const std::int64_t> indices,
                                     std::span<const float> data, std::size_t n_rows,
                                     std::size_t n_cols, std::optional<double> max_value) {
    return scale_sparse<float>(indices, data, n_rows, n_cols, max_value,
                               sparse_column_sum_and_sq_f32(indices, data, n_cols, false));
}

Buffer<double> scale_sparse_values(std::span<const std::int64_t> indices,
                                   std::span<const double> data, std::size_t n_cols,
                                   std::span<const double> stdev, std::optional<double> max_value) {
    return scale_values<double>(indices, data, n_cols, stdev, max_value);
}

Buffer<double> scale_sparse_values_promoted(std::span<const std::int64_t> indices,
                                            std::span<const float> data, std::size_t n_cols,
                                            std::span<const double> stdev,
                                            std::optional<double> max_value) {
    return scale_values<double>(indices, data, n_cols, stdev, max_value);
}

Buffer<float> scale_sparse_values(std::span<const std::int64_t> indices,
                                  std::span<const float> data, std::size_t n_cols,
                                  std::span<const double> stdev, std::optional<double> max_value) {
    return scale_values<float>(indices, data, n_cols, stdev, max_value);
}

}  // namespace brenix
