// Seurat-flavour highly-variable-gene statistics: per gene,
//   means       = log1p(mean(expm1(x)))
//   dispersions = log(var(expm1(x)) / mean(expm1(x)))
// of a log1p-transformed matrix, with a zero mean replaced by 1e-12 and a zero
// variance-to-mean ratio giving NaN.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "core/column_sums.hpp"
#include "core/terms.hpp"

namespace brenix {

struct HvgStats {
    Buffer<double> means;
    Buffer<double> dispersions;
};

// Sums of e = expm1(x * c) and of e * e per column (c absent: no product),
// in MOMENT_CHUNK_ROWS-row chunks combined in chunk order. float32 values are
// scaled in float64, rounded back, and take expm1 and the square in float32.
ColumnSums hvg_sums(std::span<const double> matrix, std::size_t n_cols, std::optional<double> c);
ColumnSums hvg_sums(std::span<const float> matrix, std::size_t n_cols, std::optional<double> c);

// The same sums over the stored entries of a CSR matrix, in chunks of
// SPARSE_CHUNK_ENTRIES entries. square_f64 squares the widened expm1 value
// (float64 values always do).
ColumnSums sparse_hvg_sums(std::span<const std::int64_t> indices, std::span<const double> data,
                           std::size_t n_cols, std::optional<double> c, bool square_f64);
ColumnSums sparse_hvg_sums(std::span<const std::int64_t> indices, std::span<const float> data,
                           std::size_t n_cols, std::optional<double> c, bool square_f64);

// One chunk's loop of the dense and sparse sums above, continued from the
// running sums in `sums` over further rows, or over the entries [begin, end)
// (see continue_column_sums); log_base as in the recipes below.
void continue_hvg_sums(ColumnSums& sums, std::span<const double> rows, std::size_t n_cols,
                       std::optional<double> log_base);
void continue_hvg_sums(ColumnSums& sums, std::span<const float> rows, std::size_t n_cols,
                       std::optional<double> log_base);
void continue_sparse_hvg_sums(ColumnSums& sums, std::span<const std::int64_t> indices,
                              std::span<const double> data, std::size_t n_cols,
                              std::optional<double> log_base, bool square_f64, std::size_t begin,
                              std::size_t end);
void continue_sparse_hvg_sums(ColumnSums& sums, std::span<const std::int64_t> indices,
                              std::span<const float> data, std::size_t n_cols,
                              std::optional<double> log_base, bool square_f64, std::size_t begin,
                              std::size_t end);

// The sparse loop over several runs of entries in turn, as one chunk;
// indices are int32 or int64.
template <class I, class T>
void continue_sparse_hvg_sums(ColumnSums& sums, std::span<const I> indices, std::span<const T> data,
                              std::size_t n_cols, std::optional<double> log_base, bool square_f64,
                              std::span<const EntryRange> ranges);

// e[i] = expm1 of x[i] brought to natural-log scale, each with the bits of
// the sums above (for passes that order the values themselves).
template <class T>
void expm1_of_log_scaled(std::span<const T> x, std::span<T> e, std::optional<double> log_base);

HvgStats finish_hvg(std::span<const double> mean, std::span<const double> var);

// The whole recipe: c = ln(log_base), the sums, the moments with n = n_rows,
// and the finishing step.
HvgStats hvg_seurat_stats_dense(std::span<const double> matrix, std::size_t n_rows,
                                std::size_t n_cols, std::optional<double> log_base);
HvgStats hvg_seurat_stats_dense(std::span<const float> matrix, std::size_t n_rows,
                                std::size_t n_cols, std::optional<double> log_base);
HvgStats hvg_seurat_stats_sparse(std::span<const std::int64_t> indices,
                                 std::span<const double> data, std::size_t n_rows,
                                 std::size_t n_cols, std::optional<double> log_base,
                                 bool square_f64);
HvgStats hvg_seurat_stats_sparse(std::span<const std::int64_t> indices, std::span<const float> data,
                                 std::size_t n_rows, std::size_t n_cols,
                                 std::optional<double> log_base, bool square_f64);

}  // namespace brenix
