// The constants of the correctly rounded expm1f (expm1f_cr_lanes.inc and
// expm1f_exact.cpp), as scripts/expm1f_cr_constants.py derives them from exact
// rationals and 80-digit logarithms, each rounded to nearest.
#pragma once

namespace brenix::expm1f_cr {

// The vector evaluation: x = n ln2/8 + r, |r| <= ln2/16, in double precision.
inline constexpr double EIGHT_BY_LN2 = 0x1.71547652b82fep+3;
inline constexpr double LN2_BY_8_HI = 0x1.62e42fefa3800p-4;  // 42 bits: n * HI is exact, |n| < 2^11
inline constexpr double LN2_BY_8_LO = 0x1.ef35793c76730p-48;
inline constexpr double SHIFTER = 0x1.8p52;  // x + SHIFTER has round(x) in its low mantissa bits
inline constexpr double C2 = 0x1.0000000000000p-1;   // 1/2!
inline constexpr double C3 = 0x1.5555555555555p-3;   // 1/3!
inline constexpr double C4 = 0x1.5555555555555p-5;   // 1/4!
inline constexpr double C5 = 0x1.1111111111111p-7;   // 1/5!
inline constexpr double C6 = 0x1.6c16c16c16c17p-10;  // 1/6!
inline constexpr double C7 = 0x1.a01a01a01a01ap-13;  // 1/7!
// 2^(j/8), j = 0..7.
alignas(64) inline constexpr double EXP2_EIGHTHS[8] = {
    0x1.0000000000000p+0, 0x1.172b83c7d517bp+0, 0x1.306fe0a31b715p+0, 0x1.4bfdad5362a27p+0,
    0x1.6a09e667f3bcdp+0, 0x1.8ace5422aa0dbp+0, 0x1.ae89f995ad3adp+0, 0x1.d5818dcfba487p+0,
};
// Clamping x to [LOWEST, HIGHEST] changes no float result: below, it is -1;
// above, +inf. Within, |n| < 2^11 and 2^(n/8) is a normal double.
inline constexpr double LOWEST = -104.0;
inline constexpr double HIGHEST = 100.0;
// A double y rounds to the same float as every number within WINDOW units of
// its last place unless its 29 bits below the float's last place lie within
// WINDOW of the midpoint 2^28 (see expm1f_cr_lanes.inc for the error bound).
inline constexpr long long WINDOW = 1 << 10;

// Below 2^-25 (as bits of |x|), expm1f(x) rounds to x itself.
inline constexpr unsigned TINY = 0x33000000;

}  // namespace brenix::expm1f_cr

namespace brenix {

// The correctly rounded expm1f(x) of one float, in double-double arithmetic
// (relative error below 2^-90): for the rare lanes whose double result lies
// too close to a midpoint between two floats. Any x, specials included.
float expm1f_exact(float x) noexcept;

}  // namespace brenix
