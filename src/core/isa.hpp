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
#define BRENIX_TARGETS_AVX2_FMA "avx2,fma,popcnt"
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

// The variants, in rising order: the names BRENIX_MAX_ISA and the tests use,
// the target string a variant is compiled with, its vector width, and whether
// a loop that fuses needs a feature test of its own (AVX2 processors without
// FMA exist; every AVX-512 processor has it).
struct IsaTarget {
    Isa isa;
    const char* name;
    const char* target;  // empty for portable
    unsigned float_lanes;
    unsigned double_lanes;
    bool fma_needs_check;
};

#if BRENIX_X86_VARIANTS
inline constexpr IsaTarget ISA_TARGETS[] = {
    {Isa::portable, "portable", "", 4, 2, true},
    {Isa::avx2, "avx2", BRENIX_TARGETS_AVX2, 8, 4, true},
    {Isa::avx512, "avx512", BRENIX_TARGETS_AVX512, 16, 8, false},
};
#else
inline constexpr IsaTarget ISA_TARGETS[] = {{Isa::portable, "portable", "", 4, 2, true}};
#endif

constexpr const IsaTarget& isa_target(Isa isa) {
    for (const IsaTarget& t : ISA_TARGETS) {
        if (t.isa == isa) return t;
    }
    return ISA_TARGETS[0];
}

// The best instruction set this build has variants for and the processor
// runs, capped by BRENIX_MAX_ISA (a name of ISA_TARGETS) when that is set.
// Decided once per process.
Isa active_isa() noexcept;

// Whether an x86-64 processor has FMA and the OS saves the registers it uses
// (false elsewhere).
bool cpu_has_fma() noexcept;

// The one of three things that belongs to `isa`.
template <class F>
F variant_for(Isa isa, F portable, [[maybe_unused]] F avx2, [[maybe_unused]] F avx512) noexcept {
    switch (isa) {
        case Isa::avx512:
            return avx512;
        case Isa::avx2:
            return avx2;
        case Isa::portable:
            break;
    }
    return portable;
}

template <class F>
F pick_variant(F portable, F avx2, F avx512) noexcept {
    return variant_for(active_isa(), portable, avx2, avx512);
}

}  // namespace brenix

// The one way hot loops get instruction-set variants. BRENIX_MULTIVERSION
// defines `ret name params` as `body args` compiled for the active instruction
// set; `body` must be BRENIX_INLINE so that each variant gets its own copy of
// the loop. Overloads of one name are fine: the variant is picked by type.
// BRENIX_MULTIVERSION_BODIES is the same with a body of its own per variant,
// for the rare loop written with one instruction set's intrinsics.
#if BRENIX_X86_VARIANTS
#define BRENIX_MULTIVERSION_BODIES(ret, name, params, args, portable_body, avx2_body, avx512_body) \
    BRENIX_TARGET_AVX512 ret name##_avx512 params { return avx512_body args; }                     \
    BRENIX_TARGET_AVX2 ret name##_avx2 params { return avx2_body args; }                           \
    ret name##_portable params { return portable_body args; }                                      \
    ret name params {                                                                              \
        static const auto chosen =                                                                 \
            ::brenix::pick_variant<ret(*) params>(&name##_portable, &name##_avx2, &name##_avx512); \
        return chosen args;                                                                        \
    }
#else
#define BRENIX_MULTIVERSION_BODIES(ret, name, params, args, portable_body, avx2_body, avx512_body) \
    ret name params { return portable_body args; }
#endif
#define BRENIX_MULTIVERSION(ret, name, params, body, args) \
    BRENIX_MULTIVERSION_BODIES(ret, name, params, args, body, body, body)
