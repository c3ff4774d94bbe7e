// The functions of brenix_kernels._blocks, one function record each (see
// records.hpp). Column sums travel in the FlatSums layout (column_sums.hpp).
// Scalars are converted before any array is taken in, in signature order.
// Every function that passes over a block's values or entries releases the
// interpreter lock while it does: a Dask worker runs several such calls on
// its threads at once.
#include "python/block_functions.hpp"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <tuple>
#include <type_traits>
#include <utility>

#include "blocks/group_partials.hpp"
#include "blocks/partials.hpp"
#include "hvg/seurat.hpp"
#include "python/intake.hpp"
#include "python/records.hpp"
#include "python/results.hpp"
#include "scale/dense_scale.hpp"
#include "scale/sparse_scale.hpp"

namespace brenix {

namespace {

Ref flat_array(const ColumnSums& sums, std::size_t n_cols) {
    const FlatSums layout{n_cols};
    auto flat = Buffer<double>::uninitialized(layout.run());
    layout.write(sums, flat.span());
    return Ref::steal(wrap_1d(std::move(flat)));
}

// The sums a kernel left, or no result if it failed.
Ref flat_array(const std::optional<ColumnSums>& sums, std::size_t n_cols) {
    if (!sums) return {};
    return flat_array(*sums, n_cols);
}

// One FlatSums run per element, in order; each element's buffers are freed
// as soon as they are copied.
Ref runs_array(std::vector<ColumnSums>& sums, std::size_t n_cols) {
    const FlatSums layout{n_cols};
    auto flat = Buffer<double>::uninitialized(sums.size() * layout.run());
    for (std::size_t k = 0; k < sums.size(); ++k) {
        layout.write(sums[k], flat.span(), k);
        sums[k] = ColumnSums{};
    }
    return Ref::steal(wrap_1d(std::move(flat)));
}

// (head, head_closes, chunk_sums, tail or None), or no result if the kernel
// failed.
Ref partial_result(std::optional<BlockPartial> computed, std::size_t n_cols) {
    if (!computed) return {};
    BlockPartial& partial = *computed;
    Ref head = Ref::steal(PyLong_FromSize_t(partial.head));
    if (!head) return {};
    return tuple_of(std::move(head), Ref::borrow(partial.head_closes ? Py_True : Py_False),
                    runs_array(partial.whole_chunks, n_cols),
                    partial.tail ? flat_array(*partial.tail, n_cols) : Ref::borrow(Py_None));
}

// The keyword-only options of every function that sums, in this order: the
// members of SumsKind, then the arrays of the deviation sums (mean, sd and
// clip as _arrays.deviation_sums takes them, one set per group of the call),
// which make them those sums. Those functions' Args derive from SumsOptions.
struct SumsOptions : SumsKind {
    PyObject* mean = Py_None;
    PyObject* sd = Py_None;
    PyObject* clip = Py_None;
};

constexpr std::tuple SUMS_OPTIONS{
    keyword_only("expm1", &SumsOptions::expm1),
    keyword_only("log_base", &SumsOptions::log_base),
    keyword_only("square_f64", &SumsOptions::square_f64),
    keyword_only("mean", &SumsOptions::mean),
    keyword_only("sd", &SumsOptions::sd),
    keyword_only("clip", &SumsOptions::clip),
};

// A call's options as the kernels take them, the deviations' arrays held.
struct TakenKind {
    SumsKind kind;
    DeviationArrays arrays;
};

bool take_kind(const SumsOptions& args, std::size_t n_sets, std::size_t n_cols, TakenKind& out) {
    out.kind = static_cast<const SumsKind&>(args);
    if (args.mean == Py_None) {
        if (args.sd == Py_None && args.clip == Py_None) return true;
        raise_value_error("sd and clip are those of the deviation sums, which need mean");
        return false;
    }
    if (args.expm1) {
        raise_value_error("mean asks for the deviation sums, expm1 for the Seurat sums: not both");
        return false;
    }
    if (!take_deviations(args.mean, args.sd, args.clip, n_sets, n_cols, out.arrays)) return false;
    out.kind.deviations = out.arrays.dev;
    return true;
}

// ---------------------------------------------------------------------------

constexpr char DENSE_PARTIAL_DOC[] =
    "dense_partial(x, first_row, *, expm1=False, log_base=None, square_f64=False, mean=None, "
    "sd=None, clip=None)\n"
    "--\n"
    "\n"
    "The part of the column sums a row block contributes, `x` being rows\n"
    "`first_row`... of the whole matrix (dense intake as `_core.scale`):\n"
    "`(head, head_closes, chunk_sums, tail)`. The first `head` rows finish the\n"
    "2048-row chunk an earlier block opened (`head_closes`: it ends here);\n"
    "`chunk_sums` holds the sums of the chunks wholly inside the block, in order;\n"
    "`tail` the running sums, from zero, of the chunk left open at the end, or\n"
    "None. With `expm1`, the sums are those of the Seurat statistics; without\n"
    "it, `square_f64` squares float32 values after widening (`mean_var`).";

struct DensePartialArgs : SumsOptions {
    PyObject* x = nullptr;
    std::uint64_t first_row = 0;
};

Ref dense_partial_impl(const DensePartialArgs& args, const Compute& compute) {
    DenseMatrix x;
    if (!take_dense(args.x, x)) return {};
    TakenKind taken;
    if (!take_kind(args, 1, x.n_cols, taken)) return {};
    const SumsKind& kind = taken.kind;
    auto partial = compute([&] {
        return std::visit(
            [&](auto block) { return dense_partial(block, x.n_cols, args.first_row, kind); },
            x.values);
    });
    return partial_result(std::move(partial), x.n_cols);
}

constexpr Function DENSE_PARTIAL{
    "dense_partial",
    signature<DensePartialArgs>(positional("x", &DensePartialArgs::x),
                                positional("first_row", &DensePartialArgs::first_row),
                                SUMS_OPTIONS),
    DENSE_PARTIAL_DOC,
    dense_partial_impl,
    RELEASES_LOCK,
};

// ---------------------------------------------------------------------------

constexpr char CONTINUE_DENSE_DOC[] =
    "continue_dense(sums, x, *, expm1=False, log_base=None, square_f64=False, mean=None, sd=None, "
    "clip=None)\n"
    "--\n"
    "\n"
    "The running sums of an open chunk continued over the rows of `x`.";

struct ContinueDenseArgs : SumsOptions {
    PyObject* sums = nullptr;
    PyObject* x = nullptr;
};

Ref continue_dense_impl(const ContinueDenseArgs& args, const Compute& compute) {
    ColumnSums sums;
    DenseMatrix x;
    if (!take_sums(args.sums, sums) || !take_dense(args.x, x)) return {};
    if (sums.sum.size() != x.n_cols) {
        return raise_value_error("running sums must hold 2 * n_cols values");
    }
    TakenKind taken;
    if (!take_kind(args, 1, x.n_cols, taken)) return {};
    const SumsKind& kind = taken.kind;
    auto continued = compute([&] {
        std::visit([&](auto rows) { continue_rows(sums, rows, x.n_cols, kind); }, x.values);
        return std::move(sums);
    });
    return flat_array(std::move(continued), x.n_cols);
}

constexpr Function CONTINUE_DENSE{
    "continue_dense",
    signature<ContinueDenseArgs>(positional("sums", &ContinueDenseArgs::sums),
                                 positional("x", &ContinueDenseArgs::x), SUMS_OPTIONS),
    CONTINUE_DENSE_DOC,
    continue_dense_impl,
    RELEASES_LOCK,
};

// ---------------------------------------------------------------------------

constexpr char SPARSE_PARTIAL_DOC[] =
    "sparse_partial(indices, data, n_cols, first_entry, *, expm1=False, log_base=None, "
    "square_f64=False, mean=None, sd=None, clip=None)\n"
    "--\n"
    "\n"
    "As `dense_partial`, for the stored entries of a CSR row block (int32 or\n"
    "int64 indices, read in place), the first\n"
    "of which is entry `first_entry` of the whole matrix in storage order; the\n"
    "chunks are 1,000,000 entries long. Entries after the head are checked as\n"
    "`_core.hvg_seurat_stats_sparse` checks them.";

struct SparsePartialArgs : SumsOptions {
    PyObject* indices = nullptr;
    PyObject* data = nullptr;
    std::uint64_t n_cols = 0;
    std::uint64_t first_entry = 0;
};

Ref sparse_partial_impl(const SparsePartialArgs& args, const Compute& compute) {
    Entries entries;
    if (!take_entries(args.indices, args.data, IndexTypes::int32_or_int64, entries)) return {};
    TakenKind taken;
    if (!take_kind(args, 1, args.n_cols, taken)) return {};
    const SumsKind& kind = taken.kind;
    auto partial = compute([&] {
        return entries.visit([&](auto indices, auto data) {
            return sparse_partial(indices, data, args.n_cols, args.first_entry, kind);
        });
    });
    return partial_result(std::move(partial), args.n_cols);
}

constexpr Function SPARSE_PARTIAL{
    "sparse_partial",
    signature<SparsePartialArgs>(positional("indices", &SparsePartialArgs::indices),
                                 positional("data", &SparsePartialArgs::data),
                                 positional("n_cols", &SparsePartialArgs::n_cols),
                                 positional("first_entry", &SparsePartialArgs::first_entry),
                                 SUMS_OPTIONS),
    SPARSE_PARTIAL_DOC,
    sparse_partial_impl,
    RELEASES_LOCK,
};

// ---------------------------------------------------------------------------

constexpr char CONTINUE_SPARSE_DOC[] =
    "continue_sparse(sums, indices, data, *, expm1=False, log_base=None, square_f64=False, "
    "mean=None, sd=None, clip=None)\n"
    "--\n"
    "\n"
    "The running sums of an open chunk continued over further stored entries.";

struct ContinueSparseArgs : SumsOptions {
    PyObject* sums = nullptr;
    PyObject* indices = nullptr;
    PyObject* data = nullptr;
};

Ref continue_sparse_impl(const ContinueSparseArgs& args, const Compute& compute) {
    ColumnSums sums;
    Entries entries;
    if (!take_sums(args.sums, sums) ||
        !take_entries(args.indices, args.data, IndexTypes::int32_or_int64, entries)) {
        return {};
    }
    const std::size_t n_cols = sums.sum.size();
    TakenKind taken;
    if (!take_kind(args, 1, n_cols, taken)) return {};
    const SumsKind& kind = taken.kind;
    auto continued = compute([&] {
        entries.visit([&](auto indices, auto data) {
            continue_entries(sums, indices, data, n_cols, kind, 0, data.size());
        });
        return std::move(sums);
    });
    return flat_array(std::move(continued), n_cols);
}

constexpr Function CONTINUE_SPARSE{
    "continue_sparse",
    signature<ContinueSparseArgs>(positional("sums", &ContinueSparseArgs::sums),
                                  positional("indices", &ContinueSparseArgs::indices),
                                  positional("data", &ContinueSparseArgs::data), SUMS_OPTIONS),
    CONTINUE_SPARSE_DOC,
    continue_sparse_impl,
    RELEASES_LOCK,
};

// ---------------------------------------------------------------------------

constexpr char FOLD_DOC[] =
    "fold(total, chunk_sums)\n"
    "--\n"
    "\n"
    "The running total after adding the sums of each chunk in turn, as the\n"
    "kernels combine their chunks.";

struct FoldArgs {
    PyObject* total = nullptr;
    PyObject* chunk_sums = nullptr;
};

Ref fold_impl(const FoldArgs& args, const Compute& compute) {
    ColumnSums total;
    Vector<double> chunk_sums;
    if (!take_sums(args.total, total) || !take_f64(args.chunk_sums, chunk_sums)) return {};
    const std::size_t n_cols = total.sum.size();
    const std::size_t run = FlatSums{n_cols}.run();
    if (run > 0 ? chunk_sums.values.size() % run != 0 : !chunk_sums.values.empty()) {
        return raise_value_error("chunk sums must hold a multiple of 2 * n_cols values");
    }
    auto folded = compute([&] {
        fold_chunk_sums(total, chunk_sums.values, n_cols);
        return std::move(total);
    });
    return flat_array(std::move(folded), n_cols);
}

constexpr Function FOLD{
    "fold",
    Signature{
        positional("total", &FoldArgs::total),
        positional("chunk_sums", &FoldArgs::chunk_sums),
    },
    FOLD_DOC,
    fold_impl,
    RELEASES_LOCK,
};

// ---------------------------------------------------------------------------

constexpr char FINISH_MEAN_STD_DOC[] =
    "finish_mean_std(total, n_rows)\n"
    "--\n"
    "\n"
    "`(mean, std)` from the totals, as `_core.scale` finishes them.";

constexpr char FINISH_MEAN_VAR_DOC[] =
    "finish_mean_var(total, n_rows)\n"
    "--\n"
    "\n"
    "`(means, variances)` from the totals, as `_arrays.mean_var` finishes them:\n"
    "variances with the n/(n-1) factor (none for one row), NaN without rows.";

constexpr char FINISH_HVG_DOC[] =
    "finish_hvg(total, n_rows)\n"
    "--\n"
    "\n"
    "`(means, dispersions)` from the totals of expm1, as\n"
    "`_core.hvg_seurat_stats` finishes them.";

struct FinishArgs {
    PyObject* total = nullptr;
    std::uint64_t n_rows = 0;
};

// The three finishing steps read the same totals; Finish says what each makes
// of the column sums of n_rows rows.
template <auto Finish>
Ref finish_impl(const FinishArgs& args, const Compute& compute) {
    ColumnSums sums;
    if (!take_sums(args.total, sums)) return {};
    auto finished = compute([&] { return Finish(sums, args.n_rows); });
    if (!finished) return {};
    return tuple_of(std::move(finished->first), std::move(finished->second));
}

std::pair<Buffer<double>, Buffer<double>> means_and_stds(const ColumnSums& sums,
                                                         std::size_t n_rows) {
    return column_mean_std(sums.sum.span(), sums.sum_sq.span(), n_rows);
}

std::pair<Buffer<double>, Buffer<double>> means_and_variances(const ColumnSums& sums,
                                                              std::size_t n_rows) {
    return column_mean_var(sums.sum.span(), sums.sum_sq.span(), n_rows);
}

std::pair<Buffer<double>, Buffer<double>> means_and_dispersions(const ColumnSums& sums,
                                                                std::size_t n_rows) {
    auto [mean, var] = means_and_variances(sums, n_rows);
    HvgStats stats = finish_hvg(mean.span(), var.span());
    return {std::move(stats.means), std::move(stats.dispersions)};
}

constexpr Signature FINISH_SIGNATURE{
    positional("total", &FinishArgs::total),
    positional("n_rows", &FinishArgs::n_rows),
};

// A few operations per column of one total, once per statistic: less work
// than taking the lock back could cost.
constexpr LockUse FINISH_LOCK = keeps_lock("trivial: a few operations per column of the totals");

constexpr Function FINISH_MEAN_STD{"finish_mean_std", FINISH_SIGNATURE, FINISH_MEAN_STD_DOC,
                                   finish_impl<means_and_stds>, FINISH_LOCK};
constexpr Function FINISH_MEAN_VAR{"finish_mean_var", FINISH_SIGNATURE, FINISH_MEAN_VAR_DOC,
                                   finish_impl<means_and_variances>, FINISH_LOCK};
constexpr Function FINISH_HVG{"finish_hvg", FINISH_SIGNATURE, FINISH_HVG_DOC,
                              finish_impl<means_and_dispersions>, FINISH_LOCK};

// ---------------------------------------------------------------------------
// Grouped partials: one call per row block for every group of rows.

Ref int_list(const std::vector<std::uint64_t>& values) {
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(values.size())));
    if (!list) return {};
    for (std::size_t k = 0; k < values.size(); ++k) {
        PyObject* item = PyLong_FromUnsignedLongLong(values[k]);
        if (item == nullptr) return {};
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(k), item);
    }
    return list;
}

