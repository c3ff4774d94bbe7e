#include "hvg/seurat.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <type_traits>
#include <utility>

#include "core/isa.hpp"
#include "core/sparse_sums.hpp"
#include "hvg/expm1_memo.hpp"
#include "hvg/nonzero.hpp"
#include "math/expm1_vec.hpp"
#include "math/expm1f_vec.hpp"

namespace brenix {

namespace {

// Brings a stored value to natural-log scale before expm1: t = x * c, or x
// itself when no log base was given. float32 values are scaled in float64
// and rounded back to float32.
struct ScaleF64 {
    std::optional<double> c;
    double operator()(double x) const { return c ? x * *c : x; }
};

struct ScaleF32 {
    std::optional<double> c;
    float operator()(float x) const {
        return c ? static_cast<float>(*c * static_cast<double>(x)) : x;
    }
};

// A zero value contributes nothing when c is absent or finite: t = ±0,
// expm1(±0) = ±0, and adding ±0 (or its square +0) to a sum that started at
// +0 never changes it. Skipping zeros keeps every bit while sparing most of
// the work on real data. An infinite or NaN c turns 0 into NaN, so then every
// value counts.
bool zeros_contribute_nothing(std::optional<double> c) { return !c || std::isfinite(*c); }

// One row through the memo: per column, sum += e and sum_sq += square.
// Returns how many values it looked up.
template <class T, class Scale, class Memo>
std::size_t memo_row(const T* x, std::size_t n_cols, Scale scale, Memo& memo, bool skip_zeros,
                     std::uint32_t* positions, double* __restrict sum, double* __restrict sum_sq) {
    if (!skip_zeros) {
        for (std::size_t j = 0; j < n_cols; ++j) {
            const Expm1Terms e = memo(scale(x[j]));
            sum[j] += e.value;
            sum_sq[j] += e.square;
        }
        return n_cols;
    }
    std::size_t looked_up = 0;
    for (std::size_t first = 0; first < n_cols; first += NONZERO_BLOCK) {
        const std::size_t len = std::min(NONZERO_BLOCK, n_cols - first);
        const std::size_t count = nonzero_positions(x + first, len, positions);
        for (std::size_t i = 0; i < count; ++i) {
            const std::size_t j = first + positions[i];
            const Expm1Terms e = memo(scale(x[j]));
            sum[j] += e.value;
            sum_sq[j] += e.square;
        }
        looked_up += count;
    }
    return looked_up;
}

// One chunk of rows, or the rest of one: per column, in row order, sum += e
// and sum_sq += square, from the running sums in `out`.
template <class T, class Scale, class Memo>
ColumnSums hvg_rows(ColumnSums out, std::span<const T> rows, std::size_t n_cols, Scale scale,
                    Memo memo) {
    const bool skip_zeros = zeros_contribute_nothing(scale.c);
    std::uint32_t positions[NONZERO_BLOCK + NONZERO_SLACK];
    const std::size_t n_rows = rows.size() / n_cols;
    for (std::size_t r = 0; r < n_rows; ++r) {
        memo_row(rows.data() + r * n_cols, n_cols, scale, memo, skip_zeros, positions,
                 out.sum.data(), out.sum_sq.data());
    }
    return out;
}

template <class T, class Scale, class MakeMemo>
ColumnSums dense_hvg_sums(std::span<const T> matrix, std::size_t n_cols, Scale scale,
                          MakeMemo make_memo) {
    return dense_chunked_sums(matrix, n_cols, [&](std::span<const T> rows) {
        return hvg_rows(ColumnSums::zeros(n_cols), rows, n_cols, scale, make_memo());
    });
}

template <class T, class Scale, class Memo>
auto expm1_term(std::span<const T> data, Scale scale, Memo memo) {
    return [data, scale, memo](std::size_t p) mutable {
        const Expm1Terms e = memo(scale(data[p]));
        return std::pair{e.value, e.square};
    };
}

template <class T, class Scale, class MakeMemo>
ColumnSums sparse_hvg_sums(std::span<const std::int64_t> indices, std::span<const T> data,
                           std::size_t n_cols, Scale scale, MakeMemo make_memo) {
    return sparse_chunked_sums(indices, data.size(), n_cols,
                               [&] { return expm1_term(data, scale, make_memo()); });
}

// The vector expm1 (expm1f for float32), where expm1_path() or
// expm1f_path() allows it. Values go through small buffers: scaled,
// transformed many at a time, then added to their columns one by one in
// exactly the order of the scalar code, so the sums keep every bit.
constexpr std::size_t VECTOR_BLOCK = 512;

// buffer[i] = scale(x[i]), as ScaleF64 and ScaleF32 do it.
template <class T>
BRENIX_INLINE void scale_into_body(T* __restrict buffer, const T* __restrict x, std::size_t n,
                                   double c) {
    for (std::size_t i = 0; i < n; ++i) {
        if constexpr (std::is_same_v<T, double>) {
            buffer[i] = x[i] * c;
        } else {
            buffer[i] = static_cast<float>(c * static_cast<double>(x[i]));
        }
    }
}

BRENIX_MULTIVERSION(void, scale_into_f32, (float* buffer, const float* x, std::size_t n, double c),
                    scale_into_body, (buffer, x, n, c))
BRENIX_MULTIVERSION(void, scale_into_f64,
                    (double* buffer, const double* x, std::size_t n, double c), scale_into_body,
                    (buffer, x, n, c))
void scale_into(float* b, const float* x, std::size_t n, double c) { scale_into_f32(b, x, n, c); }
void scale_into(double* b, const double* x, std::size_t n, double c) { scale_into_f64(b, x, n, c); }

// sum[j] += e[j], sum_sq[j] += e[j] * e[j] (rounded in float32 for float32),
// for one row's run of consecutive columns.
template <class T>
BRENIX_INLINE void add_run_body(double* __restrict sum, double* __restrict sum_sq,
                                const T* __restrict e, std::size_t n) {
    for (std::size_t j = 0; j < n; ++j) {
        sum[j] += static_cast<double>(e[j]);
        sum_sq[j] += static_cast<double>(e[j] * e[j]);
    }
}

BRENIX_MULTIVERSION(void, add_run_f32, (double* sum, double* sum_sq, const float* e, std::size_t n),
                    add_run_body, (sum, sum_sq, e, n))
BRENIX_MULTIVERSION(void, add_run_f64,
                    (double* sum, double* sum_sq, const double* e, std::size_t n), add_run_body,
                    (sum, sum_sq, e, n))
void add_run(double* sum, double* sum_sq, const float* e, std::size_t n) {
    add_run_f32(sum, sum_sq, e, n);
}
void add_run(double* sum, double* sum_sq, const double* e, std::size_t n) {
    add_run_f64(sum, sum_sq, e, n);
}

void expm1_values(const float* in, float* out, std::size_t n) { expm1f_vector(in, out, n); }
void expm1_values(const double* in, double* out, std::size_t n) { expm1_vector(in, out, n); }

// expm1 of scale(x[0..n)) into e, through `scaled` when there is a factor.
template <class T>
void transform(const T* x, std::size_t n, std::optional<double> c, T* scaled, T* e) {
    if (c) {
        scale_into(scaled, x, n, *c);
        x = scaled;
    }
    expm1_values(x, e, n);
}

// float64 values that repeat are cheaper through the memo than through the
// vector expm1, whose float64 lanes cost more than a memo hit (float32 lanes
// do not: float32 never uses the memo here). Each chunk looks its first
// PROBE_VALUES values up in the memo and keeps it for the rest when at most
// one lookup in MEMO_MISS_RATIO called the library: log-normalised counts
// miss about one in twenty-five, continuous values nearly always. Either way
// the results are the library's bits; only the speed differs.
constexpr std::size_t PROBE_VALUES = 4096;
constexpr std::size_t MEMO_MISS_RATIO = 10;

bool memo_pays(const Expm1Memo<double>& memo, std::size_t looked_up) {
    return memo.misses() * MEMO_MISS_RATIO <= looked_up;
}

// A run of a row is transformed whole, zeros included, when at least this
// share of it is nonzero: adding expm1(+-0) = +-0 changes no sum (see
// zeros_contribute_nothing), and a contiguous run needs no gathering.
constexpr std::size_t WHOLE_RUN_ABOVE = 4;  // nonzeros * 4 >= length

template <class T>
ColumnSums hvg_rows_vector(ColumnSums out, std::span<const T> rows, std::size_t n_cols,
                           std::optional<double> c) {
    double* __restrict sum = out.sum.data();
    double* __restrict sum_sq = out.sum_sq.data();
    const bool skip_zeros = zeros_contribute_nothing(c);
    std::uint32_t positions[NONZERO_BLOCK + NONZERO_SLACK];
    T gathered[VECTOR_BLOCK];
    T scaled[VECTOR_BLOCK];
    T e[VECTOR_BLOCK];
    const std::size_t n_rows = rows.size() / n_cols;
    std::size_t r = 0;
    if constexpr (std::is_same_v<T, double>) {
        Expm1Memo<double> memo;
        const ScaleF64 scale{c};
        std::size_t looked_up = 0;
        for (; r < n_rows && looked_up < PROBE_VALUES; ++r) {
            looked_up += memo_row(rows.data() + r * n_cols, n_cols, scale, memo, skip_zeros,
                                  positions, sum, sum_sq);
        }
        if (memo_pays(memo, looked_up)) {
            for (; r < n_rows; ++r) {
                memo_row(rows.data() + r * n_cols, n_cols, scale, memo, skip_zeros, positions, sum,
                         sum_sq);
            }
        }
    }
    for (; r < n_rows; ++r) {
        const T* x = rows.data() + r * n_cols;
        for (std::size_t first = 0; first < n_cols; first += NONZERO_BLOCK) {
            const std::size_t len = std::min(NONZERO_BLOCK, n_cols - first);
            const std::size_t count =
                skip_zeros ? nonzero_positions(x + first, len, positions) : len;
            if (count * WHOLE_RUN_ABOVE >= len) {
                for (std::size_t s = first; s < first + len; s += VECTOR_BLOCK) {
                    const std::size_t m = std::min(VECTOR_BLOCK, first + len - s);
                    transform(x + s, m, c, scaled, e);
                    add_run(sum + s, sum_sq + s, e, m);
                }
                continue;
            }
            for (std::size_t s = 0; s < count; s += VECTOR_BLOCK) {
                const std::size_t m = std::min(VECTOR_BLOCK, count - s);
                const std::uint32_t* pos = positions + s;
                for (std::size_t i = 0; i < m; ++i) gathered[i] = x[first + pos[i]];
                transform(gathered, m, c, scaled, e);
                for (std::size_t i = 0; i < m; ++i) {
                    const std::size_t j = first + pos[i];
                    sum[j] += static_cast<double>(e[i]);
                    sum_sq[j] += static_cast<double>(e[i] * e[i]);
                }
            }
        }
    }
    return out;
}

template <class T>
ColumnSums dense_hvg_sums_vector(std::span<const T> matrix, std::size_t n_cols,
                                 std::optional<double> c) {
    return dense_chunked_sums(matrix, n_cols, [&](std::span<const T> rows) {
        return hvg_rows_vector(ColumnSums::zeros(n_cols), rows, n_cols, c);
    });
}

// The stored entries of one chunk, as sparse_chunked_sums adds them, with the
// same failure at the first bad entry in storage order. SQUARE_F64: square
// the widened value (always so for float64).
template <class T, bool SQUARE_F64>
ColumnSums sparse_chunk_vector(ColumnSums out, std::span<const std::int64_t> indices,
                               std::span<const T> data, std::size_t n_cols, std::optional<double> c,
                               std::size_t begin, std::size_t end) {
    double* __restrict sum = out.sum.data();
    double* __restrict sum_sq = out.sum_sq.data();
    const std::size_t indexed_end = std::clamp(indices.size(), begin, end);
    const std::uint64_t* __restrict columns =
        reinterpret_cast<const std::uint64_t*>(indices.data());
    std::size_t p = begin;
    if constexpr (std::is_same_v<T, double>) {
        Expm1Memo<double> memo;
        const ScaleF64 scale{c};
        const auto through_memo = [&](std::size_t stop) {
            for (; p < stop; ++p) {
                const std::uint64_t j = columns[p];
                if (j >= n_cols) fail_index(n_cols, j);
                const Expm1Terms terms = memo(scale(data[p]));
                sum[j] += terms.value;
                sum_sq[j] += terms.square;
            }
        };
        through_memo(std::min(indexed_end, begin + PROBE_VALUES));
        if (memo_pays(memo, p - begin)) through_memo(indexed_end);
    }
    T scaled[VECTOR_BLOCK];
    T e[VECTOR_BLOCK];
    for (; p < indexed_end; p += VECTOR_BLOCK) {
        const std::size_t m = std::min(VECTOR_BLOCK, indexed_end - p);
        transform(data.data() + p, m, c, scaled, e);
        for (std::size_t i = 0; i < m; ++i) {
            const std::uint64_t j = columns[p + i];
            if (j >= n_cols) fail_index(n_cols, j);
            const double wide = e[i];
            sum[j] += wide;
            sum_sq[j] += SQUARE_F64 ? wide * wide : static_cast<double>(e[i] * e[i]);
        }
    }
    if (indexed_end < end) fail_index(indices.size(), indexed_end);
    return out;
}

template <class T>
ColumnSums sparse_hvg_sums_vector(std::span<const std::int64_t> indices, std::span<const T> data,
                                  std::size_t n_cols, std::optional<double> c, bool square_f64) {
    const std::size_t nnz = data.size();
    const std::size_t n_chunks = chunk_count(nnz, SPARSE_CHUNK_ENTRIES);
    ColumnSums total = ColumnSums::zeros(n_cols);
    ordered_chunk_fold(
        n_chunks,
        [&](std::size_t k) {
            const std::size_t begin = k * SPARSE_CHUNK_ENTRIES;
            const std::size_t end = std::min(begin + SPARSE_CHUNK_ENTRIES, nnz);
            ColumnSums zeros = ColumnSums::zeros(n_cols);
            return square_f64 ? sparse_chunk_vector<T, true>(std::move(zeros), indices, data,
                                                             n_cols, c, begin, end)
                              : sparse_chunk_vector<T, false>(std::move(zeros), indices, data,
                                                              n_cols, c, begin, end);
        },
        [&](const ColumnSums& part) { add_record(total, part); });
    return total;
}

std::optional<double> scale_factor(std::optional<double> log_base) {
    if (!log_base) return std::nullopt;
    return std::log(*log_base);
}

HvgStats finish(ColumnSums totals, std::size_t n_rows) {
    auto [mean, var] = column_mean_var(totals.sum.span(), totals.sum_sq.span(), n_rows);
    totals = ColumnSums{};
    return finish_hvg(mean.span(), var.span());
}

}  // namespace

ColumnSums hvg_sum_sq_f64(std::span<const double> matrix, std::size_t n_cols,
                          std::optional<double> c) {
    if (expm1_path() == Expm1Path::vector) return dense_hvg_sums_vector(matrix, n_cols, c);
    return dense_hvg_sums(matrix, n_cols, ScaleF64{c}, [] { return Expm1Memo<double>{}; });
}

ColumnSums hvg_sum_sq_f32(std::span<const float> matrix, std::size_t n_cols,
                          std::optional<double> c) {
    if (expm1f_path() != Expm1fPath::library) return dense_hvg_sums_vector(matrix, n_cols, c);
    return dense_hvg_sums(matrix, n_cols, ScaleF32{c}, [] { return Expm1Memo<float>{false}; });
}

ColumnSums sparse_expm1_sum_and_sq(std::span<const std::int64_t> indices,
                                   std::span<const double> data, std::size_t n_cols,
                                   std::optional<double> c) {
    if (expm1_path() == Expm1Path::vector) {
        return sparse_hvg_sums_vector(indices, data, n_cols, c, true);
    }
    return sparse_hvg_sums(indices, data, n_cols, ScaleF64{c}, [] { return Expm1Memo<double>{}; });
}

ColumnSums sparse_expm1_sum_and_sq_f32(std::span<const std::int64_t> indices,
                                       std::span<const float> data, std::size_t n_cols,
                                       std::optional<double> c, bool square_f64) {
    if (expm1f_path() != Expm1fPath::library) {
        return sparse_hvg_sums_vector(indices, data, n_cols, c, square_f64);
    }
    return sparse_hvg_sums(indices, data, n_cols, ScaleF32{c},
                           [square_f64] { return Expm1Memo<float>{square_f64}; });
}

HvgStats finish_hvg(std::span<const double> mean, std::span<const double> var) {
    const std::size_t n_cols = mean.size();
    HvgStats out{Buffer<double>::uninitialized(n_cols), Buffer<double>::uninitialized(n_cols)};
    for (std::size_t j = 0; j < n_cols; ++j) {
        double m = mean[j];
        if (m == 0.0) m = 1e-12;  // also for -0.0; NaN stays NaN
        const double d = var[j] / m;
        out.dispersions[j] = d == 0.0 ? std::numeric_limits<double>::quiet_NaN() : std::log(d);
        out.means[j] = std::log1p(m);
    }
    return out;
}

HvgStats hvg_seurat_stats_dense(std::span<const double> matrix, std::size_t n_rows,
                                std::size_t n_cols, std::optional<double> log_base) {
    return finish(hvg_sum_sq_f64(matrix, n_cols, scale_factor(log_base)), n_rows);
}

HvgStats hvg_seurat_stats_dense(std::span<const float> matrix, std::size_t n_rows,
                                std::size_t n_cols, std::optional<double> log_base) {
    return finish(hvg_sum_sq_f32(matrix, n_cols, scale_factor(log_base)), n_rows);
}

HvgStats hvg_seurat_stats_sparse(std::span<const std::int64_t> indices,
                                 std::span<const double> data, std::size_t n_rows,
                                 std::size_t n_cols, std::optional<double> log_base,
                                 bool /*square_f64: float64 squares are always float64*/) {
    return finish(sparse_expm1_sum_and_sq(indices, data, n_cols, scale_factor(log_base)), n_rows);
}

HvgStats hvg_seurat_stats_sparse(std::span<const std::int64_t> indices, std::span<const float> data,
                                 std::size_t n_rows, std::size_t n_cols,
                                 std::optional<double> log_base, bool square_f64) {
    return finish(
        sparse_expm1_sum_and_sq_f32(indices, data, n_cols, scale_factor(log_base), square_f64),
        n_rows);
}

// The continuations take the path the kernels take, so that a chunk cut by
// block boundaries costs what it costs whole; both paths give the same bits.
void continue_hvg_sums(ColumnSums& sums, std::span<const double> rows, std::size_t n_cols,
                       std::optional<double> log_base) {
    if (n_cols == 0) return;
    const std::optional<double> c = scale_factor(log_base);
    sums = expm1_path() == Expm1Path::vector
               ? hvg_rows_vector(std::move(sums), rows, n_cols, c)
               : hvg_rows(std::move(sums), rows, n_cols, ScaleF64{c}, Expm1Memo<double>{});
}

void continue_hvg_sums(ColumnSums& sums, std::span<const float> rows, std::size_t n_cols,
                       std::optional<double> log_base) {
    if (n_cols == 0) return;
    const std::optional<double> c = scale_factor(log_base);
    sums = expm1f_path() != Expm1fPath::library
               ? hvg_rows_vector(std::move(sums), rows, n_cols, c)
               : hvg_rows(std::move(sums), rows, n_cols, ScaleF32{c}, Expm1Memo<float>{false});
}

void continue_sparse_hvg_sums(ColumnSums& sums, std::span<const std::int64_t> indices,
                              std::span<const double> data, std::size_t n_cols,
                              std::optional<double> log_base, bool /*square_f64*/) {
    const std::optional<double> c = scale_factor(log_base);
    if (expm1_path() == Expm1Path::vector) {
        sums = sparse_chunk_vector<double, true>(std::move(sums), indices, data, n_cols, c, 0,
                                                 data.size());
        return;
    }
    auto term = expm1_term(data, ScaleF64{c}, Expm1Memo<double>{});
    accumulate_entries(sums, indices, 0, data.size(), n_cols, term);
}

void continue_sparse_hvg_sums(ColumnSums& sums, std::span<const std::int64_t> indices,
                              std::span<const float> data, std::size_t n_cols,
                              std::optional<double> log_base, bool square_f64) {
    const std::optional<double> c = scale_factor(log_base);
    if (expm1f_path() != Expm1fPath::library) {
        sums = square_f64 ? sparse_chunk_vector<float, true>(std::move(sums), indices, data, n_cols,
                                                             c, 0, data.size())
                          : sparse_chunk_vector<float, false>(std::move(sums), indices, data,
                                                              n_cols, c, 0, data.size());
        return;
    }
    auto term = expm1_term(data, ScaleF32{c}, Expm1Memo<float>{square_f64});
    accumulate_entries(sums, indices, 0, data.size(), n_cols, term);
}

}  // namespace brenix
