#include "vst/grouped_deviations.hpp"

#include <algorithm>
#include <vector>

#include "grouped/passes.hpp"

namespace brenix {

namespace {

GroupStats flatten(const std::vector<ColumnSums>& totals, std::size_t n_cols) {
    GroupStats out{Buffer<double>::uninitialized(totals.size() * n_cols),
                   Buffer<double>::uninitialized(totals.size() * n_cols)};
    for (std::size_t k = 0; k < totals.size(); ++k) {
        std::copy_n(totals[k].sum.data(), n_cols, out.first.data() + k * n_cols);
        std::copy_n(totals[k].sum_sq.data(), n_cols, out.second.data() + k * n_cols);
    }
    return out;
}

// A stored value as a CSC column walk meets it, about its group's means.
struct DeviationTerm {
    const GroupDeviations* dev;
    template <class T>
    BRENIX_INLINE void operator()(double& count, double& sum_sq, std::size_t group,
                                  std::size_t column, T value) const {
        add_deviation(count, sum_sq, value, column, dev->of(group));
    }
};

template <class T>
const T* as_stored(std::span<const T> x, std::vector<T>& /*scratch*/) {
    return x.data();
}

}  // namespace

template <class T>
GroupStats grouped_deviations_dense(std::span<const T> x, std::size_t n_cols,
                                    const RowGroups& groups, const GroupDeviations& dev) {
    const auto totals = dense_group_sums(
        x, n_cols, groups, [&](ColumnSums& out, std::span<const T> rows, std::size_t k) {
            continue_deviation_rows(out, rows, n_cols, dev.of(k));
        });
    return flatten(totals, n_cols);
}

template <class I, class T>
GroupStats grouped_deviations_sparse(const SparseMatrix<I, T>& m, const RowGroups& groups,
                                     const GroupDeviations& dev) {
    if (m.layout == Layout::csr) {
        const auto totals = csr_group_sums(
            m, groups, true, [&](ColumnSums& out, std::span<const EntryRange> runs, std::size_t k) {
                continue_deviation_entries(out, m.indices, m.data, m.n_cols, dev.of(k), runs);
            });
        return flatten(totals, m.n_cols);
    }
    const CscSums sums =
        csc_group_sums<Square::widened>(m, groups, true, as_stored<T>, DeviationTerm{&dev});
    return flatten(sums.totals, m.n_cols);
}

template GroupStats grouped_deviations_dense(std::span<const float>, std::size_t, const RowGroups&,
                                             const GroupDeviations&);
template GroupStats grouped_deviations_dense(std::span<const double>, std::size_t, const RowGroups&,
                                             const GroupDeviations&);
#define BRENIX_INSTANTIATE(I, T)                                                               \
    template GroupStats grouped_deviations_sparse(const SparseMatrix<I, T>&, const RowGroups&, \
                                                  const GroupDeviations&);
BRENIX_INSTANTIATE(std::int32_t, float)
BRENIX_INSTANTIATE(std::int32_t, double)
BRENIX_INSTANTIATE(std::int64_t, float)
BRENIX_INSTANTIATE(std::int64_t, double)
#undef BRENIX_INSTANTIATE

}  // namespace brenix
