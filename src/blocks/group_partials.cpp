#include "blocks/group_partials.hpp"

#include <algorithm>
#include <optional>
#include <type_traits>
#include <utility>

#include "core/sparse_sums.hpp"
#include "grouped/passes.hpp"
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

// Where each group's items start among `counts` laid out group after group.
std::vector<std::size_t> offsets_of(std::span<const std::uint64_t> counts) {
    std::vector<std::size_t> offsets(counts.size() + 1, 0);
    for (std::size_t k = 0; k < counts.size(); ++k) offsets[k + 1] = offsets[k] + counts[k];
    return offsets;
}

// slot_sums(slot, ColumnSums start) sums a slot on from `start`;
// gather_head(slot, values, indices) copies the items of a head slot to the
// gathered heads, starting there. An item is `width` values (a dense row) or
// one stored value and its index (`indexed`).
template <class I, class T, class SlotSums, class GatherHead>
GroupedPartial<I, T> group_partial(const ChunkPlan& plan, std::span<const std::uint64_t> before,
                                   std::size_t n_cols, std::size_t width, bool indexed,
                                   SlotSums&& slot_sums, GatherHead&& gather_head) {
    const std::size_t n_groups = before.size();
    GroupedPartial<I, T> out;
    out.items.assign(plan.items.begin(), plan.items.end());
    out.head.assign(n_groups, 0);
    out.head_closes.assign(n_groups, 0);
    out.n_whole.assign(n_groups, 0);
    // The slots summed here: every slot but the heads, group after group.
    std::vector<std::size_t> slots;
    std::vector<std::size_t> heads;
    for (std::size_t k = 0; k < n_groups; ++k) {
        std::size_t s = plan.first_slot[k];
        const std::size_t end = plan.first_slot[k + 1];
        if (s == end) continue;
        if (has_head(plan, k)) {
            out.head[k] = plan.last(s);
            out.head_closes[k] = (before[k] + plan.items[k]) / plan.chunk > before[k] / plan.chunk;
            heads.push_back(k);
            ++s;
        }
        const bool open_tail = (before[k] + plan.items[k]) % plan.chunk != 0 && s < end;
        out.n_whole[k] = end - s - open_tail;
        for (; s < end; ++s) slots.push_back(s);
        if (open_tail) out.tail_groups.push_back(static_cast<std::int64_t>(k));
    }
    const std::vector<std::size_t> head_at = offsets_of(out.head);
    out.head_values = Buffer<T>::uninitialized(head_at.back() * width);
    if (indexed) out.head_indices = Buffer<I>::uninitialized(head_at.back());
    // The heads and the summed slots are tasks of one pass.
    std::vector<ColumnSums> sums(slots.size());
    for_each_block(heads.size() + slots.size(), [&](std::size_t i) {
        if (i < heads.size()) {
            const std::size_t at = head_at[heads[i]];
            gather_head(plan.first_slot[heads[i]], out.head_values.data() + at * width,
                        indexed ? out.head_indices.data() + at : nullptr);
        } else {
            sums[i - heads.size()] = slot_sums(slots[i - heads.size()], ColumnSums::zeros(n_cols));
        }
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

// out = open, FlatSums runs of n_cols columns, with group k's run continued
// by cont(sums, begin, end, k) over its gathered items [begin, end), for every
// group with a head. Each group's sums are held apart only while they are
// continued: allocating all of them at once would grow the heap by the whole
// state on every call, and a heap trimmed eagerly would then be faulted in
// again each time.
template <class Continue>
void continue_heads(std::span<const double> open, std::span<double> out,
                    std::span<const std::uint64_t> head, std::size_t n_cols, Continue&& cont) {
    const FlatSums layout{n_cols};
    const std::vector<std::size_t> at = offsets_of(head);
    for_each_block(head.size(), [&](std::size_t k) {
        if (head[k] == 0) {
            std::copy_n(open.data() + k * layout.run(), layout.run(),
                        out.data() + k * layout.run());
            return;
        }
        ColumnSums sums = layout.read(open, k);
        cont(sums, at[k], at[k + 1], k);
        layout.write(sums, out, k);
    });
}

template <class T>
auto dense_rows(std::size_t n_cols, const SumsKind& kind) {
    return [n_cols, &kind](ColumnSums& sums, std::span<const T> rows, std::size_t k) {
        continue_rows(sums, rows, n_cols, kind, k);
    };
}

template <class I, class T>
auto sparse_runs(const SparseMatrix<I, T>& m, const SumsKind& kind) {
    return [&m, &kind](ColumnSums& sums, std::span<const EntryRange> runs, std::size_t k) {
        if (kind.deviations) {
            continue_deviation_entries(sums, m.indices, m.data, m.n_cols, kind.deviations->of(k),
                                       runs);
        } else if (kind.expm1) {
            continue_sparse_hvg_sums(sums, m.indices, m.data, m.n_cols, kind.log_base,
                                     kind.square_f64, runs);
        } else {
            continue_sparse_column_sums(sums, m.indices, m.data, m.n_cols, kind.square_f64, runs);
        }
    };
}

// Gathered values become what they add to the sums: expm1 of the values
// brought to natural-log scale, for the Seurat statistics (the bits of the
// passes that sum them where they are), or the values themselves. The fold's
// chain then only adds, but for the deviation sums, which it takes about the
// means of each head's group from the values themselves.
template <class T>
void to_terms(std::span<T> values, const SumsKind& kind) {
    if (kind.expm1) expm1_of_log_scaled(std::span<const T>(values), values, kind.log_base);
}

ChunkPlan dense_plan(const RowGroups& groups, std::span<const std::uint64_t> before) {
    return plan_chunks(groups, MOMENT_CHUNK_ROWS, [](std::size_t) { return 1; }, before);
}
}  // namespace

template <class T>
GroupedPartial<std::int64_t, T> dense_group_partial(std::span<const T> block, std::size_t n_cols,
                                                    std::span<const std::int64_t> codes,
                                                    std::span<const std::uint64_t> before,
                                                    const SumsKind& kind) {
    chunk_count(block.size(), rows_chunk_len(MOMENT_CHUNK_ROWS, n_cols));
    const RowGroups groups = block_groups(codes, before.size());
    const ChunkPlan plan = dense_plan(groups, before);
    return group_partial<std::int64_t, T>(
        plan, before, n_cols, n_cols, false,
        [&](std::size_t slot, ColumnSums start) {
            return dense_slot_sums(block, n_cols, groups, plan, slot, dense_rows<T>(n_cols, kind),
                                   std::move(start));
        },
        [&](std::size_t slot, T* values, std::int64_t*) {
            T* const first = values;
            dense_slot_sums(
                block, n_cols, groups, plan, slot,
                [&](ColumnSums&, std::span<const T> rows) {
                    values = std::copy(rows.begin(), rows.end(), values);
                },
                ColumnSums{});
            to_terms(std::span<T>(first, values), kind);
        });
}

template <class I, class T>
GroupedPartial<I, T> sparse_group_partial(const SparseMatrix<I, T>& block,
                                          std::span<const std::int64_t> codes,
                                          std::span<const std::uint64_t> before,
                                          const SumsKind& kind) {
    const RowGroups groups = block_groups(codes, before.size());
    const ChunkPlan plan = csr_plan(block, groups, true, before);
    std::vector<EntryProblem> problems(plan.n_slots());
    auto out = group_partial<I, T>(
        plan, before, block.n_cols, 1, true,
        [&](std::size_t slot, ColumnSums start) {
            return csr_slot_sums(block, groups, plan, true, slot, sparse_runs(block, kind),
                                 std::move(start), problems[slot]);
        },
        [&](std::size_t slot, T* values, I* indices) {
            T* const first = values;
            // The runs are checked before they are handed over.
            csr_slot_sums(
                block, groups, plan, true, slot,
                [&](ColumnSums&, std::span<const EntryRange> runs) {
                    for (const EntryRange& run : runs) {
                        values = std::copy(block.data.begin() + run.begin,
                                           block.data.begin() + run.end, values);
                        indices = std::copy(block.indices.begin() + run.begin,
                                            block.indices.begin() + run.end, indices);
                    }
                },
                ColumnSums{}, problems[slot]);
            to_terms(std::span<T>(first, values), kind);
        });
    raise_first(problems);
    return out;
}

template <class T>
void continue_dense_groups(std::span<const double> open, std::span<double> out,
                           std::span<const std::uint64_t> head, std::span<const T> rows,
                           std::size_t n_cols, const SumsKind& kind) {
    // Dense Seurat sums square in the precision of the data.
    const SumsKind terms = kind.deviations ? kind
                                           : SumsKind{false, std::nullopt,
                                                      !kind.expm1 && kind.square_f64, std::nullopt};
    continue_heads(open, out, head, n_cols,
                   [&](ColumnSums& sums, std::size_t begin, std::size_t end, std::size_t k) {
                       continue_rows(sums, rows.subspan(begin * n_cols, (end - begin) * n_cols),
                                     n_cols, terms, k);
                   });
}

template <class I, class T>
void continue_sparse_groups(std::span<const double> open, std::span<double> out,
                            std::span<const std::uint64_t> head, std::span<const I> indices,
                            std::span<const T> values, std::size_t n_cols, const SumsKind& kind) {
    const SumsKind terms =
        kind.deviations ? kind : SumsKind{false, std::nullopt, kind.square_f64, std::nullopt};
    continue_heads(open, out, head, n_cols,
                   [&](ColumnSums& sums, std::size_t begin, std::size_t end, std::size_t k) {
                       continue_entries(sums, indices, values, n_cols, terms, begin, end, k);
                   });
}

#define BRENIX_INSTANTIATE_DENSE(T)                                                         \
    template GroupedPartial<std::int64_t, T> dense_group_partial(                           \
        std::span<const T>, std::size_t, std::span<const std::int64_t>,                     \
        std::span<const std::uint64_t>, const SumsKind&);                                   \
    template void continue_dense_groups(std::span<const double>, std::span<double>,         \
                                        std::span<const std::uint64_t>, std::span<const T>, \
                                        std::size_t, const SumsKind&);
#define BRENIX_INSTANTIATE_SPARSE(I, T)                                                           \
    template GroupedPartial<I, T> sparse_group_partial(                                           \
        const SparseMatrix<I, T>&, std::span<const std::int64_t>, std::span<const std::uint64_t>, \
        const SumsKind&);                                                                         \
    template void continue_sparse_groups(std::span<const double>, std::span<double>,              \
                                         std::span<const std::uint64_t>, std::span<const I>,      \
                                         std::span<const T>, std::size_t, const SumsKind&);
BRENIX_INSTANTIATE_DENSE(float)
BRENIX_INSTANTIATE_DENSE(double)
BRENIX_INSTANTIATE_SPARSE(std::int32_t, float)
BRENIX_INSTANTIATE_SPARSE(std::int32_t, double)
BRENIX_INSTANTIATE_SPARSE(std::int64_t, float)
BRENIX_INSTANTIATE_SPARSE(std::int64_t, double)
#undef BRENIX_INSTANTIATE_DENSE
#undef BRENIX_INSTANTIATE_SPARSE

}  // namespace brenix
