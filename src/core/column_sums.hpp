// Per-column first and second moments of an expression matrix, and the
// finishing of means, variances and standard deviations from them.
//
// Every sum is float64 and runs in a fixed order: within a chunk, row after
// row (or entry after entry), into the chunk's own sums from +0.0; across
// chunks, total = +0.0, then total += chunk 0's sums, total += chunk 1's, ...
// in chunk order, as the chunks finish. What one value adds is in terms.hpp. Chunk boundaries
// depend only on the input's size, so the results do not depend on the number of worker threads.
#pragma once

#include <cstddef>
#include <span>
#include <utility>

#include "core/buffer.hpp"
#include "core/terms.hpp"
#include "runtime/pool.hpp"

namespace brenix {

inline constexpr std::size_t MOMENT_CHUNK_ROWS = 2048;

// One chunk's sums, a running total, or the open chunk of a row block.
struct ColumnSums {
    Buffer<double> sum;
    Buffer<double> sum_sq;

    static ColumnSums zeros(std::size_t n_cols) {
        return {Buffer<double>::zeros(n_cols), Buffer<double>::zeros(n_cols)};
    }
};

// total += part, column by column (both have the same number of columns).
void add_chunk_sums(ColumnSums& total, const ColumnSums& part);

// Column sums as they cross into Python (the row-block functions of _blocks):
// one run of 2 * n_cols float64 values, the sums then the sums of squares, and
// the sums of several chunks as such runs one after another. Python's side of
// this layout is _folds.zero_sums.
struct FlatSums {
    std::size_t n_cols;

    std::size_t run() const { return 2 * n_cols; }
    // The k-th run of `flat` into sums.
    ColumnSums read(std::span<const double> flat, std::size_t k = 0) const;
    // sums into the k-th run of `flat`.
    void write(const ColumnSums& sums, std::span<double> flat, std::size_t k = 0) const;
};

// sum[j] += x[r][j] and sum_sq[j] += its square (terms.hpp), row after row,
// for n_rows rows of n_cols values, row r starting at x + r * stride.
// Shared by every dense sum.
void add_rows(double* sum, double* sum_sq, const double* x, std::size_t n_rows, std::size_t n_cols,
              std::size_t stride);
void add_rows(double* sum, double* sum_sq, const float* x, std::size_t n_rows, std::size_t n_cols,
              std::size_t stride);

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
// MOMENT_CHUNK_ROWS rows.
ColumnSums column_sums(std::span<const double> matrix, std::size_t n_cols);
ColumnSums column_sums(std::span<const float> matrix, std::size_t n_cols);

// The row loop of one chunk of column_sums, run from the running sums in
// `sums` rather than from zeros: from zeros it gives a chunk's sums, from the
// sums of a chunk's first rows it finishes that chunk, so a chunk cut in
// pieces (by the row blocks of a distributed array) sums as one.
void continue_column_sums(ColumnSums& sums, std::span<const double> rows, std::size_t n_cols);
void continue_column_sums(ColumnSums& sums, std::span<const float> rows, std::size_t n_cols);
// float32 rows whose squares are those of the widened values when asked
// (Square::widened): the sums of the same rows converted to float64.
void continue_column_sums(ColumnSums& sums, std::span<const float> rows, std::size_t n_cols,
                          Square square);

// The columns [first, first + width) of a chunk's rows.
struct ColumnBlock {
    std::size_t first;
    std::size_t width;
};

// A matrix of few chunks (a short, wide one) would leave workers idle, one
// chunk each at most: its chunks are then cut into this many blocks of
// columns, each block a task of its own, so that every worker has about
// TASKS_PER_WORKER tasks, with blocks of at least MIN_BLOCK_COLUMNS columns.
// Each column still adds its rows in row order within a chunk and its chunks
// in chunk order: the blocks change who does the work, not a bit of it.
inline constexpr std::size_t TASKS_PER_WORKER = 4;
inline constexpr std::size_t MIN_BLOCK_COLUMNS = 1024;
std::size_t column_blocks(std::size_t n_chunks, std::size_t n_cols);

// Runs chunk(rows, block) for every MOMENT_CHUNK_ROWS-row chunk of a
// row-major matrix (and every block of its columns, see column_blocks) on the
// pool, and adds the sums it returns (block.width of them) into the totals in
// chunk order. `rows` is the chunk's part of the matrix, whole rows of n_cols
// values. Shared by the plain and the Seurat moments.
void add_block_sums(ColumnSums& total, const ColumnSums& part, ColumnBlock block);

template <class T, class ChunkFn>
ColumnSums dense_chunked_sums(std::span<const T> matrix, std::size_t n_cols, ChunkFn&& chunk) {
    const std::size_t chunk_len = rows_chunk_len(MOMENT_CHUNK_ROWS, n_cols);
    const std::size_t n_chunks = chunk_count(matrix.size(), chunk_len);
    const std::size_t n_blocks = column_blocks(n_chunks, n_cols);
    const auto block_of = [&](std::size_t b) {
        const std::size_t first = n_cols / n_blocks * b + std::min(b, n_cols % n_blocks);
        return ColumnBlock{first, n_cols / n_blocks + (b < n_cols % n_blocks ? 1 : 0)};
    };
    struct Record {
        ColumnBlock block;
        ColumnSums sums;
    };
    ColumnSums total = ColumnSums::zeros(n_cols);
    ordered_chunk_fold(
        n_chunks * n_blocks,
        [&](std::size_t task) {
            const std::size_t first = task / n_blocks * chunk_len;
            const ColumnBlock block = block_of(task % n_blocks);
            return Record{
                block,
                chunk(matrix.subspan(first, std::min(chunk_len, matrix.size() - first)), block)};
        },
        [&](const Record& part) { add_block_sums(total, part.sums, part.block); });
    return total;
}

}  // namespace brenix
