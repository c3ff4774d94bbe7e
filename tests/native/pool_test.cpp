// The worker pool on its own: every item runs exactly once, ordered folds fold
// in order with a bounded number of records alive, the lowest-numbered failure
// is the one reported, nested passes run inline, passes run under IEEE
// defaults, a thread limit caps the workers of a pass (also while another
// thread changes it), and a failed start leaves no thread behind. Built with
// ThreadSanitizer (BRENIX_TSAN), the many passes in a row also check that no
// worker touches a pass after its caller has moved on.
//
//   pool_test                 everything but the failed start
//   pool_test failed-start    a pool whose fourth worker cannot start
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "runtime/pool.hpp"

#if defined(__x86_64__)
#include <xmmintrin.h>
#endif

namespace {

int g_failures = 0;

#define CHECK(condition)                                                                       \
    do {                                                                                       \
        if (!(condition)) {                                                                    \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
            ++g_failures;                                                                      \
        }                                                                                      \
    } while (0)

void pause_us(std::size_t us) { std::this_thread::sleep_for(std::chrono::microseconds(us)); }

// The message of the failure `run` ends in, or "" when it returns.
template <class Run>
std::string failure_of(Run&& run) {
    try {
        run();
    } catch (const std::exception& failure) {
        return failure.what();
    }
    return "";
}

// --- Floating-point mode: the flush-to-zero bits of the calling thread. -----

#if defined(__x86_64__)
constexpr bool HAVE_FLUSH_BITS = true;
unsigned flush_bits() { return _mm_getcsr() & 0x8040u; }  // FTZ, DAZ
void set_flush_bits() { _mm_setcsr(_mm_getcsr() | 0x8040u); }
void clear_flush_bits() { _mm_setcsr(_mm_getcsr() & ~0x8040u); }
#elif defined(__aarch64__)
constexpr bool HAVE_FLUSH_BITS = true;
unsigned long fpcr() {
    unsigned long value;
    __asm__ volatile("mrs %0, fpcr" : "=r"(value));
    return value;
}
void set_fpcr(unsigned long value) { __asm__ volatile("msr fpcr, %0" : : "r"(value)); }
unsigned flush_bits() { return (fpcr() >> 24) & 1u; }  // FZ
void set_flush_bits() { set_fpcr(fpcr() | (1ul << 24)); }
void clear_flush_bits() { set_fpcr(fpcr() & ~(1ul << 24)); }
#else
constexpr bool HAVE_FLUSH_BITS = false;
unsigned flush_bits() { return 0; }
void set_flush_bits() {}
void clear_flush_bits() {}
#endif

// Must run before anything else uses the pool: its workers are created here,
// by a thread in flush-to-zero mode, and inherit that mode.
void test_passes_run_under_ieee_defaults() {
    if (!HAVE_FLUSH_BITS) return;
    set_flush_bits();
    std::atomic<int> flushing{0};
    auto look = [&](std::size_t, std::size_t) { flushing += flush_bits() != 0 ? 1 : 0; };
    brenix::element_map(1000, look);  // the workers
    brenix::element_map(1, look);     // one piece: the calling thread
    CHECK(flushing.load() == 0);
    CHECK(flush_bits() != 0);  // the caller's own mode, given back
    clear_flush_bits();
}

// --- Many passes in a row. ---------------------------------------------------

// Each pass is small and quick, so that the next one is posted while workers
// are still on their way out of the previous one: a worker that touched a
// finished pass would race with the caller building the next one in the same
// stack slot, and one that took a piece of it would leave a piece of the next
// pass undone (a count off by one, or a hang).
void test_many_passes_in_a_row() {
    std::vector<int> runs(64);
    std::vector<std::size_t> order;
    bool all_ok = true;
    for (std::size_t pass = 0; pass < 3000; ++pass) {
        const std::size_t n = 2 + pass % 61;
        std::fill(runs.begin(), runs.end(), 0);
        switch (pass % 3) {
            case 0:
                brenix::element_map(n, [&](std::size_t begin, std::size_t end) {
                    for (std::size_t i = begin; i < end; ++i) ++runs[i];
                });
                break;
            case 1:
                brenix::chunk_for_each(std::span<int>(runs.data(), n), 3,
                                       [&](std::size_t, std::span<int> chunk) {
                                           for (int& r : chunk) ++r;
                                       });
                break;
            case 2:
                order.clear();
                brenix::ordered_chunk_fold(
                    n, [](std::size_t i) { return i; },
                    [&](std::size_t i) {
                        order.push_back(i);  // folds never overlap: no lock needed
                        ++runs[i];
                    });
                for (std::size_t i = 0; i < n; ++i) all_ok &= order[i] == i;
                break;
        }
        for (std::size_t i = 0; i < runs.size(); ++i) all_ok &= runs[i] == (i < n ? 1 : 0);
    }
    CHECK(all_ok);
}

// --- Ordered folds. ------------------------------------------------------------

std::atomic<int> g_records_alive{0};
std::atomic<int> g_most_records_alive{0};

struct Record {
    std::size_t chunk;
    explicit Record(std::size_t chunk_) : chunk(chunk_) { born(); }
    Record(const Record& other) : chunk(other.chunk) { born(); }
    ~Record() { --g_records_alive; }
    static void born() {
        const int alive = ++g_records_alive;
        int most = g_most_records_alive.load();
        while (alive > most && !g_most_records_alive.compare_exchange_weak(most, alive)) {
        }
    }
};

// The first chunk is the slowest, so the next ones finish first and have to
// wait for their turn: the records alive at once stay at one per thread, where
// keeping every record until the end would hold all 40.
void test_ordered_fold_order_and_bound() {
    const std::size_t threads = brenix::pool_size();
    constexpr std::size_t n = 40;
    for (int round = 0; round < 3; ++round) {
        g_most_records_alive = 0;
        std::vector<std::size_t> order;
        brenix::ordered_chunk_fold(
            n,
            [](std::size_t i) {
                pause_us(i == 0 ? 30000 : 200);
                return Record(i);
            },
            [&](const Record& record) { order.push_back(record.chunk); });
        CHECK(order.size() == n);
        for (std::size_t i = 0; i < order.size(); ++i) CHECK(order[i] == i);
        CHECK(g_records_alive.load() == 0);
        CHECK(g_most_records_alive.load() <= static_cast<int>(threads));
    }
}

// --- The lowest-numbered failure wins. ---------------------------------------

// Chunk 3 fails last in time, after 9 and 14 have failed, and is the one
// reported, whatever the schedule; chunks below it all run and fold.
void test_lowest_failure_is_reported() {
    auto task = [](std::size_t i) {
        if (i == 3) {
            pause_us(30000);
            throw brenix::InternalFailure("chunk 3");
        }
        if (i == 9 || i == 14) throw brenix::InternalFailure("chunk " + std::to_string(i));
        return i;
    };
    for (int round = 0; round < 3; ++round) {
        std::vector<std::size_t> folded;
        CHECK(failure_of([&] {
                  brenix::ordered_chunk_fold(20, task, [&](std::size_t i) { folded.push_back(i); });
              }) == "chunk 3");
        CHECK((folded == std::vector<std::size_t>{0, 1, 2}));
        CHECK(failure_of([&] {
                  brenix::element_map(20, [&](std::size_t begin, std::size_t end) {
                      for (std::size_t i = begin; i < end; ++i) task(i);
                  });
              }) == "chunk 3");
    }
    // The pool is none the worse for it.
    std::atomic<std::size_t> total{0};
    brenix::element_map(1000, [&](std::size_t begin, std::size_t end) { total += end - begin; });
    CHECK(total.load() == 1000);
}

// --- Nested passes. ----------------------------------------------------------

// A pass started inside a task runs inline on that thread: handed to the pool
// it would wait for the pass its own task belongs to.
void test_nested_passes_run_inline() {
    std::vector<std::size_t> sums(16);
    brenix::ordered_chunk_fold(
        16,
        [](std::size_t i) {
            const auto outer = std::this_thread::get_id();
            std::vector<std::size_t> squares(100);
            bool same_thread = true;
            brenix::element_map(100, [&](std::size_t begin, std::size_t end) {
                same_thread &= std::this_thread::get_id() == outer;
                for (std::size_t k = begin; k < end; ++k) squares[k] = k * k + i;
            });
            std::size_t sum = 0;
            brenix::ordered_chunk_fold(
                10, [&](std::size_t k) { return squares[k * 10]; },
                [&](std::size_t value) { sum = sum * 3 + value; });  // order-dependent
            return same_thread ? sum : 0;
        },
        [&, next = std::size_t{0}](std::size_t sum) mutable { sums[next++] = sum; });
    for (std::size_t i = 0; i < sums.size(); ++i) {
        std::size_t expected = 0;
        for (std::size_t k = 0; k < 10; ++k) expected = expected * 3 + (k * 10) * (k * 10) + i;
        CHECK(sums[i] == expected);
    }
    // A nested failure keeps the rule: the lowest inner item of the lowest outer chunk.
    CHECK(failure_of([] {
              brenix::element_map(8, [](std::size_t begin, std::size_t end) {
                  for (std::size_t i = begin; i < end; ++i) {
                      brenix::element_map(50, [i](std::size_t b, std::size_t e) {
                          for (std::size_t k = b; k < e; ++k) {
                              if (i >= 5 && k % 7 == 6) {
                                  throw brenix::InternalFailure(std::to_string(i) + "." +
                                                                std::to_string(k));
                              }
                          }
                      });
                  }
              });
          }) == "5.6");
}

// --- The thread limit. ---------------------------------------------------------

// The distinct threads that ran the pieces of one pass of 24 slow pieces.
std::size_t threads_of_one_pass() {
    std::mutex mutex;
    std::set<std::thread::id> ids;
    std::vector<int> slots(24);
    brenix::chunk_for_each(std::span<int>(slots), 1, [&](std::size_t, std::span<int> slot) {
        pause_us(300);
        slot[0] = 1;
        std::lock_guard guard(mutex);
        ids.insert(std::this_thread::get_id());
    });
    for (int slot : slots) CHECK(slot == 1);
    return ids.size();
}

// A limit is clamped to [1, pool size] and caps the threads of every pass,
// whichever workers a pass wakes; passes keep completing while another thread
// changes the limit under them.
void test_thread_limit() {
    const std::size_t size = brenix::pool_size();
    CHECK(brenix::thread_limit() == size);
    CHECK(brenix::set_thread_limit(0) == 1);
    CHECK(brenix::set_thread_limit(size + 5) == size);
    for (std::size_t limit = 1; limit <= size; ++limit) {
        brenix::set_thread_limit(limit);
        for (int round = 0; round < 5; ++round) CHECK(threads_of_one_pass() <= limit);
    }
    std::atomic<bool> done{false};
    std::thread changer([&] {
        for (std::size_t i = 0; !done.load(); ++i) {
            brenix::set_thread_limit(1 + i % size);
            std::this_thread::yield();
        }
    });
    bool all_ok = true;
    std::vector<int> runs(64);
    for (std::size_t pass = 0; pass < 2000; ++pass) {
        const std::size_t n = 2 + pass % 61;
        std::fill(runs.begin(), runs.end(), 0);
        brenix::element_map(n, [&](std::size_t begin, std::size_t end) {
            for (std::size_t i = begin; i < end; ++i) ++runs[i];
        });
        for (std::size_t i = 0; i < runs.size(); ++i) all_ok &= runs[i] == (i < n ? 1 : 0);
    }
    done = true;
    changer.join();
    CHECK(all_ok);
    brenix::set_thread_limit(size);
}

// --- Failed start. -----------------------------------------------------------

std::size_t thread_count() {
    std::size_t n = 0;
    for ([[maybe_unused]] const auto& entry :
         std::filesystem::directory_iterator("/proc/self/task")) {
        ++n;
    }
    return n;
}

int failed_start() {
    setenv("RAYON_NUM_THREADS", "8", 1);
    brenix::detail::fail_worker_start_for_testing(3);
    const bool can_count = std::filesystem::exists("/proc/self/task");
    std::thread([] {}).join();  // a sanitizer's helper thread, if any, starts now
    const std::size_t before = can_count ? thread_count() : 0;
    const std::string expected =
        "The global thread pool has not been initialized.: could not start worker thread 3 of 8";
    const std::string first = failure_of([] { brenix::pool_size(); });
    CHECK(first.rfind(expected, 0) == 0);
    // The three that did start have been stopped and joined. A joined thread
    // can stay listed in /proc for a moment after its join returns (the kernel
    // wakes the joiner before it releases the task), so the count may take a
    // little while to come down; a thread left running never would.
    if (can_count) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (thread_count() != before && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        CHECK(thread_count() == before);
    }
    // Every later use fails the same way, single-piece passes included.
    CHECK(failure_of([] { brenix::element_map(100, [](std::size_t, std::size_t) {}); }) == first);
    CHECK(failure_of([] { brenix::element_map(1, [](std::size_t, std::size_t) {}); }) == first);
    CHECK(failure_of([] { brenix::pool_size(); }) == first);
    return g_failures == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], "failed-start") == 0) return failed_start();
    setenv("RAYON_NUM_THREADS", "4", 0);
    test_passes_run_under_ieee_defaults();
    test_many_passes_in_a_row();
    test_ordered_fold_order_and_bound();
    test_lowest_failure_is_reported();
    test_nested_passes_run_inline();
    test_thread_limit();
    if (g_failures != 0) std::fprintf(stderr, "%d check(s) failed\n", g_failures);
    return g_failures == 0 ? 0 : 1;
}
