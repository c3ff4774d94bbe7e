#include "core/sparse_sums.hpp"

#include <utility>

namespace brenix {

ColumnSums sparse_column_sum_and_sq(std::span<const std::int64_t> indices,
                                    std::span<const double> data, std::size_t n_cols) {
    return sparse_chunked_sums(indices, data.size(), n_cols, [&] {
        return [&](std::size_t p) {
            const double x = data[p];
            return std::pair{x, x * x};
        };
    });
}

ColumnSums sparse_column_sum_and_sq_f32(std::span<const std::int64_t> indices,
                                        std::span<const float> data, std::size_t n_cols,
                                        bool square_f64) {
    if (square_f64) {
        return sparse_chunked_sums(indices, data.size(), n_cols, [&] {
            return [&](std::size_t p) {
                const double x = data[p];
                return std::pair{x, x * x};
            };
        });
    }
    return sparse_chunked_sums(indices, data.size(), n_cols, [&] {
        return [&](std::size_t p) {
            const float y = data[p];
            return std::pair{static_cast<double>(y), static_cast<double>(y * y)};
        };
    });
}

}  // namespace brenix
