// The correctly rounded expm1f of one float, for the lanes the vector kernel
// cannot round with certainty (one in about 2^18). Double-double arithmetic
// (pairs hi + lo, |lo| <= ulp(hi)/2) carries about 104 bits; the products use
// Dekker's splitting, so no fused multiply-add is needed and the result is the
// same on every processor.
#include <bit>
#include <cmath>
#include <cstdint>

#include "math/expm1f_cr.hpp"

namespace brenix {

namespace {

struct DD {
    double hi, lo;
};

DD two_sum(double a, double b) {
    const double s = a + b;
    const double bb = s - a;
    return {s, (a - (s - bb)) + (b - bb)};
}

DD fast_two_sum(double a, double b) {  // |a| >= |b| or a = 0
    const double s = a + b;
    return {s, b - (s - a)};
}

DD split(double a) {
    const double c = 134217729.0 * a;  // 2^27 + 1
    const double hi = c - (c - a);
    return {hi, a - hi};
}

DD two_product(double a, double b) {
    const double p = a * b;
    const DD x = split(a);
    const DD y = split(b);
    return {p, ((x.hi * y.hi - p) + x.hi * y.lo + x.lo * y.hi) + x.lo * y.lo};
}

DD add(DD a, DD b) {
    const DD s = two_sum(a.hi, b.hi);
    const DD t = two_sum(a.lo, b.lo);
    DD u = fast_two_sum(s.hi, s.lo + t.hi);
    return fast_two_sum(u.hi, u.lo + t.lo);
}

DD multiply(DD a, DD b) {
    const DD p = two_product(a.hi, b.hi);
    return fast_two_sum(p.hi, p.lo + (a.hi * b.lo + a.lo * b.hi));
}

// ln 2 = LN2_1 + LN2_2 + LN2_3, the first two of 42 bits, so that k LN2_1 and
// k LN2_2 are exact for |k| < 2^11.
constexpr double LN2_1 = 0x1.62e42fefa3800p-1;
constexpr double LN2_2 = 0x1.ef35793c76800p-45;
constexpr double LN2_3 = -0x1.9ff0342542fc3p-90;
constexpr double INV_LN2 = 0x1.71547652b82fep+0;

// 1/i! for i = 1..22, each as hi + lo.
constexpr DD INV_FACTORIAL[] = {
    {0x1.0000000000000p+0, 0x0.0p+0},
    {0x1.0000000000000p-1, 0x0.0p+0},
    {0x1.5555555555555p-3, 0x1.5555555555555p-57},
    {0x1.5555555555555p-5, 0x1.5555555555555p-59},
    {0x1.1111111111111p-7, 0x1.1111111111111p-63},
    {0x1.6c16c16c16c17p-10, -0x1.f49f49f49f49fp-65},
    {0x1.a01a01a01a01ap-13, 0x1.a01a01a01a01ap-73},
    {0x1.a01a01a01a01ap-16, 0x1.a01a01a01a01ap-76},
    {0x1.71de3a556c734p-19, -0x1.c154f8ddc6c00p-73},
    {0x1.27e4fb7789f5cp-22, 0x1.cbbc05b4fa99ap-76},
    {0x1.ae64567f544e4p-26, -0x1.c062e06d1f209p-80},
    {0x1.1eed8eff8d898p-29, -0x1.2aec959e14c06p-83},
    {0x1.6124613a86d09p-33, 0x1.f28e0cc748ebep-87},
    {0x1.93974a8c07c9dp-37, 0x1.05d6f8a2efd1fp-92},
    {0x1.ae7f3e733b81fp-41, 0x1.1d8656b0ee8cbp-97},
    {0x1.ae7f3e733b81fp-45, 0x1.1d8656b0ee8cbp-101},
    {0x1.952c77030ad4ap-49, 0x1.ac981465ddc6cp-103},
    {0x1.6827863b97d97p-53, 0x1.eec01221a8b0bp-107},
    {0x1.2f49b46814157p-57, 0x1.2650f61dbdcb4p-112},
    {0x1.e542ba4020225p-62, 0x1.ea72b4afe3c2fp-120},
    {0x1.71b8ef6dcf572p-66, -0x1.d043ae40c4647p-120},
    {0x1.0ce396db7f853p-70, -0x1.aebcdbd20331cp-124},
};
constexpr int TERMS = sizeof INV_FACTORIAL / sizeof INV_FACTORIAL[0];

// hi + lo rounded to float: hi's own rounding, unless hi is exactly a midpoint
// between two floats, where lo's sign decides. (hi is in float's normal range
// or beyond its largest value.)
float round_to_float(DD y) {
    const std::uint64_t bits = std::bit_cast<std::uint64_t>(y.hi);
    if ((bits & 0x1fffffffu) != 0x10000000u || y.lo == 0.0) return static_cast<float>(y.hi);
    const std::uint64_t toward_zero = bits & ~std::uint64_t{0x1fffffff};
    const bool away = (y.lo > 0.0) == (y.hi > 0.0);
    return static_cast<float>(std::bit_cast<double>(toward_zero + (away ? 0x20000000u : 0u)));
}

}  // namespace

float expm1f_exact(float xf) noexcept {
    const std::uint32_t ax = std::bit_cast<std::uint32_t>(xf) & 0x7fffffffu;
    if (ax > 0x7f800000u) return xf + xf;
    if (ax < expm1f_cr::TINY) return xf;
    const double x = xf;
    if (x > expm1f_cr::HIGHEST) return __builtin_inff();
    if (x < expm1f_cr::LOWEST) return -1.0f;

    // r = x - k ln2, |r| <= ln2/2 (slightly more where x/ln2 rounds across a
    // half). x - k LN2_1 is exact: for k != 0, x is a multiple of 2^-25 and
    // k LN2_1 one of 2^-42, and their difference is below 1/2.
    const double k = std::nearbyint(x * INV_LN2);
    const DD r0 = two_sum(x - k * LN2_1, -k * LN2_2);
    const DD r = fast_two_sum(r0.hi, r0.lo - k * LN2_3);

    // e^r - 1 = r (1 + r (1/2! + r (... + r/22!))): the remainder is below
    // 0.35^21/22! < 2^-101 relative.
    DD sum = INV_FACTORIAL[TERMS - 1];
    for (int i = TERMS - 2; i >= 0; --i) sum = add(INV_FACTORIAL[i], multiply(sum, r));
    const DD p = multiply(sum, r);

    // 2^k (1 + p) - 1 = (2^k - 1) + 2^k p, with 2^k - 1 exact as a pair.
    const double s = std::ldexp(1.0, static_cast<int>(k));
    const DD y = add(two_sum(s, -1.0), DD{s * p.hi, s * p.lo});
    return round_to_float(y);
}

}  // namespace brenix
