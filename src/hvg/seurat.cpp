#include "hvg/seurat.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <type_traits>
#include <utility>

#include "core/isa.hpp"
#include "core/prefetch.hpp"
#include "core/sparse_sums.hpp"
#include "core/terms.hpp"
#include "hvg/expm1_memo.hpp"
#include "hvg/nonzero.hpp"
#include "math/expm1_vec.hpp"
#include "math/expm1f_vec.hpp"

namespace brenix {

namespace {

// The expm1 strategies: each fills e[0..n) with expm1 of the log-scaled x,
// n <= EXPM1_BATCH, with the C library's bits. The row and entry loops below
// take any of them, so the summation is written once whichever computes e.
constexpr std::size_t EXPM1_BATCH = 512;

// The library through a memo, one value at a time.
template <class T>
class MemoExpm1 {
public:
    explicit MemoExpm1(std::optional<double> c) : c_(c) {}

    void operator()(const T* x, T* e, std::size_t n) {
        if (c_) {
            for (std::size_t i = 0; i < n; ++i) e[i] = memo_(log_scaled(x[i], *c_));
        } else {
            for (std::size_t i = 0; i < n; ++i) e[i] = memo_(x[i]);
        }
        looked_up_ += n;
    }

    // Whether at most one lookup in MISS_RATIO called the library.
    bool pays() const { return memo_.misses() * MISS_RATIO <= looked_up_; }
    std::size_t looked_up() const { return looked_up_; }

private:
    static constexpr std::size_t MISS_RATIO = 10;
    std::optional<double> c_;
    Expm1Memo<T> memo_;
    std::size_t looked_up_ = 0;
};

// log_scaled(x[i], c) for i < n, compiled per instruction set.
template <class T>
BRENIX_INLINE void scale_into_body(T* __restrict out, const T* __restrict x, std::size_t n,
                                   double c) {
    for (std::size_t i = 0; i < n; ++i) out[i] = log_scaled(x[i], c);
}

}  // namespace

BRENIX_MULTIVERSION(void, scale_into, (float* out, const float* x, std::size_t n, double c),
                    scale_into_body, (out, x, n, c))
BRENIX_MULTIVERSION(void, scale_into, (double* out, const double* x, std::size_t n, double c),
                    scale_into_body, (out, x, n, c))

namespace {

void expm1_values(const float* in, float* out, std::size_t n) { expm1f_vector(in, out, n); }
void expm1_values(const double* in, double* out, std::size_t n) { expm1_vector(in, out, n); }

// The vector expm1 (expm1f for float32), where expm1_path() or expm1f_path()
// allows it: many values at a time, the same bits as the library.
template <class T>
class VectorExpm1 {
public:
    explicit VectorExpm1(std::optional<double> c) : c_(c) {}

    void operator()(const T* x, T* e, std::size_t n) {
        if (c_) {
            scale_into(scaled_, x, n, *c_);
            x = scaled_;
        }
        expm1_values(x, e, n);
    }

private:
    std::optional<double> c_;
    T scaled_[EXPM1_BATCH];
};

// float64 values that repeat are cheaper through the memo than through the
// vector expm1, whose float64 lanes cost more than a memo hit (float32 lanes
// do not, so float32 never probes). Each task looks its first PROBE_VALUES
// values up in the memo and keeps it for the rest when it pays:
// log-normalised counts miss about one in twenty-five, continuous values
// nearly always. Either way the results are the library's bits.
class ProbingExpm1 {
public:
    explicit ProbingExpm1(std::optional<double> c) : memo_(c), vector_(c) {}

