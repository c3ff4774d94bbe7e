// Per-column sums over the stored entries of a CSR matrix, given as the flat
// `indices` and `data` arrays. Rows play no part: implicit zeros add nothing
// to a sum, and the callers divide by the full row count.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "core/column_sums.hpp"

namespace brenix {

inline constexpr std::size_t SPARSE_CHUNK_ENTRIES = 1'000'000;

// One chunk's loop: scatters term(p) = {value, square} of the entries p in
// [begin, end) into the running sums `out`, in storage order. Fails with the
// index-out-of-bounds message at the first bad entry: a position without an
// index (indices shorter than data), or a column (read as unsigned, so
// negatives are huge) not below n_cols.
template <class Term>
void accumulate_entries(ColumnSums& out, std::span<const std::int64_t> indices, std::size_t begin,
                        std::size_t end, std::size_t n_cols, Term& term) {
    double* __restrict sum = out.sum.data();
    double* __restrict sum_sq = out.sum_sq.data();
    const std::size_t indexed_end = std::clamp(indices.size(), begin, end);
    const std::uint64_t* __restrict columns =
        reinterpret_cast<const std::uint64_t*>(indices.data());
    for (std::size_t p = begin; p < indexed_end; ++p) {
        const std::uint64_t j = columns[p];
        if (j >= n_cols) fail_index(n_cols, j);
        const auto [value, square] = term(p);
        sum[j] += value;
        sum_sq[j] += square;
    }
    if (indexed_end < end) fail_index(indices.size(), indexed_end);
}

// Runs over the entries [0, nnz) in chunks of SPARSE_CHUNK_ENTRIES on the pool,
// each chunk from zeros into its own per-column record (accumulate_entries),
// and adds the records into the totals in chunk order. Each chunk gets its own
// term from make_term(), so a term may keep per-task state. Since the pool
// reports the lowest failing chunk, a failure is the first bad entry in
// storage order whatever the thread count.
template <class MakeTerm>
ColumnSums sparse_chunked_sums(std::span<const std::int64_t> indices, std::size_t nnz,
                               std::size_t n_cols, MakeTerm&& make_term) {
    const std::size_t n_chunks = chunk_count(nnz, SPARSE_CHUNK_ENTRIES);
    ColumnSums total = ColumnSums::zeros(n_cols);
    auto chunk = [&](std::size_t k) {
        ColumnSums out = ColumnSums::zeros(n_cols);
        auto term = make_term();
        const std::size_t begin = k * SPARSE_CHUNK_ENTRIES;
        accumulate_entries(out, indices, begin, std::min(begin + SPARSE_CHUNK_ENTRIES, nnz), n_cols,
                           term);
        return out;
    };
    ordered_chunk_fold(n_chunks, chunk, [&](const ColumnSums& part) { add_record(total, part); });
    return total;
}

ColumnSums sparse_column_sum_and_sq(std::span<const std::int64_t> indices,
                                    std::span<const double> data, std::size_t n_cols);

// square_f64: square the widened value instead of squaring in float32.
ColumnSums sparse_column_sum_and_sq_f32(std::span<const std::int64_t> indices,
                                        std::span<const float> data, std::size_t n_cols,
                                        bool square_f64);

// The loop of one chunk of the two functions above, over all of `data`,
// continued from the running sums in `sums` (see continue_sum_and_sq).
void continue_sparse_sum_and_sq(ColumnSums& sums, std::span<const std::int64_t> indices,
                                std::span<const double> data, std::size_t n_cols);
void continue_sparse_sum_and_sq(ColumnSums& sums, std::span<const std::int64_t> indices,
                                std::span<const float> data, std::size_t n_cols, bool square_f64);

}  // namespace brenix