// (items, head, head_closes, n_whole, chunk_sums, tail_groups, tails,
// head_values, head_indices): lists of one int per group, FlatSums runs
// (chunk_sums group after group), then the gathered heads: rows (2-D) of a
// dense block, or stored values and their indices (None for a dense block).
template <class I, class T>
Ref grouped_result(GroupedPartial<I, T> partial, std::size_t n_cols, bool dense) {
    std::vector<std::uint64_t> closes(partial.head_closes.begin(), partial.head_closes.end());
    std::vector<std::uint64_t> tail_groups(partial.tail_groups.begin(), partial.tail_groups.end());
    const std::size_t n_head = partial.head_values.size();
    Ref values = Ref::steal(
        dense ? wrap_2d(std::move(partial.head_values), n_cols == 0 ? 0 : n_head / n_cols, n_cols)
              : wrap_1d(std::move(partial.head_values)));
    Ref indices =
        dense ? Ref::borrow(Py_None) : Ref::steal(wrap_1d(std::move(partial.head_indices)));
    return tuple_of(int_list(partial.items), int_list(partial.head), int_list(closes),
                    int_list(partial.n_whole), runs_array(partial.whole_chunks, n_cols),
                    int_list(tail_groups), runs_array(partial.tails, n_cols), std::move(values),
                    std::move(indices));
}

