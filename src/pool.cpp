#include "pool.hpp"

#include <pthread.h>

#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <limits>
#include <mutex>

#include "fp_env.hpp"
#include "platform/os.hpp"

namespace brenix {

namespace {

constexpr std::size_t MAX_THREADS = 65535;
// Kernels keep their working data on the heap; a small stack lets a pool of
// thousands of threads start without reserving gigabytes of address space.
constexpr std::size_t WORKER_STACK_BYTES = std::size_t{2} << 20;

// One of the two thread-count variables: an unsigned decimal with an optional
// leading '+', nothing else (no blanks, no sign '-', no overflow).
bool parse_thread_count(const char* text, unsigned long long& out) {
    if (text == nullptr) return false;
    const char* p = text;
    if (*p == '+') ++p;
    if (*p == '\0') return false;
    unsigned long long value = 0;
    for (; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9') return false;
        const unsigned digit = static_cast<unsigned>(*p - '0');
        if (value > (std::numeric_limits<unsigned long long>::max() - digit) / 10) return false;
        value = value * 10 + digit;
    }
    out = value;
    return true;
}

std::size_t configured_size() {
    unsigned long long n = 0;
    std::size_t size;
    if (parse_thread_count(std::getenv("RAYON_NUM_THREADS"), n)) {
        size = n >= 1 ? static_cast<std::size_t>(std::min<unsigned long long>(n, MAX_THREADS))
                      : processor_count();
    } else if (parse_thread_count(std::getenv("RAYON_RS_NUM_CPUS"), n) && n >= 1) {
        size = static_cast<std::size_t>(std::min<unsigned long long>(n, MAX_THREADS));
    } else {
        size = processor_count();
    }
    return std::min(size, MAX_THREADS);
}

// One pass handed to the workers. Lives on the calling thread's stack until
// every piece has finished and no worker is attached to it any more.
struct Job {
    Job(detail::RangeFn fn_, void* context_, std::size_t n_items_, std::size_t piece_items_,
        std::size_t n_pieces_)
        : fn(fn_),
          context(context_),
          n_items(n_items_),
          piece_items(piece_items_),
          n_pieces(n_pieces_) {}

    detail::RangeFn fn;
    void* context;
    std::size_t n_items;
    std::size_t piece_items;
    std::size_t n_pieces;

    std::atomic<std::size_t> next_piece{0};
    // Pieces above a known failure may be skipped; pieces below never are, so
    // the failure that survives is always the lowest-numbered one.
    std::atomic<std::size_t> failed_piece{std::numeric_limits<std::size_t>::max()};
    std::mutex failure_mutex;
    std::exception_ptr failure;

    std::size_t attached = 0;  // guarded by the pool mutex
    std::atomic<std::size_t> pieces_done{0};

    void run_piece(std::size_t piece) noexcept {
        if (piece > failed_piece.load(std::memory_order_acquire)) return;
        const std::size_t begin = piece * piece_items;
        const std::size_t end = std::min(n_items, begin + piece_items);
        try {
            fn(context, begin, end);
        } catch (...) {
            std::lock_guard guard(failure_mutex);
            if (piece < failed_piece.load(std::memory_order_relaxed)) {
                failure = std::current_exception();
                failed_piece.store(piece, std::memory_order_release);
            }
        }
    }

    void work() noexcept {
        for (;;) {
            const std::size_t piece = next_piece.fetch_add(1, std::memory_order_relaxed);
            if (piece >= n_pieces) return;
            run_piece(piece);
            pieces_done.fetch_add(1, std::memory_order_acq_rel);
        }
    }
};

class Pool {
public:
    explicit Pool(std::size_t size) : size_(size) {}

    // Starts the workers; throws std::system_error-like failures as a message.
    std::string start() {
        pthread_attr_t attr;
        if (pthread_attr_init(&attr) != 0) return "pthread_attr_init failed";
        pthread_attr_setstacksize(&attr, WORKER_STACK_BYTES);
        std::string error;
        for (std::size_t i = 0; i < size_; ++i) {
            pthread_t thread;
            const int rc = pthread_create(&thread, &attr, &Pool::thread_main, this);
            if (rc != 0) {
                error = "could not start worker thread " + std::to_string(i) + " of " +
                        std::to_string(size_) + " (error " + std::to_string(rc) + ")";
                break;
            }
            pthread_detach(thread);
        }
        pthread_attr_destroy(&attr);
        return error;
    }

    std::size_t size() const { return size_; }

    void run(Job& job) {
        std::unique_lock lock(mutex_);
        current_ = &job;
        ++generation_;
        work_ready_.notify_all();
        job_done_.wait(lock, [&] {
            return job.pieces_done.load(std::memory_order_acquire) == job.n_pieces &&
                   job.attached == 0;
        });
        current_ = nullptr;
    }

private:
    static void* thread_main(void* self) {
        static_cast<Pool*>(self)->worker_loop();
        return nullptr;
    }