    void operator()(const double* x, double* e, std::size_t n) {
        if (use_vector_) return vector_(x, e, n);
        memo_(x, e, n);
        if (probing_ && memo_.looked_up() >= PROBE_VALUES) {
            probing_ = false;
            use_vector_ = !memo_.pays();
        }
    }

private:
    static constexpr std::size_t PROBE_VALUES = 4096;
    MemoExpm1<double> memo_;
    VectorExpm1<double> vector_;
    bool probing_ = true;
    bool use_vector_ = false;
};

// Calls f with a fresh strategy for T: the vector one where the process
// allows it, else the library through the memo.
template <class T, class F>
decltype(auto) with_expm1(std::optional<double> c, F&& f) {
    if constexpr (std::is_same_v<T, double>) {
        if (expm1_path() == Expm1Path::vector) {
            ProbingExpm1 strategy(c);
            return f(strategy);
        }
    } else {
        if (expm1f_path() != Expm1fPath::library) {
            VectorExpm1<float> strategy(c);
            return f(strategy);
        }
    }
    MemoExpm1<T> strategy(c);
    return f(strategy);
}

// A zero value contributes nothing when c is absent or finite: t = ±0,
// expm1(±0) = ±0, and adding ±0 (or its square +0) to a sum that started at
// +0 never changes it. Skipping zeros keeps every bit while sparing most of
// the work on real data. An infinite or NaN c turns 0 into NaN, so then every
// value counts.
bool zeros_contribute_nothing(std::optional<double> c) { return !c || std::isfinite(*c); }

// A run of a row is transformed whole, zeros included, when at least this
// share of it is nonzero: a contiguous run needs no gathering, and its zeros
// add nothing (see zeros_contribute_nothing).
constexpr std::size_t WHOLE_RUN_ABOVE = 4;  // nonzeros * 4 >= length

// After a run found mostly nonzero, the next runs are taken whole without
// looking for zeros, until this many runs have gone by: dense data pay for
// the scan once in so many runs, and data that turn sparse are noticed soon.
// Whole or gathered, a run adds the same bits.
constexpr std::size_t RESCAN_EVERY = 16;

// Rows taken whole stream from memory while each value takes a long vector
// computation, and the processor's own prefetching then falls behind. So each
// batch asks for the values this far ahead of it: on float32 values that
// rarely repeat, 20,000 x 2,000 on two threads, that took a third off the time
// (22 to 15 ms).
constexpr std::size_t PREFETCH_BYTES = 4096;

// The dense row loop over the columns of `block`: per column, in row order,
// sum += e and sum_sq += e * e (terms.hpp), from the running sums in `out`
// (block.width of them). Each row goes in runs of up to
// NONZERO_RUN columns; a run that is mostly zeros has its nonzero values
// gathered, transformed and scattered back. (Passing a chunk's rows over
// blocks of columns, to keep a wide matrix's running sums in cache, measured
// slower on 47,000 genes: they stay in a 1 MiB L2 cache as they are.)
template <class T, class Expm1>
void hvg_rows(ColumnSums& out, std::span<const T> rows, std::size_t n_cols, ColumnBlock block,
              bool skip_zeros, Expm1& expm1) {
    double* __restrict sum = out.sum.data();
    double* __restrict sum_sq = out.sum_sq.data();
    std::uint32_t positions[NONZERO_RUN + NONZERO_SLACK];
    T gathered[EXPM1_BATCH];
    T e[EXPM1_BATCH];
    const std::size_t n_rows = rows.size() / n_cols;
    const std::size_t width = block.width;
    std::size_t unscanned = 0;  // runs still to take whole without a scan
    for (std::size_t r = 0; r < n_rows; ++r) {
        const T* x = rows.data() + r * n_cols + block.first;
        for (std::size_t first = 0; first < width; first += NONZERO_RUN) {
            const std::size_t len = std::min(NONZERO_RUN, width - first);
            std::size_t count = len;
            if (skip_zeros && unscanned > 0) {
                --unscanned;
            } else if (skip_zeros) {
                count = nonzero_positions(x + first, len, positions);
                if (count * WHOLE_RUN_ABOVE >= len) unscanned = RESCAN_EVERY - 1;
            }
            if (count * WHOLE_RUN_ABOVE >= len) {
                for (std::size_t s = first; s < first + len; s += EXPM1_BATCH) {
                    const std::size_t m = std::min(EXPM1_BATCH, first + len - s);
                    const std::size_t ahead =
                        r * n_cols + block.first + s + PREFETCH_BYTES / sizeof(T);
                    if (ahead < rows.size()) {
                        prefetch_run(rows.data() + ahead,
                                     std::min(m, rows.size() - ahead) * sizeof(T));
                    }
                    expm1(x + s, e, m);
                    add_rows(sum + s, sum_sq + s, e, 1, m, m);
                }
                continue;
            }
            for (std::size_t s = 0; s < count; s += EXPM1_BATCH) {
                const std::size_t m = std::min(EXPM1_BATCH, count - s);
                const std::uint32_t* pos = positions + s;
                for (std::size_t i = 0; i < m; ++i) gathered[i] = x[first + pos[i]];
                expm1(gathered, e, m);
                for (std::size_t i = 0; i < m; ++i) {
                    const std::size_t j = first + pos[i];
                    add_term(sum[j], sum_sq[j], e[i]);
                }
            }
        }
    }
}

// The sparse entry loop: the entries [begin, end) in storage order into the
// running sums in `out`, under the error contract of for_each_entry.
template <Square S, class I, class T, class Expm1>
void hvg_entries(ColumnSums& out, std::span<const I> indices, std::span<const T> data,
                 std::size_t n_cols, Expm1& expm1, std::size_t begin, std::size_t end) {
    double* __restrict sum = out.sum.data();
    double* __restrict sum_sq = out.sum_sq.data();
    T e[EXPM1_BATCH];
    for (std::size_t p = begin; p < end; p += EXPM1_BATCH) {
        const std::size_t m = std::min(EXPM1_BATCH, end - p);
        expm1(data.data() + p, e, m);
        for_each_entry(indices, p, p + m, n_cols, [&](std::size_t q, std::size_t j) {
            add_term<S>(sum[j], sum_sq[j], e[q - p]);
        });
    }
}

template <class T>
void continue_dense(ColumnSums& sums, std::span<const T> rows, std::size_t n_cols,
                    ColumnBlock block, std::optional<double> c) {
    if (block.width == 0) return;
    with_expm1<T>(c, [&](auto& expm1) {
        hvg_rows(sums, rows, n_cols, block, zeros_contribute_nothing(c), expm1);
    });
}

// The entry loop over runs of entries in turn, with one expm1 strategy for
// all of them: one run for a chunk of the flat entries, several for a chunk
// of a row subset.
template <class I, class T>
void continue_sparse(ColumnSums& sums, std::span<const I> indices, std::span<const T> data,
                     std::size_t n_cols, std::optional<double> c, bool square_f64,
                     std::span<const EntryRange> ranges) {
    with_expm1<T>(c, [&](auto& expm1) {
        for (const EntryRange& r : ranges) {
            if (square_f64) {
                hvg_entries<Square::widened>(sums, indices, data, n_cols, expm1, r.begin, r.end);
            } else {
                hvg_entries<Square::in_type>(sums, indices, data, n_cols, expm1, r.begin, r.end);
            }
        }
    });
}

template <class I, class T>
void continue_sparse(ColumnSums& sums, std::span<const I> indices, std::span<const T> data,
                     std::size_t n_cols, std::optional<double> c, bool square_f64,
                     std::size_t begin, std::size_t end) {
    const EntryRange range{begin, end};
    continue_sparse(sums, indices, data, n_cols, c, square_f64, std::span(&range, 1));
}

template <class T>
ColumnSums dense_sums(std::span<const T> matrix, std::size_t n_cols, std::optional<double> c) {
    return dense_chunked_sums(matrix, n_cols, [&](std::span<const T> rows, ColumnBlock block) {
        ColumnSums out = ColumnSums::zeros(block.width);
        continue_dense(out, rows, n_cols, block, c);
        return out;
    });
}

template <class T>
ColumnSums sparse_sums(std::span<const std::int64_t> indices, std::span<const T> data,
                       std::size_t n_cols, std::optional<double> c, bool square_f64) {
    return sparse_chunked_sums(
        data.size(), n_cols, [&](ColumnSums& out, std::size_t begin, std::size_t end) {
            continue_sparse(out, indices, data, n_cols, c, square_f64, begin, end);
        });
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

ColumnSums hvg_sums(std::span<const double> matrix, std::size_t n_cols, std::optional<double> c) {
    return dense_sums(matrix, n_cols, c);
}

ColumnSums hvg_sums(std::span<const float> matrix, std::size_t n_cols, std::optional<double> c) {
    return dense_sums(matrix, n_cols, c);
}

// float64 values always square in float64, so square_f64 changes nothing.
ColumnSums sparse_hvg_sums(std::span<const std::int64_t> indices, std::span<const double> data,
                           std::size_t n_cols, std::optional<double> c, bool /*square_f64*/) {
    return sparse_sums(indices, data, n_cols, c, false);
}

ColumnSums sparse_hvg_sums(std::span<const std::int64_t> indices, std::span<const float> data,
                           std::size_t n_cols, std::optional<double> c, bool square_f64) {
    return sparse_sums(indices, data, n_cols, c, square_f64);
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
    return finish(hvg_sums(matrix, n_cols, scale_factor(log_base)), n_rows);
}

HvgStats hvg_seurat_stats_dense(std::span<const float> matrix, std::size_t n_rows,
                                std::size_t n_cols, std::optional<double> log_base) {
    return finish(hvg_sums(matrix, n_cols, scale_factor(log_base)), n_rows);
}

HvgStats hvg_seurat_stats_sparse(std::span<const std::int64_t> indices,
                                 std::span<const double> data, std::size_t n_rows,
                                 std::size_t n_cols, std::optional<double> log_base,
                                 bool square_f64) {
    return finish(sparse_hvg_sums(indices, data, n_cols, scale_factor(log_base), square_f64),
                  n_rows);
}

HvgStats hvg_seurat_stats_sparse(std::span<const std::int64_t> indices, std::span<const float> data,
                                 std::size_t n_rows, std::size_t n_cols,
                                 std::optional<double> log_base, bool square_f64) {
    return finish(sparse_hvg_sums(indices, data, n_cols, scale_factor(log_base), square_f64),
                  n_rows);
}

// The continuations take the strategy the kernels take, so that a chunk cut
// by block boundaries costs what it costs whole; every strategy gives the
// same bits.
void continue_hvg_sums(ColumnSums& sums, std::span<const double> rows, std::size_t n_cols,
                       std::optional<double> log_base) {
    continue_dense(sums, rows, n_cols, ColumnBlock{0, n_cols}, scale_factor(log_base));
}

void continue_hvg_sums(ColumnSums& sums, std::span<const float> rows, std::size_t n_cols,
                       std::optional<double> log_base) {
    continue_dense(sums, rows, n_cols, ColumnBlock{0, n_cols}, scale_factor(log_base));
}

void continue_sparse_hvg_sums(ColumnSums& sums, std::span<const std::int64_t> indices,
                              std::span<const double> data, std::size_t n_cols,
                              std::optional<double> log_base, bool /*square_f64*/,
                              std::size_t begin, std::size_t end) {
    continue_sparse(sums, indices, data, n_cols, scale_factor(log_base), false, begin, end);
}

void continue_sparse_hvg_sums(ColumnSums& sums, std::span<const std::int64_t> indices,
                              std::span<const float> data, std::size_t n_cols,
                              std::optional<double> log_base, bool square_f64, std::size_t begin,
                              std::size_t end) {
    continue_sparse(sums, indices, data, n_cols, scale_factor(log_base), square_f64, begin, end);
}

template <class I, class T>
void continue_sparse_hvg_sums(ColumnSums& sums, std::span<const I> indices, std::span<const T> data,
                              std::size_t n_cols, std::optional<double> log_base, bool square_f64,
                              std::span<const EntryRange> ranges) {
    // float64 values always square in float64 (see sparse_hvg_sums).
    continue_sparse(sums, indices, data, n_cols, scale_factor(log_base),
                    std::is_same_v<T, float> && square_f64, ranges);
}

template <class T>
void expm1_of_log_scaled(std::span<const T> x, std::span<T> e, std::optional<double> log_base) {
    with_expm1<T>(scale_factor(log_base), [&](auto& expm1) {
        for (std::size_t p = 0; p < x.size(); p += EXPM1_BATCH) {
            expm1(x.data() + p, e.data() + p, std::min(EXPM1_BATCH, x.size() - p));
        }
    });
}

#define BRENIX_INSTANTIATE(I, T)                                                                \
    template void continue_sparse_hvg_sums(ColumnSums&, std::span<const I>, std::span<const T>, \
                                           std::size_t, std::optional<double>, bool,            \
                                           std::span<const EntryRange>);
BRENIX_INSTANTIATE(std::int32_t, float)
BRENIX_INSTANTIATE(std::int32_t, double)
BRENIX_INSTANTIATE(std::int64_t, float)
BRENIX_INSTANTIATE(std::int64_t, double)
#undef BRENIX_INSTANTIATE
template void expm1_of_log_scaled(std::span<const float>, std::span<float>, std::optional<double>);
template void expm1_of_log_scaled(std::span<const double>, std::span<double>,
                                  std::optional<double>);

}  // namespace brenix