// A row block, its rows' groups and what to sum, as the partial of each kind
// takes them.
struct DenseGroupBlockArgs : SumsOptions {
    PyObject* x = nullptr;
    PyObject* codes = nullptr;
    PyObject* before = nullptr;
};

constexpr std::tuple DENSE_GROUP_BLOCK{
    positional("x", &DenseGroupBlockArgs::x),
    positional("codes", &DenseGroupBlockArgs::codes),
    positional("before", &DenseGroupBlockArgs::before),
};

bool take_group_block(const DenseGroupBlockArgs& args, DenseMatrix& x, BlockGroups& groups) {
    return take_dense(args.x, x) && take_block_groups(args.codes, args.before, x.n_rows, groups);
}

struct SparseGroupBlockArgs : SumsOptions {
    PyObject* indptr = nullptr;
    PyObject* indices = nullptr;
    PyObject* data = nullptr;
    std::uint64_t n_cols = 0;
    PyObject* codes = nullptr;
    PyObject* before = nullptr;
    std::uint64_t first_row = 0;
};

constexpr std::tuple SPARSE_GROUP_BLOCK{
    positional("indptr", &SparseGroupBlockArgs::indptr),
    positional("indices", &SparseGroupBlockArgs::indices),
    positional("data", &SparseGroupBlockArgs::data),
    positional("n_cols", &SparseGroupBlockArgs::n_cols),
    positional("codes", &SparseGroupBlockArgs::codes),
    positional("before", &SparseGroupBlockArgs::before),
    positional("first_row", &SparseGroupBlockArgs::first_row),
};

