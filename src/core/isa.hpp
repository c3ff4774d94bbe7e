// Instruction sets the hot loops are compiled for, and the one a process uses.
//
// Every hot loop has one body, written as plain C++ in an always-inline
// template. BRENIX_MULTIVERSION compiles that body once per instruction set
// (function target attributes, no ifunc, so any C library and any loader will
// do) and picks one variant per process, at the first call, from a CPU feature
// test. Each variant performs the same IEEE operations in the same order per
// element (the build never contracts a multiply and an add), so the choice
// changes speed, never bits.
//
// Only x86-64 has variants today. Elsewhere, and in a build configured with
// BRENIX_PORTABLE_ONLY, the portable body is all there is.
#pragma once

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__)) && \
    !defined(BRENIX_PORTABLE_ONLY)
#define BRENIX_X86_VARIANTS 1
// The target string of each variant, written once: function attributes and
// the pragma regions of src/math both use these.
#define BRENIX_TARGETS_AVX2 "avx2,popcnt"
#define BRENIX_TARGETS_AVX512 "avx512f,avx512vl,avx512bw,avx512dq,avx2,popcnt"
#define BRENIX_TARGET_AVX2 __attribute__((target(BRENIX_TARGETS_AVX2)))
#define BRENIX_TARGET_AVX512 __attribute__((target(BRENIX_TARGETS_AVX512)))
#else
#define BRENIX_X86_VARIANTS 0
#endif

#if defined(__GNUC__) || defined(__clang__)
#define BRENIX_INLINE [[gnu::always_inline]] inline
#else
#define BRENIX_INLINE inline
#endif

namespace brenix {

enum class Isa { portable, avx2, avx512 };

// The best instruction set this build has variants for and the processor
// runs, capped by BRENIX_MAX_ISA ("portable", "avx2", "avx512") when that is
// set. Decided once per process.
Isa active_isa() noexcept;

// Whether an x86-64 processor has FMA and the OS saves the registers it uses
// (false elsewhere).
bool cpu_has_fma() noexcept;

template <class F>
F pick_variant(F portable, [[maybe_unused]] F avx2, [[maybe_unused]] F avx512) noexcept {
    switch (active_isa()) {
        case Isa::avx512:
            return avx512;
        case Isa::avx2:
            return avx2;
        case Isa::portable:
            break;
    }
    return portable;
}

}  // namespace brenix

// Defines `ret name params` as `body args` compiled for the active
// instruction set. `body` must be BRENIX_INLINE so that each variant gets its
// own copy of the loop.
#if BRENIX_X86_VARIANTS
#define BRENIX_MULTIVERSION(ret, name, params, body, args)                          \
    BRENIX_TARGET_AVX512 ret name##_avx512 params { return body args; }             \
    BRENIX_TARGET_AVX2 ret name##_avx2 params { return body args; }                 \
    ret name##_portable params { return body args; }                                \
    ret name params {                                                               \
        static const auto chosen =                                                  \
            ::brenix::pick_variant(&name##_portable, &name##_avx2, &name##_avx512); \
        return chosen args;                                                         \
    }
#else
#define BRENIX_MULTIVERSION(ret, name, params, body, args) \
    ret name params { return body args; }
#endif
