// The constants of the classic single-precision expm1 algorithm, as the C
// library on our x86-64 Linux machines has them (read from its machine code),
// and the bit patterns of |x| where it changes course.
#pragma once

#include <cstdint>

namespace brenix::expm1f_classic {

inline constexpr float LN2_HI = 6.9313812256e-01f;  // 0x3f317180: k * LN2_HI is exact
inline constexpr float LN2_LO = 9.0580006145e-06f;  // 0x3717f7d1
inline constexpr float INVLN2 = 1.4426950216e+00f;  // 0x3fb8aa3b
inline constexpr float Q1 = -3.3333335072e-02f;     // 0xbd088889
inline constexpr float Q2 = 1.5873016091e-03f;      // 0x3ad00d01
inline constexpr float Q3 = -7.9365076090e-05f;     // 0xb8a670cd
inline constexpr float Q4 = 4.0082177293e-06f;      // 0x36867e54
inline constexpr float Q5 = -2.0109921195e-07f;     // 0xb457edbb

inline constexpr std::uint32_t TINY = 0x33000000;                // below 2^-25 the result is x
inline constexpr std::uint32_t HALF_LN2 = 0x3eb17218;            // above 0.5 ln2: k != 0
inline constexpr std::uint32_t THREE_HALF_LN2 = 0x3f851592;      // below 1.5 ln2: k = +-1
inline constexpr std::uint32_t HUGE_NEGATIVE = 0x4195b844;       // from 27 ln2, x < 0 gives -1
inline constexpr std::uint32_t OVERFLOW_THRESHOLD = 0x42b17180;  // 88.72168, tested...
inline constexpr std::uint32_t OVERFLOW = 0x42b17218;  // ...only from here: x > 0 gives +inf
inline constexpr std::uint32_t INF = 0x7f800000;       // above: NaN

}  // namespace brenix::expm1f_classic
