// Run-time choice of instruction set for the hot loops. A function marked
// BRENIX_MULTIVERSION is compiled for AVX-512, for AVX2 and for the baseline,
// and the loader picks the best the processor has. Each variant performs the
// same IEEE operations in the same order per element (the build never
// contracts a multiply and an add), so the choice changes speed, not bits.
#pragma once

#if defined(__x86_64__) && !defined(BRENIX_NO_MULTIVERSION)
#define BRENIX_MULTIVERSION \
    __attribute__((target_clones("arch=x86-64-v4", "arch=x86-64-v3", "default")))
#else
#define BRENIX_MULTIVERSION
#endif

// For the bodies that multiversioned functions instantiate: inlined into each
// variant, so they are compiled for its instruction set.
#define BRENIX_INLINE [[gnu::always_inline]] inline
