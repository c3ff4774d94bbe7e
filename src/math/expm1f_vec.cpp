#include "math/expm1f_vec.hpp"

#include <math.h>

#include <bit>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "math/expm1f_classic.hpp"
#include "math/expm1f_cr.hpp"
#include "math/target_region.hpp"
#include "math/variants.hpp"
#include "runtime/fp_env.hpp"

#if BRENIX_X86_VARIANTS
#include <immintrin.h>
#endif

namespace brenix {

namespace {

#define BRENIX_VECTOR_BODY "math/expm1f_lanes.inc"
#define BRENIX_VECTOR_BODY_2 "math/expm1f_cr_lanes.inc"
#define BRENIX_VECTOR_AVX2_TARGET BRENIX_TARGETS_AVX2_FMA
#include "math/each_isa.inc"

#if BRENIX_X86_VARIANTS
constexpr Variants<float> CLASSIC{&portable::run, &avx2::run, &avx512::run, true};
constexpr Variants<float> CORRECTLY_ROUNDED{&portable::cr::run, &avx2::cr::run, &avx512::cr::run,
                                            true};
#else
constexpr Variants<float> CLASSIC{&portable::run, &portable::run, &portable::run};
constexpr Variants<float> CORRECTLY_ROUNDED{&portable::cr::run, &portable::cr::run,
                                            &portable::cr::run};
#endif

// Inputs on which the classic algorithm and a correctly rounded expm1f
// differ, a few from every binade where they occur (among the 12.9 million
// such inputs below |x| = 89).
constexpr std::uint32_t DIFFERS_FROM_CORRECTLY_ROUNDED[] = {
    0x34000000, 0x352953fc, 0x35544393, 0x3566c158, 0x359617e1, 0x35af456c, 0x35ba9726, 0x35e2462c,
    0x361ffffc, 0x362646dd, 0x3642a5f8, 0x364ce65e, 0x3651d682, 0x365ffff8, 0x3689a31a, 0x3697ca0a,
    0x36b66d8b, 0x36c68df9, 0x36ce2537, 0x36d30de5, 0x36d7da00, 0x36dc8b67, 0x3708b431, 0x371f329f,
    0x37344f7e, 0x374b044f, 0x375741ed, 0x375e4753, 0x376a9b02, 0x377b7588, 0x37874abb, 0x37ab34f7,
    0x37bc4c04, 0x37cbf5c0, 0x37d65cff, 0x37e048d7, 0x37eb6c03, 0x37f820b6, 0x38118be1, 0x38286120,
    0x3838b168, 0x3843cb56, 0x38507595, 0x385a0ff4, 0x386b8e84, 0x3878835d, 0x388cbd44, 0x38a14aee,
    0x38bd3a28, 0x38c93176, 0x38d56357, 0x38e0ec32, 0x38ecd76b, 0x38f7ee3b, 0x390d7988, 0x392bb74d,
    0x393b9182, 0x3948318b, 0x3954bf06, 0x395f74a9, 0x396d017f, 0x39795f94, 0x398dc83d, 0x39a9880b,
    0x39bd8911, 0x39ca647b, 0x39d75f8f, 0x39e459ff, 0x39ee9835, 0x39fa1db7, 0x3a0cff7d, 0x3a257ffd,
    0x3a398c29, 0x3a46bdb7, 0x3a530447, 0x3a5fda1f, 0x3a6bf06e, 0x3a78fb90, 0x3a8b5691, 0x3aa42797,
    0x3ab9f35d, 0x3ac6ec0a, 0x3ad3c71e, 0x3adfc565, 0x3aecff88, 0x3af996ab, 0x3b0c0840, 0x3b25181e,
    0x3b39794a, 0x3b45eb03, 0x3b5286d8, 0x3b5fb6d0, 0x3b6c7a47, 0x3b7953c9, 0x3b8c9146, 0x3ba4fb29,
    0x3bb9dae5, 0x3bc6824b, 0x3bd35476, 0x3be02a1c, 0x3bec8e42, 0x3bf979d8, 0x3c0ca67d, 0x3c25a36a,
    0x3c39ddbf, 0x3c4646db, 0x3c52cd0d, 0x3c5f7784, 0x3c6c1d44, 0x3c790410, 0x3c8cdab1, 0x3ca64971,
    0x3cba11b8, 0x3cc68537, 0x3cd2f086, 0x3cdf7420, 0x3cec02a0, 0x3cf860c5, 0x3d0c9ecc, 0x3d25a647,
    0x3d394906, 0x3d4590eb, 0x3d522dce, 0x3d5e9747, 0x3d6b09c6, 0x3d775328, 0x3d8c60dd, 0x3da50570,
    0x3db80530, 0x3dc45a94, 0x3dd09fa3, 0x3ddcfe5f, 0x3de94b28, 0x3df8f67a, 0x3e0c4fff, 0x3e245699,
    0x3e36344b, 0x3e42158e, 0x3e4dff30, 0x3e59f1f9, 0x3e6722b2, 0x3e79fdf7, 0x3e8e9242, 0x3eaa0964,
    0x3eb8a5df, 0x3ec66f95, 0x3ed9985e, 0x3ee9b771, 0x3ef29afd, 0x3efb8828, 0x3f0488ea, 0x3f0d398c,
    0x3f1ae15a, 0x3f4448fc, 0x3f5943ec, 0x3f67df8c, 0x3f71dceb, 0x3f7b463e, 0x3f846e2b, 0x3f94b15d,
    0x3fa3ed32, 0x3fc5ad10, 0x3fd2fb09, 0x3fdf15ca, 0x3fe88253, 0x3ff5a1cc, 0x4011773f, 0x401cd2a7,
    0x4026cae2, 0x4041beb9, 0x404b19cc, 0x4057404f, 0x407146f3, 0x407a4226, 0x408d51ce, 0x409734e3,
    0x40a8aecc, 0x40bb789d, 0x40cb5a92, 0x40d6ca58, 0x40e94aa2, 0x40fb202b, 0x41093099, 0x41170b47,
    0x4128ffab, 0x41379b93, 0x41465c4d, 0x4158449b, 0x416634bb, 0x4178b046, 0x4187fc33, 0x41984bca,
    0x41a86785, 0x41b83f70, 0x41c6efff, 0x41d6e206, 0x41e70d2d, 0x41f738c6, 0x420766f0, 0x42178161,
    0x4227cbf8, 0x42380019, 0x42475713, 0x42576160, 0x4267a130, 0x4277f14a, 0x4282fe7c, 0x4288e4f6,
    0x428f6388, 0x429556e3, 0x429bd894, 0x42a1c847, 0x42a84c7d, 0x42ae4330, 0xb5400001, 0xb577def8,
    0xb587c3b8, 0xb5ba972b, 0xb5cf623e, 0xb60b7c1d, 0xb62c534a, 0xb668f6b2, 0xb6719848, 0xb685dd9e,
    0xb68d4eeb, 0xb6a1979b, 0xb6bea985, 0xb6d57784, 0xb6da360d, 0xb6e3672a, 0xb6f4c0d4, 0xb70c664e,
    0xb7270b91, 0xb735b9b4, 0xb741fd75, 0xb749c0b3, 0xb754ddda, 0xb76eee78, 0xb7765146, 0xb78ea92d,
    0xb79d2cf1, 0xb7ad6fbc, 0xb7be53a6, 0xb7c7852d, 0xb7dcd5f4, 0xb7ed0cb5, 0xb7f8a543, 0xb80b4185,
    0xb82f16fb, 0xb83c780b, 0xb846127f, 0xb854b7b3, 0xb85e2316, 0xb86e433b, 0xb8790857, 0xb88c4978,
    0xb8a1e414, 0xb8b89c43, 0xb8cb6a09, 0xb8d9b368, 0xb8e5db38, 0xb8f21000, 0xb8fb04da, 0xb90f640f,
    0xb92d9438, 0xb93e7536, 0xb94a1d89, 0xb9556fb7, 0xb96208e0, 0xb96cf4c8, 0xb97995e6, 0xb98bbfb3,
    0xb9a5583f, 0xb9b9a25d, 0xb9c50282, 0xb9d111a4, 0xb9ddbc76, 0xb9eafb3c, 0xb9f83aab, 0xba0bc4f4,
    0xba25df73, 0xba394f90, 0xba45c316, 0xba52c9ed, 0xba607387, 0xba6d8c48, 0xba7a1ea8, 0xba8c3f0b,
    0xbaa69e5d, 0xbaba282c, 0xbac6c041, 0xbad49966, 0xbae15e6a, 0xbaedd960, 0xbaf9a491, 0xbb0d3887,
    0xbb25fd1b, 0xbb3a4a2b, 0xbb4741b3, 0xbb53d076, 0xbb5fe001, 0xbb6cec54, 0xbb79d727, 0xbb8c4993,
    0xbba71188, 0xbbbab461, 0xbbc6d666, 0xbbd397e1, 0xbbe047ff, 0xbbed10a0, 0xbbf99515, 0xbc0bf406,
    0xbc261fd3, 0xbc3a6f80, 0xbc47282b, 0xbc53f1b4, 0xbc609c13, 0xbc6d2a7a, 0xbc798026, 0xbc8c0c7f,
    0xbca5a43c, 0xbcba1909, 0xbcc6e822, 0xbcd3c2b3, 0xbce07abc, 0xbced1b79, 0xbcf9d012, 0xbd0b432a,
    0xbd24cbd0, 0xbd3a52e1, 0xbd472a6f, 0xbd5401f5, 0xbd607356, 0xbd6d1c04, 0xbd79bc85, 0xbd89e332,
    0xbda3c3cf, 0xbdba5d04, 0xbdc71386, 0xbdd3d3aa, 0xbde09ac0, 0xbded4f6b, 0xbdf9da61, 0xbe07b68b,
    0xbe20e79c, 0xbe39e303, 0xbe4709e3, 0xbe53f73c, 0xbe60dd67, 0xbe6da534, 0xbe79e28b, 0xbe8bb717,
    0xbea8ef11, 0xbebb4bc5, 0xbec6fb4b, 0xbed2c158, 0xbede5b5d, 0xbee9cd33, 0xbef72424, 0xbf038f8f,
    0xbf0b1f1f, 0xbf12c544, 0xbf21c429, 0xbf516249, 0xbf61bd84, 0xbf7025b4, 0xbf7c6b1a, 0xbf88cd6c,
    0xbf978cdb, 0xbfa41fef, 0xbfafa519, 0xbfc25798, 0xbfd3a69c, 0xbfe3dacb, 0xbff5f33d, 0xc0030495,
    0xc00cc4ad, 0xc016b9d1, 0xc0201cd8, 0xc02ade6b, 0xc03bb810, 0xc04ec590, 0xc06c93b9, 0xc081bf1d,
    0xc085e5d6, 0xc08ca17d, 0xc0928c2d, 0xc0998cf5, 0xc0a526a7, 0xc0b34d91, 0xc0d22026, 0xc1011e0b,
    0xc102d055, 0xc104e755, 0xc10902f4, 0xc10c50f9, 0xc1109f4a, 0xc118f9d3, 0xc12ae557,
};

float from_bits(std::uint32_t bits) { return std::bit_cast<float>(bits); }

}  // namespace

std::vector<float> expm1f_validation_set() {
    std::vector<float> v;
    const auto around = [&v](float x, int ulps) {
        const std::uint32_t b = std::bit_cast<std::uint32_t>(x);
        for (int d = -ulps; d <= ulps; ++d) {
            const std::uint32_t m = (b & 0x7fffffffu) + static_cast<std::uint32_t>(d);
            if (m > expm1f_classic::INF) continue;
            v.push_back(from_bits(m));
            v.push_back(from_bits(m | 0x80000000u));
        }
    };
    using namespace expm1f_classic;
    for (std::uint32_t edge : {TINY, HALF_LN2, THREE_HALF_LN2, HUGE_NEGATIVE, OVERFLOW_THRESHOLD,
                               OVERFLOW, 0x42c80000u /*where the kernel clamps k*/, INF}) {
        around(from_bits(edge), 3);
    }
    // Every change of k, up to overflow, and the k = 1 lanes that switch
    // formula where the reduced argument crosses -0.25.
    for (int m = 0; m <= 128; ++m) around(static_cast<float>((m + 0.5) * 0.6931471805599453), 4);
    around(static_cast<float>(0.6931471805599453 - 0.25), 4);
    // Each exponent, both signs, and a few mantissas in each.
    for (std::uint32_t b = 0; b < 0x80000000u; b += 0x00100000u) {
        v.push_back(from_bits(b + 0x5a5a5u));
        v.push_back(from_bits((b + 0x5a5a5u) | 0x80000000u));
    }
    for (std::uint32_t bits : {0x00000000u, 0x00000001u, 0x007fffffu, 0x00800000u, 0x7f7fffffu,
                               0x7fc00000u, 0x7f800001u, 0x7fa5a5a5u, 0xffc00000u, 0xff812345u}) {
        v.push_back(from_bits(bits));
        v.push_back(from_bits(bits ^ 0x80000000u));
    }
    for (std::uint32_t bits : DIFFERS_FROM_CORRECTLY_ROUNDED) v.push_back(from_bits(bits));
    return v;
}

void expm1f_vector(const float* in, float* out, std::size_t n) noexcept {
    static const Variants<float>::Run chosen = [] {
        const Variants<float>& kernel =
            expm1f_path() == Expm1fPath::correctly_rounded ? CORRECTLY_ROUNDED : CLASSIC;
        return kernel[kernel.isa()];
    }();
    chosen(in, out, n);
}

void expm1f_vector(Isa isa, const float* in, float* out, std::size_t n) noexcept {
    CLASSIC[isa](in, out, n);
}

void expm1f_cr_vector(const float* in, float* out, std::size_t n) noexcept {
    static const Variants<float>::Run chosen = CORRECTLY_ROUNDED[CORRECTLY_ROUNDED.isa()];
    chosen(in, out, n);
}

void expm1f_cr_vector(Isa isa, const float* in, float* out, std::size_t n) noexcept {
    CORRECTLY_ROUNDED[isa](in, out, n);
}

Expm1fPath choose_expm1f_path(float (*platform)(float), const char* setting) noexcept {
    if (turned_off(setting)) return Expm1fPath::library;
    std::vector<float> inputs;
    try {
        inputs = expm1f_validation_set();
    } catch (...) {  // no memory for the check: trust the library alone
        return Expm1fPath::library;
    }
    if (agrees_with(CLASSIC[CLASSIC.isa()], platform, inputs)) return Expm1fPath::vector;
    if (agrees_with(CORRECTLY_ROUNDED[CORRECTLY_ROUNDED.isa()], platform, inputs)) {
        return Expm1fPath::correctly_rounded;
    }
    return Expm1fPath::library;
}

Expm1fPath expm1f_path() noexcept {
    static const Expm1fPath path = [] {
        DefaultFloatingPoint defaults;
        return choose_expm1f_path(::expm1f, std::getenv("BRENIX_VECTOR_EXPM1F"));
    }();
    return path;
}

const char* name(Expm1fPath path) noexcept {
    switch (path) {
        case Expm1fPath::vector:
            return "classic vector";
        case Expm1fPath::correctly_rounded:
            return "correctly rounded vector";
        case Expm1fPath::library:
            break;
    }
    return "library";
}

}  // namespace brenix
