#include "hvg/nonzero.hpp"

#include <immintrin.h>

namespace brenix {

namespace {

template <class T>
std::size_t nonzero_positions_portable(const T* x, std::size_t n, std::uint32_t* out) {
    std::size_t count = 0;
    for (std::size_t j = 0; j < n; ++j) {
        out[count] = static_cast<std::uint32_t>(j);
        count += !(x[j] == 0);  // branch-free; NaN != 0
    }
    return count;
}

// Sixteen lanes at a time: compare, compress the lane numbers of the nonzero
// values into a register, store it whole (the slack of `out` absorbs the
// tail), advance by the population count.
__attribute__((target("avx512f,avx512vl,popcnt"))) std::size_t nonzero_positions_avx512(
    const double* x, std::size_t n, std::uint32_t* out) {
    const __m512d zero = _mm512_setzero_pd();
    __m512i lanes = _mm512_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
    const __m512i step = _mm512_set1_epi32(16);
    std::size_t count = 0;
    std::size_t j = 0;
    for (; j + 16 <= n; j += 16) {
        const __mmask8 low = _mm512_cmp_pd_mask(_mm512_loadu_pd(x + j), zero, _CMP_NEQ_UQ);
        const __mmask8 high = _mm512_cmp_pd_mask(_mm512_loadu_pd(x + j + 8), zero, _CMP_NEQ_UQ);
        const __mmask16 mask = static_cast<__mmask16>(low | (static_cast<unsigned>(high) << 8));
        _mm512_storeu_si512(out + count, _mm512_maskz_compress_epi32(mask, lanes));
        count += static_cast<std::size_t>(__builtin_popcount(mask));
        lanes = _mm512_add_epi32(lanes, step);
    }
    for (; j < n; ++j) {
        out[count] = static_cast<std::uint32_t>(j);
        count += !(x[j] == 0);
    }
    return count;
}

__attribute__((target("avx512f,avx512vl,popcnt"))) std::size_t nonzero_positions_avx512(
    const float* x, std::size_t n, std::uint32_t* out) {
    const __m512 zero = _mm512_setzero_ps();
    __m512i lanes = _mm512_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
    const __m512i step = _mm512_set1_epi32(16);
    std::size_t count = 0;
    std::size_t j = 0;
    for (; j + 16 <= n; j += 16) {
        const __mmask16 mask = _mm512_cmp_ps_mask(_mm512_loadu_ps(x + j), zero, _CMP_NEQ_UQ);
        _mm512_storeu_si512(out + count, _mm512_maskz_compress_epi32(mask, lanes));
        count += static_cast<std::size_t>(__builtin_popcount(mask));
        lanes = _mm512_add_epi32(lanes, step);
    }
    for (; j < n; ++j) {
        out[count] = static_cast<std::uint32_t>(j);
        count += !(x[j] == 0);
    }
    return count;
}

const bool HAS_AVX512 = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl");
}();

}  // namespace

std::size_t nonzero_positions(const double* x, std::size_t n, std::uint32_t* out) {
    return HAS_AVX512 ? nonzero_positions_avx512(x, n, out) : nonzero_positions_portable(x, n, out);
}

std::size_t nonzero_positions(const float* x, std::size_t n, std::uint32_t* out) {
    return HAS_AVX512 ? nonzero_positions_avx512(x, n, out) : nonzero_positions_portable(x, n, out);
}

}  // namespace brenix
