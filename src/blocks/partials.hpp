// Column sums of a matrix that arrives in row blocks (a distributed array),
// with the bits of the whole-matrix kernels.
//
// The kernels cut the matrix into fixed chunks (MOMENT_CHUNK_ROWS rows, or
// SPARSE_CHUNK_ENTRIES stored entries) counted from its start, sum each chunk
// from zeros and add the chunk records to a zero total in chunk order. Block
// boundaries fall anywhere relative to those chunks, so a block is seen as
//
//   head     the items that finish a chunk opened in an earlier block: they
//            can only be summed once that chunk's running sums arrive;
//   whole chunks  the chunks wholly inside the block, summed in parallel now;
//   tail     the start of a chunk that goes on into later blocks: its running
//            sums from zeros, also computed now.
//
// A fold then visits the blocks in order with the running total and the one
// open chunk's sums: continue the open chunk over the head, add it to the
// total once it closes, add the whole chunks' sums in order, and carry the
// tail on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "core/column_sums.hpp"
#include "vst/deviations.hpp"

namespace brenix {

// What a pass sums: the values and their squares (for scaling), or expm1 of
// the values and its square (for the Seurat statistics).
struct SumsKind {
    bool expm1 = false;
    std::optional<double> log_base;  // expm1 only
    // float32 values squared after widening: sparse sums of either kind, and
    // the plain sums of dense rows (mean_var's square_f64).
    bool square_f64 = false;
    // The deviation sums of the variance-stabilising statistics instead
    // (vst/deviations.hpp), about the means of each group of the call (one
    // set for the ungrouped functions).
    std::optional<GroupDeviations> deviations;
};

struct BlockPartial {
    std::size_t head = 0;                  // leading items that belong to an earlier chunk
    bool head_closes = false;              // whether that chunk ends within this block
    std::vector<ColumnSums> whole_chunks;  // sums of the chunks wholly inside the block, in order
    std::optional<ColumnSums> tail;        // running sums of the chunk left open at the end
};

// The partial of a row-major block whose first row is row `first_row` of the
// matrix. A matrix without columns fails as the kernels do.
template <class T>
BlockPartial dense_partial(std::span<const T> block, std::size_t n_cols, std::size_t first_row,
                           const SumsKind& kind);

// The partial of a block's stored entries, the first of which is entry
// `first_entry` of the matrix in storage order. A bad column fails at the
// first bad entry after the head; the head's entries are checked when it is
// continued. Indices are int32 or int64, read as they are stored.
template <class I, class T>
BlockPartial sparse_partial(std::span<const I> indices, std::span<const T> data, std::size_t n_cols,
                            std::size_t first_entry, const SumsKind& kind);

// Continues the running sums of an open chunk over further rows, or over the
// entries [begin, end) of a block; `group` picks the deviations' parameters.
template <class T>
void continue_rows(ColumnSums& sums, std::span<const T> rows, std::size_t n_cols,
                   const SumsKind& kind, std::size_t group = 0);
template <class I, class T>
void continue_entries(ColumnSums& sums, std::span<const I> indices, std::span<const T> data,
                      std::size_t n_cols, const SumsKind& kind, std::size_t begin, std::size_t end,
                      std::size_t group = 0);

// Adds the chunk sums in `flat` (FlatSums runs) to the total one after
// another, as the kernels combine their chunks.
void fold_chunk_sums(ColumnSums& total, std::span<const double> flat, std::size_t n_cols);

}  // namespace brenix
