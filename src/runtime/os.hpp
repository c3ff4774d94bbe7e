// The few operating-system services whose calls differ between systems, each
// chosen by a configure-time check (CMakeLists.txt) with a portable fallback.
#pragma once

#include <cstddef>
#include <string>

namespace brenix {

// Processors this process may run on: its affinity mask where the system has
// one, else the online processor count, at least 1.
std::size_t processor_count() noexcept;

// Names the calling thread (at most 15 characters are kept); a no-op where
// threads cannot be named.
void name_this_thread(const char* name) noexcept;

// The calling thread's name, or "<unnamed>".
std::string this_thread_name();

// Memory for `bytes` bytes aligned to `alignment` (a power of two, a multiple
// of the pointer size), freed with std::free, with a hint to back it with
// huge pages where the system takes one; null when it cannot be had.
void* allocate_for_huge_pages(std::size_t bytes, std::size_t alignment) noexcept;

}  // namespace brenix
