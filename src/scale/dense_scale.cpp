#include "scale/dense_scale.hpp"

#include "core/column_sums.hpp"
#include "core/isa.hpp"
#include "runtime/pool.hpp"

namespace brenix {

namespace {

// Centring and clipping are fixed per call, so they are template parameters:
// the column loop stays branch-free and vectorises.
template <bool Center, bool Clip>
BRENIX_INLINE void scale_row(double* __restrict out, const double* __restrict x,
                             const double* __restrict mean, const double* __restrict stdev,
                             std::size_t n_cols, double m) {
    for (std::size_t j = 0; j < n_cols; ++j) {
        double v = x[j];
        if constexpr (Center) v = v - mean[j];
        v = v / stdev[j];
        if constexpr (Clip) {
            // The upper test first; ordered comparisons let NaN through.
            if (v > m) {
                v = m;
            } else if (Center && v < -m) {
                v = -m;
            }
        }
        out[j] = v;
    }
}

template <bool Center, bool Clip>
BRENIX_INLINE void scale_row(float* __restrict out, const float* __restrict x,
                             const double* __restrict mean, const double* __restrict stdev,
                             std::size_t n_cols, double m) {
    const float upper = static_cast<float>(m);
    const float lower = static_cast<float>(-m);
    for (std::size_t j = 0; j < n_cols; ++j) {
        double v = x[j];
        if constexpr (Center) v = v - mean[j];
        v = v / stdev[j];
        float s = static_cast<float>(v);
        if constexpr (Clip) {
            // Rounded once, then compared with m in float64.
            if (static_cast<double>(s) > m) {
                s = upper;
            } else if (Center && static_cast<double>(s) < -m) {
                s = lower;
            }
        }
        out[j] = s;
    }
}

template <bool Center, bool Clip, class T>
BRENIX_INLINE void scale_rows(T* out, const T* x, std::size_t n_rows, std::size_t n_cols,
                              const double* mean, const double* stdev, double m) {
    for (std::size_t r = 0; r < n_rows; ++r) {
        scale_row<Center, Clip>(out + r * n_cols, x + r * n_cols, mean, stdev, n_cols, m);
    }
}

template <class T>
BRENIX_INLINE void scale_rows_dispatch(T* out, const T* x, std::size_t n_rows, std::size_t n_cols,
                                       bool center, bool clip, const double* mean,
                                       const double* stdev, double m) {
    if (center && clip) {
        scale_rows<true, true>(out, x, n_rows, n_cols, mean, stdev, m);
    } else if (center) {
        scale_rows<true, false>(out, x, n_rows, n_cols, mean, stdev, m);
    } else if (clip) {
        scale_rows<false, true>(out, x, n_rows, n_cols, mean, stdev, m);
    } else {
        scale_rows<false, false>(out, x, n_rows, n_cols, mean, stdev, m);
    }
}

BRENIX_MULTIVERSION(void, scale_rows_f64,
                    (double* out, const double* x, std::size_t n_rows, std::size_t n_cols,
                     bool center, bool clip, const double* mean, const double* stdev, double m),
                    scale_rows_dispatch, (out, x, n_rows, n_cols, center, clip, mean, stdev, m))
BRENIX_MULTIVERSION(void, scale_rows_f32,
                    (float* out, const float* x, std::size_t n_rows, std::size_t n_cols,
                     bool center, bool clip, const double* mean, const double* stdev, double m),
                    scale_rows_dispatch, (out, x, n_rows, n_cols, center, clip, mean, stdev, m))

void scale_rows_any(double* out, const double* x, std::size_t n_rows, std::size_t n_cols,
                    bool center, bool clip, const double* mean, const double* stdev, double m) {
    scale_rows_f64(out, x, n_rows, n_cols, center, clip, mean, stdev, m);
}

void scale_rows_any(float* out, const float* x, std::size_t n_rows, std::size_t n_cols, bool center,
                    bool clip, const double* mean, const double* stdev, double m) {
    scale_rows_f32(out, x, n_rows, n_cols, center, clip, mean, stdev, m);
}

template <class T>
void apply_chunks(std::span<T> out, std::span<const T> matrix, std::size_t n_cols, bool zero_center,
                  std::span<const double> mean, std::span<const double> stdev,
                  std::optional<double> max_value) {
    const double m = max_value.value_or(0.0);
    const std::size_t chunk_len = rows_chunk_len(SCALE_CHUNK_ROWS, n_cols);
    chunk_for_each(out, chunk_len, [&](std::size_t /*c*/, std::span<T> chunk) {
        const T* x = matrix.data() + (chunk.data() - out.data());  // the same rows of the input
        scale_rows_any(chunk.data(), x, chunk.size() / n_cols, n_cols, zero_center,
                       max_value.has_value(), mean.data(), stdev.data(), m);
    });
}

template <class T, class Sums>
ScaledMatrix<T> scale(std::span<const T> matrix, std::size_t n_rows, std::size_t n_cols,
                      bool zero_center, std::optional<double> max_value, Sums&& sums) {
    auto [mean, stdev] = [&] {
        ColumnSums totals = sums(matrix, n_cols);
        return column_mean_std(totals.sum.span(), totals.sum_sq.span(), n_rows);
    }();
    auto out = Buffer<T>::uninitialized(n_rows * n_cols);
    apply_chunks(out.span(), matrix, n_cols, zero_center, mean.span(), stdev.span(), max_value);
    return {std::move(out), std::move(mean), std::move(stdev)};
}

}  // namespace

void apply_chunks_f64(std::span<double> out, std::span<const double> matrix, std::size_t n_cols,
                      bool zero_center, std::span<const double> mean, std::span<const double> stdev,
                      std::optional<double> max_value) {
    apply_chunks(out, matrix, n_cols, zero_center, mean, stdev, max_value);
}

void apply_chunks_f32(std::span<float> out, std::span<const float> matrix, std::size_t n_cols,
                      bool zero_center, std::span<const double> mean, std::span<const double> stdev,
                      std::optional<double> max_value) {
    apply_chunks(out, matrix, n_cols, zero_center, mean, stdev, max_value);
}

ScaledMatrix<double> scale_f64(std::span<const double> matrix, std::size_t n_rows,
                               std::size_t n_cols, bool zero_center,
                               std::optional<double> max_value) {
    return scale(matrix, n_rows, n_cols, zero_center, max_value, column_sum_and_sq);
}

ScaledMatrix<float> scale_f32(std::span<const float> matrix, std::size_t n_rows, std::size_t n_cols,
                              bool zero_center, std::optional<double> max_value) {
    return scale(matrix, n_rows, n_cols, zero_center, max_value, column_sum_and_sq_f32);
}

}  // namespace brenix
