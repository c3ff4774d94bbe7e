// Asking for memory ahead of the loop that will read it, where the hardware's
// own prefetching does not (see the callers for why).
#pragma once

#include <cstddef>

namespace brenix {

// Every cache line of [first, first + bytes) on its way into the caches.
inline void prefetch_run(const void* first, std::size_t bytes) {
    const char* p = static_cast<const char*>(first);
    for (std::size_t offset = 0; offset < bytes; offset += 64) __builtin_prefetch(p + offset);
}

}  // namespace brenix
