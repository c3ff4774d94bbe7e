#include "blocks/partials.hpp"

#include <algorithm>
#include <type_traits>
#include <utility>

#include "core/sparse_sums.hpp"
#include "hvg/seurat.hpp"
#include "runtime/pool.hpp"

namespace brenix {

namespace {

// cont(sums, begin, end) continues `sums` over the block's items [begin, end).
template <class Continue>
BlockPartial block_partial(std::size_t first, std::size_t len, std::size_t chunk,
                           std::size_t n_cols, Continue&& cont) {
    BlockPartial out;
    const std::size_t into_chunk = first % chunk;
    if (into_chunk != 0) {
        out.head = std::min(chunk - into_chunk, len);
        out.head_closes = out.head < len || (first + len) % chunk == 0;
    }
    const std::size_t n_whole = (len - out.head) / chunk;
    const bool open_tail = out.head + n_whole * chunk < len;
    // The tail is summed with the whole chunks, as one more (shorter) item.
    // Their sums are kept, in order, until the fold reaches this block.
    ordered_chunk_fold(
        n_whole + open_tail,
        [&](std::size_t k) {
            ColumnSums sums = ColumnSums::zeros(n_cols);
            const std::size_t begin = out.head + k * chunk;
            cont(sums, begin, std::min(begin + chunk, len));
            return sums;
        },
        [&](ColumnSums& sums) { out.whole_chunks.push_back(std::move(sums)); });
    if (open_tail) {
        out.tail = std::move(out.whole_chunks.back());
        out.whole_chunks.pop_back();
    }
    return out;
}

}  // namespace

template <class T>
void continue_rows(ColumnSums& sums, std::span<const T> rows, std::size_t n_cols,
                   const SumsKind& kind, std::size_t group) {
    if (kind.deviations) {
        continue_deviation_rows(sums, rows, n_cols, kind.deviations->of(group));
    } else if (kind.expm1) {
        continue_hvg_sums(sums, rows, n_cols, kind.log_base);
    } else if constexpr (std::is_same_v<T, float>) {
        continue_column_sums(sums, rows, n_cols,
                             kind.square_f64 ? Square::widened : Square::in_type);
    } else {
        continue_column_sums(sums, rows, n_cols);
    }
}

template <class I, class T>
void continue_entries(ColumnSums& sums, std::span<const I> indices, std::span<const T> data,
                      std::size_t n_cols, const SumsKind& kind, std::size_t begin, std::size_t end,
                      std::size_t group) {
    // The loops that sum a grouped pass's runs of entries, here over one run:
    // they take either index width.
    const EntryRange run{begin, end};
    const std::span<const EntryRange> runs(&run, 1);
    if (kind.deviations) {
        continue_deviation_entries(sums, indices, data, n_cols, kind.deviations->of(group), runs);
    } else if (kind.expm1) {
        continue_sparse_hvg_sums(sums, indices, data, n_cols, kind.log_base, kind.square_f64, runs);
    } else {
        continue_sparse_column_sums(sums, indices, data, n_cols, kind.square_f64, runs);
    }
}

template <class T>
BlockPartial dense_partial(std::span<const T> block, std::size_t n_cols, std::size_t first_row,
                           const SumsKind& kind) {
    // The kernels refuse a matrix without columns through its zero chunk
    // length; so does every block of one.
    chunk_count(block.size(), rows_chunk_len(MOMENT_CHUNK_ROWS, n_cols));
    const std::size_t n_rows = block.size() / n_cols;
    return block_partial(first_row, n_rows, MOMENT_CHUNK_ROWS, n_cols,
                         [&](ColumnSums& sums, std::size_t begin, std::size_t end) {
                             continue_rows(sums,
                                           block.subspan(begin * n_cols, (end - begin) * n_cols),
                                           n_cols, kind);
                         });
}

template <class I, class T>
BlockPartial sparse_partial(std::span<const I> indices, std::span<const T> data, std::size_t n_cols,
                            std::size_t first_entry, const SumsKind& kind) {
    return block_partial(first_entry, data.size(), SPARSE_CHUNK_ENTRIES, n_cols,
                         [&](ColumnSums& sums, std::size_t begin, std::size_t end) {
                             continue_entries(sums, indices, data, n_cols, kind, begin, end);
                         });
}

void fold_chunk_sums(ColumnSums& total, std::span<const double> flat, std::size_t n_cols) {
    const FlatSums layout{n_cols};
    for (std::size_t k = 0; n_cols > 0 && (k + 1) * layout.run() <= flat.size(); ++k) {
        add_chunk_sums(total, layout.read(flat, k));
    }
}

template BlockPartial dense_partial(std::span<const double>, std::size_t, std::size_t,
                                    const SumsKind&);
template BlockPartial dense_partial(std::span<const float>, std::size_t, std::size_t,
                                    const SumsKind&);
template void continue_rows(ColumnSums&, std::span<const double>, std::size_t, const SumsKind&,
                            std::size_t);
template void continue_rows(ColumnSums&, std::span<const float>, std::size_t, const SumsKind&,
                            std::size_t);

#define BRENIX_INSTANTIATE(I, T)                                                              \
    template BlockPartial sparse_partial(std::span<const I>, std::span<const T>, std::size_t, \
                                         std::size_t, const SumsKind&);                       \
    template void continue_entries(ColumnSums&, std::span<const I>, std::span<const T>,       \
                                   std::size_t, const SumsKind&, std::size_t, std::size_t,    \
                                   std::size_t);
BRENIX_INSTANTIATE(std::int32_t, float)
BRENIX_INSTANTIATE(std::int32_t, double)
BRENIX_INSTANTIATE(std::int64_t, float)
BRENIX_INSTANTIATE(std::int64_t, double)
#undef BRENIX_INSTANTIATE

}  // namespace brenix
