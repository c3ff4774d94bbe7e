// Per-column first and second moments of an expression matrix, and the
// finishing of means, variances and standard deviations from them.
//
// Every sum is float64 and runs in a fixed order: within a chunk, row after
// row (or entry after entry), into the chunk's own record from +0.0; across
// chunks, total = +0.0, then total += record 0, total += record 1, ... in
// chunk order, as the chunks finish. Chunk boundaries depend only on the
// input's size, so the results do not depend on the number of worker threads.
#pragma once

#include <cstddef>
#include <span>
#include <utility>

#include "core/buffer.hpp"
#include "runtime/pool.hpp"

namespace brenix {

inline constexpr std::size_t MOMENT_CHUNK_ROWS = 2048;

struct ColumnSums {
    Buffer<double> sum;
    Buffer<double> sum_sq;

    static ColumnSums zeros(std::size_t n_cols) {
        return {Buffer<double>::zeros(n_cols), Buffer<double>::zeros(n_cols)};
    }
};

// total += part, column by column (both have the same number of columns).
void add_record(ColumnSums& total, const ColumnSums& part);

// mean = sum / n; var = (sum_sq / n - mean * mean) * (n / (n - 1)), without
// the factor when n == 1. No clamp: rounding may leave a variance negative.
std::pair<Buffer<double>, Buffer<double>> column_mean_var(std::span<const double> sum,
                                                          std::span<const double> sum_sq,
                                                          std::size_t n);

// As column_mean_var, with std = sqrt(var), and 1.0 where var == 0.0.
std::pair<Buffer<double>, Buffer<double>> column_mean_std(std::span<const double> sum,
                                                          std::span<const double> sum_sq,
                                                          std::size_t n);

// Per-column sums and sums of squares of a row-major matrix, in chunks of
// MOMENT_CHUNK_ROWS rows. The float32 variant squares in float32 and widens.
ColumnSums column_sum_and_sq(std::span<const double> matrix, std::size_t n_cols);
ColumnSums column_sum_and_sq_f32(std::span<const float> matrix, std::size_t n_cols);

// The row loop of one chunk of column_sum_and_sq(_f32), run from the running
// sums in `sums` rather than from zeros: from zeros it gives a chunk's record,
// from the record of a chunk's first rows it finishes that chunk, so a chunk
// cut in pieces (by the row blocks of a distributed array) sums as one.
void continue_sum_and_sq(ColumnSums& sums, std::span<const double> rows, std::size_t n_cols);
void continue_sum_and_sq(ColumnSums& sums, std::span<const float> rows, std::size_t n_cols);

// Runs chunk(rows) for every MOMENT_CHUNK_ROWS-row chunk of a row-major
// matrix on the pool and adds the records into the totals in chunk order.
// `rows` is the chunk's part of the matrix. Shared by the plain and the
// Seurat moments.
template <class T, class ChunkFn>
ColumnSums dense_chunked_sums(std::span<const T> matrix, std::size_t n_cols, ChunkFn&& chunk) {
    const std::size_t chunk_len = rows_chunk_len(MOMENT_CHUNK_ROWS, n_cols);
    const std::size_t n_chunks = chunk_count(matrix.size(), chunk_len);
    ColumnSums total = ColumnSums::zeros(n_cols);
    ordered_chunk_fold(
        n_chunks,
        [&](std::size_t k) {
            const std::size_t first = k * chunk_len;
            return chunk(matrix.subspan(first, std::min(chunk_len, matrix.size() - first)));
        },
        [&](const ColumnSums& part) { add_record(total, part); });
    return total;
}

}  // namespace brenix