bool take_group_block(const SparseGroupBlockArgs& args, Compressed& in, BlockGroups& groups) {
    return take_csr_block(args.indptr, args.indices, args.data, args.n_cols, in) &&
           take_block_groups(args.codes, args.before, in.n_rows, groups);
}

constexpr char DENSE_GROUP_PARTIAL_DOC[] =
    "dense_group_partial(x, codes, before, *, expm1=False, log_base=None, "
    "square_f64=False, mean=None, sd=None, clip=None)\n"
    "--\n"
    "\n"
    "`dense_partial` for every group of the rows of `x` at once (`codes`: int64\n"
    "in [-1, n_groups) per row, -1 for none; `before`: int64, each group's rows\n"
    "above the block): `(items, head, head_closes, n_whole, chunk_sums,\n"
    "tail_groups, tails, head_values, head_indices)`, lists of one int per group\n"
    "(`items`: its rows here; `head`: those finishing its open chunk;\n"
    "`n_whole`: its chunks wholly here), the whole chunks' sums group after\n"
    "group, the groups left with an open chunk and that chunk's sums, then the\n"
    "terms of the heads' rows (expm1 taken for the Seurat sums) gathered group\n"
    "after group, for `continue_dense_groups`, and None.";

Ref dense_group_partial_impl(const DenseGroupBlockArgs& args, const Compute& compute) {
    DenseMatrix x;
    BlockGroups groups;
    if (!take_group_block(args, x, groups)) return {};
    TakenKind taken;
    if (!take_kind(args, groups.before.size(), x.n_cols, taken)) return {};
    const SumsKind& kind = taken.kind;
    return std::visit(
        [&](auto block) -> Ref {
            auto partial = compute([&] {
                return dense_group_partial(block, x.n_cols, *groups.codes.rows, groups.before,
                                           kind);
            });
            if (!partial) return {};
            return grouped_result(std::move(*partial), x.n_cols, true);
        },
        x.values);
}

