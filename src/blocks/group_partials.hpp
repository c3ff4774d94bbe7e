// The partials of blocks/partials.hpp for many row groups at once: one call
// per row block serves every group, with the bits each group's rows would get
// from the grouped whole-matrix passes (grouped/passes.hpp).
//
// A group's items (rows, or stored entries) are numbered over the whole
// matrix as its own subset numbers them, so within a block they continue
// from the group's items in earlier blocks (`before`). Each group then has,
// as the ungrouped block does, a head (the items that finish the group's
// chunk an earlier block opened), whole chunks, and a tail (its open chunk),
// found by the chunk plan of the block's rows with their groups' offsets
// (plan_chunks). The whole chunks and tails are summed here in parallel. The
// heads can only be summed once the fold brings the running sums of the
// chunks they finish; they are gathered here, group after group, so that the
// fold needs neither the block nor the rows of other groups: with groups
// smaller than a chunk, nearly every item is in a head, and the fold, a chain
// of tasks in row order, would otherwise wait for the whole block to reach it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/buffer.hpp"

#include "blocks/partials.hpp"
#include "core/column_sums.hpp"
#include "core/sparse_matrix.hpp"

namespace brenix {

// I: the column indices' type of a CSR block (unused for a dense one).
template <class I, class T>
struct GroupedPartial {
    std::vector<std::uint64_t> items;        // per group: its items in the block
    std::vector<std::uint64_t> head;         // per group: items finishing an earlier chunk
    std::vector<unsigned char> head_closes;  // per group: that chunk ends in the block
    std::vector<std::uint64_t> n_whole;      // per group: its chunks wholly in the block
    std::vector<ColumnSums> whole_chunks;    // group after group, each group's in order
    std::vector<std::int64_t> tail_groups;   // the groups left with an open chunk, in order
    std::vector<ColumnSums> tails;           // their running sums from zero
    // The heads' items, group after group, each in its group's order: whole
    // rows (n_cols values each) of a dense block; stored values and their
    // column indices of a CSR block. The values are the terms the sums add
    // (expm1 already taken for the Seurat sums), so that continuing a head
    // is only additions.
    Buffer<T> head_values;
    Buffer<I> head_indices;
};

// codes[r] in [-1, before.size()) is row r's group (-1: left out; checked by
// the caller); before[k] is group k's items in the rows above the block.
// Stored entries are checked as the grouped passes check them (a row of a
// group, its columns in range and none twice), those of the heads as they
// are gathered. The first problem of the block's entries in storage order
// is raised, among the entries of its groups' rows.
template <class T>
GroupedPartial<std::int64_t, T> dense_group_partial(std::span<const T> block, std::size_t n_cols,
                                                    std::span<const std::int64_t> codes,
                                                    std::span<const std::uint64_t> before,
                                                    const SumsKind& kind);
template <class I, class T>
GroupedPartial<I, T> sparse_group_partial(const SparseMatrix<I, T>& block,
                                          std::span<const std::int64_t> codes,
                                          std::span<const std::uint64_t> before,
                                          const SumsKind& kind);

// `open`: the running sums of each group's open chunk, FlatSums runs (zeros
// for a group without one). `out` (as large) receives them continued over
// each group's gathered head (head[k] rows of `rows`, or head[k] stored
// entries, following those of the groups before it; terms of `kind`'s sums).
template <class T>
void continue_dense_groups(std::span<const double> open, std::span<double> out,
                           std::span<const std::uint64_t> head, std::span<const T> rows,
                           std::size_t n_cols, const SumsKind& kind);
template <class I, class T>
void continue_sparse_groups(std::span<const double> open, std::span<double> out,
                            std::span<const std::uint64_t> head, std::span<const I> indices,
                            std::span<const T> values, std::size_t n_cols, const SumsKind& kind);

}  // namespace brenix
