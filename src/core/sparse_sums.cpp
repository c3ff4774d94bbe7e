#include "core/sparse_sums.hpp"

#include "core/terms.hpp"

namespace brenix {

namespace {

template <Square S, class I, class T>
void add_entries(ColumnSums& out, std::span<const I> indices, std::span<const T> data,
                 std::size_t n_cols, std::size_t begin, std::size_t end) {
    double* __restrict sum = out.sum.data();
    double* __restrict sum_sq = out.sum_sq.data();
    for_each_entry(indices, begin, end, n_cols,
                   [&](std::size_t p, std::size_t j) { add_term<S>(sum[j], sum_sq[j], data[p]); });
}

template <class I, class T>
void continue_sums(ColumnSums& sums, std::span<const I> indices, std::span<const T> data,
                   std::size_t n_cols, bool square_f64, std::size_t begin, std::size_t end) {
    if (square_f64) {
        add_entries<Square::widened>(sums, indices, data, n_cols, begin, end);
    } else {
        add_entries<Square::in_type>(sums, indices, data, n_cols, begin, end);
    }
}

template <class T>
ColumnSums sums_of(std::span<const std::int64_t> indices, std::span<const T> data,
                   std::size_t n_cols, bool square_f64) {
    return sparse_chunked_sums(
        data.size(), n_cols, [&](ColumnSums& out, std::size_t begin, std::size_t end) {
            continue_sums(out, indices, data, n_cols, square_f64, begin, end);
        });
}

}  // namespace

template <class I, class T>
void continue_sparse_column_sums(ColumnSums& sums, std::span<const I> indices,
                                 std::span<const T> data, std::size_t n_cols, bool square_f64,
                                 std::span<const EntryRange> ranges) {
    for (const EntryRange& range : ranges) {
        continue_sums(sums, indices, data, n_cols, square_f64, range.begin, range.end);
    }
}

#define BRENIX_INSTANTIATE(I, T)                                                                   \
    template void continue_sparse_column_sums(ColumnSums&, std::span<const I>, std::span<const T>, \
                                              std::size_t, bool, std::span<const EntryRange>);
BRENIX_INSTANTIATE(std::int32_t, float)
BRENIX_INSTANTIATE(std::int32_t, double)
BRENIX_INSTANTIATE(std::int64_t, float)
BRENIX_INSTANTIATE(std::int64_t, double)
#undef BRENIX_INSTANTIATE

ColumnSums sparse_column_sums(std::span<const std::int64_t> indices, std::span<const double> data,
                              std::size_t n_cols, bool square_f64) {
    return sums_of(indices, data, n_cols, square_f64);
}

ColumnSums sparse_column_sums(std::span<const std::int64_t> indices, std::span<const float> data,
                              std::size_t n_cols, bool square_f64) {
    return sums_of(indices, data, n_cols, square_f64);
}

void continue_sparse_column_sums(ColumnSums& sums, std::span<const std::int64_t> indices,
                                 std::span<const double> data, std::size_t n_cols, bool square_f64,
                                 std::size_t begin, std::size_t end) {
    continue_sums(sums, indices, data, n_cols, square_f64, begin, end);
}

void continue_sparse_column_sums(ColumnSums& sums, std::span<const std::int64_t> indices,
                                 std::span<const float> data, std::size_t n_cols, bool square_f64,
                                 std::size_t begin, std::size_t end) {
    continue_sums(sums, indices, data, n_cols, square_f64, begin, end);
}

}  // namespace brenix
