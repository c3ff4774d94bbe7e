#include <type_traits>

#include "core/isa.hpp"
#include "core/sparse_matrix.hpp"
#include "runtime/pool.hpp"

namespace brenix {

namespace {

// One unsigned comparison per index, without branches, so that the loop
// vectorises: an int64 index read as unsigned is below the bound only when it
// is not negative; an int32 one read as 32-bit unsigned likewise once the
// bound is at most 2^31, which no int32 index reaches anyway.
template <class I>
BRENIX_INLINE bool increasing_below_body(const I* __restrict idx, std::size_t n,
                                         std::uint64_t bound) {
    if (n == 0) return true;
    using U = std::make_unsigned_t<I>;
    const U limit = static_cast<U>(std::is_same_v<I, std::int32_t>
                                       ? std::min<std::uint64_t>(bound, std::uint64_t{1} << 31)
                                       : bound);
    unsigned bad = static_cast<U>(idx[0]) >= limit;
    for (std::size_t p = 1; p < n; ++p) {
        bad |= static_cast<unsigned>(static_cast<U>(idx[p]) >= limit) |
               static_cast<unsigned>(idx[p] <= idx[p - 1]);
    }
    return bad == 0;
}

}  // namespace

BRENIX_MULTIVERSION(bool, increasing_below,
                    (const std::int32_t* indices, std::size_t n, std::uint64_t bound),
                    increasing_below_body, (indices, n, bound))
BRENIX_MULTIVERSION(bool, increasing_below,
                    (const std::int64_t* indices, std::size_t n, std::uint64_t bound),
                    increasing_below_body, (indices, n, bound))

namespace {

template <class I>
void check_csr_rows(std::span<const std::int64_t> indptr, std::span<const I> indices,
                    std::size_t n_cols) {
    const std::size_t n_rows = indptr.empty() ? 0 : indptr.size() - 1;
    for_each_row_checked(
        n_rows, [&](std::size_t r, std::vector<std::size_t>& stamps, EntryProblem& problem) {
            return check_row(indices, static_cast<std::size_t>(indptr[r]),
                             static_cast<std::size_t>(indptr[r + 1]), n_cols, r, stamps, problem);
        });
}

}  // namespace

void check_csr(std::span<const std::int64_t> indptr, std::span<const std::int32_t> indices,
               std::size_t n_cols) {
    check_csr_rows(indptr, indices, n_cols);
}

void check_csr(std::span<const std::int64_t> indptr, std::span<const std::int64_t> indices,
               std::size_t n_cols) {
    check_csr_rows(indptr, indices, n_cols);
}

}  // namespace brenix
