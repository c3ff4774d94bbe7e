#include "vst/deviations.hpp"

namespace brenix {

namespace {

template <bool Standardised, class T>
BRENIX_INLINE void deviation_rows_body(double* __restrict count, double* __restrict sum_sq,
                                       const T* __restrict x, std::size_t n_rows,
                                       std::size_t n_cols, const double* __restrict mean,
                                       const double* __restrict sd, double clip) {
    for (std::size_t r = 0; r < n_rows; ++r) {
        const T* __restrict row = x + r * n_cols;
        for (std::size_t j = 0; j < n_cols; ++j) {
            const double d =
                deviation<Standardised>(row[j], mean[j], Standardised ? sd[j] : 0.0, clip);
            count[j] += 1.0;
            sum_sq[j] += d * d;
        }
    }
}

#define BRENIX_DEVIATION_ROWS(name, Standardised, T)                                              \
    BRENIX_INLINE void name##_body(double* count, double* sum_sq, const T* x, std::size_t n_rows, \
                                   std::size_t n_cols, const double* mean, const double* sd,      \
                                   double clip) {                                                 \
        deviation_rows_body<Standardised>(count, sum_sq, x, n_rows, n_cols, mean, sd, clip);      \
    }                                                                                             \
    BRENIX_MULTIVERSION(void, name,                                                               \
                        (double* count, double* sum_sq, const T* x, std::size_t n_rows,           \
                         std::size_t n_cols, const double* mean, const double* sd, double clip),  \
                        name##_body, (count, sum_sq, x, n_rows, n_cols, mean, sd, clip))
BRENIX_DEVIATION_ROWS(centred_rows_f64, false, double)
BRENIX_DEVIATION_ROWS(centred_rows_f32, false, float)
BRENIX_DEVIATION_ROWS(standardised_rows_f64, true, double)
BRENIX_DEVIATION_ROWS(standardised_rows_f32, true, float)
#undef BRENIX_DEVIATION_ROWS

template <class T>
void rows_of(ColumnSums& sums, std::span<const T> rows, std::size_t n_cols, const Deviations& dev) {
    if (n_cols == 0) return;
    const std::size_t n_rows = rows.size() / n_cols;
    double* count = sums.sum.data();
    double* sum_sq = sums.sum_sq.data();
    if constexpr (std::is_same_v<T, double>) {
        dev.standardised()
            ? standardised_rows_f64(count, sum_sq, rows.data(), n_rows, n_cols, dev.mean, dev.sd,
                                    dev.clip)
            : centred_rows_f64(count, sum_sq, rows.data(), n_rows, n_cols, dev.mean, nullptr, 0.0);
    } else {
        dev.standardised()
            ? standardised_rows_f32(count, sum_sq, rows.data(), n_rows, n_cols, dev.mean, dev.sd,
                                    dev.clip)
            : centred_rows_f32(count, sum_sq, rows.data(), n_rows, n_cols, dev.mean, nullptr, 0.0);
    }
}

template <bool Standardised, class I, class T>
void entries_of(ColumnSums& sums, std::span<const I> indices, std::span<const T> data,
                std::size_t n_cols, const Deviations& dev, std::span<const EntryRange> runs) {
    double* __restrict count = sums.sum.data();
    double* __restrict sum_sq = sums.sum_sq.data();
    const double* __restrict mean = dev.mean;
    const double* __restrict sd = dev.sd;
    for (const EntryRange& run : runs) {
        for_each_entry(indices, run.begin, run.end, n_cols, [&](std::size_t p, std::size_t j) {
            const double d =
                deviation<Standardised>(data[p], mean[j], Standardised ? sd[j] : 0.0, dev.clip);
            count[j] += 1.0;
            sum_sq[j] += d * d;
        });
    }
}

}  // namespace

void continue_deviation_rows(ColumnSums& sums, std::span<const double> rows, std::size_t n_cols,
                             const Deviations& dev) {
    rows_of(sums, rows, n_cols, dev);
}

void continue_deviation_rows(ColumnSums& sums, std::span<const float> rows, std::size_t n_cols,
                             const Deviations& dev) {
    rows_of(sums, rows, n_cols, dev);
}

template <class I, class T>
void continue_deviation_entries(ColumnSums& sums, std::span<const I> indices,
                                std::span<const T> data, std::size_t n_cols, const Deviations& dev,
                                std::span<const EntryRange> runs) {
    if (dev.standardised()) {
        entries_of<true>(sums, indices, data, n_cols, dev, runs);
    } else {
        entries_of<false>(sums, indices, data, n_cols, dev, runs);
    }
}

#define BRENIX_INSTANTIATE(I, T)                                                                  \
    template void continue_deviation_entries(ColumnSums&, std::span<const I>, std::span<const T>, \
                                             std::size_t, const Deviations&,                      \
                                             std::span<const EntryRange>);
BRENIX_INSTANTIATE(std::int32_t, float)
BRENIX_INSTANTIATE(std::int32_t, double)
BRENIX_INSTANTIATE(std::int64_t, float)
BRENIX_INSTANTIATE(std::int64_t, double)
#undef BRENIX_INSTANTIATE

}  // namespace brenix
