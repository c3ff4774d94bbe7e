// The functions of brenix_kernels._core, one record each (see records.hpp):
// the arguments, the docstring, the body, and the record that ties them to the
// function's Python name and signature. The body takes the arrays in, runs the
// kernel and builds the result. Scalars are converted before any array is
// taken in, in signature order; that order decides which error a call with
// several bad arguments raises.
#include "python/core_functions.hpp"

#include <optional>
#include <type_traits>
#include <utility>

#include "hvg/seurat.hpp"
#include "python/intake.hpp"
#include "python/lock.hpp"
#include "python/records.hpp"
#include "python/results.hpp"
#include "scale/dense_scale.hpp"
#include "scale/sparse_scale.hpp"

namespace brenix {

namespace {

// The four functions' documented contract: a call holds the interpreter lock
// for its whole duration (README, Threads), and callers may rely on it.
constexpr LockUse CORE_LOCK =
    keeps_lock("documented: a call of _core holds the interpreter lock throughout");

Ref hvg_result(std::optional<HvgStats> stats) {
    if (!stats) return {};
    return tuple_of(std::move(stats->means), std::move(stats->dispersions));
}

// ---------------------------------------------------------------------------

constexpr char SCALE_DOC[] =
    "scale(x, *, zero_center=True, max_value=None, return_mean_std=False)\n"
    "--\n"
    "\n"
    "Standardize each gene (column) to zero mean and unit variance.\n"
    "\n"
    "`x` must be a 2-D NumPy array of dtype `float32`, `float64`, or an integer\n"
    "type (integers are cast to `float64`, matching Brenix).\n"
    "\n"
    "- `zero_center`: subtract the per-gene mean before scaling.\n"
    "- `max_value`: clip (truncate) scaled values to `[-max_value, max_value]`;\n"
    "  the lower bound is only applied when `zero_center` is true.\n"
    "- `return_mean_std`: also return the per-gene mean and std arrays.";

struct ScaleArgs {
    PyObject* x = nullptr;
    bool zero_center = true;
    std::optional<double> max_value;
    bool return_mean_std = false;
};

Ref scale_impl(const ScaleArgs& args, const Compute& compute) {
    DenseMatrix x;
    if (!take_dense(args.x, x)) return {};
    return std::visit(
        [&](auto matrix) -> Ref {
            auto scaled = compute([&] {
                return scale_dense(matrix, x.n_rows, x.n_cols, args.zero_center, args.max_value);
            });
            if (!scaled) return {};
            Ref out = Ref::steal(wrap_2d(std::move(scaled->matrix), x.n_rows, x.n_cols));
            if (!args.return_mean_std) return out;
            return tuple_of(std::move(out), std::move(scaled->mean), std::move(scaled->stdev));
        },
        x.values);
}

constexpr Function SCALE{
    "scale",
    Signature{
        positional("x", &ScaleArgs::x),
        keyword_only("zero_center", &ScaleArgs::zero_center),
        keyword_only("max_value", &ScaleArgs::max_value),
        keyword_only("return_mean_std", &ScaleArgs::return_mean_std),
    },
    SCALE_DOC,
    scale_impl,
    CORE_LOCK,
};

// ---------------------------------------------------------------------------

constexpr char SCALE_SPARSE_DATA_DOC[] =
    "scale_sparse_data(indices, data, n_rows, n_cols, *, max_value=None, promote=False)\n"
    "--\n"
    "\n"
    "Scale a sparse (CSR) matrix's non-zero values and return mean/std.\n"
    "\n"
    "`indices[k]` is the column index of `data[k]`; `n_rows`/`n_cols` are the\n"
    "matrix dimensions. Matches `brenix.pp.scale`'s sparse path (sklearn-style\n"
    "mean/variance, upper-bound clipping only). `promote` reproduces the\n"
    "reference's CSC behaviour: CSC output is promoted to `float64`, CSR keeps\n"
    "its dtype.";

struct ScaleSparseDataArgs {
    PyObject* indices = nullptr;
    PyObject* data = nullptr;
    std::uint64_t n_rows = 0;
    std::uint64_t n_cols = 0;
    std::optional<double> max_value;
    bool promote = false;
};

Ref scale_sparse_data_impl(const ScaleSparseDataArgs& args, const Compute& compute) {
    Entries entries;
    if (!take_entries(args.indices, args.data, IndexTypes::int64_only, entries)) return {};
    const std::span<const std::int64_t> indices = entries.indices64.values;
    return entries.visit_data([&]<class T>(std::span<const T> data) -> Ref {
        auto scale = [&]<class Out>() -> Ref {
            auto scaled = compute([&] {
                return scale_sparse<Out>(indices, data, args.n_rows, args.n_cols, args.max_value);
            });
            if (!scaled) return {};
            return tuple_of(std::move(scaled->values), std::move(scaled->mean),
                            std::move(scaled->stdev));
        };
        if constexpr (std::is_same_v<T, float>) {
            if (!args.promote) return scale.template operator()<float>();
        }
        return scale.template operator()<double>();
    });
}

constexpr Function SCALE_SPARSE_DATA{
    "scale_sparse_data",
    Signature{
        positional("indices", &ScaleSparseDataArgs::indices),
        positional("data", &ScaleSparseDataArgs::data),
        positional("n_rows", &ScaleSparseDataArgs::n_rows),
        positional("n_cols", &ScaleSparseDataArgs::n_cols),
        keyword_only("max_value", &ScaleSparseDataArgs::max_value),
        keyword_only("promote", &ScaleSparseDataArgs::promote),
    },
    SCALE_SPARSE_DATA_DOC,
    scale_sparse_data_impl,
    CORE_LOCK,
};

// ---------------------------------------------------------------------------

constexpr char HVG_SEURAT_STATS_DOC[] =
    "hvg_seurat_stats(x, *, log_base=None)\n"
    "--\n"
    "\n"
    "Compute per-gene `means` and `dispersions` for the Seurat flavor.\n"
    "\n"
    "`x` is the logarithmized (log1p) expression matrix, `n_obs` x `n_vars`,\n"
    "float32 or float64. `log_base` is the base of the logarithm (`None` = natural\n"
    "log, matching `brenix.pp.log1p`'s default).\n"
    "\n"
    "Returns `(means, dispersions)` as float64 arrays of length `n_vars`, where\n"
    "`means = log1p(mean(expm1(x)))` and\n"
    "`dispersions = log(var(expm1(x)) / mean(expm1(x)))` with the reference's\n"
    "exact edge-case handling (`mean==0 -> 1e-12`, `dispersion==0 -> NaN`).";

struct HvgSeuratStatsArgs {
    PyObject* x = nullptr;
    std::optional<double> log_base;
};

Ref hvg_seurat_stats_impl(const HvgSeuratStatsArgs& args, const Compute& compute) {
    DenseMatrix x;
    if (!take_dense(args.x, x)) return {};
    return std::visit(
        [&](auto matrix) {
            return hvg_result(compute(
                [&] { return hvg_seurat_stats_dense(matrix, x.n_rows, x.n_cols, args.log_base); }));
        },
        x.values);
}

constexpr Function HVG_SEURAT_STATS{
    "hvg_seurat_stats",
    Signature{
        positional("x", &HvgSeuratStatsArgs::x),
        keyword_only("log_base", &HvgSeuratStatsArgs::log_base),
    },
    HVG_SEURAT_STATS_DOC,
    hvg_seurat_stats_impl,
    CORE_LOCK,
};

// ---------------------------------------------------------------------------

constexpr char HVG_SEURAT_STATS_SPARSE_DOC[] =
    "hvg_seurat_stats_sparse(indices, data, n_rows, n_cols, *, log_base=None, square_f64=False)\n"
    "--\n"
    "\n"
    "Sparse (CSR) variant of [`hvg_seurat_stats`]: `indices[k]` is the column of\n"
    "`data[k]`. Same Seurat recipe, but sums only the non-zero entries.";

struct HvgSeuratStatsSparseArgs {
    PyObject* indices = nullptr;
    PyObject* data = nullptr;
    std::uint64_t n_rows = 0;
    std::uint64_t n_cols = 0;
    std::optional<double> log_base;
    bool square_f64 = false;
};

Ref hvg_seurat_stats_sparse_impl(const HvgSeuratStatsSparseArgs& args, const Compute& compute) {
    Entries entries;
    if (!take_entries(args.indices, args.data, IndexTypes::int64_only, entries)) return {};
    return entries.visit_data([&](auto data) {
        return hvg_result(compute([&] {
            return hvg_seurat_stats_sparse(entries.indices64.values, data, args.n_rows, args.n_cols,
                                           args.log_base, args.square_f64);
        }));
    });
}

constexpr Function HVG_SEURAT_STATS_SPARSE{
    "hvg_seurat_stats_sparse",
    Signature{
        positional("indices", &HvgSeuratStatsSparseArgs::indices),
        positional("data", &HvgSeuratStatsSparseArgs::data),
        positional("n_rows", &HvgSeuratStatsSparseArgs::n_rows),
        positional("n_cols", &HvgSeuratStatsSparseArgs::n_cols),
        keyword_only("log_base", &HvgSeuratStatsSparseArgs::log_base),
        keyword_only("square_f64", &HvgSeuratStatsSparseArgs::square_f64),
    },
    HVG_SEURAT_STATS_SPARSE_DOC,
    hvg_seurat_stats_sparse_impl,
    CORE_LOCK,
};

}  // namespace

std::span<PyMethodDef> core_functions() {
    return function_table<SCALE, SCALE_SPARSE_DATA, HVG_SEURAT_STATS, HVG_SEURAT_STATS_SPARSE>();
}

}  // namespace brenix