constexpr Function DENSE_GROUP_PARTIAL{
    "dense_group_partial",   signature<DenseGroupBlockArgs>(DENSE_GROUP_BLOCK, SUMS_OPTIONS),
    DENSE_GROUP_PARTIAL_DOC, dense_group_partial_impl,
    RELEASES_LOCK,
};

constexpr char SPARSE_GROUP_PARTIAL_DOC[] =
    "sparse_group_partial(indptr, indices, data, n_cols, codes, before, first_row, *, "
    "expm1=False, log_base=None, square_f64=False, mean=None, sd=None, clip=None)\n"
    "--\n"
    "\n"
    "`dense_group_partial` for a CSR row block (indptr int64; indices int32 or\n"
    "int64 and data read in place); a group's items are the stored entries of\n"
    "its rows, in 1,000,000-entry chunks, and the heads are gathered as terms\n"
    "and indices (for `continue_sparse_groups`). Its rows' entries are checked\n"
    "as the grouped `_arrays` functions check them (the first bad entry in\n"
    "storage order fails; a duplicate raises ValueError, its row counted from\n"
    "`first_row`).";

Ref sparse_group_partial_impl(const SparseGroupBlockArgs& args, const Compute& compute) {
    Compressed in;
    BlockGroups groups;
    if (!take_group_block(args, in, groups)) return {};
    TakenKind taken;
    if (!take_kind(args, groups.before.size(), in.n_cols, taken)) return {};
    const SumsKind& kind = taken.kind;
    // The result is converted inside the visit, where its types are known.
    return in.visit([&](const auto& m) -> Ref {
        auto partial = compute(
            [&] { return sparse_group_partial(m, *groups.codes.rows, groups.before, kind); },
            args.first_row);
        if (!partial) return {};
        return grouped_result(std::move(*partial), in.n_cols, false);
    });
}

