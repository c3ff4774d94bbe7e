// What the two vector expm1 kernels share: the choice of an instruction-set
// variant and the run-time guard that decides whether a kernel may stand in
// for the C library.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>
#include <vector>

#include "core/isa.hpp"

namespace brenix {

// One kernel compiled per instruction set. The AVX2 variants of src/math are
// compiled with FMA (BRENIX_TARGETS_AVX2_FMA): on a processor with AVX2 but
// without FMA the portable variant stands in.
template <class T>
struct Variants {
    using Run = void (*)(const T*, T*, std::size_t);
    Run portable, avx2, avx512;
    bool avx2_needs_fma = false;

    // The best variant this process may use: active_isa(), lowered as above.
    Isa isa() const noexcept {
        const Isa best = pick_variant(Isa::portable, Isa::avx2, Isa::avx512);
#if BRENIX_X86_VARIANTS
        if (best == Isa::avx2 && avx2_needs_fma && !cpu_has_fma()) {
            return Isa::portable;
        }
#endif
        return best;
    }

    // The variant for `isa`, which the processor must support.
    Run operator[](Isa isa) const noexcept { return variant_for(isa, portable, avx2, avx512); }
};

// Whether `run` gives platform(x) for every x of `inputs`; NaN results agree
// when both are NaN. Called under IEEE defaults.
template <class T>
bool agrees_with(void (*run)(const T*, T*, std::size_t), T (*platform)(T),
                 const std::vector<T>& inputs) noexcept {
    using Bits = std::conditional_t<sizeof(T) == 4, std::uint32_t, std::uint64_t>;
    try {
        std::vector<T> got(inputs.size());
        run(inputs.data(), got.data(), inputs.size());
        for (std::size_t i = 0; i < inputs.size(); ++i) {
            const T want = platform(inputs[i]);
            const bool same = std::bit_cast<Bits>(want) == std::bit_cast<Bits>(got[i]) ||
                              (want != want && got[i] != got[i]);
            if (!same) return false;
        }
        return true;
    } catch (...) {  // no memory for the check: trust the library alone
        return false;
    }
}

// The environment's word against a vector kernel.
inline bool turned_off(const char* setting) noexcept {
    return setting != nullptr && std::strcmp(setting, "off") == 0;
}

}  // namespace brenix
