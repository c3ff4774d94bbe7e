// Per-gene standardisation of a dense row-major matrix: centre (optionally),
// divide by the column's standard deviation, clip (optionally).
#pragma once

#include <cstddef>
#include <optional>
#include <span>

#include "core/buffer.hpp"
#include "core/isa.hpp"

namespace brenix {

inline constexpr std::size_t SCALE_CHUNK_ROWS = 512;

// One element of the scaled matrix: v = x (- mean when centring), v = v /
// stdev, then v > m gives m, else (centring only) v < -m gives -m; the upper
// test first, ordered comparisons, so NaN passes both. Every scaled element
// of the package is this, wherever its x comes from.
template <bool Center, bool Clip>
BRENIX_INLINE double scale_element(double x, double mean, double stdev, double m) {
    double v = x;
    if constexpr (Center) v = v - mean;
    v = v / stdev;
    if constexpr (Clip) {
        // Selects rather than branches, so that the row loops vectorise;
        // the same choice as "if above m, m; else if below -m, -m".
        const bool above = v > m;
        const bool below = Center && !above && v < -m;
        v = above ? m : (below ? -m : v);
    }
    return v;
}

// float32: widened, computed in float64, rounded once, then compared with m
// in float64 and clipped to m (or -m) rounded to float32.
template <bool Center, bool Clip>
BRENIX_INLINE float scale_element(float x, double mean, double stdev, double m) {
    double v = x;
    if constexpr (Center) v = v - mean;
    v = v / stdev;
    float s = static_cast<float>(v);
    if constexpr (Clip) {
        // The bounds are rounded whether or not they are used: a conversion
        // made only on one branch could not be hoisted, and kept the row
        // loops from vectorising.
        const float hi = static_cast<float>(m);
        const float lo = static_cast<float>(-m);
        const double wide = s;
        const bool above = wide > m;
        const bool below = Center && !above && wide < -m;
        s = above ? hi : (below ? lo : s);
    }
    return s;
}

// scale_element over n_rows whole rows of n_cols values (m is ignored unless
// clip).
void scale_rows(double* out, const double* x, std::size_t n_rows, std::size_t n_cols, bool center,
                bool clip, const double* mean, const double* stdev, double m);
void scale_rows(float* out, const float* x, std::size_t n_rows, std::size_t n_cols, bool center,
                bool clip, const double* mean, const double* stdev, double m);

template <class T>
struct ScaledMatrix {
    Buffer<T> matrix;  // n_rows x n_cols, row-major, element type of the input
    Buffer<double> mean;
    Buffer<double> stdev;
};

// One flag per row: the rows to scale (all of them when absent).
using RowMask = std::optional<std::span<const bool>>;

// Writes every element of `out` (same shape as `matrix`) in chunks of
// SCALE_CHUNK_ROWS rows on the pool. Each element: v = x (- mean[j] when
// centring), v = v / stdev[j], then v > m gives m, else (centring only) v < -m
// gives -m. float32 values are widened, computed in float64, rounded to
// float32 once, and clipped against m in float64. A row the mask leaves out
// is copied unchanged: every masked scaling of a dense matrix (in memory, row
// blocks, files) writes its rows here.
void apply_chunks(std::span<double> out, std::span<const double> matrix, std::size_t n_cols,
                  bool zero_center, std::span<const double> mean, std::span<const double> stdev,
                  std::optional<double> max_value, const RowMask& mask = std::nullopt);
void apply_chunks(std::span<float> out, std::span<const float> matrix, std::size_t n_cols,
                  bool zero_center, std::span<const double> mean, std::span<const double> stdev,
                  std::optional<double> max_value, const RowMask& mask = std::nullopt);

// The moment pass (2048-row chunks), mean and std with n = n_rows, then the
// write pass.
ScaledMatrix<double> scale_dense(std::span<const double> matrix, std::size_t n_rows,
                                 std::size_t n_cols, bool zero_center,
                                 std::optional<double> max_value);
ScaledMatrix<float> scale_dense(std::span<const float> matrix, std::size_t n_rows,
                                std::size_t n_cols, bool zero_center,
                                std::optional<double> max_value);

}  // namespace brenix
