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

#include <algorithm>
#include <atomic>
#include <bit>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#if defined(BRENIX_HAVE_MPFR)
#include <mpfr.h>
#endif

#include "core/isa.hpp"
#include "math/expm1f_cr.hpp"
#include "math/expm1f_vec.hpp"

namespace {

using brenix::Isa;

constexpr int SKIPPED = 77;
constexpr std::size_t BATCH = 1 << 14;

const char* name(Isa isa) {
    switch (isa) {
        case Isa::avx512:
            return "avx512";
        case Isa::avx2:
            return "avx2";
        case Isa::portable:
            break;
    }
    return "portable";
}

bool same(float want, float got) {
    return std::bit_cast<std::uint32_t>(want) == std::bit_cast<std::uint32_t>(got) ||
           (want != want && got != got);
}

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
    if (!same(want, brenix::expm1f_exact(x))) exact_differs.fetch_add(1);
    return want;
}
#endif

struct Mismatches {
    std::atomic<std::uint64_t> count{0};
    std::mutex mutex;
    std::vector<std::uint32_t> first;  // a few inputs, for the report
};

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

    std::vector<Isa> variants;
    for (Isa isa : {Isa::portable, Isa::avx2, Isa::avx512}) {
        if (static_cast<int>(isa) <= static_cast<int>(brenix::active_isa()))
            variants.push_back(isa);
    }
    std::vector<Mismatches> found(variants.size());

    const std::uint64_t total = ((std::uint64_t{1} << 32) + stride - 1) / stride;
    const std::uint64_t n_batches = (total + BATCH - 1) / BATCH;
    std::atomic<std::uint64_t> next_batch{0};
    const auto work = [&] {
        std::vector<float> in(BATCH), want(BATCH), got(BATCH);
        for (std::uint64_t b; (b = next_batch.fetch_add(1)) < n_batches;) {
            const std::uint64_t first = b * BATCH;
            const std::size_t n =
                static_cast<std::size_t>(std::min<std::uint64_t>(BATCH, total - first));
            for (std::size_t i = 0; i < n; ++i) {
                in[i] = std::bit_cast<float>(static_cast<std::uint32_t>((first + i) * stride));
                want[i] = reference(in[i]);
            }
            for (std::size_t v = 0; v < variants.size(); ++v) {
                brenix::expm1f_cr_vector(variants[v], in.data(), got.data(), n);
                for (std::size_t i = 0; i < n; ++i) {
                    if (same(want[i], got[i])) continue;
                    found[v].count.fetch_add(1);
                    std::lock_guard lock(found[v].mutex);
                    if (found[v].first.size() < 5) {
                        found[v].first.push_back(std::bit_cast<std::uint32_t>(in[i]));
                    }
                }
            }
        }
    };

    const auto start = std::chrono::steady_clock::now();
    const unsigned n_threads = std::max(1u, std::thread::hardware_concurrency());
    std::vector<std::thread> threads;
    for (unsigned t = 0; t < n_threads; ++t) threads.emplace_back(work);
    for (std::thread& t : threads) t.join();
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

    int status = 0;
    std::printf("reference: %s", source);
    if (!use_library) {
        std::printf(" (%llu inputs decided by MPFR; expm1f_exact differs on %llu of them)",
                    static_cast<unsigned long long>(decided_exactly.load()),
                    static_cast<unsigned long long>(exact_differs.load()));
        if (exact_differs.load() != 0) status = 1;
    }
    std::printf("\n");
    for (std::size_t v = 0; v < variants.size(); ++v) {
        const std::uint64_t bad = found[v].count.load();
        std::printf(
            "%-8s %llu inputs (every %llu-th bit pattern), %llu differ from the reference\n",
            name(variants[v]), static_cast<unsigned long long>(total),
            static_cast<unsigned long long>(stride), static_cast<unsigned long long>(bad));
        for (std::uint32_t bits : found[v].first) {
            const float x = std::bit_cast<float>(bits);
            float got;
            brenix::expm1f_cr_vector(variants[v], &x, &got, 1);
            std::printf("  x = %a (0x%08x): reference %a, vector %a\n", static_cast<double>(x),
                        bits, static_cast<double>(reference(x)), static_cast<double>(got));
        }
        if (bad != 0) status = 1;
    }
    std::printf("%.1f s on %u threads\n", seconds, n_threads);
    return status;
}
