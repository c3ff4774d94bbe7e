#include "runtime/pool.hpp"

#include <pthread.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <limits>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "runtime/fp_env.hpp"
#include "runtime/os.hpp"

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

// Read once per process, the first time the pool or its limit needs it, and
// kept across fork.
std::size_t pool_size_to_be() noexcept {
    static const std::size_t size = configured_size();
    return size;
}

// The workers one pass may use; 0 until a limit is set, which means all of
// them. Process-wide, as a thread-count setting is expected to be: any Python
// thread may set it, and each pass takes a snapshot of it as it starts.
std::atomic<std::size_t> g_thread_limit{0};

// Set before the pool is created; read by the thread that creates it.
std::atomic<std::size_t> g_fail_worker_start{SIZE_MAX};

// True on the pool's own threads, which only ever run tasks: a pass started
// there runs inline. Handing it to the pool would wait for the pass mutex that
// the caller of the enclosing pass holds, or for workers that are all busy.
// Initial-exec: in the static TLS block every thread gets when it starts. The
// default model for a loaded module allocates a thread's copy on first use,
// and glibc aborts the process when that allocation fails (seen with GCC 16
// and glibc 2.43 under an address-space limit) instead of failing the start.
__attribute__((tls_model("initial-exec"))) thread_local bool t_runs_tasks = false;

// One pass handed to the workers. Lives on the calling thread's stack until
// its completion latch, `unfinished`, reaches zero.
//
// The latch counts pieces not yet finished, and a worker touches the job only
// while it holds one of them: it takes its first piece under the attach mutex,
// which the caller holds to withdraw the job, and each further piece before
// reporting the previous one finished. So the decrement of the latch is the
// last thing a worker does with the job, and the caller may destroy the job
// as soon as it reads zero.
struct Job {
    Job(detail::RangeFn fn_, void* context_, std::size_t n_items_, std::size_t piece_items_,
        std::size_t n_pieces_, std::size_t max_workers_)
        : fn(fn_),
          context(context_),
          n_items(n_items_),
          piece_items(piece_items_),
          n_pieces(n_pieces_),
          max_workers(max_workers_),
          unfinished(n_pieces_) {}

    const detail::RangeFn fn;
    void* const context;
    const std::size_t n_items;
    const std::size_t piece_items;
    const std::size_t n_pieces;
    // The thread limit when the pass started, at least 1.
    const std::size_t max_workers;
    // Workers that have taken a piece; guarded by the pool's attach mutex.
    std::size_t attached = 0;

    std::atomic<std::size_t> next_piece{0};
    // Pieces above a known failure may be skipped; pieces below never are, so
    // the failure that survives is always the lowest-numbered one.
    std::atomic<std::size_t> failed_piece{SIZE_MAX};
    std::mutex failure_mutex;
    std::exception_ptr failure;

    std::atomic<std::size_t> unfinished;

    std::size_t claim() noexcept { return next_piece.fetch_add(1, std::memory_order_relaxed); }

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

    // Runs `piece`, already claimed, and every piece this thread claims after
    // it. True when this thread finished the job's last piece.
    bool work_from(std::size_t piece) noexcept {
        const std::size_t count = n_pieces;
        for (;;) {
            run_piece(piece);
            const std::size_t next = claim();
            const bool more = next < count;
            const bool last = unfinished.fetch_sub(1, std::memory_order_acq_rel) == 1;
            // Unless this thread holds `next`, the job may be gone from here on.
            if (!more) return last;
            piece = next;
        }
    }
};

// Workers sleep on `posted_` and the caller on `finished_`, two counters that
// belong to the pool. The caller never takes a lock that workers take after
// their work, so the only order between a worker's accesses to a job and the
// caller's next use of that stack is the one the latch gives; a worker that
// touched a job after its decrement would be a data race for ThreadSanitizer
// on every pass, not only on the rare schedule where it does harm.
class Pool {
public:
    explicit Pool(std::size_t size) : size_(size) {}
    Pool(const Pool&) = delete;
    Pool& operator=(const Pool&) = delete;
    ~Pool() { stop(); }

    // Starts the workers; on failure, stops and joins the ones already started
    // and returns why.
    std::string start() {
        threads_.reserve(size_);
        pthread_attr_t attr;
        if (pthread_attr_init(&attr) != 0) return "pthread_attr_init failed";
        pthread_attr_setstacksize(&attr, WORKER_STACK_BYTES);
        const std::size_t fail_at = g_fail_worker_start.load();
        std::string error;
        for (std::size_t i = 0; i < size_; ++i) {
            pthread_t thread;
            const int rc =
                i == fail_at ? EAGAIN : pthread_create(&thread, &attr, &Pool::thread_main, this);
            if (rc != 0) {
                error = "could not start worker thread " + std::to_string(i) + " of " +
                        std::to_string(size_) + " (error " + std::to_string(rc) + ")";
                break;
            }
            threads_.push_back(thread);
        }
        pthread_attr_destroy(&attr);
        if (!error.empty()) stop();
        return error;
    }

    std::size_t size() const { return size_; }

