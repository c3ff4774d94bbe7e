// The run-time check for the float64 vector expm1: it must reject the C
// library's other build (no fused multiply-add) and libraries that differ in
// one region each; the kernel must handle every length and work in place.
#include <math.h>

#include <bit>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "math/expm1_vec.hpp"

namespace {

int failures = 0;

void check(bool ok, const char* what) {
    if (!ok) {
        std::printf("FAILED: %s\n", what);
        ++failures;
    }
}

std::uint64_t bits(double x) { return std::bit_cast<std::uint64_t>(x); }
double next_up(double y) { return std::bit_cast<double>(bits(y) + 1); }

// The classic algorithm with every product and sum rounded apart: the
// library's build for processors without FMA (written from the algorithm,
// not from the kernel).
double without_fusion(double x) {
    const double ln2_hi = 6.93147180369123816490e-01, ln2_lo = 1.90821492927058770002e-10;
    const double q1 = -3.33333333333331316428e-02, q2 = 1.58730158725481460165e-03,
                 q3 = -7.93650757867487942473e-05, q4 = 4.00821782732936239552e-06,
                 q5 = -2.01099218183624371326e-07;
    const std::uint64_t u = bits(x);
    const std::uint32_t hx = static_cast<std::uint32_t>(u >> 32) & 0x7fffffff;
    const bool negative = (u >> 63) != 0;
    if (hx >= 0x4043687a) {
        if (x != x) return x + x;
        if (negative) return -1.0;
        if (x > 7.09782712893383973096e+02) return __builtin_inf();
    }
    double c = 0.0;
    int k = 0;
    if (hx > 0x3fd62e42) {
        double hi, lo;
        if (hx < 0x3ff0a2b2) {
            k = negative ? -1 : 1;
            hi = negative ? x + ln2_hi : x - ln2_hi;
            lo = negative ? -ln2_lo : ln2_lo;
        } else {
            k = static_cast<int>(1.44269504088896338700e+00 * x + (negative ? -0.5 : 0.5));
            const double t = k;
            hi = x - t * ln2_hi;
            lo = t * ln2_lo;
        }
        x = hi - lo;
        c = (hi - x) - lo;
    } else if (hx < 0x3c900000) {
        return x;
    }
    const double hfx = 0.5 * x, hxs = x * hfx, h2 = hxs * hxs, h4 = h2 * h2;
    const double r1 = (1.0 + hxs * q1) + h2 * (q2 + hxs * q3) + h4 * (q4 + hxs * q5);
    const double t = 3.0 - r1 * hfx;
    double e = hxs * ((r1 - t) / (6.0 - x * t));
    if (k == 0) return x - (x * e - hxs);
    e = (x * (e - c) - c) - hxs;
    if (k == -1) return 0.5 * (x - e) - 0.5;
    if (k == 1) return x < -0.25 ? -2.0 * (e - (x + 0.5)) : 1.0 + 2.0 * (x - e);
    const std::uint64_t shift = static_cast<std::uint64_t>(static_cast<std::uint32_t>(k) << 20)
                                << 32;
    if (k <= -2 || k > 56) return std::bit_cast<double>(bits(1.0 - (e - x)) + shift) - 1.0;
    const double p = std::bit_cast<double>(static_cast<std::uint64_t>(0x3ff - k) << 52);
    const double y = k < 20 ? (1.0 - p) - (e - x) : (x - (e + p)) + 1.0;
    return std::bit_cast<double>(bits(y) + shift);
}

double correctly_rounded(double x) { return static_cast<double>(expm1l(x)); }
double wrong_for_large_k(double x) {  // 20 <= k <= 56
    return x > 14.0 && x < 38.0 ? next_up(::expm1(x)) : ::expm1(x);
}
double wrong_between_thresholds(double x) {  // overflows before the threshold
    return x > 709.7 && x < 709.8 ? __builtin_inf() : ::expm1(x);
}
double flushes_subnormals(double x) {
    return fabs(x) < 2.2250738585072014e-308 ? 0.0 * x : ::expm1(x);
}
double loses_negative_zero(double x) { return x == 0.0 ? 0.0 : ::expm1(x); }
double number_for_nan(double x) { return x != x ? 0.0 : ::expm1(x); }
double other_nan_payload(double x) {
    return x != x ? std::bit_cast<double>(0x7ff8000000012345ull) : ::expm1(x);
}

void guard_rejects_other_libraries() {
    using brenix::choose_expm1_path;
    using brenix::Expm1Path;
    // The library's own two builds must be told apart first.
    check(!brenix::vector_expm1_agrees_with(without_fusion), "the build without FMA");
    const struct {
        double (*platform)(double);
        const char* name;
    } others[] = {
        {correctly_rounded, "correctly rounded"},
        {wrong_for_large_k, "one ulp off for 20 <= k <= 56"},
        {wrong_between_thresholds, "overflow before the threshold"},
        {flushes_subnormals, "subnormals flushed"},
        {loses_negative_zero, "-0 becomes +0"},
        {number_for_nan, "NaN becomes a number"},
    };
    for (const auto& other : others) {
        check(choose_expm1_path(other.platform, nullptr) == Expm1Path::library, other.name);
    }
    check(brenix::vector_expm1_agrees_with(other_nan_payload), "NaN payloads compared as NaN");
    check(choose_expm1_path(::expm1, "off") == Expm1Path::library, "the variable turns it off");
}

void every_length() {
    for (std::size_t n = 0; n <= 20; ++n) {
        std::vector<double> in(n + 1), out(n + 1, 7.0);
        for (std::size_t i = 0; i < n; ++i) in[i] = 0.93 * static_cast<double>(i) - 3.0;
        brenix::expm1_vector(in.data(), out.data(), n);
        bool ok = out[n] == 7.0;
        for (std::size_t i = 0; i < n; ++i) ok = ok && bits(out[i]) == bits(::expm1(in[i]));
        std::vector<double> inplace(in);
        brenix::expm1_vector(inplace.data(), inplace.data(), n);
        ok = ok && std::memcmp(inplace.data(), out.data(), n * sizeof(double)) == 0;
        check(ok, "a length around the block sizes");
    }
}

}  // namespace

int main() {
    // The transcription above must itself be the algorithm: it agrees with the
    // kernel wherever fusion changes nothing, e.g. on small integers' halves.
    for (double x : {0.5, -0.5, 1.5, 3.0, -3.0, 10.0, 40.0, -40.0}) {
        double got;
        brenix::expm1_vector(&x, &got, 1);
        check(fabs(got - without_fusion(x)) <= 4e-16 * fabs(got), "the transcription is expm1");
    }
    if (brenix::expm1_path() != brenix::Expm1Path::vector) {
        std::printf("the process uses the C library's expm1: vector path skipped\n");
        return failures == 0 ? 77 : 1;
    }
    guard_rejects_other_libraries();
    every_length();
    std::printf("%s\n", failures == 0 ? "all checks passed" : "some checks FAILED");
    return failures == 0 ? 0 : 1;
}
