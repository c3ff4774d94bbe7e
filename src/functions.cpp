#include "functions.hpp"

#include <array>
#include <optional>
#include <type_traits>
#include <utility>

#include "args.hpp"
#include "arrays.hpp"
#include "hvg/seurat.hpp"
#include "scale/dense_scale.hpp"
#include "scale/sparse_scale.hpp"

namespace brenix {

namespace {

constexpr const char* MATRIX[] = {"x"};
constexpr const char* ENTRIES[] = {"indices", "data", "n_rows", "n_cols"};
constexpr const char* SCALE_OPTIONS[] = {"zero_center", "max_value", "return_mean_std"};
constexpr const char* SCALE_SPARSE_OPTIONS[] = {"max_value", "promote"};
constexpr const char* HVG_OPTIONS[] = {"log_base"};
constexpr const char* HVG_SPARSE_OPTIONS[] = {"log_base", "square_f64"};

constexpr Signature SCALE{"scale", MATRIX, SCALE_OPTIONS};
constexpr Signature SCALE_SPARSE{"scale_sparse_data", ENTRIES, SCALE_SPARSE_OPTIONS};
constexpr Signature HVG{"hvg_seurat_stats", MATRIX, HVG_OPTIONS};
constexpr Signature HVG_SPARSE{"hvg_seurat_stats_sparse", ENTRIES, HVG_SPARSE_OPTIONS};

template <std::size_t N>
PyObject* tuple_of(std::array<Ref, N> items) {
    return make_tuple(items);
}

PyObject* hvg_result(HvgStats stats) {
    Ref means = Ref::steal(wrap_1d(std::move(stats.means)));
    Ref dispersions = Ref::steal(wrap_1d(std::move(stats.dispersions)));
    return tuple_of(std::array{std::move(means), std::move(dispersions)});
}

// The two sparse functions share one calling convention: (indices, data,
// n_rows, n_cols, *, <optional float>, <flag>), converted in that order (sizes,
// then the options, then the arrays).
struct SparseCall {
    std::uint64_t n_rows = 0;
    std::uint64_t n_cols = 0;
    std::optional<double> option;
    bool flag = false;
    SparseEntries entries;
};

bool take_sparse_call(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames, SparseCall& call) {
    std::array<PyObject*, 6> slots{};
    return bind(signature, args, nargs, kwnames, slots) &&
           to_size(slots[2], "n_rows", call.n_rows) && to_size(slots[3], "n_cols", call.n_cols) &&
           to_optional_double(slots[4], signature.keyword_only[0], call.option) &&
           to_flag(slots[5], signature.keyword_only[1], false, call.flag) &&
           take_sparse(slots[0], slots[1], call.entries);
}

}  // namespace

PyObject* hvg_seurat_stats_impl(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, 2> slots{};
    if (!bind(HVG, args, nargs, kwnames, slots)) return nullptr;
    std::optional<double> log_base;
    if (!to_optional_double(slots[1], "log_base", log_base)) return nullptr;
    DenseMatrix x;
    if (!take_dense(slots[0], x)) return nullptr;
    return std::visit(
        [&](auto matrix) {
            return hvg_result(hvg_seurat_stats_dense(matrix, x.n_rows, x.n_cols, log_base));
        },
        x.values);
}

PyObject* hvg_seurat_stats_sparse_impl(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    SparseCall call;  // option: log_base, flag: square_f64
    if (!take_sparse_call(HVG_SPARSE, args, nargs, kwnames, call)) return nullptr;
    return std::visit(
        [&](auto data) {
            return hvg_result(hvg_seurat_stats_sparse(call.entries.indices, data, call.n_rows,
                                                      call.n_cols, call.option, call.flag));
        },
        call.entries.data);
}

PyObject* scale_impl(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, 4> slots{};
    if (!bind(SCALE, args, nargs, kwnames, slots)) return nullptr;
    bool zero_center = true;
    std::optional<double> max_value;
    bool return_mean_std = false;
    if (!to_flag(slots[1], "zero_center", true, zero_center) ||
        !to_optional_double(slots[2], "max_value", max_value) ||
        !to_flag(slots[3], "return_mean_std", false, return_mean_std)) {
        return nullptr;
    }
    DenseMatrix x;
    if (!take_dense(slots[0], x)) return nullptr;
    return std::visit(
        [&](auto matrix) -> PyObject* {
            auto scaled = [&] {
                if constexpr (std::is_same_v<decltype(matrix), std::span<const double>>) {
                    return scale_f64(matrix, x.n_rows, x.n_cols, zero_center, max_value);
                } else {
                    return scale_f32(matrix, x.n_rows, x.n_cols, zero_center, max_value);
                }
            }();
            Ref out = Ref::steal(wrap_2d(std::move(scaled.matrix), x.n_rows, x.n_cols));
            if (!return_mean_std) return out.release();
            Ref mean = Ref::steal(wrap_1d(std::move(scaled.mean)));
            Ref stdev = Ref::steal(wrap_1d(std::move(scaled.stdev)));
            return tuple_of(std::array{std::move(out), std::move(mean), std::move(stdev)});
        },
        x.values);
}

PyObject* scale_sparse_data_impl(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    SparseCall call;  // option: max_value, flag: promote
    if (!take_sparse_call(SCALE_SPARSE, args, nargs, kwnames, call)) return nullptr;
    auto result = [](auto scaled) {
        Ref values = Ref::steal(wrap_1d(std::move(scaled.values)));
        Ref mean = Ref::steal(wrap_1d(std::move(scaled.mean)));
        Ref stdev = Ref::steal(wrap_1d(std::move(scaled.stdev)));
        return tuple_of(std::array{std::move(values), std::move(mean), std::move(stdev)});
    };
    const auto& [n_rows, n_cols, max_value, promote, entries] = call;
    if (auto* data = std::get_if<std::span<const double>>(&entries.data)) {
        return result(scale_sparse_f64(entries.indices, *data, n_rows, n_cols, max_value));
    }
    const auto data = std::get<std::span<const float>>(entries.data);
    if (promote) {
        return result(scale_sparse_f32_promoted(entries.indices, data, n_rows, n_cols, max_value));
    }
    return result(scale_sparse_f32(entries.indices, data, n_rows, n_cols, max_value));
}

}  // namespace brenix
