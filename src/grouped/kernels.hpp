// The kernels of brenix_kernels._arrays: the statistics of _core for SciPy's
// compressed matrices as they are stored (CSR or CSC, int32 or int64
// indices), for many row subsets in one pass, and centred scaling of a sparse
// matrix straight into its dense result.
//
// Every result is that of the _core function on the equivalent input: the
// rows of a group (in order), the CSR form with sorted rows of a CSC matrix,
// the dense form of a sparse one. Grouped results are n_groups rows of n_cols
// values, row-major; ungrouped ones are one such row.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "core/buffer.hpp"
#include "grouped/passes.hpp"
#include "grouped/row_groups.hpp"
#include "scale/dense_scale.hpp"
#include "scale/sparse_scale.hpp"

namespace brenix {

struct GroupStats {
    Buffer<double> first;   // means
    Buffer<double> second;  // dispersions or variances
};

// (means, dispersions) of hvg_seurat_stats per group.
template <class T>
GroupStats grouped_hvg_dense(std::span<const T> x, std::size_t n_cols, const RowGroups& groups,
                             std::optional<double> log_base);
template <class I, class T>
GroupStats grouped_hvg_sparse(const SparseMatrix<I, T>& m, const RowGroups& groups,
                              std::optional<double> log_base, bool square_f64);

// (means, variances) of the moments of scale (dense, 2048-row chunks) or
// scale_sparse_data (sparse, 1,000,000-entry chunks) per group. square_f64:
// float32 values squared after widening.
template <class T>
GroupStats grouped_mean_var_dense(std::span<const T> x, std::size_t n_cols, const RowGroups& groups,
                                  bool square_f64);
template <class I, class T>
GroupStats grouped_mean_var_sparse(const SparseMatrix<I, T>& m, const RowGroups& groups,
                                   bool square_f64);

// scale of the rows in `rows` (one group); the other rows copied unchanged.
template <class T>
ScaledMatrix<T> scale_dense_rows(std::span<const T> x, std::size_t n_rows, std::size_t n_cols,
                                 bool zero_center, std::optional<double> max_value,
                                 const std::optional<std::span<const bool>>& mask);

// Centred scale of the dense form of m, written straight into the result.
template <class I, class T>
ScaledMatrix<T> scale_sparse_to_dense(const SparseMatrix<I, T>& m, std::optional<double> max_value,
                                      const std::optional<std::span<const bool>>& mask);

// scale_sparse_data's values for m's stored entries, in m's storage order.
// Out: double for float64 data or promoted float32, else float.
template <class Out, class I, class T>
ScaledValues<Out> scale_sparse_stored(const SparseMatrix<I, T>& m, std::optional<double> max_value,
                                      const std::optional<std::span<const bool>>& mask);

}  // namespace brenix
