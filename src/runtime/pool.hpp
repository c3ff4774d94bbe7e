// The process-wide worker pool and the three parallel patterns the kernels use.
//
// A kernel says what one chunk (or one range of elements) computes; the pool
// decides which thread runs it. Chunk boundaries never depend on the number of
// threads, every chunk runs sequentially on one thread, and results are either
// folded in chunk order or land in slots indexed by position, so whatever the
// pool size the caller sees the same values. When tasks fail, the failure
// rethrown on the calling thread is the one of the lowest-numbered failing
// item, whatever the schedule. A pass started by a task on a worker runs
// inline, on that worker.
//
// No Python here: workers never touch interpreter objects.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "runtime/failure.hpp"

namespace brenix {

// Number of worker threads; creates the pool on first use. The size comes
// from RAYON_NUM_THREADS, then RAYON_RS_NUM_CPUS, then the processor count.
std::size_t pool_size();

// How many workers one pass may use: the pool's size, or less once a limit has
// been set. Neither function starts the pool; both read the variables that
// size it, if nothing has yet, and the size stays what they then said.
std::size_t thread_limit() noexcept;
// Sets the process-wide limit, clamped to [1, pool size], and returns it. A
// pass reads the limit once, as it starts: a pass already running keeps the
// number it started with. Which workers run a chunk never changes a result.
std::size_t set_thread_limit(std::size_t n) noexcept;

// ceil(total / chunk_len), refusing a zero chunk length.
std::size_t chunk_count(std::size_t total, std::size_t chunk_len);

// Elements in a chunk of `rows` rows of `row_len` elements. Saturates rather
// than wrapping: an empty matrix with an absurd column count must not turn
// into a zero chunk length (one chunk then covers the whole matrix).
constexpr std::size_t rows_chunk_len(std::size_t rows, std::size_t row_len) {
    return row_len > SIZE_MAX / rows ? SIZE_MAX : rows * row_len;
}

namespace detail {

using RangeFn = void (*)(void* context, std::size_t begin, std::size_t end);

// Runs fn over the items [0, n_items), cut into pieces of piece_items items
// (the last may be shorter), each piece sequentially on one thread. Returns
// when every piece has finished; rethrows the failure of the lowest-numbered
// failing piece. A single piece runs on the calling thread, and so does every
// piece of a pass started on a worker (in order, stopping at the first
// failure).
void run_pieces(std::size_t n_items, std::size_t piece_items, RangeFn fn, void* context);

template <class F>
void parallel_ranges(std::size_t n_items, std::size_t piece_items, F& body) {
    run_pieces(
        n_items, piece_items,
        [](void* context, std::size_t begin, std::size_t end) {
            (*static_cast<F*>(context))(begin, end);
        },
        &body);
}

[[noreturn]] void fail_write_count(std::size_t expected, std::size_t got);

// The chunks of one ordered fold take their turns here, in chunk order,
// whichever threads run them. (Atomics only: this header is in every kernel,
// and the standard mutex headers bring half the library with them.)
class FoldTurns {
public:
    // Blocks until every chunk below `chunk` has been folded. False when one
    // of them failed instead: the pass fails, and this chunk's record is not
    // wanted.
    bool wait_for(std::size_t chunk);
    // `chunk`, which had the turn, has been folded: the next one may go.
    void pass(std::size_t chunk);
    // `chunk` failed and will never be folded.
    void fail(std::size_t chunk);
    // Chunks folded so far.
    std::size_t folded() const noexcept { return next_.load(std::memory_order_acquire); }

private:
    void changed() noexcept;

    std::atomic<std::size_t> next_{0};
    std::atomic<std::size_t> failed_{SIZE_MAX};
    // Bumped after every change of the two above; waiters sleep on it.
    std::atomic<std::uint32_t> changes_{0};
};

// For the pool's test program: starting worker `index` (from 0) fails as it
// does when the system has no thread left to give. Only a pool created after
// the call is affected.
void fail_worker_start_for_testing(std::size_t index);

}  // namespace detail

// Ordered chunk fold: fold(task(0)), fold(task(1)), ... in chunk order, each
// exactly once. The tasks run on the pool; a chunk that finishes before all
// its predecessors have been folded waits for them, so at most one record per
// thread is alive at any time, however many chunks there are. Folds never
// overlap, and each sees the effects of the ones before it.
template <class Task, class Fold>
void ordered_chunk_fold(std::size_t n_chunks, Task&& task, Fold&& fold) {
    detail::FoldTurns turns;
    auto run_chunk = [&](std::size_t i) {
        auto record = task(i);
        if (!turns.wait_for(i)) return;
        fold(record);
        turns.pass(i);
        // The record is freed only now, so the next chunk need not wait for it.
    };
    auto body = [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
            try {
                run_chunk(i);
            } catch (...) {
                turns.fail(i);
                throw;
            }
        }
    };
    detail::parallel_ranges(n_chunks, 1, body);
    if (turns.folded() != n_chunks) detail::fail_write_count(n_chunks, turns.folded());
}

// Chunk for-each: task(i, chunk i of buffer) with exclusive access to that chunk.
template <class T, class Task>
void chunk_for_each(std::span<T> buffer, std::size_t chunk_len, Task&& task) {
    const std::size_t n_chunks = chunk_count(buffer.size(), chunk_len);
    auto body = [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
            const std::size_t first = i * chunk_len;
            task(i, buffer.subspan(first, std::min(chunk_len, buffer.size() - first)));
        }
    };
    detail::parallel_ranges(n_chunks, 1, body);
}

// task(b) for b in [0, n_blocks) on the pool, the blocks independent: a
// failure is that of the lowest failing block.
template <class Task>
void for_each_block(std::size_t n_blocks, Task&& task) {
    std::vector<unsigned char> slots(n_blocks);
    chunk_for_each(std::span<unsigned char>(slots), 1,
                   [&](std::size_t b, std::span<unsigned char>) { task(b); });
}

// Element map over positions [0, n): task(begin, end) computes the values of a
// run of positions into their slots of the caller's output. Pieces are a few
// per worker; each position's value depends on that position alone.
template <class Task>
void element_map(std::size_t n, Task&& task) {
    const std::size_t pieces_wanted = 4 * pool_size();
    const std::size_t piece = std::max<std::size_t>(1, (n + pieces_wanted - 1) / pieces_wanted);
    std::atomic<std::size_t> placed{0};
    auto body = [&](std::size_t begin, std::size_t end) {
        task(begin, end);
        placed.fetch_add(end - begin, std::memory_order_relaxed);
    };
    detail::parallel_ranges(n, piece, body);
    if (placed.load() != n) detail::fail_write_count(n, placed.load());
}

}  // namespace brenix
