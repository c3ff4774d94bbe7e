// One pass over a whole matrix for the sums of many row subsets at once, with
// the bits each subset would get from the flat kernels on its own.
//
// Every pass returns one total per group of RowGroups: the sums of the
// group's chunks (plan_chunks) added from zeros in chunk order. A chunk is
// summed from zeros in the subset's storage order, which for one column is row
// order; sums of chunks without entries in a column are +0.0, and adding +0.0
// to a total that started at +0.0 never changes it (such a total is never
// -0.0), so a pass only has to visit the chunks an entry falls into.
//
// The checks of the flat kernels hold here too, within the same passes: a
// column (CSR) or row (CSC) index out of range, or a position without an index,
// fails with the index-out-of-bounds message of the first bad entry in storage
// order; an entry stored twice raises DuplicateEntry. A CSR row whose columns
// strictly increase cannot hold a duplicate, so only other rows are stamped.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "core/column_sums.hpp"
#include "core/prefetch.hpp"
#include "core/sparse_matrix.hpp"
#include "core/sparse_sums.hpp"
#include "core/terms.hpp"
#include "grouped/row_groups.hpp"
#include "runtime/pool.hpp"

namespace brenix {

// Hands a slot's rows or runs to a summer, with the slot's group when the
// summer takes one (sums whose terms depend on the group, as the deviations
// about each group's own means do).
template <class Summer, class Items>
BRENIX_INLINE void sum_for_group(Summer& summer, ColumnSums& out, Items items, std::size_t group) {
    if constexpr (std::is_invocable_v<Summer&, ColumnSums&, Items, std::size_t>) {
        summer(out, items, group);
    } else {
        summer(out, items);
    }
}

// Adds each slot's sums to its group's total, in slot order.
template <class SlotTask>
std::vector<ColumnSums> group_totals(const ChunkPlan& plan, std::size_t n_groups,
                                     std::size_t n_cols, SlotTask&& slot_sums) {
    std::vector<ColumnSums> totals;
    totals.reserve(n_groups);
    for (std::size_t k = 0; k < n_groups; ++k) totals.push_back(ColumnSums::zeros(n_cols));
    struct Record {
        std::size_t slot;
        ColumnSums sums;
    };
    ordered_chunk_fold(
        plan.n_slots(), [&](std::size_t slot) { return Record{slot, slot_sums(slot)}; },
        [&](const Record& record) {
            add_chunk_sums(totals[plan.slot_group[record.slot]], record.sums);
        });
    return totals;
}

// Entries summed per call of sum_runs: enough to amortise a call, few enough
// that the checked indices are still in cache when they are summed.
inline constexpr std::size_t RUN_BATCH_ENTRIES = 1 << 13;

// A group's rows lie anywhere in the matrix, each too short a run for the
// hardware to start fetching it ahead: the row loop asks for a row a few rows
// ahead itself (the check of a row's indices is quick, so a row or two ahead
// would come too late).
inline constexpr std::size_t PREFETCH_ROWS = 8;

// The plan of a CSR matrix's groups: chunks of SPARSE_CHUNK_ENTRIES entries
// (a cut can fall inside a row) or of MOMENT_CHUNK_ROWS rows. `before`: see
// plan_chunks.
template <class I, class T>
ChunkPlan csr_plan(const SparseMatrix<I, T>& m, const RowGroups& groups, bool by_entries,
                   std::span<const std::uint64_t> before = {}) {
    const std::span<const std::int64_t> indptr = m.indptr;
    return by_entries
               ? plan_chunks(
                     groups, SPARSE_CHUNK_ENTRIES,
                     [&](std::size_t r) {
                         return static_cast<std::size_t>(indptr[r + 1] - indptr[r]);
                     },
                     before)
               : plan_chunks(groups, MOMENT_CHUNK_ROWS, [](std::size_t) { return 1; }, before);
}

// One slot of a CSR plan: its rows are checked and their entry runs handed,
// in order, to sum_runs(ColumnSums&, std::span<const EntryRange>), which sums
// them on into `out` (zeros for a chunk of its own, the running sums of a
// chunk an earlier row block opened). The first problem goes to `problem`.
template <class I, class T, class SumRuns>
ColumnSums csr_slot_sums(const SparseMatrix<I, T>& m, const RowGroups& groups,
                         const ChunkPlan& plan, bool by_entries, std::size_t slot,
                         SumRuns&& sum_runs, ColumnSums out, EntryProblem& problem) {
    const std::span<const std::int64_t> indptr = m.indptr;
    const std::size_t k = plan.slot_group[slot];
    const std::size_t first = plan.first(slot);
    const std::size_t last = plan.last(slot);
    const std::size_t* starts = plan.start.data() + groups.begin[k];
    const std::size_t* rows = groups.rows.data() + groups.begin[k];
    const std::size_t n = groups.size(k);
    // The row holding the chunk's first item.
    std::size_t i =
        static_cast<std::size_t>(std::upper_bound(starts, starts + n, first) - starts) - 1;
    std::vector<EntryRange> runs;
    std::vector<std::size_t> stamps;
    std::size_t pending = 0;
    for (; i < n && starts[i] < last; ++i) {
        if (i + PREFETCH_ROWS < n && rows[i + PREFETCH_ROWS] != rows[i + PREFETCH_ROWS - 1] + 1) {
            const std::size_t ahead = rows[i + PREFETCH_ROWS];
            const auto b2 = static_cast<std::size_t>(indptr[ahead]);
            const auto e2 = std::min(static_cast<std::size_t>(indptr[ahead + 1]), m.indices.size());
            if (b2 < e2) {
                prefetch_run(m.indices.data() + b2, (e2 - b2) * sizeof(I));
                prefetch_run(m.data.data() + b2, (e2 - b2) * sizeof(T));
            }
        }
        const std::size_t r = rows[i];
        const auto b = static_cast<std::size_t>(indptr[r]);
        const auto e = static_cast<std::size_t>(indptr[r + 1]);
        std::size_t lo = b;
        std::size_t hi = e;
        if (by_entries) {
            lo = b + (std::max(first, starts[i]) - starts[i]);
            hi = b + (std::min(last, starts[i] + (e - b)) - starts[i]);
        }
        // The chunk where a row starts checks the whole row.
        const bool ok = !by_entries || starts[i] >= first
                            ? check_row(m.indices, b, e, m.n_cols, r, stamps, problem)
                            : check_columns(m.indices, lo, hi, m.n_cols, problem);
        if (!ok) return out;
        if (lo == hi) continue;
        if (!runs.empty() && runs.back().end == lo) {
            runs.back().end = hi;
        } else {
            runs.push_back({lo, hi});
        }
        pending += hi - lo;
        if (pending >= RUN_BATCH_ENTRIES) {
            sum_for_group(sum_runs, out, std::span<const EntryRange>(runs), k);
            runs.clear();
            pending = 0;
        }
    }
    if (!runs.empty()) sum_for_group(sum_runs, out, std::span<const EntryRange>(runs), k);
    return out;
}

// CSR: the rows no group holds (coded -1), which no pass over the groups
// reads, checked in full (in range, none twice) after those passes, as the
// masked scaling checks the rows its mask leaves out: every stored entry is
// checked whichever rows are summed, and a bad entry in a summed row is
// reported before any in these rows, each kind's first in storage order.
template <class I, class T>
void check_rows_left_out(const SparseMatrix<I, T>& m, const RowGroups& groups) {
    if (groups.rows.size() == m.n_rows) return;
    std::vector<unsigned char> held(m.n_rows, 0);
    for (const std::size_t r : groups.rows) held[r] = 1;
    for_each_row_checked(
        m.n_rows, [&](std::size_t r, std::vector<std::size_t>& stamps, EntryProblem& problem) {
            return held[r] != 0 || check_row(m.indices, static_cast<std::size_t>(m.indptr[r]),
                                             static_cast<std::size_t>(m.indptr[r + 1]), m.n_cols, r,
                                             stamps, problem);
        });
}

// CSR: the totals of each group's chunks (csr_plan), each slot summed by
// csr_slot_sums from zeros.
template <class I, class T, class SumRuns>
std::vector<ColumnSums> csr_group_sums(const SparseMatrix<I, T>& m, const RowGroups& groups,
                                       bool by_entries, SumRuns&& sum_runs) {
    const ChunkPlan plan = csr_plan(m, groups, by_entries);
    std::vector<EntryProblem> problems(plan.n_slots());
    auto totals = group_totals(plan, groups.n_groups, m.n_cols, [&](std::size_t slot) {
        return csr_slot_sums(m, groups, plan, by_entries, slot, sum_runs,
                             ColumnSums::zeros(m.n_cols), problems[slot]);
    });
    raise_first(problems);
    return totals;
}

// One slot of a dense plan (MOMENT_CHUNK_ROWS rows), summed on into `out`:
// runs of adjacent rows go to sum_rows(ColumnSums&, std::span<const T> rows)
// together.
template <class T, class SumRows>
ColumnSums dense_slot_sums(std::span<const T> x, std::size_t n_cols, const RowGroups& groups,
                           const ChunkPlan& plan, std::size_t slot, SumRows&& sum_rows,
                           ColumnSums out) {
    const std::size_t k = plan.slot_group[slot];
    const std::size_t* rows = groups.rows.data() + groups.begin[k];
    std::size_t i = plan.first(slot);
    const std::size_t last = plan.last(slot);
    while (i < last) {
        std::size_t run = 1;
        while (i + run < last && rows[i + run] == rows[i] + run) ++run;
        sum_for_group(sum_rows, out, x.subspan(rows[i] * n_cols, run * n_cols), k);
        i += run;
    }
    return out;
}

// Dense: the totals of each group's rows in MOMENT_CHUNK_ROWS-row chunks.
template <class T, class SumRows>
std::vector<ColumnSums> dense_group_sums(std::span<const T> x, std::size_t n_cols,
                                         const RowGroups& groups, SumRows&& sum_rows) {
    // A matrix without columns fails as the flat kernels fail on it.
    chunk_count(x.size(), rows_chunk_len(MOMENT_CHUNK_ROWS, n_cols));
    const ChunkPlan plan = plan_chunks(groups, MOMENT_CHUNK_ROWS, [](std::size_t) { return 1; });
    return group_totals(plan, groups.n_groups, n_cols, [&](std::size_t slot) {
        return dense_slot_sums(x, n_cols, groups, plan, slot, sum_rows, ColumnSums::zeros(n_cols));
    });
}

struct CscSums {
    std::vector<ColumnSums> totals;     // per group
    std::vector<unsigned char> sorted;  // per column: its rows are stored in increasing order
};

// CSC: a column's entries in row order (a column stored out of order is
// sorted in a copy) are the column's entries of the CSR form in storage
// order, so each is added to the chunk its CSR position falls in: the
// position of (r, j) in its group's subset is the number of entries of the
// group's rows before r, plus the rank of j among row r's columns. Only rows
// that a chunk cut goes through need that rank: per column block, counts of
// the entries each row has in the blocks before give the rank of the first
// entry in the block, and a counter per such row the rest. Chunked by rows
// (MOMENT_CHUNK_ROWS), no rank is needed at all.
//
// transform(std::span<const T> x, std::vector<T>& scratch) returns the
// values to sum for a column's stored values, in storage order, and
// term(sum, sum_sq, group, column, value) adds one of them to its slot's
// running sums (add_term's value and square unless given).
template <Square S>
struct PlainTerm {
    template <class T>
    BRENIX_INLINE void operator()(double& sum, double& sum_sq, std::size_t /*group*/,
                                  std::size_t /*column*/, T value) const {
        add_term<S>(sum, sum_sq, value);
    }
};

template <Square S, class I, class T, class Transform, class Term = PlainTerm<S>>
CscSums csc_group_sums(const SparseMatrix<I, T>& m, const RowGroups& groups, bool by_entries,
                       Transform&& transform, Term term = {}) {
    const std::span<const std::int64_t> indptr = m.indptr;
    const std::size_t n_rows = m.n_rows;
    const std::size_t n_cols = m.n_cols;
    const std::size_t nnz = m.data.size();
    // Column blocks of about equal entry counts. Their number only decides
    // which thread sums which column, never a sum; with entry chunks, the
    // per-block row counts are kept no larger than the indices.
    std::size_t n_blocks = std::min(4 * pool_size(), std::max<std::size_t>(n_cols, 1));
    if (by_entries) {
        n_blocks =
            std::min(n_blocks, std::max<std::size_t>(1, nnz / std::max<std::size_t>(n_rows, 1)));
    }
    std::vector<std::size_t> block_col(n_blocks + 1, n_cols);
    block_col[0] = 0;
    for (std::size_t b = 1; b < n_blocks; ++b) {
        const auto target = static_cast<std::int64_t>(nnz / n_blocks * b);
        const auto col = static_cast<std::size_t>(
            std::lower_bound(indptr.begin(), indptr.end() - 1, target) - indptr.begin());
        block_col[b] = std::max(block_col[b - 1], std::min(col, n_cols));
    }
    auto block_entries = [&](std::size_t b) {
        return EntryRange{static_cast<std::size_t>(indptr[block_col[b]]),
                          static_cast<std::size_t>(indptr[block_col[b + 1]])};
    };

    // Entries per row and column block, counted in 16 bits where no block is
    // wide enough for a row to hold more (the counts then stay in cache).
    // A row stored with duplicates may hold more and wrap its counts; it fails
    // the main pass, which clamps what the counts place meanwhile.
    std::vector<std::size_t> row_items(n_rows, 1);
    Buffer<std::uint16_t> counts16;
    Buffer<std::uint32_t> counts32;
    bool narrow = true;
    for (std::size_t b = 0; b < n_blocks; ++b) narrow &= block_col[b + 1] - block_col[b] < 65536;
    auto count = [&](std::size_t b, std::size_t r) -> std::size_t {
        return narrow ? counts16[b * n_rows + r] : counts32[b * n_rows + r];
    };
    if (by_entries) {
        auto count_rows = [&]<class C>(Buffer<C>& counts) {
            counts = Buffer<C>::zeros(n_blocks * n_rows);
            for_each_block(n_blocks, [&](std::size_t b) {
                C* c = counts.data() + b * n_rows;
                const EntryRange range = block_entries(b);
                for_each_entry(m.indices, range.begin, range.end, n_rows,
                               [&](std::size_t, std::size_t r) { ++c[r]; });
            });
        };
        narrow ? count_rows(counts16) : count_rows(counts32);
        std::fill(row_items.begin(), row_items.end(), 0);
        for (std::size_t b = 0; b < n_blocks; ++b) {
            for (std::size_t r = 0; r < n_rows; ++r) row_items[r] += count(b, r);
        }
    }
    const ChunkPlan plan =
        plan_chunks(groups, by_entries ? SPARSE_CHUNK_ENTRIES : MOMENT_CHUNK_ROWS,
                    [&](std::size_t r) { return row_items[r]; });
    const std::size_t chunk = plan.chunk;
    const std::size_t n_slots = plan.n_slots();

    // Sums per column and slot, a column's slots side by side.
    auto sum = Buffer<double>::zeros(n_cols * n_slots);
    auto sum_sq = Buffer<double>::zeros(n_cols * n_slots);
    std::vector<unsigned char> sorted(n_cols, 1);
    // Slots in 16 or 32 bits where they fit (the table then stays in cache).
    auto sum_columns = [&]<class Slot>() {
        // slot_of[r]: the slot of row r's entries; -1: the row is left out;
        // -2 - s: the row is cut, its position is straddle[s].start + rank.
        struct Straddle {
            std::size_t row;
            std::size_t group;
            std::size_t start;
        };
        std::vector<Slot> slot_of(n_rows, -1);
        std::vector<Straddle> straddles;
        for (std::size_t k = 0; k < groups.n_groups; ++k) {
            for (std::size_t i = groups.begin[k]; i < groups.begin[k + 1]; ++i) {
                const std::size_t r = groups.rows[i];
                const std::size_t start = plan.start[i];
                const std::size_t w = row_items[r];
                if (w == 0) continue;
                if (start / chunk == (start + w - 1) / chunk) {
                    slot_of[r] = static_cast<Slot>(plan.first_slot[k] + start / chunk);
                } else {
                    slot_of[r] =
                        static_cast<Slot>(-2 - static_cast<std::int64_t>(straddles.size()));
                    straddles.push_back({r, k, start});
                }
            }
        }
        // The rank of a cut row's first entry in each block.
        std::vector<std::size_t> rank_before(n_blocks * straddles.size());
        for (std::size_t s = 0; s < straddles.size(); ++s) {
            std::size_t seen = 0;
            for (std::size_t b = 0; b < n_blocks; ++b) {
                rank_before[b * straddles.size() + s] = seen;
                seen += count(b, straddles[s].row);
            }
        }
        counts16 = Buffer<std::uint16_t>{};
        counts32 = Buffer<std::uint32_t>{};

        for_each_block(n_blocks, [&](std::size_t b) {
            std::vector<std::size_t> rank(rank_before.begin() + b * straddles.size(),
                                          rank_before.begin() + (b + 1) * straddles.size());
            std::vector<T> scratch;
            std::vector<std::pair<std::int64_t, std::size_t>> order;
            const I* idx = m.indices.data();
            for (std::size_t j = block_col[b]; j < block_col[b + 1]; ++j) {
                const auto a = static_cast<std::size_t>(indptr[j]);
                const auto e = static_cast<std::size_t>(indptr[j + 1]);
                if (!increasing_below(m.indices, a, e, n_rows)) {
                    // Fails at the first bad entry, if there is one.
                    for_each_entry(m.indices, a, e, n_rows, [](std::size_t, std::size_t) {});
                    sorted[j] = 0;
                }
                const T* v = transform(m.data.subspan(a, e - a), scratch);
                double* sj = sum.data() + j * n_slots;
                double* qj = sum_sq.data() + j * n_slots;
                // The running sums of the slot at hand are kept in registers
                // while the column's next entries fall in the same slot (one
                // chunk's rows follow each other): adding to memory would wait
                // for the previous store at every entry. Each slot still sees
                // its values in row order.
                std::int64_t open = -1;
                std::size_t open_group = 0;
                double acc = 0.0;
                double acc_sq = 0.0;
                auto add = [&](std::size_t r, T value) {
                    std::int64_t slot = slot_of[r];
                    if (slot == -1) return;
                    if (slot <= -2) {
                        const std::size_t s = static_cast<std::size_t>(-2 - slot);
                        const std::size_t position = straddles[s].start + rank[s]++;
                        const std::size_t k = straddles[s].group;
                        slot = static_cast<std::int64_t>(std::min(
                            plan.first_slot[k] + position / chunk, plan.first_slot[k + 1] - 1));
                    }
                    if (slot != open) {
                        if (open >= 0) {
                            sj[open] = acc;
                            qj[open] = acc_sq;
                        }
                        open = slot;
                        open_group = plan.slot_group[static_cast<std::size_t>(slot)];
                        acc = sj[slot];
                        acc_sq = qj[slot];
                    }
                    term(acc, acc_sq, open_group, j, value);
                };
                // The rows checked above are read again here: each is checked
                // where it is used (order holds a copy, checked as it is used).
                if (sorted[j]) {
                    for (std::size_t p = a; p < e; ++p)
                        add(checked_index(idx, p, n_rows), v[p - a]);
                } else {
                    order.clear();
                    for (std::size_t p = a; p < e; ++p) {
                        order.emplace_back(static_cast<std::int64_t>(checked_index(idx, p, n_rows)),
                                           p);
                    }
                    std::sort(order.begin(), order.end());
                    for (std::size_t q = 1; q < order.size(); ++q) {
                        if (order[q].first == order[q - 1].first) {
                            throw DuplicateEntry(static_cast<std::size_t>(order[q].first), j);
                        }
                    }
                    for (const auto& [r, p] : order) add(static_cast<std::size_t>(r), v[p - a]);
                }
                if (open >= 0) {
                    sj[open] = acc;
                    qj[open] = acc_sq;
                }
            }
        });
    };
    // A cut row has a chunk cut in it, so there are fewer of them than slots.
    if (2 * n_slots + 2 < (std::size_t{1} << 15)) {
        sum_columns.template operator()<std::int16_t>();
    } else if (2 * n_slots + 2 < (std::size_t{1} << 31)) {
        sum_columns.template operator()<std::int32_t>();
    } else {
        sum_columns.template operator()<std::int64_t>();
    }

    CscSums out{{}, std::move(sorted)};
    out.totals.reserve(groups.n_groups);
    for (std::size_t k = 0; k < groups.n_groups; ++k) {
        ColumnSums total = ColumnSums::zeros(n_cols);
        for (std::size_t j = 0; j < n_cols; ++j) {
            for (std::size_t slot = plan.first_slot[k]; slot < plan.first_slot[k + 1]; ++slot) {
                total.sum[j] += sum[j * n_slots + slot];
                total.sum_sq[j] += sum_sq[j * n_slots + slot];
            }
        }
        out.totals.push_back(std::move(total));
    }
    return out;
}

}  // namespace brenix
