#include "scale/sparse_scale.hpp"

#include <type_traits>

#include "core/sparse_sums.hpp"
#include "core/terms.hpp"
#include "runtime/pool.hpp"

namespace brenix {

// values[k] = data[k] / stdev[indices[k]], clipped from above at max_value.
template <class Out, class In>
Buffer<Out> scale_sparse_values(std::span<const std::int64_t> indices, std::span<const In> data,
                                std::size_t n_cols, std::span<const double> stdev,
                                std::optional<double> max_value) {
    const std::size_t nnz = data.size();
    auto values = Buffer<Out>::uninitialized(nnz);
    const double* sd = stdev.data();
    element_map(nnz, [&](std::size_t begin, std::size_t end) {
        Out* __restrict out = values.data();
        for_each_entry(indices, begin, end, n_cols, [&](std::size_t k, std::size_t j) {
            out[k] = scale_stored_value<Out>(data[k], sd[j], max_value);
        });
    });
    return values;
}

template <class Out, class In>
ScaledValues<Out> scale_sparse(std::span<const std::int64_t> indices, std::span<const In> data,
                               std::size_t n_rows, std::size_t n_cols,
                               std::optional<double> max_value) {
    constexpr bool square_f64 = std::is_same_v<Out, double>;
    auto [mean, stdev] = [&] {
        const ColumnSums totals = sparse_column_sums(indices, data, n_cols, square_f64);
        return column_mean_std(totals.sum.span(), totals.sum_sq.span(), n_rows);
    }();
    // The moment pass has already checked every entry; the checks stay in the
    // write pass so that it is safe on its own.
    auto values = scale_sparse_values<Out>(indices, data, n_cols, stdev.span(), max_value);
    return {std::move(values), std::move(mean), std::move(stdev)};
}

template ScaledValues<double> scale_sparse(std::span<const std::int64_t>, std::span<const double>,
                                           std::size_t, std::size_t, std::optional<double>);
template ScaledValues<double> scale_sparse(std::span<const std::int64_t>, std::span<const float>,
                                           std::size_t, std::size_t, std::optional<double>);
template ScaledValues<float> scale_sparse(std::span<const std::int64_t>, std::span<const float>,
                                          std::size_t, std::size_t, std::optional<double>);
template Buffer<double> scale_sparse_values(std::span<const std::int64_t>, std::span<const double>,
                                            std::size_t, std::span<const double>,
                                            std::optional<double>);
template Buffer<double> scale_sparse_values(std::span<const std::int64_t>, std::span<const float>,
                                            std::size_t, std::span<const double>,
                                            std::optional<double>);
template Buffer<float> scale_sparse_values(std::span<const std::int64_t>, std::span<const float>,
                                           std::size_t, std::span<const double>,
                                           std::optional<double>);

}  // namespace brenix
