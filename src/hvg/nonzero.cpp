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
BRENIX_INLINE std::size_t positions_from(const T* x, std::size_t begin, std::size_t n,
                                         std::uint32_t* out) {
    std::size_t count = 0;
    for (std::size_t j = begin; j < n; ++j) {
        out[count] = static_cast<std::uint32_t>(j);
        count += !(x[j] == 0);
    }
    return count;
}

template <class T>
BRENIX_INLINE std::size_t positions_plain(const T* x, std::size_t n, std::uint32_t* out) {
    return positions_from(x, 0, n, out);
}

#if BRENIX_X86_VARIANTS

// One bit per value of x[0..16): set when the value is not zero or is NaN.
BRENIX_TARGET_AVX512 inline __mmask16 nonzero_mask16(const double* x) {
    const __m512d zero = _mm512_setzero_pd();
    const __mmask8 low = _mm512_cmp_pd_mask(_mm512_loadu_pd(x), zero, _CMP_NEQ_UQ);
    const __mmask8 high = _mm512_cmp_pd_mask(_mm512_loadu_pd(x + 8), zero, _CMP_NEQ_UQ);
    return static_cast<__mmask16>(low | (static_cast<unsigned>(high) << 8));
}

BRENIX_TARGET_AVX512 inline __mmask16 nonzero_mask16(const float* x) {
    return _mm512_cmp_ps_mask(_mm512_loadu_ps(x), _mm512_setzero_ps(), _CMP_NEQ_UQ);
}

// Sixteen values at a time: compress the lane numbers of the nonzero ones
// into a register, store it whole (the slack of `out` absorbs the excess) and
// advance by the population count. Only AVX-512 has the compress that makes
// this pay; the AVX2 variant is the plain loop.
template <class T>
BRENIX_TARGET_AVX512 inline std::size_t positions_compress(const T* x, std::size_t n,
                                                           std::uint32_t* out) {
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
    return count + positions_from(x, j, n, out + count);
}

#endif  // BRENIX_X86_VARIANTS

}  // namespace

BRENIX_MULTIVERSION_BODIES(std::size_t, nonzero_positions,
                           (const double* x, std::size_t n, std::uint32_t* out), (x, n, out),
                           positions_plain, positions_plain, positions_compress)
BRENIX_MULTIVERSION_BODIES(std::size_t, nonzero_positions,
                           (const float* x, std::size_t n, std::uint32_t* out), (x, n, out),
                           positions_plain, positions_plain, positions_compress)

}  // namespace brenix
