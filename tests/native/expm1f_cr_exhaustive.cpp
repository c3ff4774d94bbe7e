// Every float32 bit pattern through the correctly rounded vector expm1f of
// each instruction set this processor runs, against an independent correctly
// rounded reference:
//   mpfr     (when built with MPFR) the C library's double expm1 of x, rounded
//            to float where it lies more than 2^-40 of itself away from every
//            midpoint between two floats (the library's double expm1 is
//            documented within 1 ulp, 2^-52), else MPFR's expm1 at 24 bits;
//   library  the C library's expm1f, where it is correctly rounded (glibc
//            2.41 and later; skipped, exit status 77, where the process's
//            run-time check did not find it so).
// Usage: expm1f_cr_exhaustive [stride [mpfr|library]]; a stride N checks
// every N-th pattern only (quick runs). NaN results agree when both are NaN.
#include <math.h>

#include <atomic>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#if defined(BRENIX_HAVE_MPFR)
#include <mpfr.h>
#endif

#include "math/expm1f_cr.hpp"
#include "math/expm1f_vec.hpp"
#include "sweep.hpp"

namespace {

constexpr int SKIPPED = 77;

std::atomic<std::uint64_t> decided_exactly{0};
std::atomic<std::uint64_t> exact_differs{0};  // the scalar slow path on those inputs

#if defined(BRENIX_HAVE_MPFR)
float by_mpfr(float x) {
    mpfr_set_emin(-148);  // float's range, subnormals included
    mpfr_set_emax(128);
    mpfr_t v;
    mpfr_init2(v, 24);
    mpfr_set_flt(v, x, MPFR_RNDN);
    const int inexact = mpfr_expm1(v, v, MPFR_RNDN);
    mpfr_subnormalize(v, inexact, MPFR_RNDN);
    const float result = mpfr_get_flt(v, MPFR_RNDN);
    mpfr_clear(v);
    return result;
}

float reference_mpfr(float x) {
    const double y = ::expm1(static_cast<double>(x));
    const std::uint64_t bits = std::bit_cast<std::uint64_t>(y);
    const std::uint64_t exponent = (bits >> 52) & 0x7ff;
    // Within float's normal range, the midpoints have 2^28 in the 29 bits
    // below the float's last place; 2^-40 relative is 2^12 units of y.
    if (exponent >= 1023 - 126 && exponent < 0x7ff) {
        const std::int64_t below = static_cast<std::int64_t>(bits & 0x1fffffff);
        if (std::llabs(below - (1 << 28)) > (1 << 13)) return static_cast<float>(y);
    } else if (!(std::fabs(y) < 0x1p-100)) {  // NaN, infinities, and beyond float's range
        return static_cast<float>(y);
    }
    decided_exactly.fetch_add(1, std::memory_order_relaxed);
    const float want = by_mpfr(x);
    if (!sweep::same(want, brenix::expm1f_exact(x))) exact_differs.fetch_add(1);
    return want;
}
#endif

}  // namespace

int main(int argc, char** argv) {
    const std::uint64_t stride = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1;
#if defined(BRENIX_HAVE_MPFR)
    const char* fallback = "mpfr";
#else
    const char* fallback = "library";
#endif
    const char* source = argc > 2 ? argv[2] : fallback;
    const bool use_library = std::strcmp(source, "library") == 0;
    if (stride == 0 || (!use_library && std::strcmp(source, "mpfr") != 0)) {
        std::fprintf(stderr, "usage: %s [stride >= 1 [mpfr|library]]\n", argv[0]);
        return 2;
    }
#if !defined(BRENIX_HAVE_MPFR)
    if (!use_library) {
        std::printf("built without MPFR: no mpfr reference\n");
        return SKIPPED;
    }
#endif
    std::printf("expm1f path of this process: %s\n", brenix::name(brenix::expm1f_path()));
    if (use_library && brenix::expm1f_path() != brenix::Expm1fPath::correctly_rounded) {
        std::printf("this C library's expm1f is not correctly rounded: reference skipped\n");
        return SKIPPED;
    }
    float (*reference)(float) = ::expm1f;
#if defined(BRENIX_HAVE_MPFR)
    if (!use_library) reference = reference_mpfr;
#endif

    const auto kernel = [](brenix::Isa isa, const float* in, float* out, std::size_t n) {
        brenix::expm1f_cr_vector(isa, in, out, n);
    };
    const bool agreed = sweep::all_float32(stride, reference, kernel, "the reference");

    int status = 0;
    std::printf("reference: %s", source);
    if (!use_library) {
        std::printf(" (%llu inputs decided by MPFR; expm1f_exact differs on %llu of them)",
                    static_cast<unsigned long long>(decided_exactly.load()),
                    static_cast<unsigned long long>(exact_differs.load()));
        if (exact_differs.load() != 0) status = 1;
    }
    std::printf("\n");
    return agreed && status == 0 ? 0 : 1;
}
