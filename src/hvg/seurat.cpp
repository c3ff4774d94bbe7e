#include "hvg/seurat.hpp"

#include <cmath>
#include <limits>
#include <math.h>
#include <utility>

#include "core/sparse_sums.hpp"

namespace brenix {

namespace {

// The back-transformed value of one stored value, and its square, in two
// steps: bring the value to natural-log scale, then expm1. Both go through the
// C library's expm1 / expm1f: results are defined by them.
struct Expm1F64 {
    std::optional<double> c;
    double scale(double x) const { return c ? x * *c : x; }
    std::pair<double, double> back(double t) const {
        const double e = ::expm1(t);
        return {e, e * e};
    }
    std::pair<double, double> operator()(double x) const { return back(scale(x)); }
};

struct Expm1F32 {
    std::optional<double> c;
    bool square_f64;
    // Scaled in float64, rounded back to float32.
    float scale(float x) const { return c ? static_cast<float>(*c * static_cast<double>(x)) : x; }
    std::pair<double, double> back(float v) const {
        const float e = ::expm1f(v);
        const double wide = e;
        return {wide, square_f64 ? wide * wide : static_cast<double>(e * e)};
    }
    std::pair<double, double> operator()(float x) const { return back(scale(x)); }
};

// One chunk of rows. A value that scales to ±0 is skipped: expm1(±0) is ±0,
// and adding ±0 (or its square +0) to a sum that started at +0 never changes
// it, so skipping keeps every bit while sparing most expm1 calls on real data.
// A NaN or infinite c turns 0 into NaN, which is not skipped.
template <class T, class Transform>
ColumnSums hvg_rows(std::span<const T> rows, std::size_t n_cols, const Transform& transform) {
    ColumnSums out = ColumnSums::zeros(n_cols);
    double* __restrict sum = out.sum.data();
    double* __restrict sum_sq = out.sum_sq.data();
    const std::size_t n_rows = rows.size() / n_cols;
    for (std::size_t r = 0; r < n_rows; ++r) {
        const T* __restrict x = rows.data() + r * n_cols;
        for (std::size_t j = 0; j < n_cols; ++j) {
            const T t = transform.scale(x[j]);
            if (t == 0) continue;
            const auto [e, q] = transform.back(t);
            sum[j] += e;
            sum_sq[j] += q;
        }
    }
    return out;
}

template <class T, class Transform>
ColumnSums dense_hvg_sums(std::span<const T> matrix, std::size_t n_cols, Transform transform) {
    return dense_chunked_sums(matrix, n_cols, [&](std::span<const T> rows) {
        return hvg_rows(rows, n_cols, transform);
    });
}

template <class T, class Transform>
ColumnSums sparse_hvg_sums(std::span<const std::int64_t> indices, std::span<const T> data,
                           std::size_t n_cols, Transform transform) {
    return sparse_chunked_sums(indices, data.size(), n_cols,
                               [&](std::size_t p) { return transform(data[p]); });
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
    return dense_hvg_sums(matrix, n_cols, Expm1F64{c});
}

ColumnSums hvg_sum_sq_f32(std::span<const float> matrix, std::size_t n_cols,
                          std::optional<double> c) {
    return dense_hvg_sums(matrix, n_cols, Expm1F32{c, false});
}

ColumnSums sparse_expm1_sum_and_sq(std::span<const std::int64_t> indices,
                                   std::span<const double> data, std::size_t n_cols,
                                   std::optional<double> c) {
    return sparse_hvg_sums(indices, data, n_cols, Expm1F64{c});
}

ColumnSums sparse_expm1_sum_and_sq_f32(std::span<const std::int64_t> indices,
                                       std::span<const float> data, std::size_t n_cols,
                                       std::optional<double> c, bool square_f64) {
    return sparse_hvg_sums(indices, data, n_cols, Expm1F32{c, square_f64});
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

HvgStats hvg_seurat_stats_sparse(std::span<const std::int64_t> indices,
                                 std::span<const float> data, std::size_t n_rows,
                                 std::size_t n_cols, std::optional<double> log_base,
                                 bool square_f64) {
    return finish(
        sparse_expm1_sum_and_sq_f32(indices, data, n_cols, scale_factor(log_base), square_f64),
        n_rows);
}

}  // namespace brenix
