// The constants of the classic double-precision expm1 algorithm, as the C
// library on our x86-64 Linux machines has them (read from its machine code),
// and the high words (upper 32 bits) of |x| where it changes course.
#pragma once

#include <cstdint>

namespace brenix::expm1_classic {

inline constexpr double LN2_HI = 6.93147180369123816490e-01;       // 0x3fe62e42fee00000
inline constexpr double LN2_LO = 1.90821492927058770002e-10;       // 0x3dea39ef35793c76
inline constexpr double INVLN2 = 1.44269504088896338700e+00;       // 0x3ff71547652b82fe
inline constexpr double O_THRESHOLD = 7.09782712893383973096e+02;  // 0x40862e42fefa39ef
inline constexpr double Q1 = -3.33333333333331316428e-02;          // 0xbfa11111111110f4
inline constexpr double Q2 = 1.58730158725481460165e-03;           // 0x3f5a01a019fe5585
inline constexpr double Q3 = -7.93650757867487942473e-05;          // 0xbf14ce199eaadbb7
inline constexpr double Q4 = 4.00821782732936239552e-06;           // 0x3ed0cfca86e65239
inline constexpr double Q5 = -2.01099218183624371326e-07;          // 0xbe8afdb76e09c32d

inline constexpr std::uint32_t TINY = 0x3c900000;            // below 2^-54 the result is x
inline constexpr std::uint32_t HALF_LN2 = 0x3fd62e42;        // above: k != 0
inline constexpr std::uint32_t THREE_HALF_LN2 = 0x3ff0a2b2;  // below: k = +-1
inline constexpr std::uint32_t HUGE_NEGATIVE = 0x4043687a;   // from 56 ln2, x < 0 gives -1
inline constexpr std::uint32_t OVERFLOW = 0x40862e42;        // from here, x > O_THRESHOLD overflows

}  // namespace brenix::expm1_classic
