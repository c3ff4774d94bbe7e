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

// Rows from memory into running sums that stay in cache: summed one row at a
// time, the loads and stores of the sums crowd out the stream of rows, and
// the pass ran at a third of the speed of a plain read. So ROW_BLOCK rows go
// together, COLS columns at a time, each column's two sums held in registers
// across the block (COLS is four registers of doubles per sum). Each column
// still adds its rows in row order: the same bits as row after row.
inline constexpr std::size_t ROW_BLOCK = 4;

template <std::size_t COLS, Square S, class T>
BRENIX_INLINE void add_row_block(double* __restrict sum, double* __restrict sum_sq,
                                 const T* __restrict x, std::size_t n_cols, std::size_t stride) {
    std::size_t j0 = 0;
    for (; j0 + COLS <= n_cols; j0 += COLS) {
        double s[COLS], q[COLS];
        for (std::size_t j = 0; j < COLS; ++j) {
            s[j] = sum[j0 + j];
            q[j] = sum_sq[j0 + j];
        }
        for (std::size_t r = 0; r < ROW_BLOCK; ++r) {
            const T* __restrict row = x + r * stride + j0;
            for (std::size_t j = 0; j < COLS; ++j) add_term<S>(s[j], q[j], row[j]);
        }
        for (std::size_t j = 0; j < COLS; ++j) {
            sum[j0 + j] = s[j];
            sum_sq[j0 + j] = q[j];
        }
    }
    for (std::size_t r = 0; r < ROW_BLOCK; ++r) {
        const T* __restrict row = x + r * stride;
        for (std::size_t j = j0; j < n_cols; ++j) add_term<S>(sum[j], sum_sq[j], row[j]);
    }
}

template <std::size_t COLS, Square S = Square::in_type, class T>
BRENIX_INLINE void add_rows_body(double* __restrict sum, double* __restrict sum_sq,
                                 const T* __restrict x, std::size_t n_rows, std::size_t n_cols,
                                 std::size_t stride) {
    std::size_t r = 0;
    for (; r + ROW_BLOCK <= n_rows; r += ROW_BLOCK) {
        add_row_block<COLS, S>(sum, sum_sq, x + r * stride, n_cols, stride);
    }
    for (; r < n_rows; ++r) {
        const T* __restrict row = x + r * stride;
        for (std::size_t j = 0; j < n_cols; ++j) add_term<S>(sum[j], sum_sq[j], row[j]);
    }
}

// Four registers of doubles per sum: 8 columns on SSE2 and NEON, 16 on AVX2,
// 32 on AVX-512.
#define BRENIX_ADD_ROWS(name, S, T)                                                                \
    BRENIX_MULTIVERSION_BODIES(void, name,                                                         \
                               (double* sum, double* sum_sq, const T* x, std::size_t n_rows,       \
                                std::size_t n_cols, std::size_t stride),                           \
                               (sum, sum_sq, x, n_rows, n_cols, stride), (add_rows_body<8, S, T>), \
                               (add_rows_body<16, S, T>), (add_rows_body<32, S, T>))

}  // namespace

void add_chunk_sums(ColumnSums& total, const ColumnSums& part) {
    add_into(total.sum.data(), total.sum_sq.data(), part.sum.data(), part.sum_sq.data(),
             total.sum.size());
}

void add_block_sums(ColumnSums& total, const ColumnSums& part, ColumnBlock block) {
    add_into(total.sum.data() + block.first, total.sum_sq.data() + block.first, part.sum.data(),
             part.sum_sq.data(), block.width);
}

std::size_t column_blocks(std::size_t n_chunks, std::size_t n_cols) {
    const std::size_t wanted = TASKS_PER_WORKER * thread_limit();
    if (n_chunks == 0 || n_chunks >= wanted) return 1;
    const std::size_t most = std::max<std::size_t>(1, n_cols / MIN_BLOCK_COLUMNS);
    return std::min((wanted + n_chunks - 1) / n_chunks, most);
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

BRENIX_ADD_ROWS(add_rows, Square::in_type, double)
BRENIX_ADD_ROWS(add_rows, Square::in_type, float)
BRENIX_ADD_ROWS(add_rows_widened, Square::widened, float)
#undef BRENIX_ADD_ROWS

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
    return dense_chunked_sums(matrix, n_cols, [n_cols](std::span<const T> rows, ColumnBlock block) {
        ColumnSums out = ColumnSums::zeros(block.width);
        if (n_cols == 0) return out;
        add_rows(out.sum.data(), out.sum_sq.data(), rows.data() + block.first, rows.size() / n_cols,
                 block.width, n_cols);
        return out;
    });
}

template <class T>
void continue_sums_of(ColumnSums& sums, std::span<const T> rows, std::size_t n_cols) {
    if (n_cols == 0) return;
    add_rows(sums.sum.data(), sums.sum_sq.data(), rows.data(), rows.size() / n_cols, n_cols,
             n_cols);
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
    add_rows_widened(sums.sum.data(), sums.sum_sq.data(), rows.data(), rows.size() / n_cols, n_cols,
                     n_cols);
}

}  // namespace brenix