constexpr Function SPARSE_GROUP_PARTIAL{
    "sparse_group_partial",
    signature<SparseGroupBlockArgs>(SPARSE_GROUP_BLOCK, SUMS_OPTIONS),
    SPARSE_GROUP_PARTIAL_DOC,
    sparse_group_partial_impl,
    RELEASES_LOCK,
};

// The gathered heads of a grouped partial, continued away from their block.

struct ContinueDenseGroupsArgs : SumsOptions {
    PyObject* open = nullptr;
    PyObject* head = nullptr;
    PyObject* x = nullptr;
};

constexpr char CONTINUE_DENSE_GROUPS_DOC[] =
    "continue_dense_groups(open, head, x, *, expm1=False, log_base=None, square_f64=False, "
    "mean=None, sd=None, clip=None)\n"
    "--\n"
    "\n"
    "The open chunks' running sums (one run per group) continued over each\n"
    "group's head: the first head[0] rows of `x` for group 0, the next head[1]\n"
    "for group 1, and so on (the gathered heads of `dense_group_partial`, whose\n"
    "values are the terms the sums add: expm1 is not taken again).";

Ref continue_dense_groups_impl(const ContinueDenseGroupsArgs& args, const Compute& compute) {
    DenseMatrix x;
    std::vector<std::uint64_t> head;
    Vector<double> open;
    if (!take_dense(args.x, x) || !take_head(args.head, x.n_rows, head) ||
        !take_open(args.open, head.size(), x.n_cols, open)) {
        return {};
    }
    TakenKind taken;
    if (!take_kind(args, head.size(), x.n_cols, taken)) return {};
    const SumsKind& kind = taken.kind;
    auto out = compute([&] {
        auto sums = Buffer<double>::uninitialized(open.values.size());
        std::visit(
            [&](auto rows) {
                continue_dense_groups(open.values, sums.span(), head, rows, x.n_cols, kind);
            },
            x.values);
        return sums;
    });
    if (!out) return {};
    return as_result(std::move(*out));
}

constexpr Function CONTINUE_DENSE_GROUPS{
    "continue_dense_groups",
    signature<ContinueDenseGroupsArgs>(positional("open", &ContinueDenseGroupsArgs::open),
                                       positional("head", &ContinueDenseGroupsArgs::head),
                                       positional("x", &ContinueDenseGroupsArgs::x), SUMS_OPTIONS),
    CONTINUE_DENSE_GROUPS_DOC,
    continue_dense_groups_impl,
    RELEASES_LOCK,
};

struct ContinueSparseGroupsArgs : SumsOptions {
    PyObject* open = nullptr;
    PyObject* head = nullptr;
    PyObject* indices = nullptr;
    PyObject* data = nullptr;
    std::uint64_t n_cols = 0;
};

constexpr char CONTINUE_SPARSE_GROUPS_DOC[] =
    "continue_sparse_groups(open, head, indices, data, n_cols, *, expm1=False, "
    "log_base=None, square_f64=False, mean=None, sd=None, clip=None)\n"
    "--\n"
    "\n"
    "`continue_dense_groups` over stored entries: head[k] of them for group k,\n"
    "group after group (the gathered heads of `sparse_group_partial`, already\n"
    "checked there).";

Ref continue_sparse_groups_impl(const ContinueSparseGroupsArgs& args, const Compute& compute) {
    Entries in;
    std::vector<std::uint64_t> head;
    Vector<double> open;
    if (!take_entries(args.indices, args.data, IndexTypes::int32_or_int64, in)) return {};
    const std::size_t n_values = in.n_values();
    if (in.n_indices() != n_values) {
        raise_value_error("indices and data must have one item per stored entry");
        return {};
    }
    if (!take_head(args.head, n_values, head) ||
        !take_open(args.open, head.size(), args.n_cols, open)) {
        return {};
    }
    TakenKind taken;
    if (!take_kind(args, head.size(), args.n_cols, taken)) return {};
    const SumsKind& kind = taken.kind;
    auto out = compute([&] {
        auto sums = Buffer<double>::uninitialized(open.values.size());
        in.visit([&](auto indices, auto data) {
            continue_sparse_groups(open.values, sums.span(), head, indices, data, args.n_cols,
                                   kind);
        });
        return sums;
    });
    if (!out) return {};
    return as_result(std::move(*out));
}

