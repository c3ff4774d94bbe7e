// Compiles every function between BRENIX_BEGIN_TARGET("...") and
// BRENIX_END_TARGET for the given instruction set, as a target attribute on
// each would. For bodies written with GCC/Clang vector types: these must be
// compiled under the target themselves, not only inlined into a function
// that has it, since both compilers lower vector types wider than the
// target's registers before inlining (GCC element by element).
#pragma once

#define BRENIX_STRINGIFY(...) #__VA_ARGS__

#if defined(__clang__)
#define BRENIX_BEGIN_TARGET(isa) \
    _Pragma(                     \
        BRENIX_STRINGIFY(clang attribute push(__attribute__((target(isa))), apply_to = function)))
#define BRENIX_END_TARGET _Pragma("clang attribute pop")
#else
#define BRENIX_BEGIN_TARGET(isa) \
    _Pragma("GCC push_options") _Pragma(BRENIX_STRINGIFY(GCC target(isa)))
#define BRENIX_END_TARGET _Pragma("GCC pop_options")
#endif
