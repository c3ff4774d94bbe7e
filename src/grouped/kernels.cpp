#include "grouped/kernels.hpp"

#include <algorithm>
#include <cstring>
#include <type_traits>
#include <utility>
#include <vector>

#include "core/column_sums.hpp"
#include "core/sparse_sums.hpp"
#include "hvg/seurat.hpp"
#include "runtime/pool.hpp"

namespace brenix {

namespace {

// One row of n_cols results per group, from the group's totals and row count.
// Groups finish independently, on the pool: with many groups the logarithms
// of the finish cost as much as a tenth of the pass.
template <class Finish>
GroupStats finish_groups(const std::vector<ColumnSums>& totals, const RowGroups& groups,
                         std::size_t n_cols, Finish&& finish) {
    GroupStats out{Buffer<double>::uninitialized(groups.n_groups * n_cols),
                   Buffer<double>::uninitialized(groups.n_groups * n_cols)};
    for_each_block(groups.n_groups, [&](std::size_t k) {
        auto [a, b] = finish(totals[k], groups.size(k));
        std::copy_n(a.data(), n_cols, out.first.data() + k * n_cols);
        std::copy_n(b.data(), n_cols, out.second.data() + k * n_cols);
    });
    return out;
}

GroupStats hvg_stats(const std::vector<ColumnSums>& totals, const RowGroups& groups,
                     std::size_t n_cols) {
    return finish_groups(totals, groups, n_cols, [](const ColumnSums& t, std::size_t n) {
        auto [mean, var] = column_mean_var(t.sum.span(), t.sum_sq.span(), n);
        HvgStats stats = finish_hvg(mean.span(), var.span());
        return std::pair{std::move(stats.means), std::move(stats.dispersions)};
    });
}

GroupStats mean_var(const std::vector<ColumnSums>& totals, const RowGroups& groups,
                    std::size_t n_cols) {
    return finish_groups(totals, groups, n_cols, [](const ColumnSums& t, std::size_t n) {
        return column_mean_var(t.sum.span(), t.sum_sq.span(), n);
    });
}

// The stored values themselves.
template <class T>
const T* as_stored(std::span<const T> x, std::vector<T>& /*scratch*/) {
    return x.data();
}

// Column sums of the stored values, chunked by entries or by rows (the
// moments of scale of the dense form). square_f64: float32 values squared
// after widening.
template <class I, class T>
std::vector<ColumnSums> plain_sums(const SparseMatrix<I, T>& m, const RowGroups& groups,
                                   bool by_entries, bool square_f64,
                                   std::vector<unsigned char>* sorted = nullptr) {
    if (m.layout == Layout::csr) {
        return csr_group_sums(
            m, groups, by_entries, [&](ColumnSums& out, std::span<const EntryRange> runs) {
                continue_sparse_column_sums(out, m.indices, m.data, m.n_cols, square_f64, runs);
            });
    }
    CscSums sums = std::is_same_v<T, float> && square_f64
                       ? csc_group_sums<Square::widened>(m, groups, by_entries, as_stored<T>)
                       : csc_group_sums<Square::in_type>(m, groups, by_entries, as_stored<T>);
    if (sorted != nullptr) *sorted = std::move(sums.sorted);
    return std::move(sums.totals);
}

template <class T, class Put>
void with_clip(std::optional<double> max_value, Put&& put) {
    if (max_value) {
        put(std::true_type{});
    } else {
        put(std::false_type{});
    }
}

// Dense rows of the scaled sparse matrix: every row starts as the scaled
// implicit zeros (a row the mask leaves out as zeros), then its stored
// entries are written over. put(row, col, p) writes entry p.
template <class T>
struct DenseWriter {
    T* out;
    std::size_t n_cols;
    const T* zero_row;  // scale_element of 0 per column
    const std::optional<std::span<const bool>>& mask;

