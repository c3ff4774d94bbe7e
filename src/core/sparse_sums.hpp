// Per-column sums over the stored entries of a CSR matrix, given as the flat
// `indices` and `data` arrays. Rows play no part: implicit zeros add nothing
// to a sum, and the callers divide by the full row count.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>

#include "core/column_sums.hpp"
#include "core/terms.hpp"

namespace brenix {

inline constexpr std::size_t SPARSE_CHUNK_ENTRIES = 1'000'000;

// Every sparse sum: runs chunk(out, begin, end) for the entries [0, nnz) in
// chunks of SPARSE_CHUNK_ENTRIES on the pool, each into its own sums from
// zeros, and adds those into the totals in chunk order. A chunk walks its
// entries with for_each_entry (terms.hpp), so a failure is the first bad
// entry in storage order whatever the thread count.
template <class Chunk>
ColumnSums sparse_chunked_sums(std::size_t nnz, std::size_t n_cols, Chunk&& chunk) {
    const std::size_t n_chunks = chunk_count(nnz, SPARSE_CHUNK_ENTRIES);
    ColumnSums total = ColumnSums::zeros(n_cols);
    ordered_chunk_fold(
        n_chunks,
        [&](std::size_t k) {
            ColumnSums out = ColumnSums::zeros(n_cols);
            const std::size_t begin = k * SPARSE_CHUNK_ENTRIES;
            chunk(out, begin, std::min(begin + SPARSE_CHUNK_ENTRIES, nnz));
            return out;
        },
        [&](const ColumnSums& part) { add_chunk_sums(total, part); });
    return total;
}

// The values and their squares. square_f64: square a float32 value after
// widening it (always so for float64).
ColumnSums sparse_column_sums(std::span<const std::int64_t> indices, std::span<const double> data,
                              std::size_t n_cols, bool square_f64);
ColumnSums sparse_column_sums(std::span<const std::int64_t> indices, std::span<const float> data,
                              std::size_t n_cols, bool square_f64);

// The loop of one chunk of sparse_column_sums over the entries [begin, end),
// continued from the running sums in `sums` (see continue_column_sums).
void continue_sparse_column_sums(ColumnSums& sums, std::span<const std::int64_t> indices,
                                 std::span<const double> data, std::size_t n_cols, bool square_f64,
                                 std::size_t begin, std::size_t end);
void continue_sparse_column_sums(ColumnSums& sums, std::span<const std::int64_t> indices,
                                 std::span<const float> data, std::size_t n_cols, bool square_f64,
                                 std::size_t begin, std::size_t end);

// The same loop over several runs of entries in turn, as one chunk; indices
// are int32 or int64.
template <class I, class T>
void continue_sparse_column_sums(ColumnSums& sums, std::span<const I> indices,
                                 std::span<const T> data, std::size_t n_cols, bool square_f64,
                                 std::span<const EntryRange> ranges);

}  // namespace brenix