    void run(Job& job) {
        {
            std::lock_guard guard(attach_mutex_);
            current_ = &job;
        }
        posted_.fetch_add(1, std::memory_order_release);
        // Wake only the workers the pass may use, and no more than it has
        // pieces: under a limit the others sleep on instead of each taking the
        // attach mutex only to find the pass full. A worker already awake sees
        // the new count without being woken, and one that is woken and finds
        // the pass full or finished goes back to sleep, so at least one worker
        // always takes a piece.
        const std::size_t wanted = std::min(job.max_workers, job.n_pieces);
        if (wanted >= size_) {
            posted_.notify_all();
        } else {
            for (std::size_t i = 0; i < wanted; ++i) posted_.notify_one();
        }
        for (;;) {
            const std::uint32_t seen = finished_.load(std::memory_order_acquire);
            if (job.unfinished.load(std::memory_order_acquire) == 0) break;
            finished_.wait(seen, std::memory_order_acquire);
        }
        // A worker that wakes only now must not find the job.
        std::lock_guard guard(attach_mutex_);
        current_ = nullptr;
    }

private:
    static void* thread_main(void* self) {
        static_cast<Pool*>(self)->worker_loop();
        return nullptr;
    }

    void worker_loop() {
        t_runs_tasks = true;
        // At most 15 characters.
        name_this_thread(("brenix-w" + std::to_string(started_.fetch_add(1))).c_str());
        // Every worker starts before the first pass is posted, but may only
        // get here after it: start from the count the pool was built with, so
        // that a first pass already posted is not missed.
        std::uint32_t seen = 0;
        for (;;) {
            posted_.wait(seen, std::memory_order_acquire);
            seen = posted_.load(std::memory_order_acquire);
            if (stopping_.load(std::memory_order_acquire)) return;
            Job* job;
            std::size_t piece;
            {
                std::lock_guard guard(attach_mutex_);
                job = current_;
                if (job == nullptr || job->attached == job->max_workers) continue;
                ++job->attached;
                piece = job->claim();
                if (piece >= job->n_pieces) continue;  // all taken: nothing to do with it
            }
            // Whatever mode the thread that started the pool had, or anything
            // since has left here, passes run under IEEE defaults.
            DefaultFloatingPoint::enter();
            if (job->work_from(piece)) {
                finished_.fetch_add(1, std::memory_order_release);
                finished_.notify_all();
            }
        }
    }

    // Only ever called when no pass is running: after a failed start, or when
    // the pool is destroyed.
    void stop() {
        stopping_.store(true, std::memory_order_release);
        posted_.fetch_add(1, std::memory_order_release);
        posted_.notify_all();
        for (pthread_t thread : threads_) pthread_join(thread, nullptr);
        threads_.clear();
    }

    std::size_t size_;
    std::vector<pthread_t> threads_;
    std::mutex attach_mutex_;
    Job* current_ = nullptr;  // guarded by attach_mutex_
    std::atomic<std::uint32_t> posted_{0};
    std::atomic<std::uint32_t> finished_{0};
    std::atomic<bool> stopping_{false};
    std::atomic<std::size_t> started_{0};
};

// Calls that release the interpreter lock (src/python/records.hpp) can start
// passes from several threads at once: they take the pool in turn.
std::mutex g_pass_mutex;
std::mutex g_create_mutex;
Pool* g_pool = nullptr;    // never destroyed: workers live as long as the process
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
        auto created = std::make_unique<Pool>(pool_size_to_be());
        std::string error = created->start();
        if (error.empty()) {
            g_pool = created.release();
        } else {
            g_pool_error = std::move(error);  // the workers that did start have been joined
        }
    }
    if (g_pool == nullptr) {
        throw InternalFailure("The global thread pool has not been initialized.: " + g_pool_error);
    }
    return *g_pool;
}

}  // namespace

std::size_t pool_size() { return pool().size(); }

std::size_t thread_limit() noexcept {
    const std::size_t limit = g_thread_limit.load(std::memory_order_relaxed);
    return limit == 0 ? pool_size_to_be() : limit;
}

std::size_t set_thread_limit(std::size_t n) noexcept {
    const std::size_t limit = std::clamp<std::size_t>(n, 1, pool_size_to_be());
    g_thread_limit.store(limit, std::memory_order_relaxed);
    return limit;
}

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
    if (t_runs_tasks) {
        // A worker is already under IEEE defaults. In order, the first failure
        // is the lowest-numbered one.
        chunk_count(n_items, piece_items);  // refuses a zero piece length
        for (std::size_t begin = 0; begin < n_items; begin += piece_items) {
            fn(context, begin, n_items - begin > piece_items ? begin + piece_items : n_items);
        }
        return;
    }
    Pool& workers = pool();  // a pool that could not start fails every pass, even a small one
    const std::size_t n_pieces = chunk_count(n_items, piece_items);
    if (n_pieces <= 1) {
        DefaultFloatingPoint defaults;
        if (n_items > 0) fn(context, 0, n_items);
        return;
    }
    std::lock_guard pass(g_pass_mutex);
    Job job(fn, context, n_items, piece_items, n_pieces, thread_limit());
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

void fail_worker_start_for_testing(std::size_t index) { g_fail_worker_start.store(index); }

}  // namespace detail

}  // namespace brenix
