#include "core/sparse_sums.hpp"

#include <utility>

namespace brenix {

namespace {

// The summands of entry p: the value widened to float64, and its square. A
// float32 value is squared in float32 unless square_f64 asks for the square of
// the widened value.
auto plain_term(std::span<const double> data) {
    return [data](std::size_t p) {
        const double x = data[p];
        return std::pair{x, x * x};
    };
}

template <bool SquareF64>
auto plain_term(std::span<const float> data) {
    return [data](std::size_t p) {
        const float y = data[p];
        const double x = y;
        return std::pair{x, SquareF64 ? x * x : static_cast<double>(y * y)};
    };
}

}  // namespace

ColumnSums sparse_column_sum_and_sq(std::span<const std::int64_t> indices,
                                    std::span<const double> data, std::size_t n_cols) {
    return sparse_chunked_sums(indices, data.size(), n_cols, [&] { return plain_term(data); });
}

ColumnSums sparse_column_sum_and_sq_f32(std::span<const std::int64_t> indices,
                                        std::span<const float> data, std::size_t n_cols,
                                        bool square_f64) {
    if (square_f64) {
        return sparse_chunked_sums(indices, data.size(), n_cols,
                                   [&] { return plain_term<true>(data); });
    }
    return sparse_chunked_sums(indices, data.size(), n_cols,
                               [&] { return plain_term<false>(data); });
}

void continue_sparse_sum_and_sq(ColumnSums& sums, std::span<const std::int64_t> indices,
                                std::span<const double> data, std::size_t n_cols) {
    auto term = plain_term(data);
    accumulate_entries(sums, indices, 0, data.size(), n_cols, term);
}

void continue_sparse_sum_and_sq(ColumnSums& sums, std::span<const std::int64_t> indices,
                                std::span<const float> data, std::size_t n_cols, bool square_f64) {
    if (square_f64) {
        auto term = plain_term<true>(data);
        accumulate_entries(sums, indices, 0, data.size(), n_cols, term);
    } else {
        auto term = plain_term<false>(data);
        accumulate_entries(sums, indices, 0, data.size(), n_cols, term);
    }
}

}  // namespace brenix
