// Rows sorted into groups, and each group's rows cut into the chunks its own
// row subset would be cut into.
//
// A kernel run on the subset X[groups == k] numbers that subset's items (rows,
// or stored entries) from zero and cuts them every `chunk` items. One pass
// over X serves every group when each group's items are numbered as its
// subset numbers them: a group's rows in row order, each row's items after
// those of the group's earlier rows. A chunk of group k is then a slot of its
// own; slots are numbered group after group, each group's chunks in order,
// so that adding each slot's sums into its group's total in slot order adds
// them in the subset's chunk order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace brenix {

struct RowGroups {
    std::size_t n_groups = 0;
    // Group k's rows are rows[begin[k] .. begin[k + 1]), in increasing order.
    std::vector<std::size_t> begin;
    std::vector<std::size_t> rows;

    std::size_t size(std::size_t k) const { return begin[k + 1] - begin[k]; }
};

// (*codes)[r] in [-1, n_groups) is row r's group, -1 leaving it out (checked
// by the caller). No codes: one group of all n_rows rows. A counting sort,
// O(n_rows).
RowGroups group_rows(const std::optional<std::span<const std::int64_t>>& codes, std::size_t n_rows,
                     std::size_t n_groups);
// (*mask)[r]: row r is in the one group. No mask: all rows are.
RowGroups mask_rows(const std::optional<std::span<const bool>>& mask, std::size_t n_rows);

struct ChunkPlan {
    std::size_t chunk = 0;  // items per chunk
    std::vector<std::size_t>
        first_slot;  // group k's chunks are slots [first_slot[k], first_slot[k + 1])
    std::vector<std::size_t> slot_group;  // the group of each slot
    // Per entry of RowGroups::rows: the number of items of the group's rows
    // before that row (its first item's number within the group's subset).
    std::vector<std::size_t> start;
    std::vector<std::size_t> items;  // per group
    // Per group, when the rows are a row block of a larger matrix: how far
    // into a chunk the group's first item falls (the group's items before the
    // block, modulo chunk), so that the slots follow the whole matrix's
    // chunks. The first slot is then the end of a chunk an earlier block
    // opened. Empty: the rows are the whole matrix.
    std::vector<std::size_t> skip;

    std::size_t n_slots() const { return slot_group.size(); }
    std::size_t skipped(std::size_t k) const { return skip.empty() ? 0 : skip[k]; }
    // The item numbers [first, last) of a slot within its group.
    std::size_t first(std::size_t slot) const {
        const std::size_t k = slot_group[slot];
        const std::size_t n = slot - first_slot[k];
        return n == 0 ? 0 : n * chunk - skipped(k);
    }
    std::size_t last(std::size_t slot) const {
        const std::size_t k = slot_group[slot];
        const std::size_t end = (slot - first_slot[k] + 1) * chunk - skipped(k);
        return end < items[k] ? end : items[k];
    }
};

// weight(r) is the number of items row r holds: 1 to chunk by rows, its
// stored entries to chunk by entries. `before` (empty, or one per group): the
// group's items in the rows before these, for a row block.
template <class Weight>
ChunkPlan plan_chunks(const RowGroups& groups, std::size_t chunk, Weight&& weight,
                      std::span<const std::uint64_t> before = {}) {
    ChunkPlan plan;
    plan.chunk = chunk;
    plan.start.resize(groups.rows.size());
    plan.items.resize(groups.n_groups);
    plan.first_slot.resize(groups.n_groups + 1);
    if (!before.empty()) {
        plan.skip.resize(groups.n_groups);
        for (std::size_t k = 0; k < groups.n_groups; ++k) plan.skip[k] = before[k] % chunk;
    }
    for (std::size_t k = 0; k < groups.n_groups; ++k) {
        std::size_t items = 0;
        for (std::size_t i = groups.begin[k]; i < groups.begin[k + 1]; ++i) {
            plan.start[i] = items;
            items += weight(groups.rows[i]);
        }
        plan.items[k] = items;
        plan.first_slot[k] = plan.slot_group.size();
        const std::size_t slots = items == 0 ? 0 : (plan.skipped(k) + items + chunk - 1) / chunk;
        plan.slot_group.resize(plan.slot_group.size() + slots, k);
    }
    plan.first_slot[groups.n_groups] = plan.slot_group.size();
    return plan;
}

}  // namespace brenix
