#include "grouped/row_groups.hpp"

#include "runtime/failure.hpp"

namespace brenix {

RowGroups group_rows(const std::optional<std::span<const std::int64_t>>& given, std::size_t n_rows,
                     std::size_t n_groups) {
    RowGroups out;
    if (!given) {
        out.n_groups = 1;
        out.begin = {0, n_rows};
        out.rows.resize(n_rows);
        for (std::size_t r = 0; r < n_rows; ++r) out.rows[r] = r;
        return out;
    }
    // The codes are the caller's memory, which another thread may write while
    // a pass runs without the interpreter lock: each is read once, into a copy,
    // and checked there before it places a row.
    std::vector<std::size_t> codes(given->size());
    out.n_groups = n_groups;
    out.begin.assign(n_groups + 1, 0);
    for (std::size_t r = 0; r < codes.size(); ++r) {
        const std::int64_t code = (*given)[r];
        if (code < -1 || code >= static_cast<std::int64_t>(n_groups)) {
            fail_index(n_groups, static_cast<std::uint64_t>(code));
        }
        codes[r] = static_cast<std::size_t>(code + 1);
        ++out.begin[codes[r]];
    }
    // begin[k + 1] counted group k's rows; begin[0] those left out.
    out.begin[0] = 0;
    for (std::size_t k = 0; k < n_groups; ++k) out.begin[k + 1] += out.begin[k];
    out.rows.resize(out.begin[n_groups]);
    std::vector<std::size_t> next(out.begin.begin(), out.begin.end() - 1);
    for (std::size_t r = 0; r < codes.size(); ++r) {
        if (codes[r] > 0) out.rows[next[codes[r] - 1]++] = r;
    }
    return out;
}

RowGroups mask_rows(const std::optional<std::span<const bool>>& mask, std::size_t n_rows) {
    if (!mask) return group_rows(std::nullopt, n_rows, 1);
    RowGroups out;
    out.n_groups = 1;
    for (std::size_t r = 0; r < mask->size(); ++r) {
        if ((*mask)[r]) out.rows.push_back(r);
    }
    out.begin = {0, out.rows.size()};
    return out;
}

}  // namespace brenix
