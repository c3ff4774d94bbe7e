#include "block_functions.hpp"

#include <array>
#include <cstring>
#include <optional>
#include <type_traits>
#include <utility>

#include "args.hpp"
#include "arrays.hpp"
#include "blocks/partials.hpp"
#include "hvg/seurat.hpp"
#include "scale/dense_scale.hpp"
#include "scale/sparse_scale.hpp"

namespace brenix {

namespace {

constexpr const char* SUMS_OPTIONS[] = {"expm1", "log_base"};
constexpr const char* SPARSE_SUMS_OPTIONS[] = {"expm1", "log_base", "square_f64"};
constexpr const char* NONE[] = {""};

constexpr const char* DENSE_PARTIAL_ARGS[] = {"x", "first_row"};
constexpr const char* CONTINUE_DENSE_ARGS[] = {"sums", "x"};
constexpr const char* SPARSE_PARTIAL_ARGS[] = {"indices", "data", "n_cols", "first_entry"};
constexpr const char* CONTINUE_SPARSE_ARGS[] = {"sums", "indices", "data"};
constexpr const char* FOLD_ARGS[] = {"total", "records"};
constexpr const char* FINISH_ARGS[] = {"total", "n_rows"};
constexpr const char* SCALE_DENSE_ARGS[] = {"x", "mean", "std"};
constexpr const char* SCALE_DENSE_OPTIONS[] = {"zero_center", "max_value"};
constexpr const char* SCALE_SPARSE_ARGS[] = {"indices", "data", "std"};
constexpr const char* SCALE_SPARSE_OPTIONS[] = {"max_value", "promote"};

constexpr Signature DENSE_PARTIAL{"dense_partial", DENSE_PARTIAL_ARGS, SUMS_OPTIONS};
constexpr Signature CONTINUE_DENSE{"continue_dense", CONTINUE_DENSE_ARGS, SUMS_OPTIONS};
constexpr Signature SPARSE_PARTIAL{"sparse_partial", SPARSE_PARTIAL_ARGS, SPARSE_SUMS_OPTIONS};
constexpr Signature CONTINUE_SPARSE{"continue_sparse", CONTINUE_SPARSE_ARGS, SPARSE_SUMS_OPTIONS};
constexpr Signature FOLD{"fold", FOLD_ARGS, std::span<const char* const>(NONE, 0)};
constexpr Signature FINISH_MEAN_STD{"finish_mean_std", FINISH_ARGS,
                                    std::span<const char* const>(NONE, 0)};
constexpr Signature FINISH_HVG{"finish_hvg", FINISH_ARGS, std::span<const char* const>(NONE, 0)};
constexpr Signature SCALE_DENSE{"scale_dense", SCALE_DENSE_ARGS, SCALE_DENSE_OPTIONS};
constexpr Signature SCALE_SPARSE{"scale_sparse_values", SCALE_SPARSE_ARGS, SCALE_SPARSE_OPTIONS};

bool raise_value_error(const char* message) {
    PyErr_SetString(PyExc_ValueError, message);
    return false;
}

// Running sums as the flat float64 array that Python passes around.
Buffer<double> flatten(const ColumnSums& sums, std::size_t n_cols) {
    auto flat = Buffer<double>::uninitialized(2 * n_cols);
    if (n_cols > 0) {
        std::memcpy(flat.data(), sums.sum.data(), n_cols * sizeof(double));
        std::memcpy(flat.data() + n_cols, sums.sum_sq.data(), n_cols * sizeof(double));
    }
    return flat;
}

bool take_sums(PyObject* object, std::size_t n_cols, ColumnSums& out) {
    F64Vector flat;
    if (!take_f64_vector(object, flat)) return false;
    if (flat.values.size() != 2 * n_cols) {
        return raise_value_error("running sums must hold 2 * n_cols values");
    }
    out = ColumnSums::zeros(n_cols);
    if (n_cols > 0) {
        std::memcpy(out.sum.data(), flat.values.data(), n_cols * sizeof(double));
        std::memcpy(out.sum_sq.data(), flat.values.data() + n_cols, n_cols * sizeof(double));
    }
    return true;
}

PyObject* partial_result(BlockPartial partial, std::size_t n_cols) {
    auto records = Buffer<double>::uninitialized(partial.records.size() * 2 * n_cols);
    for (std::size_t k = 0; k < partial.records.size(); ++k) {
        if (n_cols == 0) break;
        std::memcpy(records.data() + 2 * k * n_cols, partial.records[k].sum.data(),
                    n_cols * sizeof(double));
        std::memcpy(records.data() + (2 * k + 1) * n_cols, partial.records[k].sum_sq.data(),
                    n_cols * sizeof(double));
    }
    partial.records.clear();
    std::array<Ref, 4> items{
        Ref::steal(PyLong_FromSize_t(partial.head)),
        Ref::borrow(partial.head_closes ? Py_True : Py_False),
        Ref::steal(wrap_1d(std::move(records))),
        partial.tail ? Ref::steal(wrap_1d(flatten(*partial.tail, n_cols))) : Ref::borrow(Py_None),
    };
    if (!items[0]) return nullptr;
    return make_tuple(items);
}

PyObject* pair_result(Buffer<double> first, Buffer<double> second) {
    std::array<Ref, 2> items{Ref::steal(wrap_1d(std::move(first))),
                             Ref::steal(wrap_1d(std::move(second)))};
    return make_tuple(items);
}

bool take_kind(PyObject* expm1, PyObject* log_base, PyObject* square_f64, SumsKind& kind) {
    return to_flag(expm1, "expm1", false, kind.expm1) &&
           to_optional_double(log_base, "log_base", kind.log_base) &&
           to_flag(square_f64, "square_f64", false, kind.square_f64);
}

}  // namespace

PyObject* dense_partial_impl(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, 4> slots{};
    std::uint64_t first_row = 0;
    SumsKind kind;
    DenseMatrix x;
    if (!bind(DENSE_PARTIAL, args, nargs, kwnames, slots) ||
        !to_size(slots[1], "first_row", first_row) ||
        !take_kind(slots[2], slots[3], nullptr, kind) || !take_dense(slots[0], x)) {
        return nullptr;
    }
    return std::visit(
        [&](auto block) {
            return partial_result(dense_partial(block, x.n_cols, first_row, kind), x.n_cols);
        },
        x.values);
}

PyObject* continue_dense_impl(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, 4> slots{};
    SumsKind kind;
    DenseMatrix x;
    ColumnSums sums;
    if (!bind(CONTINUE_DENSE, args, nargs, kwnames, slots) ||
        !take_kind(slots[2], slots[3], nullptr, kind) || !take_dense(slots[1], x) ||
        !take_sums(slots[0], x.n_cols, sums)) {
        return nullptr;
    }
    std::visit([&](auto rows) { continue_rows(sums, rows, x.n_cols, kind); }, x.values);
    return wrap_1d(flatten(sums, x.n_cols));
}

PyObject* sparse_partial_impl(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, 7> slots{};
    std::uint64_t n_cols = 0;
    std::uint64_t first_entry = 0;
    SumsKind kind;
    SparseEntries entries;
    if (!bind(SPARSE_PARTIAL, args, nargs, kwnames, slots) ||
        !to_size(slots[2], "n_cols", n_cols) || !to_size(slots[3], "first_entry", first_entry) ||
        !take_kind(slots[4], slots[5], slots[6], kind) ||
        !take_sparse(slots[0], slots[1], entries)) {
        return nullptr;
    }
    return std::visit(
        [&](auto data) {
            return partial_result(sparse_partial(entries.indices, data, n_cols, first_entry, kind),
                                  n_cols);
        },
        entries.data);
}

PyObject* continue_sparse_impl(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, 6> slots{};
    SumsKind kind;
    SparseEntries entries;
    F64Vector flat;
    ColumnSums sums;
    if (!bind(CONTINUE_SPARSE, args, nargs, kwnames, slots) ||
        !take_kind(slots[3], slots[4], slots[5], kind) ||
        !take_sparse(slots[1], slots[2], entries) || !take_f64_vector(slots[0], flat) ||
        !take_sums(slots[0], flat.values.size() / 2, sums)) {
        return nullptr;
    }
    const std::size_t n_cols = flat.values.size() / 2;
    std::visit([&](auto data) { continue_entries(sums, entries.indices, data, n_cols, kind); },
               entries.data);
    return wrap_1d(flatten(sums, n_cols));
}

PyObject* fold_impl(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, 2> slots{};
    F64Vector flat;
    F64Vector records;
    ColumnSums total;
    if (!bind(FOLD, args, nargs, kwnames, slots) || !take_f64_vector(slots[0], flat) ||
        !take_sums(slots[0], flat.values.size() / 2, total) ||
        !take_f64_vector(slots[1], records)) {
        return nullptr;
    }
    const std::size_t n_cols = flat.values.size() / 2;
    if (n_cols > 0 ? records.values.size() % (2 * n_cols) != 0 : !records.values.empty()) {
        raise_value_error("records must hold a multiple of 2 * n_cols values");
        return nullptr;
    }
    fold_records(total, records.values, n_cols);
    return wrap_1d(flatten(total, n_cols));
}

PyObject* finish_mean_std_impl(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, 2> slots{};
    F64Vector total;
    std::uint64_t n_rows = 0;
    if (!bind(FINISH_MEAN_STD, args, nargs, kwnames, slots) ||
        !to_size(slots[1], "n_rows", n_rows) || !take_f64_vector(slots[0], total)) {
        return nullptr;
    }
    const std::size_t n_cols = total.values.size() / 2;
    auto [mean, stdev] =
        column_mean_std(total.values.first(n_cols), total.values.subspan(n_cols, n_cols), n_rows);
    return pair_result(std::move(mean), std::move(stdev));
}

PyObject* finish_hvg_impl(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, 2> slots{};
    F64Vector total;
    std::uint64_t n_rows = 0;
    if (!bind(FINISH_HVG, args, nargs, kwnames, slots) || !to_size(slots[1], "n_rows", n_rows) ||
        !take_f64_vector(slots[0], total)) {
        return nullptr;
    }
    const std::size_t n_cols = total.values.size() / 2;
    auto [mean, var] =
        column_mean_var(total.values.first(n_cols), total.values.subspan(n_cols, n_cols), n_rows);
    HvgStats stats = finish_hvg(mean.span(), var.span());
    return pair_result(std::move(stats.means), std::move(stats.dispersions));
}

PyObject* scale_dense_impl(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, 5> slots{};
    bool zero_center = true;
    std::optional<double> max_value;
    DenseMatrix x;
    F64Vector mean;
    F64Vector stdev;
    if (!bind(SCALE_DENSE, args, nargs, kwnames, slots) ||
        !to_flag(slots[3], "zero_center", true, zero_center) ||
        !to_optional_double(slots[4], "max_value", max_value) || !take_dense(slots[0], x) ||
        !take_f64_vector(slots[1], mean) || !take_f64_vector(slots[2], stdev)) {
        return nullptr;
    }
    if (mean.values.size() != x.n_cols || stdev.values.size() != x.n_cols) {
        raise_value_error("mean and std must hold one value per column of x");
        return nullptr;
    }
    return std::visit(
        [&](auto matrix) -> PyObject* {
            using T = typename decltype(matrix)::value_type;
            auto out = Buffer<std::remove_const_t<T>>::uninitialized(matrix.size());
            if constexpr (std::is_same_v<std::remove_const_t<T>, double>) {
                apply_chunks_f64(out.span(), matrix, x.n_cols, zero_center, mean.values,
                                 stdev.values, max_value);
            } else {
                apply_chunks_f32(out.span(), matrix, x.n_cols, zero_center, mean.values,
                                 stdev.values, max_value);
            }
            return wrap_2d(std::move(out), x.n_rows, x.n_cols);
        },
        x.values);
}

PyObject* scale_sparse_values_impl(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, 5> slots{};
    std::optional<double> max_value;
    bool promote = false;
    SparseEntries entries;
    F64Vector stdev;
    if (!bind(SCALE_SPARSE, args, nargs, kwnames, slots) ||
        !to_optional_double(slots[3], "max_value", max_value) ||
        !to_flag(slots[4], "promote", false, promote) ||
        !take_sparse(slots[0], slots[1], entries) || !take_f64_vector(slots[2], stdev)) {
        return nullptr;
    }
    const std::size_t n_cols = stdev.values.size();
    if (auto* data = std::get_if<std::span<const double>>(&entries.data)) {
        return wrap_1d(
            scale_sparse_values(entries.indices, *data, n_cols, stdev.values, max_value));
    }
    const auto data = std::get<std::span<const float>>(entries.data);
    if (promote) {
        return wrap_1d(
            scale_sparse_values_promoted(entries.indices, data, n_cols, stdev.values, max_value));
    }
    return wrap_1d(scale_sparse_values(entries.indices, data, n_cols, stdev.values, max_value));
}

}  // namespace brenix
