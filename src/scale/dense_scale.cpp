#include "scale/dense_scale.hpp"

#include <cstring>

#include "core/column_sums.hpp"
#include "core/isa.hpp"
#include "runtime/pool.hpp"

namespace brenix {

namespace {

// Centring and clipping are fixed per call, so they are template parameters:
// the column loop stays branch-free and vectorises.
template <bool Center, bool Clip, class T>
BRENIX_INLINE void scale_row(T* __restrict out, const T* __restrict x,
                             const double* __restrict mean, const double* __restrict stdev,
                             std::size_t n_cols, double m) {
    for (std::size_t j = 0; j < n_cols; ++j) {
        out[j] = scale_element<Center, Clip>(x[j], mean[j], stdev[j], m);
    }
}

template <bool Center, bool Clip, class T>
BRENIX_INLINE void scale_each_row(T* out, const T* x, std::size_t n_rows, std::size_t n_cols,
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
        scale_each_row<true, true>(out, x, n_rows, n_cols, mean, stdev, m);
    } else if (center) {
        scale_each_row<true, false>(out, x, n_rows, n_cols, mean, stdev, m);
    } else if (clip) {
        scale_each_row<false, true>(out, x, n_rows, n_cols, mean, stdev, m);
    } else {
        scale_each_row<false, false>(out, x, n_rows, n_cols, mean, stdev, m);
    }
}

}  // namespace

BRENIX_MULTIVERSION(void, scale_rows,
                    (double* out, const double* x, std::size_t n_rows, std::size_t n_cols,
                     bool center, bool clip, const double* mean, const double* stdev, double m),
                    scale_rows_dispatch, (out, x, n_rows, n_cols, center, clip, mean, stdev, m))
BRENIX_MULTIVERSION(void, scale_rows,
                    (float* out, const float* x, std::size_t n_rows, std::size_t n_cols,
                     bool center, bool clip, const double* mean, const double* stdev, double m),
                    scale_rows_dispatch, (out, x, n_rows, n_cols, center, clip, mean, stdev, m))

namespace {

template <class T>
void apply_chunks_of(std::span<T> out, std::span<const T> matrix, std::size_t n_cols,
                     bool zero_center, std::span<const double> mean, std::span<const double> stdev,
                     std::optional<double> max_value, const RowMask& mask) {
    const double m = max_value.value_or(0.0);
    const bool clip = max_value.has_value();
    const std::size_t chunk_len = rows_chunk_len(SCALE_CHUNK_ROWS, n_cols);
    chunk_for_each(out, chunk_len, [&](std::size_t /*c*/, std::span<T> chunk) {
        const auto offset = static_cast<std::size_t>(chunk.data() - out.data());
        const T* x = matrix.data() + offset;  // the same rows of the input
        const std::size_t n_rows = chunk.size() / n_cols;
        if (!mask) {
            scale_rows(chunk.data(), x, n_rows, n_cols, zero_center, clip, mean.data(),
                       stdev.data(), m);
            return;
        }
        const std::size_t r0 = offset / n_cols;
        for (std::size_t r = 0; r < n_rows; ++r) {
            T* row = chunk.data() + r * n_cols;
            const T* in = x + r * n_cols;
            if ((*mask)[r0 + r]) {
                scale_rows(row, in, 1, n_cols, zero_center, clip, mean.data(), stdev.data(), m);
            } else {
                std::memcpy(row, in, n_cols * sizeof(T));
            }
        }
    });
}

template <class T>
ScaledMatrix<T> scale_of(std::span<const T> matrix, std::size_t n_rows, std::size_t n_cols,
                         bool zero_center, std::optional<double> max_value) {
    auto [mean, stdev] = [&] {
        ColumnSums totals = column_sums(matrix, n_cols);
        return column_mean_std(totals.sum.span(), totals.sum_sq.span(), n_rows);
    }();
    auto out = Buffer<T>::uninitialized(n_rows * n_cols);
    apply_chunks_of(out.span(), matrix, n_cols, zero_center, mean.span(), stdev.span(), max_value,
                    std::nullopt);
    return {std::move(out), std::move(mean), std::move(stdev)};
}

}  // namespace

void apply_chunks(std::span<double> out, std::span<const double> matrix, std::size_t n_cols,
                  bool zero_center, std::span<const double> mean, std::span<const double> stdev,
                  std::optional<double> max_value, const RowMask& mask) {
    apply_chunks_of(out, matrix, n_cols, zero_center, mean, stdev, max_value, mask);
}

void apply_chunks(std::span<float> out, std::span<const float> matrix, std::size_t n_cols,
                  bool zero_center, std::span<const double> mean, std::span<const double> stdev,
                  std::optional<double> max_value, const RowMask& mask) {
    apply_chunks_of(out, matrix, n_cols, zero_center, mean, stdev, max_value, mask);
}

ScaledMatrix<double> scale_dense(std::span<const double> matrix, std::size_t n_rows,
                                 std::size_t n_cols, bool zero_center,
                                 std::optional<double> max_value) {
    return scale_of(matrix, n_rows, n_cols, zero_center, max_value);
}

ScaledMatrix<float> scale_dense(std::span<const float> matrix, std::size_t n_rows,
                                std::size_t n_cols, bool zero_center,
                                std::optional<double> max_value) {
    return scale_of(matrix, n_rows, n_cols, zero_center, max_value);
}

}  // namespace brenix
