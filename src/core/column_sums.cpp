#include "core/column_sums.hpp"

#include <algorithm>
#include <cmath>

#include "core/isa.hpp"
#include "core/terms.hpp"

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

template <Square S = Square::in_type, class T>
BRENIX_INLINE void add_rows_body(double* __restrict sum, double* __restrict sum_sq,
                                 const T* __restrict x, std::size_t n_rows, std::size_t n_cols) {
    for (std::size_t r = 0; r < n_rows; ++r) {
        const T* __restrict row = x + r * n_cols;
        for (std::size_t j = 0; j < n_cols; ++j) add_term<S>(sum[j], sum_sq[j], row[j]);
    }
}

BRENIX_INLINE void add_rows_widened_body(double* sum, double* sum_sq, const float* x,
                                         std::size_t n_rows, std::size_t n_cols) {
    add_rows_body<Square::widened>(sum, sum_sq, x, n_rows, n_cols);
}

}  // namespace

void add_chunk_sums(ColumnSums& total, const ColumnSums& part) {
    add_into(total.sum.data(), total.sum_sq.data(), part.sum.data(), part.sum_sq.data(),
             total.sum.size());
}

ColumnSums FlatSums::read(std::span<const double> flat, std::size_t k) const {
    ColumnSums sums = ColumnSums::zeros(n_cols);
    std::copy_n(flat.data() + k * run(), n_cols, sums.sum.data());
    std::copy_n(flat.data() + k * run() + n_cols, n_cols, sums.sum_sq.data());
    return sums;
}

void FlatSums::write(const ColumnSums& sums, std::span<double> flat, std::size_t k) const {
    std::copy_n(sums.sum.data(), n_cols, flat.data() + k * run());
    std::copy_n(sums.sum_sq.data(), n_cols, flat.data() + k * run() + n_cols);
}

BRENIX_MULTIVERSION(void, add_rows,
                    (double* sum, double* sum_sq, const double* x, std::size_t n_rows,
                     std::size_t n_cols),
                    add_rows_body, (sum, sum_sq, x, n_rows, n_cols))
BRENIX_MULTIVERSION(void, add_rows,
                    (double* sum, double* sum_sq, const float* x, std::size_t n_rows,
                     std::size_t n_cols),
                    add_rows_body, (sum, sum_sq, x, n_rows, n_cols))
BRENIX_MULTIVERSION(void, add_rows_widened,
                    (double* sum, double* sum_sq, const float* x, std::size_t n_rows,
                     std::size_t n_cols),
                    add_rows_widened_body, (sum, sum_sq, x, n_rows, n_cols))

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

template <class T>
ColumnSums column_sums_of(std::span<const T> matrix, std::size_t n_cols) {
    return dense_chunked_sums(matrix, n_cols, [n_cols](std::span<const T> rows) {
        ColumnSums out = ColumnSums::zeros(n_cols);
        continue_column_sums(out, rows, n_cols);
        return out;
    });
}

template <class T>
void continue_sums_of(ColumnSums& sums, std::span<const T> rows, std::size_t n_cols) {
    if (n_cols == 0) return;
    add_rows(sums.sum.data(), sums.sum_sq.data(), rows.data(), rows.size() / n_cols, n_cols);
}

}  // namespace

ColumnSums column_sums(std::span<const double> matrix, std::size_t n_cols) {
    return column_sums_of(matrix, n_cols);
}

ColumnSums column_sums(std::span<const float> matrix, std::size_t n_cols) {
    return column_sums_of(matrix, n_cols);
}

void continue_column_sums(ColumnSums& sums, std::span<const double> rows, std::size_t n_cols) {
    continue_sums_of(sums, rows, n_cols);
}

void continue_column_sums(ColumnSums& sums, std::span<const float> rows, std::size_t n_cols) {
    continue_sums_of(sums, rows, n_cols);
}

void continue_column_sums(ColumnSums& sums, std::span<const float> rows, std::size_t n_cols,
                          Square square) {
    if (square == Square::in_type) return continue_sums_of(sums, rows, n_cols);
    if (n_cols == 0) return;
    add_rows_widened(sums.sum.data(), sums.sum_sq.data(), rows.data(), rows.size() / n_cols,
                     n_cols);
}

}  // namespace brenix
