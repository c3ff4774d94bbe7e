// The run-time check that lets a vector expm1f stand in for the C library's:
// it must tell the classic library from a correctly rounded one and reject a
// library that differs from both on any part of either, and the vector
// kernels must handle every length and work in place.
#include <math.h>

#include <bit>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "math/expm1f_vec.hpp"

namespace {

int failures = 0;

void check(bool ok, const char* what) {
    if (!ok) {
        std::printf("FAILED: %s\n", what);
        ++failures;
    }
}

std::uint32_t bits(float x) { return std::bit_cast<std::uint32_t>(x); }
float next_up(float y) { return std::bit_cast<float>(bits(y) + 1); }

// C libraries that differ from this one in one place each. A correctly
// rounded expm1f (double expm1 rounded to float, which differs from it only
// where the double lies within 2^-29 ulp of a midpoint) is what a newer C
// library may well be.
float correctly_rounded(float x) { return static_cast<float>(::expm1(static_cast<double>(x))); }
float wrong_for_large_k(float x) {  // 23 <= k <= 56
    return x > 16.0f && x < 38.0f ? next_up(::expm1f(x)) : ::expm1f(x);
}
float wrong_between_thresholds(float x) {  // overflows early, from 88.72168 on
    return x > 88.7216796875f ? __builtin_inff() : ::expm1f(x);
}
float wrong_near_minus_one(float x) {  // -1 only from -20 on
    return x < -18.72f && x > -20.0f ? next_up(::expm1f(x)) : ::expm1f(x);
}
float flushes_subnormals(float x) { return fabsf(x) < 1.17549435e-38f ? 0.0f * x : ::expm1f(x); }
float loses_negative_zero(float x) { return x == 0.0f ? 0.0f : ::expm1f(x); }
float number_for_nan(float x) { return x != x ? 0.0f : ::expm1f(x); }
float wrong_for_k1_below_quarter(float x) {  // k = 1 with the reduced argument below -1/4
    return x > 0.35f && x < 0.44f ? next_up(::expm1f(x)) : ::expm1f(x);
}
// Agrees in every value: NaN results are compared as NaN, whatever payload.
float other_nan_payload(float x) {
    return x != x ? std::bit_cast<float>(0x7fc12345u) : ::expm1f(x);
}

float cr_loses_negative_zero(float x) { return x == 0.0f ? 0.0f : correctly_rounded(x); }
float cr_wrong_near_minus_one(float x) {
    return x < -16.0f && x > -18.0f ? next_up(correctly_rounded(x)) : correctly_rounded(x);
}
float cr_wrong_for_large_x(float x) {
    return x > 80.0f ? next_up(correctly_rounded(x)) : correctly_rounded(x);
}

void guard_tells_libraries_apart(brenix::Expm1fPath here) {
    using brenix::choose_expm1f_path;
    using brenix::Expm1fPath;
    check(choose_expm1f_path(correctly_rounded, nullptr) == Expm1fPath::correctly_rounded,
          "a correctly rounded library takes the correctly rounded kernel");
    const struct {
        float (*platform)(float);
        const char* name;
    } others[] = {
        {wrong_for_large_k, "one ulp off for 23 <= k <= 56"},
        {wrong_between_thresholds, "overflow from the lower threshold"},
        {wrong_near_minus_one, "-1 from a lower threshold"},
        {flushes_subnormals, "subnormals flushed"},
        {loses_negative_zero, "-0 becomes +0"},
        {number_for_nan, "NaN becomes a number"},
        {wrong_for_k1_below_quarter, "one ulp off for k = 1, r < -1/4"},
        {cr_loses_negative_zero, "correctly rounded, but -0 becomes +0"},
        {cr_wrong_near_minus_one, "correctly rounded, but one ulp off near -1"},
        {cr_wrong_for_large_x, "correctly rounded, but one ulp off near overflow"},
    };
    for (const auto& other : others) {
        check(choose_expm1f_path(other.platform, nullptr) == Expm1fPath::library, other.name);
    }
    check(choose_expm1f_path(other_nan_payload, nullptr) == here, "NaN payloads compared as NaN");
    check(choose_expm1f_path(::expm1f, "off") == Expm1fPath::library, "the variable turns it off");
}

// Lengths around the block sizes of every variant, in place and apart, with
// the values past n left alone.
void every_length() {
    for (std::size_t n = 0; n <= 40; ++n) {
        std::vector<float> in(n + 1), out(n + 1, 7.0f);
        for (std::size_t i = 0; i < n; ++i) in[i] = 0.37f * static_cast<float>(i) - 3.0f;
        in[n] = 5.0f;
        brenix::expm1f_vector(in.data(), out.data(), n);
        bool ok = out[n] == 7.0f;
        for (std::size_t i = 0; i < n; ++i) ok = ok && bits(out[i]) == bits(::expm1f(in[i]));
        std::vector<float> inplace(in);
        brenix::expm1f_vector(inplace.data(), inplace.data(), n);
        ok = ok && std::memcmp(inplace.data(), out.data(), n * sizeof(float)) == 0;
        check(ok, "a length around the block sizes");
        // The correctly rounded kernel, against itself one value at a time.
        std::vector<float> cr(n + 1, 7.0f), cr_inplace(in);
        brenix::expm1f_cr_vector(in.data(), cr.data(), n);
        brenix::expm1f_cr_vector(cr_inplace.data(), cr_inplace.data(), n);
        ok = cr[n] == 7.0f;
        for (std::size_t i = 0; i < n; ++i) {
            float one;
            brenix::expm1f_cr_vector(&in[i], &one, 1);
            ok = ok && bits(one) == bits(cr[i]) && bits(cr_inplace[i]) == bits(cr[i]);
        }
        check(ok, "a length around the block sizes, correctly rounded");
    }
}

}  // namespace

int main() {
    const brenix::Expm1fPath here = brenix::choose_expm1f_path(::expm1f, nullptr);
    check(brenix::expm1f_path() == here || std::getenv("BRENIX_VECTOR_EXPM1F") != nullptr,
          "the process takes the path the check finds");
    std::printf("this C library's expm1f: %s\n", brenix::name(here));
    if (here == brenix::Expm1fPath::library) {
        std::printf("neither vector kernel agrees with it: vector paths skipped\n");
        return failures == 0 ? 77 : 1;
    }
    guard_tells_libraries_apart(here);
    every_length();
    std::printf("%s\n", failures == 0 ? "all checks passed" : "some checks FAILED");
    return failures == 0 ? 0 : 1;
}
