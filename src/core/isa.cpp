#include "core/isa.hpp"

#include <cstdlib>
#include <cstring>

#if BRENIX_X86_VARIANTS
#include <cpuid.h>
#endif

namespace brenix {

namespace {

#if BRENIX_X86_VARIANTS
// The processor's features, read with CPUID, and whether the operating system
// saves the wide registers (XGETBV), so a processor with AVX-512 under an OS
// without it counts as AVX2. Not __builtin_cpu_supports: its feature table
// lives in the compiler's runtime library, and a toolchain whose runtime never
// fills it in (zig's, for manylinux wheels) would leave every process on the
// portable path.
struct X86Features {
    bool avx2_popcnt = false;
    bool fma = false;
    bool avx512 = false;  // F, VL, BW and DQ
};

X86Features x86_features() noexcept {
    X86Features f;
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (__get_cpuid(1, &a, &b, &c, &d) == 0) return f;
    const bool popcnt = (c & bit_POPCNT) != 0;
    const bool fma = (c & bit_FMA) != 0;
    if ((c & bit_OSXSAVE) == 0 || (c & bit_AVX) == 0) return f;
    unsigned xcr0_low = 0, xcr0_high = 0;
    // xgetbv spelled out: the intrinsic needs the xsave target.
    __asm__("xgetbv" : "=a"(xcr0_low), "=d"(xcr0_high) : "c"(0));
    if ((xcr0_low & 0x6) != 0x6) return f;  // XMM and YMM state
    f.fma = fma;
    if (__get_cpuid_count(7, 0, &a, &b, &c, &d) == 0) return f;
    f.avx2_popcnt = (b & bit_AVX2) != 0 && popcnt;
    const bool zmm_state = (xcr0_low & 0xe0) == 0xe0;  // opmask, upper ZMM halves, ZMM16-31
    f.avx512 = zmm_state && (b & bit_AVX512F) != 0 && (b & bit_AVX512VL) != 0 &&
               (b & bit_AVX512BW) != 0 && (b & bit_AVX512DQ) != 0;
    return f;
}

const X86Features& cpu() noexcept {
    static const X86Features features = x86_features();
    return features;
}
#endif

Isa detected() noexcept {
#if BRENIX_X86_VARIANTS
    if (cpu().avx512 && cpu().avx2_popcnt) return Isa::avx512;
    if (cpu().avx2_popcnt) return Isa::avx2;
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

bool cpu_has_fma() noexcept {
#if BRENIX_X86_VARIANTS
    return cpu().fma;
#else
    return false;
#endif
}

}  // namespace brenix
