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

// Runs over the entries [0, nnz) in chunks of SPARSE_CHUNK_ENTRIES on the pool,
// scattering term(p) = {value, square} of entry p into the chunk's own
// per-column record, and adds the records into the totals in chunk order.
// Each chunk gets its own term from make_term(), so a term may keep per-task
// state.
//
// Fails with the index-out-of-bounds message at the first bad entry of a
// chunk: a position without an index (indices shorter than data), or a column
// (read as unsigned, so negatives are huge) not below n_cols. Since the pool
// reports the lowest failing chunk, the failure is the first bad entry in
// storage order whatever the thread count.
template <class MakeTerm>
ColumnSums sparse_chunked_sums(std::span<const std::int64_t> indices, std::size_t nnz,
                               std::size_t n_cols, MakeTerm&& make_term) {
    const std::size_t n_chunks = chunk_count(nnz, SPARSE_CHUNK_ENTRIES);
    ColumnSums total = ColumnSums::zeros(n_cols);
    auto chunk = [&](std::size_t k) {
        ColumnSums out = ColumnSums::zeros(n_cols);
        auto term = make_term();
        double* __restrict sum = out.sum.data();
        double* __restrict sum_sq = out.sum_sq.data();
        const std::size_t begin = k * SPARSE_CHUNK_ENTRIES;
        const std::size_t end = std::min(begin + SPARSE_CHUNK_ENTRIES, nnz);
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

}  // namespace brenix
