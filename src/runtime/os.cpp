#include "runtime/os.hpp"

#include <pthread.h>
#include <unistd.h>

#include <cstdlib>

#if BRENIX_HAVE_SCHED_GETAFFINITY
#include <sched.h>
#endif
#if BRENIX_HAVE_MADV_HUGEPAGE
#include <sys/mman.h>
#endif

namespace brenix {

std::size_t processor_count() noexcept {
#if BRENIX_HAVE_SCHED_GETAFFINITY
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) == 0) {
        const int n = CPU_COUNT(&set);
        if (n > 0) return static_cast<std::size_t>(n);
    }
#endif
    const long online = sysconf(_SC_NPROCESSORS_ONLN);
    return online > 0 ? static_cast<std::size_t>(online) : 1;
}

void name_this_thread([[maybe_unused]] const char* name) noexcept {
#if BRENIX_HAVE_PTHREAD_SETNAME_NP_SELF_ONLY
    pthread_setname_np(name);  // macOS: the calling thread only
#elif BRENIX_HAVE_PTHREAD_SETNAME_NP
    pthread_setname_np(pthread_self(), name);
#endif
}

std::string this_thread_name() {
#if BRENIX_HAVE_PTHREAD_GETNAME_NP
    char name[64] = {};
    if (pthread_getname_np(pthread_self(), name, sizeof name) == 0 && name[0] != '\0') {
        return name;
    }
#endif
    return "<unnamed>";
}

void* allocate_for_huge_pages(std::size_t bytes, std::size_t alignment) noexcept {
    // Whole huge pages, so that the hint covers the last one too: a partial
    // last page would be faulted in small pages, one fault per 4 KiB, which
    // costs more than the buffer's work where memory is returned to the
    // system eagerly (distributed's workers trim the heap at 64 KiB).
    const std::size_t rounded = bytes + (alignment - bytes % alignment) % alignment;
    if (rounded < bytes) return nullptr;
    void* memory = nullptr;
    if (posix_memalign(&memory, alignment, rounded) != 0) return nullptr;
#if BRENIX_HAVE_MADV_HUGEPAGE
    madvise(memory, rounded, MADV_HUGEPAGE);  // only a hint
#endif
    return memory;
}

}  // namespace brenix
