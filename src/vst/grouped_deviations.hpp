// The deviation passes (deviations.hpp) of many row groups in one pass, each
// group about its own means: row k of the result has the bits of the pass over
// the rows of group k alone, as every grouped statistic (grouped/passes.hpp).
#pragma once

#include <cstddef>
#include <span>

#include "core/sparse_matrix.hpp"
#include "grouped/kernels.hpp"
#include "grouped/row_groups.hpp"
#include "vst/deviations.hpp"

namespace brenix {

// (counts, sums of squares) per group, n_groups rows of n_cols values.
template <class T>
GroupStats grouped_deviations_dense(std::span<const T> x, std::size_t n_cols,
                                    const RowGroups& groups, const GroupDeviations& dev);
template <class I, class T>
GroupStats grouped_deviations_sparse(const SparseMatrix<I, T>& m, const RowGroups& groups,
                                     const GroupDeviations& dev);

}  // namespace brenix
