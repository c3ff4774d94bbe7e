#include "scale/sparse_scale.hpp"

#include <algorithm>
#include <type_traits>
#include <vector>

#include "core/sparse_sums.hpp"
#include "core/terms.hpp"
#include "runtime/pool.hpp"

namespace brenix {

// values[k] = data[k] / stdev[indices[k]], clipped from above at max_value.
template <class Out, class I, class In>
Buffer<Out> scale_sparse_values(std::span<const I> indices, std::span<const In> data,
                                std::size_t n_cols, std::span<const double> stdev,
                                std::optional<double> max_value) {
    const std::size_t nnz = data.size();
    auto values = Buffer<Out>::uninitialized(nnz);
    const double* sd = stdev.data();
    element_map(nnz, [&](std::size_t begin, std::size_t end) {
        Out* __restrict out = values.data();
        for_each_entry(indices, begin, end, n_cols, [&](std::size_t k, std::size_t j) {
            out[k] = scale_stored_value<Out>(data[k], sd[j], max_value);
        });
    });
    return values;
}

template <class Out, class I, class In>
Buffer<Out> scale_csr_values(const SparseMatrix<I, In>& m, std::span<const double> stdev,
                             std::optional<double> max_value,
                             const std::optional<std::span<const bool>>& mask, WriteCheck check) {
    // Without rows to tell apart, the entries are independent: split by
    // entries, a block of a few long rows still spreads over the pool.
    if (!mask && check == WriteCheck::columns) {
        return scale_sparse_values<Out>(m.indices, m.data, m.n_cols, stdev, max_value);
    }
    auto values = Buffer<Out>::uninitialized(m.data.size());
    const I* idx = m.indices.data();
    const double* sd = stdev.data();
    for_each_row_checked(
        m.n_rows, [&](std::size_t r, std::vector<std::size_t>& stamps, EntryProblem& problem) {
            const auto lo = static_cast<std::size_t>(m.indptr[r]);
            const auto hi = static_cast<std::size_t>(m.indptr[r + 1]);
            const bool scaled = !mask || (*mask)[r];
            const bool checked =
                check == WriteCheck::columns
                    ? check_columns(m.indices, lo, hi, m.n_cols, problem)
                    : scaled || check_row(m.indices, lo, hi, m.n_cols, r, stamps, problem);
            if (!checked) return false;
            // The checks above, or the moment pass, read the indices once, and
            // the caller may have written them since: the deviation is addressed
            // by the index read here, checked where it is used.
            if (hi > m.indices.size()) fail_index(m.indices.size(), m.indices.size());
            // Each index clamped into range where it addresses, without a
            // branch, keeps the loop as fast as it was unchecked; a row that had
            // one out of range is written again through checked_index, which
            // raises for it (or, written back meanwhile, writes it).
            if (m.n_cols > 0) {
                bool bad = false;
                const std::uint64_t last = m.n_cols - 1;
                for (std::size_t p = lo; p < hi; ++p) {
                    const std::uint64_t j = as_index(idx[p]);
                    bad |= j > last;
                    values[p] = masked_stored_value<Out>(scaled, m.data[p], sd[std::min(j, last)],
                                                         max_value);
                }
                if (!bad) return true;
            }
            for (std::size_t p = lo; p < hi; ++p) {
                const std::size_t j = checked_index(idx, p, m.n_cols);
                values[p] = masked_stored_value<Out>(scaled, m.data[p], sd[j], max_value);
            }
            return true;
        });
    return values;
}

template <class Out, class In>
ScaledValues<Out> scale_sparse(std::span<const std::int64_t> indices, std::span<const In> data,
                               std::size_t n_rows, std::size_t n_cols,
                               std::optional<double> max_value) {
    constexpr bool square_f64 = std::is_same_v<Out, double>;
    auto [mean, stdev] = [&] {
        const ColumnSums totals = sparse_column_sums(indices, data, n_cols, square_f64);
        return column_mean_std(totals.sum.span(), totals.sum_sq.span(), n_rows);
    }();
    // The moment pass has already checked every entry; the checks stay in the
    // write pass so that it is safe on its own.
    auto values = scale_sparse_values<Out>(indices, data, n_cols, stdev.span(), max_value);
    return {std::move(values), std::move(mean), std::move(stdev)};
}

template ScaledValues<double> scale_sparse(std::span<const std::int64_t>, std::span<const double>,
                                           std::size_t, std::size_t, std::optional<double>);
template ScaledValues<double> scale_sparse(std::span<const std::int64_t>, std::span<const float>,
                                           std::size_t, std::size_t, std::optional<double>);
template ScaledValues<float> scale_sparse(std::span<const std::int64_t>, std::span<const float>,
                                          std::size_t, std::size_t, std::optional<double>);

// Out for In: double for float64 data, double or float for float32 data.
#define BRENIX_WRITE_PASS(Out, I, In)                                                              \
    template Buffer<Out> scale_sparse_values(std::span<const I>, std::span<const In>, std::size_t, \
                                             std::span<const double>, std::optional<double>);      \
    template Buffer<Out> scale_csr_values(                                                         \
        const SparseMatrix<I, In>&, std::span<const double>, std::optional<double>,                \
        const std::optional<std::span<const bool>>&, WriteCheck);
BRENIX_WRITE_PASS(double, std::int32_t, double)
BRENIX_WRITE_PASS(double, std::int32_t, float)
BRENIX_WRITE_PASS(float, std::int32_t, float)
BRENIX_WRITE_PASS(double, std::int64_t, double)
BRENIX_WRITE_PASS(double, std::int64_t, float)
BRENIX_WRITE_PASS(float, std::int64_t, float)
#undef BRENIX_WRITE_PASS

}  // namespace brenix
