// The partials of blocks/partials.hpp for many row groups at once: one call
// per row block serves every group, with the bits each group's rows would get
// from the grouped whole-matrix passes (arrays/passes.hpp).
//
// A group's items (rows, or stored entries) are numbered over the whole
// matrix as its own subset numbers them, so within a block they continue
// from the group's items in earlier blocks (`before`). Each group then has,
// as the ungrouped block does, a head (the items that finish the group's
// chunk an earlier block opened), whole chunks, and a tail (its open chunk),
// found by the chunk plan of the block's rows with their groups' offsets
// (plan_chunks). The whole chunks and tails are summed here in parallel; the
// heads only once the fold brings the running sums of the chunks they finish.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "arrays/passes.hpp"
#include "blocks/partials.hpp"
#include "core/column_sums.hpp"

namespace brenix {

struct GroupedPartial {
    std::vector<std::uint64_t> items;        // per group: its items in the block
    std::vector<std::uint64_t> head;         // per group: items finishing an earlier chunk
    std::vector<unsigned char> head_closes;  // per group: that chunk ends in the block
    std::vector<std::uint64_t> n_whole;      // per group: its chunks wholly in the block
    std::vector<ColumnSums> whole_chunks;    // group after group, each group's in order
    std::vector<std::int64_t> tail_groups;   // the groups left with an open chunk, in order
    std::vector<ColumnSums> tails;           // their running sums from zero
};

// codes[r] in [-1, before.size()) is row r's group (-1: left out; checked by
// the caller); before[k] is group k's items in the rows above the block.
// Stored entries are checked as the grouped passes check them (a row of a
// group, its columns in range and none twice); those of the heads when they
// are continued. The first problem of the block's entries in storage order
// is raised, among the entries this call sums.
template <class T>
GroupedPartial dense_group_partial(std::span<const T> block, std::size_t n_cols,
                                   std::span<const std::int64_t> codes,
                                   std::span<const std::uint64_t> before, const SumsKind& kind);
template <class I, class T>
GroupedPartial sparse_group_partial(const SparseMatrix<I, T>& block,
                                    std::span<const std::int64_t> codes,
                                    std::span<const std::uint64_t> before, const SumsKind& kind);

// Continues open[k], the running sums of group k's open chunk, over group
// k's head in the block, for every group that has one.
template <class T>
void continue_dense_groups(std::vector<ColumnSums>& open, std::span<const T> block,
                           std::size_t n_cols, std::span<const std::int64_t> codes,
                           std::span<const std::uint64_t> before, const SumsKind& kind);
template <class I, class T>
void continue_sparse_groups(std::vector<ColumnSums>& open, const SparseMatrix<I, T>& block,
                            std::span<const std::int64_t> codes,
                            std::span<const std::uint64_t> before, const SumsKind& kind);

}  // namespace brenix
