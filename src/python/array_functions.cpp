// The functions of brenix_kernels._arrays, one function record each (see
// records.hpp). Each reads only the arrays it takes in and runs a whole pass
// over a matrix, so every kernel releases the interpreter lock; paths() runs
// none.
#include "python/array_functions.hpp"

#include <cstdint>
#include <optional>
#include <tuple>
#include <type_traits>
#include <utility>
#include <variant>

#include "core/isa.hpp"
#include "grouped/kernels.hpp"
#include "math/expm1_vec.hpp"
#include "math/expm1f_vec.hpp"
#include "python/intake.hpp"
#include "python/records.hpp"
#include "python/results.hpp"
#include "vst/grouped_deviations.hpp"

namespace brenix {

namespace {

// A compressed matrix as its arrays and shape: the first parameters of the
// functions that take one.
struct CompressedArgs {
    PyObject* layout = nullptr;
    PyObject* indptr = nullptr;
    PyObject* indices = nullptr;
    PyObject* data = nullptr;
    std::uint64_t n_rows = 0;
    std::uint64_t n_cols = 0;
};

constexpr std::tuple COMPRESSED{
    positional("layout", &CompressedArgs::layout),   positional("indptr", &CompressedArgs::indptr),
    positional("indices", &CompressedArgs::indices), positional("data", &CompressedArgs::data),
    positional("n_rows", &CompressedArgs::n_rows),   positional("n_cols", &CompressedArgs::n_cols),
};

bool take_matrix(const CompressedArgs& args, Compressed& out) {
    return take_compressed(args.layout, args.indptr, args.indices, args.data, args.n_rows,
                           args.n_cols, out);
}

// The row groups of the statistics: the last parameters of those functions.
struct GroupingArgs {
    PyObject* groups = nullptr;
    std::uint64_t n_groups = 0;
};

constexpr std::tuple GROUPING{
    positional("groups", &GroupingArgs::groups),
    positional("n_groups", &GroupingArgs::n_groups),
};

// (result, mean, std) of a dense scaling.
template <class T>
Ref scaled_result(ScaledMatrix<T> scaled, std::size_t n_rows, std::size_t n_cols) {
    return tuple_of(Ref::steal(wrap_2d(std::move(scaled.matrix), n_rows, n_cols)),
                    std::move(scaled.mean), std::move(scaled.stdev));
}

Ref wrap_rows(Buffer<double> values, bool grouped, std::size_t n_groups, std::size_t n_cols) {
    return Ref::steal(grouped ? wrap_2d(std::move(values), n_groups, n_cols)
                              : wrap_1d(std::move(values)));
}

// The statistics of the rows of x (n_rows x n_cols) per group, or of all of
// them: `stats(row_groups)` as the kernel, then (first, second) as (n_groups,
// n_cols) arrays when grouped.
template <class Stats>
Ref grouped_stats(const GroupingArgs& args, const Compute& compute, std::size_t n_rows,
                  std::size_t n_cols, Stats&& stats) {
    Groups groups;
    if (!take_groups(args.groups, n_rows, args.n_groups, groups)) return {};
    auto result = compute([&] { return stats(group_rows(groups.rows, n_rows, args.n_groups)); });
    if (!result) return {};
    const bool grouped = groups.rows.has_value();
    Ref first = wrap_rows(std::move(result->first), grouped, args.n_groups, n_cols);
    Ref second = wrap_rows(std::move(result->second), grouped, args.n_groups, n_cols);
    return tuple_of(std::move(first), std::move(second));
}

// ---------------------------------------------------------------------------

constexpr char HVG_SEURAT_STATS_DOC[] =
    "hvg_seurat_stats(x, log_base, groups, n_groups)\n"
    "--\n"
    "\n"
    "`_core.hvg_seurat_stats(x[rows], log_base=log_base)` for the rows of each\n"
    "group (`groups`: None, or an int64 code in [-1, n_groups) per row, -1 for\n"
    "none), in one pass: `(means, dispersions)`, (n_groups, n_cols) arrays when\n"
    "grouped.";

struct HvgArgs : GroupingArgs {
    PyObject* x = nullptr;
    std::optional<double> log_base;
};

Ref hvg_seurat_stats_impl(const HvgArgs& args, const Compute& compute) {
    DenseMatrix x;
    if (!take_dense(args.x, x)) return {};
    return grouped_stats(args, compute, x.n_rows, x.n_cols, [&](const RowGroups& groups) {
        return std::visit(
            [&](auto values) { return grouped_hvg_dense(values, x.n_cols, groups, args.log_base); },
            x.values);
    });
}

constexpr Function HVG_SEURAT_STATS{
    "hvg_seurat_stats",
    signature<HvgArgs>(positional("x", &HvgArgs::x), positional("log_base", &HvgArgs::log_base),
                       GROUPING),
    HVG_SEURAT_STATS_DOC,
    hvg_seurat_stats_impl,
    RELEASES_LOCK,
};

// ---------------------------------------------------------------------------

constexpr char HVG_SEURAT_STATS_SPARSE_DOC[] =
    "hvg_seurat_stats_sparse(layout, indptr, indices, data, n_rows, n_cols, log_base, "
    "square_f64, groups, n_groups)\n"
    "--\n"
    "\n"
    "`_core.hvg_seurat_stats_sparse` of the CSR form of each group's rows, for a\n"
    "'csr' or 'csc' matrix as stored (int32 or int64 indices), in one pass.";

struct HvgSparseArgs : CompressedArgs, GroupingArgs {
    std::optional<double> log_base;
    bool square_f64 = false;
};

Ref hvg_seurat_stats_sparse_impl(const HvgSparseArgs& args, const Compute& compute) {
    Compressed in;
    if (!take_matrix(args, in)) return {};
    return grouped_stats(args, compute, in.n_rows, in.n_cols, [&](const RowGroups& groups) {
        return in.visit([&](const auto& m) {
            return grouped_hvg_sparse(m, groups, args.log_base, args.square_f64);
        });
    });
}

constexpr Function HVG_SEURAT_STATS_SPARSE{
    "hvg_seurat_stats_sparse",
    signature<HvgSparseArgs>(COMPRESSED, positional("log_base", &HvgSparseArgs::log_base),
                             positional("square_f64", &HvgSparseArgs::square_f64), GROUPING),
    HVG_SEURAT_STATS_SPARSE_DOC,
    hvg_seurat_stats_sparse_impl,
    RELEASES_LOCK,
};

// ---------------------------------------------------------------------------

constexpr char MEAN_VAR_DOC[] =
    "mean_var(x, square_f64, groups, n_groups)\n"
    "--\n"
    "\n"
    "The moments of `_core.scale(x[rows])` per group: `(means, variances)`,\n"
    "variances with n/(n-1) (none for n = 1). square_f64: those of the rows\n"
    "converted to float64.";

struct MeanVarArgs : GroupingArgs {
    PyObject* x = nullptr;
    bool square_f64 = false;
};

Ref mean_var_impl(const MeanVarArgs& args, const Compute& compute) {
    DenseMatrix x;
    if (!take_dense(args.x, x)) return {};
    return grouped_stats(args, compute, x.n_rows, x.n_cols, [&](const RowGroups& groups) {
        return std::visit(
            [&](auto values) {
                return grouped_mean_var_dense(values, x.n_cols, groups, args.square_f64);
            },
            x.values);
    });
}

constexpr Function MEAN_VAR{
    "mean_var",
    signature<MeanVarArgs>(positional("x", &MeanVarArgs::x),
                           positional("square_f64", &MeanVarArgs::square_f64), GROUPING),
    MEAN_VAR_DOC,
    mean_var_impl,
    RELEASES_LOCK,
};

// ---------------------------------------------------------------------------

constexpr char MEAN_VAR_SPARSE_DOC[] =
    "mean_var_sparse(layout, indptr, indices, data, n_rows, n_cols, square_f64, groups, "
    "n_groups)\n"
    "--\n"
    "\n"
    "The moments of `_core.scale_sparse_data(..., promote=square_f64)` of the CSR\n"
    "form of each group's rows: `(means, variances)`.";

struct MeanVarSparseArgs : CompressedArgs, GroupingArgs {
    bool square_f64 = false;
};

Ref mean_var_sparse_impl(const MeanVarSparseArgs& args, const Compute& compute) {
    Compressed in;
    if (!take_matrix(args, in)) return {};
    return grouped_stats(args, compute, in.n_rows, in.n_cols, [&](const RowGroups& groups) {
        return in.visit(
            [&](const auto& m) { return grouped_mean_var_sparse(m, groups, args.square_f64); });
    });
}

constexpr Function MEAN_VAR_SPARSE{
    "mean_var_sparse",
    signature<MeanVarSparseArgs>(
        COMPRESSED, positional("square_f64", &MeanVarSparseArgs::square_f64), GROUPING),
    MEAN_VAR_SPARSE_DOC,
    mean_var_sparse_impl,
    RELEASES_LOCK,
};

// ---------------------------------------------------------------------------

constexpr char SCALE_DOC[] =
    "scale(x, zero_center, max_value, mask)\n"
    "--\n"
    "\n"
    "`_core.scale(x, ..., return_mean_std=True)`; with a mask, the statistics\n"
    "and the masked rows as `_core.scale(x[mask], ...)`, the other rows x's\n"
    "values. `(result, mean, std)`.";

struct ScaleArgs {
    PyObject* x = nullptr;
    bool zero_center = true;
    std::optional<double> max_value;
    PyObject* mask = nullptr;
};

Ref scale_impl(const ScaleArgs& args, const Compute& compute) {
    DenseMatrix x;
    if (!take_dense(args.x, x)) return {};
    Mask mask;
    if (!take_mask(args.mask, x.n_rows, mask)) return {};
    return std::visit(
        [&](auto values) -> Ref {
            auto scaled = compute([&] {
                return scale_dense_rows(values, x.n_rows, x.n_cols, args.zero_center,
                                        args.max_value, mask.rows);
            });
            if (!scaled) return {};
            return scaled_result(std::move(*scaled), x.n_rows, x.n_cols);
        },
        x.values);
}

constexpr Function SCALE{
    "scale",
    Signature{
        positional("x", &ScaleArgs::x),
        positional("zero_center", &ScaleArgs::zero_center),
        positional("max_value", &ScaleArgs::max_value),
        positional("mask", &ScaleArgs::mask),
    },
    SCALE_DOC,
    scale_impl,
    RELEASES_LOCK,
};

// ---------------------------------------------------------------------------

constexpr char SCALE_SPARSE_TO_DENSE_DOC[] =
    "scale_sparse_to_dense(layout, indptr, indices, data, n_rows, n_cols, max_value, mask)\n"
    "--\n"
    "\n"
    "`_core.scale(X.toarray(), zero_center=True, max_value=max_value,\n"
    "return_mean_std=True)` written straight into the dense result, without\n"
    "the dense copy of X; the mask as in `scale`.";

struct ScaleToDenseArgs : CompressedArgs {
    std::optional<double> max_value;
    PyObject* mask = nullptr;
};

Ref scale_sparse_to_dense_impl(const ScaleToDenseArgs& args, const Compute& compute) {
    Compressed in;
    if (!take_matrix(args, in)) return {};
    Mask mask;
    if (!take_mask(args.mask, in.n_rows, mask)) return {};
    return in.visit([&](const auto& m) -> Ref {
        auto scaled = compute([&] { return scale_sparse_to_dense(m, args.max_value, mask.rows); });
        if (!scaled) return {};
        return scaled_result(std::move(*scaled), in.n_rows, in.n_cols);
    });
}

constexpr Function SCALE_SPARSE_TO_DENSE{
    "scale_sparse_to_dense",
    signature<ScaleToDenseArgs>(COMPRESSED, positional("max_value", &ScaleToDenseArgs::max_value),
                                positional("mask", &ScaleToDenseArgs::mask)),
    SCALE_SPARSE_TO_DENSE_DOC,
    scale_sparse_to_dense_impl,
    RELEASES_LOCK,
};

// ---------------------------------------------------------------------------

constexpr char SCALE_SPARSE_DOC[] =
    "scale_sparse(layout, indptr, indices, data, n_rows, n_cols, max_value, promote, mask)\n"
    "--\n"
    "\n"
    "`_core.scale_sparse_data` of the CSR form: `(new_data, mean, std)`, the new\n"
    "values in X's own storage order. With a mask, the statistics of the masked\n"
    "rows; the other rows' values unchanged (in the result's dtype).";

struct ScaleSparseArgs : CompressedArgs {
    std::optional<double> max_value;
    bool promote = false;
    PyObject* mask = nullptr;
};

Ref scale_sparse_impl(const ScaleSparseArgs& args, const Compute& compute) {
    Compressed in;
    if (!take_matrix(args, in)) return {};
    Mask mask;
    if (!take_mask(args.mask, in.n_rows, mask)) return {};
    return in.visit([&](const auto& m) -> Ref {
        using T = std::remove_const_t<typename std::remove_cvref_t<decltype(m.data)>::element_type>;
        auto finish = [&](auto scaled) -> Ref {
            if (!scaled) return {};
            return tuple_of(std::move(scaled->values), std::move(scaled->mean),
                            std::move(scaled->stdev));
        };
        if constexpr (std::is_same_v<T, float>) {
            if (!args.promote) {
                return finish(compute(
                    [&] { return scale_sparse_stored<float>(m, args.max_value, mask.rows); }));
            }
        }
        return finish(
            compute([&] { return scale_sparse_stored<double>(m, args.max_value, mask.rows); }));
    });
}

constexpr Function SCALE_SPARSE{
    "scale_sparse",
    signature<ScaleSparseArgs>(COMPRESSED, positional("max_value", &ScaleSparseArgs::max_value),
                               positional("promote", &ScaleSparseArgs::promote),
                               positional("mask", &ScaleSparseArgs::mask)),
    SCALE_SPARSE_DOC,
    scale_sparse_impl,
    RELEASES_LOCK,
};

// ---------------------------------------------------------------------------

// The parameters of a deviation pass: a mean per group and column, an sd as
// large and a clip per group (sd and clip None: the centred pass).
struct DeviationArgs {
    PyObject* mean = nullptr;
    PyObject* sd = nullptr;
    PyObject* clip = nullptr;
};

constexpr std::tuple DEVIATION{
    positional("mean", &DeviationArgs::mean),
    positional("sd", &DeviationArgs::sd),
    positional("clip", &DeviationArgs::clip),
};

bool take_deviations(const DeviationArgs& args, const GroupingArgs& grouping, std::size_t n_cols,
                     DeviationArrays& out) {
    const std::size_t n_sets = grouping.groups == Py_None ? 1 : grouping.n_groups;
    return take_deviations(args.mean, args.sd, args.clip, n_sets, n_cols, out);
}

constexpr char DEVIATION_SUMS_DOC[] =
    "deviation_sums(x, mean, sd, clip, groups, n_groups)\n"
    "--\n"
    "\n"
    "The centred (sd None) or clipped standardised pass of the variance-\n"
    "stabilising statistics over each group's rows: `(counts, sums)`, the\n"
    "values counted and the sums of their squared deviations, per column\n"
    "((n_groups, n_cols) arrays when grouped). A value that is not >= 0 makes\n"
    "its column's sum NaN.";

struct DeviationSumsArgs : DeviationArgs, GroupingArgs {
    PyObject* x = nullptr;
};

Ref deviation_sums_impl(const DeviationSumsArgs& args, const Compute& compute) {
    DenseMatrix x;
    if (!take_dense(args.x, x)) return {};
    DeviationArrays dev;
    if (!take_deviations(args, args, x.n_cols, dev)) return {};
    return grouped_stats(args, compute, x.n_rows, x.n_cols, [&](const RowGroups& groups) {
        return std::visit(
            [&](auto values) {
                return grouped_deviations_dense(values, x.n_cols, groups, dev.dev);
            },
            x.values);
    });
}

constexpr Function DEVIATION_SUMS{
    "deviation_sums",
    signature<DeviationSumsArgs>(positional("x", &DeviationSumsArgs::x), DEVIATION, GROUPING),
    DEVIATION_SUMS_DOC,
    deviation_sums_impl,
    RELEASES_LOCK,
};

// ---------------------------------------------------------------------------

constexpr char DEVIATION_SUMS_SPARSE_DOC[] =
    "deviation_sums_sparse(layout, indptr, indices, data, n_rows, n_cols, mean, sd, clip, "
    "groups, n_groups)\n"
    "--\n"
    "\n"
    "`deviation_sums` over the stored entries of the CSR form of each group's\n"
    "rows, for a 'csr' or 'csc' matrix as stored (int32 or int64 indices).";

struct DeviationSumsSparseArgs : CompressedArgs, DeviationArgs, GroupingArgs {};

Ref deviation_sums_sparse_impl(const DeviationSumsSparseArgs& args, const Compute& compute) {
    Compressed in;
    if (!take_matrix(args, in)) return {};
    DeviationArrays dev;
    if (!take_deviations(args, args, in.n_cols, dev)) return {};
    return grouped_stats(args, compute, in.n_rows, in.n_cols, [&](const RowGroups& groups) {
        return in.visit(
            [&](const auto& m) { return grouped_deviations_sparse(m, groups, dev.dev); });
    });
}

constexpr Function DEVIATION_SUMS_SPARSE{
    "deviation_sums_sparse",
    signature<DeviationSumsSparseArgs>(COMPRESSED, DEVIATION, GROUPING),
    DEVIATION_SUMS_SPARSE_DOC,
    deviation_sums_sparse_impl,
    RELEASES_LOCK,
};

// ---------------------------------------------------------------------------

constexpr char PATHS_DOC[] =
    "paths()\n"
    "--\n"
    "\n"
    "The paths this process chose, as a dict, so that tests can say what they\n"
    "ran and compare it with the processor (results never depend on it):\n"
    "'isa', the instruction-set variant of the hot loops ('portable', 'avx2'\n"
    "or 'avx512'); 'built', the variants this build has; 'expm1' ('vector' or\n"
    "'library') and 'expm1_isa', the variant of the float64 vector expm1;\n"
    "'expm1f' ('classic vector', 'correctly rounded vector' or 'library').";

struct NoArgs {};

Ref paths_impl(const NoArgs& /*args*/, const Compute& /*compute*/) {
    Ref built = Ref::steal(PyTuple_New(std::size(ISA_TARGETS)));
    if (!built) return {};
    for (std::size_t k = 0; k < std::size(ISA_TARGETS); ++k) {
        PyObject* name = PyUnicode_FromString(ISA_TARGETS[k].name);
        if (name == nullptr) return {};
        PyTuple_SET_ITEM(built.get(), static_cast<Py_ssize_t>(k), name);
    }
    const char* expm1 = expm1_path() == Expm1Path::vector ? "vector" : "library";
    return Ref::steal(Py_BuildValue("{s:s,s:O,s:s,s:s,s:s}", "isa", isa_target(active_isa()).name,
                                    "built", built.get(), "expm1", expm1, "expm1_isa",
                                    isa_target(expm1_vector_isa()).name, "expm1f",
                                    name(expm1f_path())));
}

constexpr Function PATHS{
    "paths",
    Signature<NoArgs>{},
    PATHS_DOC,
    paths_impl,
    keeps_lock("no kernel: it reads what the process chose"),
};

}  // namespace

std::span<PyMethodDef> array_functions() {
    return function_table<HVG_SEURAT_STATS, HVG_SEURAT_STATS_SPARSE, MEAN_VAR, MEAN_VAR_SPARSE,
                          SCALE, SCALE_SPARSE_TO_DENSE, SCALE_SPARSE, DEVIATION_SUMS,
                          DEVIATION_SUMS_SPARSE, PATHS>();
}

}  // namespace brenix
