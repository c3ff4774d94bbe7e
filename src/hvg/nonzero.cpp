#include "hvg/nonzero.hpp"

#include "core/isa.hpp"

#if BRENIX_X86_VARIANTS
#include <immintrin.h>
#endif

namespace brenix {

namespace {

// Branch-free: every offset is written, and kept only when its value is
// nonzero (NaN != 0 holds).
template <class T>
std::size_t nonzero_positions_portable(const T* x, std::size_t begin, std::size_t n,
                                       std::uint32_t* out) {
    std::size_t count = 0;
    for (std::size_t j = begin; j < n; ++j) {
        out[count] = static_cast<std::uint32_t>(j);
        count += !(x[j] == 0);
    }
    return count;
}

#if BRENIX_X86_VARIANTS

#define BRENIX_AVX512 BRENIX_TARGET_AVX512

// One bit per value of x[0..16): set when the value is not zero or is NaN.
BRENIX_AVX512 __mmask16 nonzero_mask16(const double* x) {
    const __m512d zero = _mm512_setzero_pd();
    const __mmask8 low = _mm512_cmp_pd_mask(_mm512_loadu_pd(x), zero, _CMP_NEQ_UQ);
    const __mmask8 high = _mm512_cmp_pd_mask(_mm512_loadu_pd(x + 8), zero, _CMP_NEQ_UQ);
    return static_cast<__mmask16>(low | (static_cast<unsigned>(high) << 8));
}

BRENIX_AVX512 __mmask16 nonzero_mask16(const float* x) {
    return _mm512_cmp_ps_mask(_mm512_loadu_ps(x), _mm512_setzero_ps(), _CMP_NEQ_UQ);
}

// Sixteen values at a time: compress the lane numbers of the nonzero ones
// into a register, store it whole (the slack of `out` absorbs the excess) and
// advance by the population count.
template <class T>
BRENIX_AVX512 std::size_t nonzero_positions_avx512(const T* x, std::size_t n, std::uint32_t* out) {
    __m512i lanes = _mm512_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
    const __m512i step = _mm512_set1_epi32(16);
    std::size_t count = 0;
    std::size_t j = 0;
    for (; j + 16 <= n; j += 16) {
        const __mmask16 mask = nonzero_mask16(x + j);
        _mm512_storeu_si512(out + count, _mm512_maskz_compress_epi32(mask, lanes));
        count += static_cast<std::size_t>(__builtin_popcount(mask));
        lanes = _mm512_add_epi32(lanes, step);
    }
    return count + nonzero_positions_portable(x, j, n, out + count);
}

#endif  // BRENIX_X86_VARIANTS

template <class T>
std::size_t nonzero_positions_any(const T* x, std::size_t n, std::uint32_t* out) {
#if BRENIX_X86_VARIANTS
    // Only AVX-512 has the compress that makes this pay; AVX2 machines take
    // the portable loop.
    static const bool use_avx512 = active_isa() == Isa::avx512;
    if (use_avx512) return nonzero_positions_avx512(x, n, out);
#endif
    return nonzero_positions_portable(x, 0, n, out);
}

}  // namespace

std::size_t nonzero_positions(const double* x, std::size_t n, std::uint32_t* out) {
    return nonzero_positions_any(x, n, out);
}

std::size_t nonzero_positions(const float* x, std::size_t n, std::uint32_t* out) {
    return nonzero_positions_any(x, n, out);
}

}  // namespace brenix
