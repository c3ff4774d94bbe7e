#include "blocks/group_partials.hpp"

#include <optional>
#include <type_traits>
#include <utility>

#include "core/sparse_sums.hpp"
#include "hvg/seurat.hpp"
#include "runtime/pool.hpp"

namespace brenix {

namespace {

RowGroups block_groups(std::span<const std::int64_t> codes, std::size_t n_groups) {
    return group_rows(std::optional<std::span<const std::int64_t>>(codes), codes.size(), n_groups);
}

// Whether group k's first slot finishes a chunk of an earlier block.
bool has_head(const ChunkPlan& plan, std::size_t k) {
    return plan.skipped(k) != 0 && plan.first_slot[k] < plan.first_slot[k + 1];
}

// slot_sums(slot, ColumnSums start) sums a slot on from `start`.
template <class SlotSums>
GroupedPartial group_partial(const ChunkPlan& plan, std::span<const std::uint64_t> before,
                             std::size_t n_cols, SlotSums&& slot_sums) {
    const std::size_t n_groups = before.size();
    GroupedPartial out;
    out.items.assign(plan.items.begin(), plan.items.end());
    out.head.assign(n_groups, 0);
    out.head_closes.assign(n_groups, 0);
    out.n_whole.assign(n_groups, 0);
    // The slots summed here: every slot but the heads, group after group.
    std::vector<std::size_t> slots;
    for (std::size_t k = 0; k < n_groups; ++k) {
        std::size_t s = plan.first_slot[k];
        const std::size_t end = plan.first_slot[k + 1];
        if (s == end) continue;
        if (has_head(plan, k)) {
            out.head[k] = plan.last(s);
            out.head_closes[k] = (before[k] + plan.items[k]) / plan.chunk > before[k] / plan.chunk;
            ++s;
        }
        const bool open_tail = (before[k] + plan.items[k]) % plan.chunk != 0 && s < end;
        out.n_whole[k] = end - s - open_tail;
        for (; s < end; ++s) slots.push_back(s);
        if (open_tail) out.tail_groups.push_back(static_cast<std::int64_t>(k));
    }
    std::vector<ColumnSums> sums(slots.size());
    for_each_block(slots.size(), [&](std::size_t i) {
        sums[i] = slot_sums(slots[i], ColumnSums::zeros(n_cols));
    });
    out.whole_chunks.reserve(sums.size() - out.tail_groups.size());
    std::size_t i = 0;
    for (std::size_t k = 0; k < n_groups; ++k) {
        for (std::size_t w = 0; w < out.n_whole[k]; ++w) {
            out.whole_chunks.push_back(std::move(sums[i++]));
        }
        const std::size_t rest =
            plan.first_slot[k + 1] - plan.first_slot[k] - has_head(plan, k) - out.n_whole[k];
        if (rest == 1) out.tails.push_back(std::move(sums[i++]));
    }
    return out;
}

// open[k] continued over group k's head slot, for the groups with one.
template <class SlotSums>
void continue_heads(std::vector<ColumnSums>& open, const ChunkPlan& plan, std::size_t n_groups,
                    SlotSums&& slot_sums) {
    std::vector<std::size_t> groups;
    for (std::size_t k = 0; k < n_groups; ++k) {
        if (has_head(plan, k)) groups.push_back(k);
    }
    for_each_block(groups.size(), [&](std::size_t i) {
        const std::size_t k = groups[i];
        open[k] = slot_sums(plan.first_slot[k], std::move(open[k]));
    });
}

template <class T>
auto dense_rows(std::size_t n_cols, const SumsKind& kind) {
    return [n_cols, &kind](ColumnSums& sums, std::span<const T> rows) {
        continue_rows(sums, rows, n_cols, kind);
    };
}

template <class I, class T>
auto sparse_runs(const SparseMatrix<I, T>& m, const SumsKind& kind) {
    return [&m, &kind](ColumnSums& sums, std::span<const EntryRange> runs) {
        if (kind.expm1) {
            continue_sparse_hvg_sums(sums, m.indices, m.data, m.n_cols, kind.log_base,
                                     kind.square_f64, runs);
        } else {
            continue_sparse_column_sums(sums, m.indices, m.data, m.n_cols, kind.square_f64, runs);
        }
    };
}

ChunkPlan dense_plan(const RowGroups& groups, std::span<const std::uint64_t> before) {
    return plan_chunks(groups, MOMENT_CHUNK_ROWS, [](std::size_t) { return 1; }, before);
}

}  // namespace

template <class T>
GroupedPartial dense_group_partial(std::span<const T> block, std::size_t n_cols,
                                   std::span<const std::int64_t> codes,
                                   std::span<const std::uint64_t> before, const SumsKind& kind) {
    chunk_count(block.size(), rows_chunk_len(MOMENT_CHUNK_ROWS, n_cols));
    const RowGroups groups = block_groups(codes, before.size());
    const ChunkPlan plan = dense_plan(groups, before);
    return group_partial(plan, before, n_cols, [&](std::size_t slot, ColumnSums start) {
        return dense_slot_sums(block, n_cols, groups, plan, slot, dense_rows<T>(n_cols, kind),
                               std::move(start));
    });
}

template <class I, class T>
GroupedPartial sparse_group_partial(const SparseMatrix<I, T>& block,
                                    std::span<const std::int64_t> codes,
                                    std::span<const std::uint64_t> before, const SumsKind& kind) {
    const RowGroups groups = block_groups(codes, before.size());
    const ChunkPlan plan = csr_plan(block, groups, true, before);
    std::vector<EntryProblem> problems(plan.n_slots());
    auto out = group_partial(plan, before, block.n_cols, [&](std::size_t slot, ColumnSums start) {
        return csr_slot_sums(block, groups, plan, true, slot, sparse_runs(block, kind),
                             std::move(start), problems[slot]);
    });
    raise_first(problems);
    return out;
}

template <class T>
void continue_dense_groups(std::vector<ColumnSums>& open, std::span<const T> block,
                           std::size_t n_cols, std::span<const std::int64_t> codes,
                           std::span<const std::uint64_t> before, const SumsKind& kind) {
    chunk_count(block.size(), rows_chunk_len(MOMENT_CHUNK_ROWS, n_cols));
    const RowGroups groups = block_groups(codes, before.size());
    const ChunkPlan plan = dense_plan(groups, before);
    continue_heads(open, plan, before.size(), [&](std::size_t slot, ColumnSums start) {
        return dense_slot_sums(block, n_cols, groups, plan, slot, dense_rows<T>(n_cols, kind),
                               std::move(start));
    });
}

template <class I, class T>
void continue_sparse_groups(std::vector<ColumnSums>& open, const SparseMatrix<I, T>& block,
                            std::span<const std::int64_t> codes,
                            std::span<const std::uint64_t> before, const SumsKind& kind) {
    const RowGroups groups = block_groups(codes, before.size());
    const ChunkPlan plan = csr_plan(block, groups, true, before);
    std::vector<EntryProblem> problems(plan.n_slots());
    continue_heads(open, plan, before.size(), [&](std::size_t slot, ColumnSums start) {
        return csr_slot_sums(block, groups, plan, true, slot, sparse_runs(block, kind),
                             std::move(start), problems[slot]);
    });
    raise_first(problems);
}

#define BRENIX_INSTANTIATE_DENSE(T)                                                                \
    template GroupedPartial dense_group_partial(std::span<const T>, std::size_t,                   \
                                                std::span<const std::int64_t>,                     \
                                                std::span<const std::uint64_t>, const SumsKind&);  \
    template void continue_dense_groups(std::vector<ColumnSums>&, std::span<const T>, std::size_t, \
                                        std::span<const std::int64_t>,                             \
                                        std::span<const std::uint64_t>, const SumsKind&);
#define BRENIX_INSTANTIATE_SPARSE(I, T)                                                            \
    template GroupedPartial sparse_group_partial(const SparseMatrix<I, T>&,                        \
                                                 std::span<const std::int64_t>,                    \
                                                 std::span<const std::uint64_t>, const SumsKind&); \
    template void continue_sparse_groups(std::vector<ColumnSums>&, const SparseMatrix<I, T>&,      \
                                         std::span<const std::int64_t>,                            \
                                         std::span<const std::uint64_t>, const SumsKind&);
BRENIX_INSTANTIATE_DENSE(float)
BRENIX_INSTANTIATE_DENSE(double)
BRENIX_INSTANTIATE_SPARSE(std::int32_t, float)
BRENIX_INSTANTIATE_SPARSE(std::int32_t, double)
BRENIX_INSTANTIATE_SPARSE(std::int64_t, float)
BRENIX_INSTANTIATE_SPARSE(std::int64_t, double)
#undef BRENIX_INSTANTIATE_DENSE
#undef BRENIX_INSTANTIATE_SPARSE

}  // namespace brenix
