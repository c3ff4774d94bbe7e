// The two data passes of the variance-stabilising gene statistics, after the
// means: per column j, over its stored values x,
//
//   centred pass       d = x - mean[j]
//   standardised pass  d = min((x - mean[j]) / sd[j], clip)
//
// and ColumnSums holds count[j] += 1 (in `sum`) and sum_sq[j] += d * d.
// Everything is float64 (float32 values are widened first, which is exact, so
// float32 counts sum as the same counts in float64 do), in the order of the
// plain sums: MOMENT_CHUNK_ROWS-row chunks of a dense matrix, every value
// stored; SPARSE_CHUNK_ENTRIES-entry chunks of a sparse one, stored entries
// only. The caller adds the implicit zeros of a column, (n - count) of them,
// each contributing mean^2 (centred) or ((0 - mean) / sd)^2 (standardised,
// never clipped: the clip is positive and that value negative).
//
// The passes are for counts. A value that is not >= 0 (negative, or NaN)
// makes its d NaN, so its column's sum of squares is NaN and the caller
// refuses the matrix: no flag has to travel beside the sums, through row
// blocks and folds, for that.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>

#include "core/column_sums.hpp"
#include "core/isa.hpp"
#include "core/terms.hpp"

namespace brenix {

// The parameters of one pass for one set of rows: mean and sd point at
// n_cols values; sd == nullptr is the centred pass.
struct Deviations {
    const double* mean = nullptr;
    const double* sd = nullptr;
    double clip = 0.0;
    bool standardised() const { return sd != nullptr; }
};

// mean and sd: n_groups rows of n_cols values, clip one per group (sd
// empty: the centred pass, which has no clip).
struct GroupDeviations {
    std::span<const double> mean;
    std::span<const double> sd;
    std::span<const double> clip;
    std::size_t n_cols = 0;
    bool standardised = false;

    Deviations of(std::size_t group) const {
        if (!standardised) return {mean.data() + group * n_cols, nullptr, 0.0};
        return {mean.data() + group * n_cols, sd.data() + group * n_cols, clip[group]};
    }
};

template <bool Standardised>
BRENIX_INLINE double deviation(double x, double mean, double sd, double clip) {
    double d = x - mean;
    if constexpr (Standardised) {
        d = d / sd;
        d = clip < d ? clip : d;  // a NaN d stays NaN
    }
    return x >= 0.0 ? d : std::numeric_limits<double>::quiet_NaN();
}

// One value of column j: what the CSC walk and the gathered heads add.
template <class T>
BRENIX_INLINE void add_deviation(double& count, double& sum_sq, T x, std::size_t j,
                                 const Deviations& dev) {
    const double d = dev.standardised() ? deviation<true>(x, dev.mean[j], dev.sd[j], dev.clip)
                                        : deviation<false>(x, dev.mean[j], 0.0, 0.0);
    count += 1.0;
    sum_sq += d * d;
}

// The pass over whole rows (n_cols values each), continued from `sums`.
void continue_deviation_rows(ColumnSums& sums, std::span<const double> rows, std::size_t n_cols,
                             const Deviations& dev);
void continue_deviation_rows(ColumnSums& sums, std::span<const float> rows, std::size_t n_cols,
                             const Deviations& dev);

// The pass over runs of stored entries (CSR order), continued from `sums`;
// each index is checked as every pass checks it (terms.hpp).
template <class I, class T>
void continue_deviation_entries(ColumnSums& sums, std::span<const I> indices,
                                std::span<const T> data, std::size_t n_cols, const Deviations& dev,
                                std::span<const EntryRange> runs);

}  // namespace brenix
