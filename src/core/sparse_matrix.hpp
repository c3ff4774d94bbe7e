// A SciPy compressed matrix as it is stored, and the checks of its stored
// entries that every path shares (in memory, Dask blocks, files): the first
// bad entry in storage order, an index out of range or an entry stored twice.
// No Python here: the boundary and the block-wise passes include it alike.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <span>
#include <string>
#include <vector>

#include "core/isa.hpp"
#include "runtime/failure.hpp"
#include "runtime/pool.hpp"

namespace brenix {

enum class Layout { csr, csc };

// A SciPy compressed matrix as it is stored. indptr has one entry more than
// the matrix has rows (csr) or columns (csc), starts at 0, never decreases and
// ends at data.size() (the boundary checks it). indices may be shorter than
// data, which fails as in the flat kernels.
template <class I, class T>
struct SparseMatrix {
    Layout layout;
    std::span<const std::int64_t> indptr;
    std::span<const I> indices;
    std::span<const T> data;
    std::size_t n_rows;
    std::size_t n_cols;
};

// The same (row, column) stored twice. SciPy adds such values when it
// converts the matrix; the flat kernels would transform them one by one.
class DuplicateEntry : public std::exception {
public:
    DuplicateEntry(std::size_t row, std::size_t col)
        : message_("the matrix has duplicate entries (row " + std::to_string(row) + ", column " +
                   std::to_string(col) +
                   "); call sum_duplicates() on it first: SciPy adds the values of duplicates, "
                   "and expm1 of a sum is not the sum of the expm1s"),
          row_(row),
          col_(col) {}
    const char* what() const noexcept override { return message_.c_str(); }
    std::size_t row() const { return row_; }
    std::size_t col() const { return col_; }

private:
    std::string message_;
    std::size_t row_;
    std::size_t col_;
};

// The first bad entry a task met, by its storage position. Tasks over row
// subsets do not run in storage order, so each notes its first and the pass
// raises the one that comes first in storage.
struct EntryProblem {
    std::size_t position = SIZE_MAX;
    bool duplicate = false;
    std::uint64_t len = 0;  // index out of range: the message's two numbers
    std::uint64_t index = 0;
    std::size_t row = 0;  // duplicate
    std::size_t col = 0;

    void out_of_range(std::size_t p, std::uint64_t len_, std::uint64_t index_) {
        *this = {p, false, len_, index_, 0, 0};
    }
    void twice(std::size_t p, std::size_t row_, std::size_t col_) {
        *this = {p, true, 0, 0, row_, col_};
    }
};

inline void raise_first(std::span<const EntryProblem> problems) {
    const EntryProblem* first = nullptr;
    for (const EntryProblem& p : problems) {
        if (p.position != SIZE_MAX && (first == nullptr || p.position < first->position)) {
            first = &p;
        }
    }
    if (first == nullptr) return;
    if (first->duplicate) throw DuplicateEntry(first->row, first->col);
    fail_index(first->len, first->index);
}

template <class I>
BRENIX_INLINE std::uint64_t as_index(I i) {
    return static_cast<std::uint64_t>(static_cast<std::int64_t>(i));
}

// Whether n indices are all below `bound` and strictly increasing: then they
// are valid and none is there twice. Compiled per instruction set; the test
// of a row or column before anything is summed from it.
bool increasing_below(const std::int32_t* indices, std::size_t n, std::uint64_t bound);
bool increasing_below(const std::int64_t* indices, std::size_t n, std::uint64_t bound);

// The same for the entries [begin, end), which must all have an index.
template <class I>
bool increasing_below(std::span<const I> indices, std::size_t begin, std::size_t end,
                      std::uint64_t bound) {
    if (end > indices.size()) return false;
    return increasing_below(indices.data() + begin, end - begin, bound);
}

// Checks CSR row `row`, its entries [begin, end): every column below n_cols
// and given, none twice. The first problem in storage order is noted.
// `stamps` (n_cols, zeros at first) is the task's own and marks the columns
// seen per row.
template <class I>
bool check_row(std::span<const I> indices, std::size_t begin, std::size_t end, std::size_t n_cols,
               std::size_t row, std::vector<std::size_t>& stamps, EntryProblem& problem) {
    if (increasing_below(indices, begin, end, n_cols)) return true;
    if (stamps.empty()) stamps.assign(n_cols, 0);
    const std::size_t indexed = std::clamp(indices.size(), begin, end);
    for (std::size_t p = begin; p < indexed; ++p) {
        const std::uint64_t j = as_index(indices[p]);
        if (j >= n_cols) {
            problem.out_of_range(p, n_cols, j);
            return false;
        }
        if (stamps[j] == row + 1) {
            problem.twice(p, row, j);
            return false;
        }
        stamps[j] = row + 1;
    }
    if (indexed < end) {
        problem.out_of_range(indexed, indices.size(), indexed);
        return false;
    }
    return true;
}

// Only the range of the entries [begin, end) (a row's part whose whole row
// another task checks).
template <class I>
bool check_columns(std::span<const I> indices, std::size_t begin, std::size_t end,
                   std::size_t n_cols, EntryProblem& problem) {
    const std::size_t indexed = std::clamp(indices.size(), begin, end);
    for (std::size_t p = begin; p < indexed; ++p) {
        if (as_index(indices[p]) >= n_cols) {
            problem.out_of_range(p, n_cols, as_index(indices[p]));
            return false;
        }
    }
    if (indexed < end) {
        problem.out_of_range(indexed, indices.size(), indexed);
        return false;
    }
    return true;
}

// row(r, stamps, problem) for every row r in [0, n_rows), in tasks of
// CHECK_ROWS_PER_TASK rows on the pool, each task with stamps of its own (for
// check_row); a task stops at the first row that returns false, having noted
// its problem, and the first problem in storage order of all tasks is raised.
inline constexpr std::size_t CHECK_ROWS_PER_TASK = 4096;
template <class Row>
void for_each_row_checked(std::size_t n_rows, Row&& row) {
    std::vector<EntryProblem> problems(chunk_count(n_rows, CHECK_ROWS_PER_TASK));
    for_each_block(problems.size(), [&](std::size_t b) {
        std::vector<std::size_t> stamps;
        const std::size_t end = std::min(n_rows, (b + 1) * CHECK_ROWS_PER_TASK);
        for (std::size_t r = b * CHECK_ROWS_PER_TASK; r < end; ++r) {
            if (!row(r, stamps, problems[b])) return;
        }
    });
    raise_first(problems);
}

// Checks every row of a CSR matrix's structure (indptr from 0, never
// decreasing, up to indices.size()) as the passes over its entries check
// them, without summing anything: the first bad entry in storage order fails,
// an index out of range with the index-out-of-bounds message, an entry stored
// twice as DuplicateEntry (its row counted from the structure's first).
void check_csr(std::span<const std::int64_t> indptr, std::span<const std::int32_t> indices,
               std::size_t n_cols);
void check_csr(std::span<const std::int64_t> indptr, std::span<const std::int64_t> indices,
               std::size_t n_cols);

}  // namespace brenix
