// The two rules every column sum of this package follows, each written once:
// what a value adds to its column, and how stored entries are walked and
// checked. Dense and sparse sums, plain and Seurat, and the row-block
// continuations all go through these, so they cannot drift apart. The walk
// (for_each_entry, checked_index) is also the one place any pass takes an
// address from the caller's indices: see the rule in python/records.hpp.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <type_traits>

#include "core/isa.hpp"
#include "runtime/failure.hpp"

namespace brenix {

// How a float32 value is squared: in float32, the product then widened (the
// documented rule), or after widening (`square_f64`, `promote`). float64
// values always square in float64.
enum class Square { in_type, widened };

// sum += e and sum_sq += e * e, both in float64. For float32 the square is
// rounded in float32 before it is widened: that rounding is part of the
// results, so `static_cast<double>(e) * e` would be a different function.
template <Square S = Square::in_type, class T>
BRENIX_INLINE void add_term(double& sum, double& sum_sq, T e) {
    const double wide = e;
    sum += wide;
    if constexpr (S == Square::widened || std::is_same_v<T, double>) {
        sum_sq += wide * wide;
    } else {
        sum_sq += static_cast<double>(e * e);
    }
}

// A stored value brought to natural-log scale before expm1: x * c, or x when
// no log base was given. float32 values are scaled in float64 and rounded back.
template <class T>
BRENIX_INLINE T log_scaled(T x, double c) {
    if constexpr (std::is_same_v<T, double>) {
        return x * c;
    } else {
        return static_cast<float>(c * static_cast<double>(x));
    }
}

// The one place a pass takes an address from the caller's entries. The arrays
// are read without the interpreter lock, and another Python thread may write
// them meanwhile; a check made in an earlier pass says nothing of the value
// read now. So the index of entry p is loaded once, compared with `bound`, and
// only that loaded value is used: a value that fails raises the
// index-out-of-bounds message, as the first pass would have for it. The empty
// asm makes the loaded value opaque, so the compiler cannot read the memory
// again in place of the value it checked (it may, for a plain load, where
// the code would be the same for a single thread).
template <class I>
BRENIX_INLINE std::uint64_t load_index(const I* indices, std::size_t p) {
    auto value = static_cast<std::int64_t>(indices[p]);
    __asm__("" : "+r"(value));
    return static_cast<std::uint64_t>(value);
}
template <class I>
BRENIX_INLINE std::size_t checked_index(const I* indices, std::size_t p, std::size_t bound) {
    const std::uint64_t j = load_index(indices, p);
    if (j >= bound) fail_index(bound, j);
    return static_cast<std::size_t>(j);
}

// The error contract of every pass over stored entries: visit(p, j) for the
// entries p in [begin, end), in storage order, where j = indices[p] is read as
// unsigned (so a negative index is huge) and checked below n_cols. The first
// bad entry fails with the index-out-of-bounds message: a column not below
// n_cols, or a position that has no index (indices shorter than data). Since
// the pool reports the lowest failing chunk, that is the first bad entry of
// the whole matrix whatever the thread count. Indices are int64 or int32
// (SciPy's default width); an int32 index is sign-extended first, so a
// negative one is as huge as its int64 value.
template <class I, class Visit>
BRENIX_INLINE void for_each_entry(std::span<const I> indices, std::size_t begin, std::size_t end,
                                  std::size_t n_cols, Visit&& visit) {
    static_assert(std::is_same_v<I, std::int64_t> || std::is_same_v<I, std::int32_t>);
    const std::size_t indexed_end = std::clamp(indices.size(), begin, end);
    const I* __restrict columns = indices.data();
    for (std::size_t p = begin; p < indexed_end; ++p) {
        visit(p, checked_index(columns, p, n_cols));
    }
    if (indexed_end < end) fail_index(indices.size(), indexed_end);
}

// A run [begin, end) of stored entries, in storage order. Passes that follow
// rows (a CSR matrix's row subsets) sum several runs as one chunk.
struct EntryRange {
    std::size_t begin;
    std::size_t end;
};

}  // namespace brenix