constexpr Function CONTINUE_SPARSE_GROUPS{
    "continue_sparse_groups",
    signature<ContinueSparseGroupsArgs>(positional("open", &ContinueSparseGroupsArgs::open),
                                        positional("head", &ContinueSparseGroupsArgs::head),
                                        positional("indices", &ContinueSparseGroupsArgs::indices),
                                        positional("data", &ContinueSparseGroupsArgs::data),
                                        positional("n_cols", &ContinueSparseGroupsArgs::n_cols),
                                        SUMS_OPTIONS),
    CONTINUE_SPARSE_GROUPS_DOC,
    continue_sparse_groups_impl,
    RELEASES_LOCK,
};

// ---------------------------------------------------------------------------

constexpr char SCALE_DENSE_DOC[] =
    "scale_dense(x, mean, std, *, zero_center=True, max_value=None, mask=None)\n"
    "--\n"
    "\n"
    "The write pass of `_core.scale` over a row block, with the column means\n"
    "and standard deviations given. With `mask` (one bool per row), the rows\n"
    "where it is False are copied unchanged (in the result's dtype), as\n"
    "`_arrays.scale` writes them.";

struct ScaleDenseArgs {
    PyObject* x = nullptr;
    PyObject* mean = nullptr;
    PyObject* std = nullptr;
    bool zero_center = true;
    std::optional<double> max_value;
    PyObject* mask = Py_None;
};

Ref scale_dense_impl(const ScaleDenseArgs& args, const Compute& compute) {
    DenseMatrix x;
    Vector<double> mean;
    Vector<double> stdev;
    if (!take_dense(args.x, x) || !take_f64(args.mean, mean) || !take_f64(args.std, stdev)) {
        return {};
    }
    if (mean.values.size() != x.n_cols || stdev.values.size() != x.n_cols) {
        return raise_value_error("mean and std must hold one value per column of x");
    }
    Mask mask;
    if (!take_mask(args.mask, x.n_rows, mask)) return {};
    return std::visit(
        [&](auto matrix) -> Ref {
            using T = std::remove_const_t<typename decltype(matrix)::element_type>;
            auto out = compute([&] {
                auto scaled = Buffer<T>::uninitialized(matrix.size());
                apply_chunks(scaled.span(), matrix, x.n_cols, args.zero_center, mean.values,
                             stdev.values, args.max_value, mask.rows);
                return scaled;
            });
            if (!out) return {};
            return Ref::steal(wrap_2d(std::move(*out), x.n_rows, x.n_cols));
        },
        x.values);
}

constexpr Function SCALE_DENSE{
    "scale_dense",
    Signature{
        positional("x", &ScaleDenseArgs::x),
        positional("mean", &ScaleDenseArgs::mean),
        positional("std", &ScaleDenseArgs::std),
        keyword_only("zero_center", &ScaleDenseArgs::zero_center),
        keyword_only("max_value", &ScaleDenseArgs::max_value),
        keyword_only("mask", &ScaleDenseArgs::mask),
    },
    SCALE_DENSE_DOC,
    scale_dense_impl,
    RELEASES_LOCK,
};

// ---------------------------------------------------------------------------

constexpr char SCALE_SPARSE_VALUES_DOC[] =
    "scale_sparse_values(indptr, indices, data, std, *, max_value=None, promote=False, "
    "mask=None)\n"
    "--\n"
    "\n"
    "The values of `_core.scale_sparse_data` for the stored entries of a CSR\n"
    "row block (indptr int64; indices int32 or int64 and data read in place),\n"
    "with the column standard deviations given (one per column), in storage\n"
    "order. Every entry's column is checked to be in range. With `mask` (one\n"
    "bool per row), the values of the rows where it is False are kept (in the\n"
    "result's dtype), as `_arrays.scale_sparse` keeps them.";

