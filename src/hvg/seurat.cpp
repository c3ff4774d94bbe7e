#include "hvg/seurat.hpp"

#include <cmath>
#include <limits>
#include <utility>

#include "core/sparse_sums.hpp"
#include "hvg/expm1_memo.hpp"
#include "hvg/nonzero.hpp"

namespace brenix {

namespace {

// Brings a stored value to natural-log scale before expm1: t = x * c, or x
// itself when no log base was given. float32 values are scaled in float64
// and rounded back to float32.
struct ScaleF64 {
    std::optional<double> c;
    double operator()(double x) const { return c ? x * *c : x; }
};

struct ScaleF32 {
    std::optional<double> c;
    float operator()(float x) const {
        return c ? static_cast<float>(*c * static_cast<double>(x)) : x;
    }
};

// A zero value contributes nothing when c is absent or finite: t = ±0,
// expm1(±0) = ±0, and adding ±0 (or its square +0) to a sum that started at
// +0 never changes it. Skipping zeros keeps every bit while sparing most of
// the work on real data. An infinite or NaN c turns 0 into NaN, so then every
// value counts.
bool zeros_contribute_nothing(std::optional<double> c) { return !c || std::isfinite(*c); }

// One chunk of rows, or the rest of one: per column, in row order, sum += e
// and sum_sq += square, from the running sums in `out`.
template <class T, class Scale, class Memo>
ColumnSums hvg_rows(ColumnSums out, std::span<const T> rows, std::size_t n_cols, Scale scale,
                    Memo memo) {
    double* __restrict sum = out.sum.data();
    double* __restrict sum_sq = out.sum_sq.data();
    const bool skip_zeros = zeros_contribute_nothing(scale.c);
    std::uint32_t positions[NONZERO_BLOCK + NONZERO_SLACK];
    const std::size_t n_rows = rows.size() / n_cols;
    for (std::size_t r = 0; r < n_rows; ++r) {
        const T* x = rows.data() + r * n_cols;
        if (!skip_zeros) {
            for (std::size_t j = 0; j < n_cols; ++j) {
                const Expm1Terms e = memo(scale(x[j]));
                sum[j] += e.value;
                sum_sq[j] += e.square;
            }
            continue;
        }
        for (std::size_t first = 0; first < n_cols; first += NONZERO_BLOCK) {
            const std::size_t len = std::min(NONZERO_BLOCK, n_cols - first);
            const std::size_t count = nonzero_positions(x + first, len, positions);
            for (std::size_t i = 0; i < count; ++i) {
                const std::size_t j = first + positions[i];
                const Expm1Terms e = memo(scale(x[j]));
                sum[j] += e.value;
                sum_sq[j] += e.square;
            }
        }
    }
    return out;
}

template <class T, class Scale, class MakeMemo>
ColumnSums dense_hvg_sums(std::span<const T> matrix, std::size_t n_cols, Scale scale,
                          MakeMemo make_memo) {
    return dense_chunked_sums(matrix, n_cols, [&](std::span<const T> rows) {
        return hvg_rows(ColumnSums::zeros(n_cols), rows, n_cols, scale, make_memo());
    });
}

template <class T, class Scale, class Memo>
auto expm1_term(std::span<const T> data, Scale scale, Memo memo) {
    return [data, scale, memo](std::size_t p) mutable {
        const Expm1Terms e = memo(scale(data[p]));
        return std::pair{e.value, e.square};
    };
}

template <class T, class Scale, class MakeMemo>
ColumnSums sparse_hvg_sums(std::span<const std::int64_t> indices, std::span<const T> data,
                           std::size_t n_cols, Scale scale, MakeMemo make_memo) {
    return sparse_chunked_sums(indices, data.size(), n_cols,
                               [&] { return expm1_term(data, scale, make_memo()); });
}

std::optional<double> scale_factor(std::optional<double> log_base) {
    if (!log_base) return std::nullopt;
    return std::log(*log_base);
}

HvgStats finish(ColumnSums totals, std::size_t n_rows) {
    auto [mean, var] = column_mean_var(totals.sum.span(), totals.sum_sq.span(), n_rows);
    totals = ColumnSums{};
    return finish_hvg(mean.span(), var.span());
}

}  // namespace

ColumnSums hvg_sum_sq_f64(std::span<const double> matrix, std::size_t n_cols,
                          std::optional<double> c) {
    return dense_hvg_sums(matrix, n_cols, ScaleF64{c}, [] { return Expm1Memo<double>{}; });
}

ColumnSums hvg_sum_sq_f32(std::span<const float> matrix, std::size_t n_cols,
                          std::optional<double> c) {
    return dense_hvg_sums(matrix, n_cols, ScaleF32{c}, [] { return Expm1Memo<float>{false}; });
}

ColumnSums sparse_expm1_sum_and_sq(std::span<const std::int64_t> indices,
                                   std::span<const double> data, std::size_t n_cols,
                                   std::optional<double> c) {
    return sparse_hvg_sums(indices, data, n_cols, ScaleF64{c}, [] { return Expm1Memo<double>{}; });
}

ColumnSums sparse_expm1_sum_and_sq_f32(std::span<const std::int64_t> indices,
                                       std::span<const float> data, std::size_t n_cols,
                                       std::optional<double> c, bool square_f64) {
    return sparse_hvg_sums(indices, data, n_cols, ScaleF32{c},
                           [square_f64] { return Expm1Memo<float>{square_f64}; });
}

HvgStats finish_hvg(std::span<const double> mean, std::span<const double> var) {
    const std::size_t n_cols = mean.size();
    HvgStats out{Buffer<double>::uninitialized(n_cols), Buffer<double>::uninitialized(n_cols)};
    for (std::size_t j = 0; j < n_cols; ++j) {
        double m = mean[j];
        if (m == 0.0) m = 1e-12;  // also for -0.0; NaN stays NaN
        const double d = var[j] / m;
        out.dispersions[j] = d == 0.0 ? std::numeric_limits<double>::quiet_NaN() : std::log(d);
        out.means[j] = std::log1p(m);
    }
    return out;
}

HvgStats hvg_seurat_stats_dense(std::span<const double> matrix, std::size_t n_rows,
                                std::size_t n_cols, std::optional<double> log_base) {
    return finish(hvg_sum_sq_f64(matrix, n_cols, scale_factor(log_base)), n_rows);
}

HvgStats hvg_seurat_stats_dense(std::span<const float> matrix, std::size_t n_rows,
                                std::size_t n_cols, std::optional<double> log_base) {
    return finish(hvg_sum_sq_f32(matrix, n_cols, scale_factor(log_base)), n_rows);
}

HvgStats hvg_seurat_stats_sparse(std::span<const std::int64_t> indices,
                                 std::span<const double> data, std::size_t n_rows,
                                 std::size_t n_cols, std::optional<double> log_base,
                                 bool /*square_f64: float64 squares are always float64*/) {
    return finish(sparse_expm1_sum_and_sq(indices, data, n_cols, scale_factor(log_base)), n_rows);
}

HvgStats hvg_seurat_stats_sparse(std::span<const std::int64_t> indices, std::span<const float> data,
                                 std::size_t n_rows, std::size_t n_cols,
                                 std::optional<double> log_base, bool square_f64) {
    return finish(
        sparse_expm1_sum_and_sq_f32(indices, data, n_cols, scale_factor(log_base), square_f64),
        n_rows);
}

void continue_hvg_sums(ColumnSums& sums, std::span<const double> rows, std::size_t n_cols,
                       std::optional<double> log_base) {
    if (n_cols == 0) return;
    sums = hvg_rows(std::move(sums), rows, n_cols, ScaleF64{scale_factor(log_base)},
                    Expm1Memo<double>{});
}

void continue_hvg_sums(ColumnSums& sums, std::span<const float> rows, std::size_t n_cols,
                       std::optional<double> log_base) {
    if (n_cols == 0) return;
    sums = hvg_rows(std::move(sums), rows, n_cols, ScaleF32{scale_factor(log_base)},
                    Expm1Memo<float>{false});
}

void continue_sparse_hvg_sums(ColumnSums& sums, std::span<const std::int64_t> indices,
                              std::span<const double> data, std::size_t n_cols,
                              std::optional<double> log_base, bool /*square_f64*/) {
    auto term = expm1_term(data, ScaleF64{scale_factor(log_base)}, Expm1Memo<double>{});
    accumulate_entries(sums, indices, 0, data.size(), n_cols, term);
}

void continue_sparse_hvg_sums(ColumnSums& sums, std::span<const std::int64_t> indices,
                              std::span<const float> data, std::size_t n_cols,
                              std::optional<double> log_base, bool square_f64) {
    auto term = expm1_term(data, ScaleF32{scale_factor(log_base)}, Expm1Memo<float>{square_f64});
    accumulate_entries(sums, indices, 0, data.size(), n_cols, term);
}

}  // namespace brenix
