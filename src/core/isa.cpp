#include "core/isa.hpp"

#include <cstdlib>
#include <cstring>

namespace brenix {

namespace {

Isa detected() noexcept {
#if BRENIX_X86_VARIANTS
    __builtin_cpu_init();
    // The feature test also checks that the operating system saves the wide
    // registers, so a processor with AVX-512 under an OS without it is AVX2.
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl") &&
        __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512dq")) {
        return Isa::avx512;
    }
    if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("popcnt")) return Isa::avx2;
#endif
    return Isa::portable;
}

// A cap for comparing variants on one machine; an unknown value caps nothing.
Isa cap_from_environment() noexcept {
    const char* cap = std::getenv("BRENIX_MAX_ISA");
    if (cap != nullptr) {
        for (const IsaTarget& t : ISA_TARGETS) {
            if (std::strcmp(cap, t.name) == 0) return t.isa;
        }
    }
    return Isa::avx512;
}

}  // namespace

Isa active_isa() noexcept {
    static const Isa isa = [] {
        const Isa found = detected();
        const Isa cap = cap_from_environment();
        return static_cast<int>(found) < static_cast<int>(cap) ? found : cap;
    }();
    return isa;
}

}  // namespace brenix
