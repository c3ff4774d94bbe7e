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

    std::size_t n_slots() const { return slot_group.size(); }
    // The item numbers [first, last) of a slot within its group.
    std::size_t first(std::size_t slot) const {
        return (slot - first_slot[slot_group[slot]]) * chunk;
    }
    std::size_t last(std::size_t slot) const {
        const std::size_t k = slot_group[slot];
        const std::size_t end = first(slot) + chunk;
        return end < items[k] ? end : items[k];
    }
};

// weight(r) is the number of items row r holds: 1 to chunk by rows, its
// stored entries to chunk by entries.
template <class Weight>
ChunkPlan plan_chunks(const RowGroups& groups, std::size_t chunk, Weight&& weight) {
    ChunkPlan plan;
    plan.chunk = chunk;
    plan.start.resize(groups.rows.size());
    plan.items.resize(groups.n_groups);
    plan.first_slot.resize(groups.n_groups + 1);
    for (std::size_t k = 0; k < groups.n_groups; ++k) {
        std::size_t items = 0;
        for (std::size_t i = groups.begin[k]; i < groups.begin[k + 1]; ++i) {
            plan.start[i] = items;
            items += weight(groups.rows[i]);
        }
        plan.items[k] = items;
        plan.first_slot[k] = plan.slot_group.size();
        plan.slot_group.resize(plan.slot_group.size() + (items + chunk - 1) / chunk, k);
    }
    plan.first_slot[groups.n_groups] = plan.slot_group.size();
    return plan;
}

}  // namespace brenix
