#include "core/column_sums.hpp"

#include <cmath>

#include "core/isa.hpp"

namespace brenix {

namespace {

BRENIX_INLINE void add_into_body(double* __restrict sum, double* __restrict sum_sq,
                                 const double* __restrict part_sum,
                                 const double* __restrict part_sq, std::size_t n_cols) {
    for (std::size_t j = 0; j < n_cols; ++j) {
        sum[j] += part_sum[j];
        sum_sq[j] += part_sq[j];
    }
}

BRENIX_MULTIVERSION(void, add_into,
                    (double* sum, double* sum_sq, const double* part_sum, const double* part_sq,
                     std::size_t n_cols),
                    add_into_body, (sum, sum_sq, part_sum, part_sq, n_cols))

// One row into the running sums. For float32 the square is rounded in float32
// before it is widened.
template <class T>
BRENIX_INLINE void accumulate_row(double* __restrict sum, double* __restrict sum_sq,
                                  const T* __restrict x, std::size_t n_cols) {
    for (std::size_t j = 0; j < n_cols; ++j) {
        sum[j] += static_cast<double>(x[j]);
        sum_sq[j] += static_cast<double>(x[j] * x[j]);
    }
}

template <class T>
BRENIX_INLINE void accumulate_rows_body(double* sum, double* sum_sq, const T* x, std::size_t n_rows,
                                        std::size_t n_cols) {
    for (std::size_t r = 0; r < n_rows; ++r) accumulate_row(sum, sum_sq, x + r * n_cols, n_cols);
}

BRENIX_MULTIVERSION(void, accumulate_rows_f64,
                    (double* sum, double* sum_sq, const double* x, std::size_t n_rows,
                     std::size_t n_cols),
                    accumulate_rows_body, (sum, sum_sq, x, n_rows, n_cols))
BRENIX_MULTIVERSION(void, accumulate_rows_f32,
                    (double* sum, double* sum_sq, const float* x, std::size_t n_rows,
                     std::size_t n_cols),
                    accumulate_rows_body, (sum, sum_sq, x, n_rows, n_cols))

}  // namespace

void add_record(ColumnSums& total, const ColumnSums& part) {
    add_into(total.sum.data(), total.sum_sq.data(), part.sum.data(), part.sum_sq.data(),
             total.sum.size());
}

std::pair<Buffer<double>, Buffer<double>> column_mean_var(std::span<const double> sum,
                                                          std::span<const double> sum_sq,
                                                          std::size_t n) {
    if (sum_sq.size() < sum.size()) fail_index(sum_sq.size(), sum.size() - 1);
    const std::size_t n_cols = sum.size();
    auto mean = Buffer<double>::uninitialized(n_cols);
    auto var = Buffer<double>::uninitialized(n_cols);
    const double nf = static_cast<double>(n);
    const double factor = n != 1 ? nf / (nf - 1.0) : 1.0;
    for (std::size_t j = 0; j < n_cols; ++j) {
        const double m = sum[j] / nf;
        // Two quotients, their difference, then one product: this order is
        // part of the result, so it must not be folded into d * nf / (nf - 1).
        const double d = sum_sq[j] / nf - m * m;
        mean[j] = m;
        var[j] = n != 1 ? d * factor : d;
    }
    return {std::move(mean), std::move(var)};
}

std::pair<Buffer<double>, Buffer<double>> column_mean_std(std::span<const double> sum,
                                                          std::span<const double> sum_sq,
                                                          std::size_t n) {
    auto [mean, var] = column_mean_var(sum, sum_sq, n);
    // The deviation overwrites the variance in place; a zero deviation becomes
    // 1.0 so that scaling can divide without a test.
    for (std::size_t j = 0; j < var.size(); ++j) {
        var[j] = var[j] == 0.0 ? 1.0 : std::sqrt(var[j]);
    }
    return {std::move(mean), std::move(var)};
}

namespace {

template <class T, class Rows>
ColumnSums sum_chunk(std::span<const T> rows, std::size_t n_cols, Rows accumulate_rows) {
    ColumnSums out = ColumnSums::zeros(n_cols);
    accumulate_rows(out.sum.data(), out.sum_sq.data(), rows.data(), rows.size() / n_cols, n_cols);
    return out;
}

}  // namespace

ColumnSums column_sum_and_sq(std::span<const double> matrix, std::size_t n_cols) {
    return dense_chunked_sums(matrix, n_cols, [n_cols](std::span<const double> rows) {
        return sum_chunk(rows, n_cols, accumulate_rows_f64);
    });
}

ColumnSums column_sum_and_sq_f32(std::span<const float> matrix, std::size_t n_cols) {
    return dense_chunked_sums(matrix, n_cols, [n_cols](std::span<const float> rows) {
        return sum_chunk(rows, n_cols, accumulate_rows_f32);
    });
}

void continue_sum_and_sq(ColumnSums& sums, std::span<const double> rows, std::size_t n_cols) {
    if (n_cols == 0) return;
    accumulate_rows_f64(sums.sum.data(), sums.sum_sq.data(), rows.data(), rows.size() / n_cols,
                        n_cols);
}

void continue_sum_and_sq(ColumnSums& sums, std::span<const float> rows, std::size_t n_cols) {
    if (n_cols == 0) return;
    accumulate_rows_f32(sums.sum.data(), sums.sum_sq.data(), rows.data(), rows.size() / n_cols,
                        n_cols);
}

}  // namespace brenix