    bool scaled(std::size_t r) const { return !mask || (*mask)[r]; }
    // Columns [j0, j1) of row r.
    void fill(std::size_t r, std::size_t j0, std::size_t j1) const {
        T* row = out + r * n_cols;
        if (scaled(r)) {
            std::memcpy(row + j0, zero_row + j0, (j1 - j0) * sizeof(T));
        } else {
            std::fill(row + j0, row + j1, T(0));
        }
    }
    void fill(std::size_t r) const { fill(r, 0, n_cols); }
};

constexpr std::size_t WRITE_TILE_ROWS = 64;
constexpr std::size_t WRITE_TILE_COLS = 1024;  // whole cache lines of float32 and float64

}  // namespace

template <class T>
GroupStats grouped_hvg_dense(std::span<const T> x, std::size_t n_cols, const RowGroups& groups,
                             std::optional<double> log_base) {
    const auto totals =
        dense_group_sums(x, n_cols, groups, [&](ColumnSums& out, std::span<const T> rows) {
            continue_hvg_sums(out, rows, n_cols, log_base);
        });
    return hvg_stats(totals, groups, n_cols);
}

template <class I, class T>
GroupStats grouped_hvg_sparse(const SparseMatrix<I, T>& m, const RowGroups& groups,
                              std::optional<double> log_base, bool square_f64) {
    if (m.layout == Layout::csr) {
        const auto totals =
            csr_group_sums(m, groups, true, [&](ColumnSums& out, std::span<const EntryRange> runs) {
                continue_sparse_hvg_sums(out, m.indices, m.data, m.n_cols, log_base, square_f64,
                                         runs);
            });
        check_rows_left_out(m, groups);
        return hvg_stats(totals, groups, m.n_cols);
    }
    auto expm1 = [&](std::span<const T> x, std::vector<T>& scratch) {
        scratch.resize(x.size());
        expm1_of_log_scaled(x, std::span<T>(scratch), log_base);
        return static_cast<const T*>(scratch.data());
    };
    const CscSums sums = std::is_same_v<T, float> && square_f64
                             ? csc_group_sums<Square::widened>(m, groups, true, expm1)
                             : csc_group_sums<Square::in_type>(m, groups, true, expm1);
    return hvg_stats(sums.totals, groups, m.n_cols);
}

template <class T>
GroupStats grouped_mean_var_dense(std::span<const T> x, std::size_t n_cols, const RowGroups& groups,
                                  bool square_f64) {
    const auto totals =
        dense_group_sums(x, n_cols, groups, [&](ColumnSums& out, std::span<const T> rows) {
            if constexpr (std::is_same_v<T, float>) {
                continue_column_sums(out, rows, n_cols,
                                     square_f64 ? Square::widened : Square::in_type);
            } else {
                continue_column_sums(out, rows, n_cols);
            }
        });
    return mean_var(totals, groups, n_cols);
}

template <class I, class T>
GroupStats grouped_mean_var_sparse(const SparseMatrix<I, T>& m, const RowGroups& groups,
                                   bool square_f64) {
    auto totals = plain_sums(m, groups, true, square_f64);
    if (m.layout == Layout::csr) check_rows_left_out(m, groups);
    return mean_var(totals, groups, m.n_cols);
}

template <class T>
ScaledMatrix<T> scale_dense_rows(std::span<const T> x, std::size_t n_rows, std::size_t n_cols,
                                 bool zero_center, std::optional<double> max_value,
                                 const std::optional<std::span<const bool>>& mask) {
    if (!mask) return scale_dense(x, n_rows, n_cols, zero_center, max_value);
    const RowGroups groups = mask_rows(mask, n_rows);
    auto [mean, stdev] = [&] {
        const auto totals =
            dense_group_sums(x, n_cols, groups, [&](ColumnSums& out, std::span<const T> rows) {
                continue_column_sums(out, rows, n_cols);
            });
        return column_mean_std(totals[0].sum.span(), totals[0].sum_sq.span(), groups.size(0));
    }();
    auto out = Buffer<T>::uninitialized(n_rows * n_cols);
    apply_chunks(out.span(), x, n_cols, zero_center, mean.span(), stdev.span(), max_value, mask);
    return {std::move(out), std::move(mean), std::move(stdev)};
}

template <class I, class T>
ScaledMatrix<T> scale_sparse_to_dense(const SparseMatrix<I, T>& m, std::optional<double> max_value,
                                      const std::optional<std::span<const bool>>& mask) {
    const std::size_t n_rows = m.n_rows;
    const std::size_t n_cols = m.n_cols;
    // The dense scaling refuses a matrix without columns before anything else.
    chunk_count(0, rows_chunk_len(MOMENT_CHUNK_ROWS, n_cols));
    const RowGroups groups = mask_rows(mask, n_rows);
    std::vector<unsigned char> sorted;
    auto [mean, stdev] = [&] {
        // The dense moments: 2048-row chunks, float32 squared in float32.
        const auto totals = plain_sums(m, groups, false, false, &sorted);
        return column_mean_std(totals[0].sum.span(), totals[0].sum_sq.span(), groups.size(0));
    }();
    const double mv = max_value.value_or(0.0);
    auto zero_row = Buffer<T>::uninitialized(n_cols);
    {
        const std::vector<T> zeros(n_cols, T(0));
        scale_rows(zero_row.data(), zeros.data(), 1, n_cols, true, max_value.has_value(),
                   mean.data(), stdev.data(), mv);
    }
    auto out = Buffer<T>::uninitialized(n_rows * n_cols);
    const DenseWriter<T> writer{out.data(), n_cols, zero_row.data(), mask};
    const I* idx = m.indices.data();
    const double* mu = mean.data();
    const double* sd = stdev.data();
    with_clip<T>(max_value, [&](auto clip) {
        constexpr bool Clip = decltype(clip)::value;
        auto value = [&](std::size_t r, std::size_t j, std::size_t p) {
            // The dense form adds each stored value to a zero, as SciPy's
            // toarray does: a stored -0.0 becomes +0.0 there.
            const T x = T(0) + m.data[p];
            return writer.scaled(r) ? scale_element<true, Clip>(x, mu[j], sd[j], mv) : x;
        };
        if (m.layout == Layout::csr) {
            const std::size_t chunk_len = rows_chunk_len(SCALE_CHUNK_ROWS, n_cols);
            std::vector<EntryProblem> problems(chunk_count(out.size(), chunk_len));
            chunk_for_each(out.span(), chunk_len, [&](std::size_t c, std::span<T> chunk) {
                const auto r0 = static_cast<std::size_t>(chunk.data() - out.data()) / n_cols;
                std::vector<std::size_t> stamps;
                for (std::size_t r = r0; r < r0 + chunk.size() / n_cols; ++r) {
                    writer.fill(r);
                    const auto b = static_cast<std::size_t>(m.indptr[r]);
                    const auto e = static_cast<std::size_t>(m.indptr[r + 1]);
                    // The moment pass checked the rows it summed.
                    if (!writer.scaled(r) &&
                        !check_row(m.indices, b, e, n_cols, r, stamps, problems[c])) {
                        return;
                    }
                    // Checked again where used: the mask and the indices
                    // may have been written since.
                    if (e > m.indices.size()) fail_index(m.indices.size(), m.indices.size());
                    T* row = out.data() + r * n_cols;
                    for (std::size_t p = b; p < e; ++p) {
                        const std::size_t j = checked_index(idx, p, n_cols);
                        row[j] = value(r, j, p);
                    }
                }
            });
            raise_first(problems);
            return;
        }
        // CSC: the result in tiles of WRITE_TILE_ROWS rows by WRITE_TILE_COLS
        // columns, small enough that a tile, and the place each of its
        // columns has reached in the stored entries, stay in cache while the
        // columns write their entries there. A column's cursor moves down the
        // column from where the column reaches each 2048-row band, found for
        // all bands in one walk down each column. The moment pass checked
        // every entry.
        const std::size_t band_len = rows_chunk_len(MOMENT_CHUNK_ROWS, n_cols);
        const std::size_t n_bands = chunk_count(out.size(), band_len);
        std::vector<std::size_t> band_start(n_bands * n_cols);
        constexpr std::size_t COLS_PER_TASK = 256;
        for_each_block(chunk_count(n_cols, COLS_PER_TASK), [&](std::size_t b) {
            for (std::size_t j = b * COLS_PER_TASK; j < std::min(n_cols, (b + 1) * COLS_PER_TASK);
                 ++j) {
                if (!sorted[j]) continue;
                auto p = static_cast<std::size_t>(m.indptr[j]);
                const auto e = static_cast<std::size_t>(m.indptr[j + 1]);
                for (std::size_t band = 0; band < n_bands; ++band) {
                    while (p < e && load_index(idx, p) < band * MOMENT_CHUNK_ROWS) ++p;
                    band_start[band * n_cols + j] = p;
                }
            }
        });
        chunk_for_each(out.span(), band_len, [&](std::size_t band, std::span<T> chunk) {
            const auto r0 = static_cast<std::size_t>(chunk.data() - out.data()) / n_cols;
            const std::size_t r1 = r0 + chunk.size() / n_cols;
            std::size_t* cursor = band_start.data() + band * n_cols;
            for (std::size_t j0 = 0; j0 < n_cols; j0 += WRITE_TILE_COLS) {
                const std::size_t j1 = std::min(j0 + WRITE_TILE_COLS, n_cols);
                for (std::size_t t0 = r0; t0 < r1; t0 += WRITE_TILE_ROWS) {
                    const std::size_t t1 = std::min(t0 + WRITE_TILE_ROWS, r1);
                    for (std::size_t r = t0; r < t1; ++r) writer.fill(r, j0, j1);
                    for (std::size_t j = j0; j < j1; ++j) {
                        if (!sorted[j]) continue;
                        std::size_t p = cursor[j];
                        const auto e = static_cast<std::size_t>(m.indptr[j + 1]);
                        // One load per entry, which both ends the tile's
                        // part of the column and places the value: a row
                        // outside the band (written meanwhile) places nothing.
                        for (; p < e; ++p) {
                            const std::uint64_t r = load_index(idx, p);
                            if (r >= t1) break;
                            if (r < r0) continue;
                            out[r * n_cols + j] = value(r, j, p);
                        }
                        cursor[j] = p;
                    }
                }
            }
            // Columns stored out of row order (rare) are searched whole.
            for (std::size_t j = 0; j < n_cols; ++j) {
                if (sorted[j]) continue;
                for (auto p = static_cast<std::size_t>(m.indptr[j]);
                     p < static_cast<std::size_t>(m.indptr[j + 1]); ++p) {
                    const std::uint64_t r = load_index(idx, p);
                    if (r >= r0 && r < r1) out[r * n_cols + j] = value(r, j, p);
                }
            }
        });
    });
    return {std::move(out), std::move(mean), std::move(stdev)};
}

template <class Out, class I, class T>
ScaledValues<Out> scale_sparse_stored(const SparseMatrix<I, T>& m, std::optional<double> max_value,
                                      const std::optional<std::span<const bool>>& mask) {
    const RowGroups groups = mask_rows(mask, m.n_rows);
    auto [mean, stdev] = [&] {
        const auto totals = plain_sums(m, groups, true, std::is_same_v<Out, double>);
        return column_mean_std(totals[0].sum.span(), totals[0].sum_sq.span(), groups.size(0));
    }();
    if (m.layout == Layout::csr) {
        auto values =
            scale_csr_values<Out>(m, stdev.span(), max_value, mask, WriteCheck::rows_left_out);
        return {std::move(values), std::move(mean), std::move(stdev)};
    }
    // CSC: the moment pass checked every entry.
    auto values = Buffer<Out>::uninitialized(m.data.size());
    const I* idx = m.indices.data();
    const double* sd = stdev.data();
    constexpr std::size_t COLS_PER_TASK = 64;
    for_each_block(chunk_count(m.n_cols, COLS_PER_TASK), [&](std::size_t b) {
        for (std::size_t j = b * COLS_PER_TASK; j < std::min(m.n_cols, (b + 1) * COLS_PER_TASK);
             ++j) {
            for (auto p = static_cast<std::size_t>(m.indptr[j]);
                 p < static_cast<std::size_t>(m.indptr[j + 1]); ++p) {
                const bool scaled = !mask || (*mask)[checked_index(idx, p, m.n_rows)];
                values[p] = masked_stored_value<Out>(scaled, m.data[p], sd[j], max_value);
            }
        }
    });
    return {std::move(values), std::move(mean), std::move(stdev)};
}

#define BRENIX_DENSE(T)                                                                           \
    template GroupStats grouped_hvg_dense(std::span<const T>, std::size_t, const RowGroups&,      \
                                          std::optional<double>);                                 \
    template GroupStats grouped_mean_var_dense(std::span<const T>, std::size_t, const RowGroups&, \
                                               bool);                                             \
    template ScaledMatrix<T> scale_dense_rows(std::span<const T>, std::size_t, std::size_t, bool, \
                                              std::optional<double>,                              \
                                              const std::optional<std::span<const bool>>&);
BRENIX_DENSE(float)
BRENIX_DENSE(double)
#undef BRENIX_DENSE

#define BRENIX_SPARSE(I, T)                                                                      \
    template GroupStats grouped_hvg_sparse(const SparseMatrix<I, T>&, const RowGroups&,          \
                                           std::optional<double>, bool);                         \
    template GroupStats grouped_mean_var_sparse(const SparseMatrix<I, T>&, const RowGroups&,     \
                                                bool);                                           \
    template ScaledMatrix<T> scale_sparse_to_dense(const SparseMatrix<I, T>&,                    \
                                                   std::optional<double>,                        \
                                                   const std::optional<std::span<const bool>>&); \
    template ScaledValues<double> scale_sparse_stored(                                           \
        const SparseMatrix<I, T>&, std::optional<double>,                                        \
        const std::optional<std::span<const bool>>&);
BRENIX_SPARSE(std::int32_t, float)
BRENIX_SPARSE(std::int32_t, double)
BRENIX_SPARSE(std::int64_t, float)
BRENIX_SPARSE(std::int64_t, double)
#undef BRENIX_SPARSE
template ScaledValues<float> scale_sparse_stored(const SparseMatrix<std::int32_t, float>&,
                                                 std::optional<double>,
                                                 const std::optional<std::span<const bool>>&);
template ScaledValues<float> scale_sparse_stored(const SparseMatrix<std::int64_t, float>&,
                                                 std::optional<double>,
                                                 const std::optional<std::span<const bool>>&);

}  // namespace brenix