struct ScaleSparseValuesArgs {
    PyObject* indptr = nullptr;
    PyObject* indices = nullptr;
    PyObject* data = nullptr;
    PyObject* std = nullptr;
    std::optional<double> max_value;
    bool promote = false;
    PyObject* mask = Py_None;
};

Ref scale_sparse_values_impl(const ScaleSparseValuesArgs& args, const Compute& compute) {
    Compressed in;
    Vector<double> stdev;
    if (!take_csr_block(args.indptr, args.indices, args.data, 0, in) ||
        !take_f64(args.std, stdev)) {
        return {};
    }
    in.n_cols = stdev.values.size();  // the deviations give the number of columns
    Mask mask;
    if (!take_mask(args.mask, in.n_rows, mask)) return {};
    return in.visit([&](const auto& m) -> Ref {
        using T = std::remove_const_t<typename std::remove_cvref_t<decltype(m.data)>::element_type>;
        auto scale = [&]<class Out>() -> Ref {
            auto values = compute([&] {
                return scale_csr_values<Out>(m, stdev.values, args.max_value, mask.rows,
                                             WriteCheck::columns);
            });
            if (!values) return {};
            return as_result(std::move(*values));
        };
        if constexpr (std::is_same_v<T, float>) {
            if (!args.promote) return scale.template operator()<float>();
        }
        return scale.template operator()<double>();
    });
}

constexpr Function SCALE_SPARSE_VALUES{
    "scale_sparse_values",
    Signature{
        positional("indptr", &ScaleSparseValuesArgs::indptr),
        positional("indices", &ScaleSparseValuesArgs::indices),
        positional("data", &ScaleSparseValuesArgs::data),
        positional("std", &ScaleSparseValuesArgs::std),
        keyword_only("max_value", &ScaleSparseValuesArgs::max_value),
        keyword_only("promote", &ScaleSparseValuesArgs::promote),
        keyword_only("mask", &ScaleSparseValuesArgs::mask),
    },
    SCALE_SPARSE_VALUES_DOC,
    scale_sparse_values_impl,
    RELEASES_LOCK,
};

// ---------------------------------------------------------------------------

constexpr char CHECK_CSR_DOC[] =
    "check_csr(indptr, indices, n_cols, first_row)\n"
    "--\n"
    "\n"
    "Checks the stored entries of a CSR row block as the in-memory `_arrays`\n"
    "functions check a whole matrix's, without reading its values: indptr\n"
    "(int64) must start at 0, never decrease and end at len(indices); indices\n"
    "(int32 or int64, read in place) must lie in [0, n_cols), none twice in a\n"
    "row. The first problem in storage order raises: an index out of range as\n"
    "PanicException (\"index out of bounds: ...\"), an entry stored twice as\n"
    "ValueError, its row counted from `first_row` (the block's first row in\n"
    "the whole matrix). Returns None.";

struct CheckCsrArgs {
    PyObject* indptr = nullptr;
    PyObject* indices = nullptr;
    std::uint64_t n_cols = 0;
    std::uint64_t first_row = 0;
};

Ref check_csr_impl(const CheckCsrArgs& args, const Compute& compute) {
    Compressed in;
    if (!take_csr_block(args.indptr, args.indices, nullptr, args.n_cols, in)) return {};
    const auto checked = compute(
        [&] {
            in.visit_indices(
                [&](auto indices) { check_csr(in.indptr.values, indices, in.n_cols); });
            return true;
        },
        args.first_row);
    if (!checked) return {};
    return Ref::borrow(Py_None);
}

constexpr Function CHECK_CSR{
    "check_csr",
    Signature{
        positional("indptr", &CheckCsrArgs::indptr),
        positional("indices", &CheckCsrArgs::indices),
        positional("n_cols", &CheckCsrArgs::n_cols),
        positional("first_row", &CheckCsrArgs::first_row),
    },
    CHECK_CSR_DOC,
    check_csr_impl,
    RELEASES_LOCK,
};

}  // namespace

std::span<PyMethodDef> block_functions() {
    return function_table<DENSE_PARTIAL, CONTINUE_DENSE, SPARSE_PARTIAL, CONTINUE_SPARSE, FOLD,
                          FINISH_MEAN_STD, FINISH_MEAN_VAR, FINISH_HVG, DENSE_GROUP_PARTIAL,
                          CONTINUE_DENSE_GROUPS, SPARSE_GROUP_PARTIAL, CONTINUE_SPARSE_GROUPS,
                          SCALE_DENSE, SCALE_SPARSE_VALUES, CHECK_CSR>();
}

}  // namespace brenix