    void worker_loop() {
        // At most 15 characters.
        name_this_thread(("brenix-w" + std::to_string(started_.fetch_add(1))).c_str());
        std::unique_lock lock(mutex_);
        // Every worker starts before the first pass is handed out, but may
        // only get here after it: start from the generation the pool was
        // built with, so that a first pass already posted is not missed.
        std::uint64_t seen = 0;
        for (;;) {
            work_ready_.wait(lock, [&] { return generation_ != seen; });
            seen = generation_;
            Job* job = current_;
            if (job == nullptr) continue;
            ++job->attached;
            lock.unlock();
            // Whatever mode the thread that started the pool had, or anything
            // since has left here, passes run under IEEE defaults.
            DefaultFloatingPoint::enter();
            job->work();
            lock.lock();
            if (--job->attached == 0) job_done_.notify_all();
        }
    }

    std::size_t size_;
    std::mutex mutex_;
    std::condition_variable work_ready_;
    std::condition_variable job_done_;
    Job* current_ = nullptr;
    std::uint64_t generation_ = 0;
    std::atomic<std::size_t> started_{0};
};

// Calls hold the interpreter lock, so passes never overlap; this mutex only
// makes the pool safe for a caller that does not.
std::mutex g_pass_mutex;
std::mutex g_create_mutex;
Pool* g_pool = nullptr;
std::string g_pool_error;  // non-empty once creation has failed: never retried

// A forked child inherits the pool pointer but none of its threads. It is a new
// process, so it gets a pool of its own on first use (the old one is leaked:
// its mutexes may have been held by threads that no longer exist).
void forget_pool_in_child() {
    g_pool = nullptr;
    new (&g_pass_mutex) std::mutex();
    new (&g_create_mutex) std::mutex();
}

Pool& pool() {
    std::lock_guard guard(g_create_mutex);
    if (g_pool == nullptr && g_pool_error.empty()) {
        static std::once_flag fork_hook;
        std::call_once(fork_hook, [] { pthread_atfork(nullptr, nullptr, forget_pool_in_child); });
        static std::size_t size = configured_size();  // read once per process, kept across fork
        auto* created = new Pool(size);
        std::string error = created->start();
        if (error.empty()) {
            g_pool = created;
        } else {
            g_pool_error = std::move(error);  // threads already started stay idle forever
        }
    }
    if (g_pool == nullptr) {
        throw InternalFailure("The global thread pool has not been initialized.: " + g_pool_error);
    }
    return *g_pool;
}

}  // namespace

std::size_t pool_size() { return pool().size(); }

std::size_t chunk_count(std::size_t total, std::size_t chunk_len) {
    if (chunk_len == 0) throw InternalFailure("chunk_size must not be zero");
    return total / chunk_len + (total % chunk_len != 0 ? 1 : 0);
}

namespace detail {

void fail_write_count(std::size_t expected, std::size_t got) {
    throw InternalFailure("expected " + std::to_string(expected) + " total writes, but got " +
                          std::to_string(got));
}

void run_pieces(std::size_t n_items, std::size_t piece_items, RangeFn fn, void* context) {
    Pool& workers = pool();
    const std::size_t n_pieces = chunk_count(n_items, piece_items);
    if (n_pieces <= 1) {
        DefaultFloatingPoint defaults;
        if (n_items > 0) fn(context, 0, n_items);
        return;
    }
    std::lock_guard pass(g_pass_mutex);
    Job job(fn, context, n_items, piece_items, n_pieces);
    workers.run(job);
    if (job.failure) std::rethrow_exception(job.failure);
}

bool FoldTurns::wait_for(std::size_t chunk) {
    for (;;) {
        const std::uint32_t seen = changes_.load(std::memory_order_acquire);
        if (failed_.load(std::memory_order_acquire) < chunk) return false;
        if (next_.load(std::memory_order_acquire) == chunk) return true;
        changes_.wait(seen, std::memory_order_acquire);
    }
}

// The thread that calls these holds an unfinished piece of the pass, so the
// pass, and these turns on its caller's stack, outlive the notification.
void FoldTurns::pass(std::size_t chunk) {
    next_.store(chunk + 1, std::memory_order_release);
    changed();
}

void FoldTurns::fail(std::size_t chunk) {
    std::size_t known = failed_.load(std::memory_order_relaxed);
    while (chunk < known &&
           !failed_.compare_exchange_weak(known, chunk, std::memory_order_release)) {
    }
    changed();
}

void FoldTurns::changed() noexcept {
    changes_.fetch_add(1, std::memory_order_release);
    changes_.notify_all();
}

}  // namespace detail

}  // namespace brenix
