#include "math/expm1_vec.hpp"

#include <math.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "fp_env.hpp"
#include "math/expm1_classic.hpp"
#include "math/target_region.hpp"

#if BRENIX_X86_VARIANTS
#include <immintrin.h>
#endif

namespace brenix {

namespace {

namespace portable {
constexpr std::size_t LANES = 2;  // 128 bits: SSE2, NEON
#include "math/expm1_lanes.inc"
}  // namespace portable

#if BRENIX_X86_VARIANTS
BRENIX_BEGIN_TARGET("avx2,fma,popcnt")
namespace avx2 {
constexpr std::size_t LANES = 4;
#define BRENIX_LANES_AVX2
#include "math/expm1_lanes.inc"
#undef BRENIX_LANES_AVX2
}  // namespace avx2
BRENIX_END_TARGET

BRENIX_BEGIN_TARGET(BRENIX_TARGETS_AVX512)
namespace avx512 {
constexpr std::size_t LANES = 8;
#define BRENIX_LANES_AVX512
#include "math/expm1_lanes.inc"
#undef BRENIX_LANES_AVX512
}  // namespace avx512
BRENIX_END_TARGET
#endif

using Run = void (*)(const double*, double*, std::size_t);

Run variant(Isa isa) {
#if BRENIX_X86_VARIANTS
    if (isa == Isa::avx512) return &avx512::run;
    if (isa == Isa::avx2) return &avx2::run;
#endif
    (void)isa;
    return &portable::run;
}

// Inputs on which the library's builds with and without fused multiply-add
// differ (a few per binade among 10^8 random inputs), then inputs on which
// the classic algorithm and a correctly rounded expm1 differ.
constexpr std::uint64_t FUSION_MATTERS[] = {
    0x3f6aa144ad2d33ceull, 0x3f76070b71c22229ull, 0x3f9ea2f84f3e330aull, 0x3f96c2a476084019ull,
    0x3f9b24ae6d2951b9ull, 0x3f9701966447eb3bull, 0x3faf5edd0b4d123bull, 0x3fa6894ff36ec2ddull,
    0x3fab515287951498ull, 0x3fae26b17c838ee5ull, 0x3fb97364bdbea7d0ull, 0x3fb6012df326a305ull,
    0x3fb9dc9f9dffa5a7ull, 0x3fbf8926812360a8ull, 0x3fcbd5895db3f856ull, 0x3fc3d36b4f4d2a16ull,
    0x3fcb7e51bf950026ull, 0x3fcd32109c12bc1eull, 0x3fdceb9a5ae2af81ull, 0x3fd657f36ff03ac0ull,
    0x3fdc95674c9666c4ull, 0x3fd840e358c35decull, 0x3fef71fa79f46d61ull, 0x3fedf791da63a5e0ull,
    0x3feee5d842a4e67eull, 0x3fe02be8ef9bc955ull, 0x3ff1583af545f474ull, 0x3ff16c55cdef1139ull,
    0x3ff0416308185ba6ull, 0x3ff0b89b9e83e16bull, 0x400e9f174b47650eull, 0x40090c98303591cdull,
    0x400e64d643675736ull, 0x4003d84665bd92f8ull, 0x401814bd7ca269c7ull, 0x401d6a9480e743c8ull,
    0x40143f4f8f22c8b8ull, 0x401cee4d2f7f8e0eull, 0x402163a57967c36full, 0x402857c067aef4d0ull,
    0x402763d3a3f4b267ull, 0x402ddb1ea593df7bull, 0x403cbed0f8ba1bc7ull, 0x403c06fd547d0bacull,
    0x4035f03be337647full, 0x403e0f9e6f97824aull, 0x4048822b4da35068ull, 0x404b8e32cc3f4076ull,
    0x404c42ae77f03f68ull, 0x404a2ce2c4745041ull, 0x405dbb19b8816c97ull, 0x40561b1660100967ull,
    0x405ac45d012b540cull, 0x405a72ce715f2fadull, 0x406439c5f3270da1ull, 0x406e7301abe97723ull,
    0x40640f4a563cc181ull, 0x4069b26f24dfe56cull, 0x407cc96443b1798dull, 0x4078edb937069f63ull,
    0x40701549b218bf27ull, 0x407171225b2200e1ull, 0x40803d15937a0dd5ull, 0x40817f768951ad57ull,
    0x40840c5634a12ff0ull, 0x40807ea9d8a8c85dull, 0xbf88c15f32a7721aull, 0xbf97f82d912edbceull,
    0xbf9c6fbf925e8c0cull, 0xbf9b862861f35fe8ull, 0xbfafded94fe7f4cdull, 0xbfac7e011e25f15full,
    0xbfafc6e189e76ae4ull, 0xbfad201aab817ba1ull, 0xbfb39e8a02ce511bull, 0xbfb7464c64cbddf0ull,
    0xbfb3583b2d3afd67ull, 0xbfb6c78838d8713cull, 0xbfce50407dce1b6dull, 0xbfcade0038355e7cull,
    0xbfc634fbef327f5full, 0xbfc768b98a3ef1a1ull, 0xbfd212b332ef67dfull, 0xbfdc96f06cb793deull,
    0xbfd6e03e43930cafull, 0xbfd44a79152bc183ull, 0xbfef8588795ce45cull, 0xbfe1d94540926f15ull,
    0xbfef52e70b920409ull, 0xbfecf6dd332fec36ull, 0xbffa628b021acae8ull, 0xbffcd6c5606a16d8ull,
    0xbff499e07a07fdc9ull, 0xbffb560273b29b6eull, 0xc002bd66d1631d42ull,
};
constexpr std::uint64_t DIFFERS_FROM_CORRECTLY_ROUNDED[] = {
    0x3f6c1b8ecdf0088full, 0x3f6c35a27d444857ull, 0x3f693a2c59372941ull, 0x3f71b6cda4a7e0a0ull,
    0x3f79dbabec10f0c0ull, 0x3f7a4a8725b2b284ull, 0x3f84032a97954e19ull, 0x3f84188ab5e410a5ull,
    0x3f822ad1583e23b8ull, 0x3f9154d37f262ee0ull, 0x3f92fc914bc280d7ull, 0x3f9e8b4faab249feull,
    0x3fa9fb92f06ccf4aull, 0x3fa7121026ca2e29ull, 0x3fabf302202cc37full, 0x3fb11bced3359276ull,
    0x3fb7f915599b69b4ull, 0x3fb4a86279015f75ull, 0x3fcdcbc45396be26ull, 0x3fc69cae9a1d9144ull,
    0x3fc69e50426e8f87ull, 0x3fdb98c27818bf89ull, 0x3fde5ab6001936a8ull, 0x3fd94968a2e20fb3ull,
    0x3fe90ab1d99e7ec8ull, 0x3fe28eb613f9f16eull, 0x3fee0162dc280accull, 0x3ff91744aa2ed4b9ull,
    0x3ff970649f1ef5bfull, 0x3ff2eb882b2a67d2ull, 0x40034db29acb0ea6ull, 0x400dd29fe3429fa1ull,
    0x400704b64bcda4bfull, 0x401225b6d1407d60ull, 0x4012a6ebd21e5f81ull, 0x401f5b6f1738b3b7ull,
    0x40269d73bde87360ull, 0x40204a57cf448df7ull, 0x4025a086a1bb807dull, 0x403042d8f2ac5828ull,
    0x403bf7a7c3f36390ull, 0x403c9e4a626dd44eull, 0x404c7fdd682fafa6ull, 0x404f08b12cc259aaull,
    0x404f1827e92130e9ull, 0x4057826835c2dbacull, 0x40547a74aad48b35ull, 0x40569e369898372aull,
    0x406fc47d3bedc247ull, 0x4061fc122b4c35afull, 0x4068d121f3ff6fc2ull, 0x4079f9c3d738baa1ull,
    0x4079e473941247d5ull, 0x407880e1da78f1f1ull, 0x4083ae146affda6dull, 0x408370e70a138cf0ull,
    0x40834990a4ba17eeull, 0xbf69b2c48b5122f4ull, 0xbf7e06caaa047f30ull, 0xbf704ceaef4522f4ull,
    0xbf797cdedcf8c002ull, 0xbf8a8f161181b5d6ull, 0xbf88ccf5a68b7c0full, 0xbf8943dfb2229d17ull,
    0xbf9f024db7a80c4dull, 0xbf9c0e8b48edb0e1ull, 0xbf9b8cc7ca236d16ull, 0xbfa6de4dcdd8726aull,
    0xbfa81759f637f188ull, 0xbfaab8c479f70e42ull, 0xbfbd3427a7b68b23ull, 0xbfb3ccb05e45ccc8ull,
    0xbfb435a2279b64f4ull, 0xbfcc5c6a76b0b1beull, 0xbfcab543cef112f6ull, 0xbfcd5f286677a701ull,
    0xbfda54ba56d43580ull, 0xbfd7a7aee2b3d8e0ull, 0xbfd2b993d70e4064ull, 0xbfeb42d9aa2635caull,
    0xbfe215f1ae33e36full, 0xbfe0d4487bce2a66ull, 0xbfffcf2f1424fd7aull, 0xbff03a4867394369ull,
    0xbffbc591e97ae414ull, 0xc0091e591a18bc4full, 0xc009fe0f0e016390ull, 0xc008ee897327df28ull,
    0xc0115dc9fe9367a8ull, 0xc0136125dbe26437ull, 0xc011d20d44d9f77dull,
};

double from_bits(std::uint64_t bits) { return std::bit_cast<double>(bits); }

std::vector<double> validation_set() {
    using namespace expm1_classic;
    std::vector<double> v;
    const auto around = [&v](std::uint64_t bits, int ulps) {
        for (int d = -ulps; d <= ulps; ++d) {
            const std::uint64_t m = (bits & 0x7fffffffffffffffull) + static_cast<std::uint64_t>(d);
            if (m > 0x7ff0000000000000ull) continue;
            v.push_back(from_bits(m));
            v.push_back(from_bits(m | 0x8000000000000000ull));
        }
    };
    // The library compares high words: both ends of each boundary word.
    for (std::uint64_t edge : {TINY, HALF_LN2, THREE_HALF_LN2, HUGE_NEGATIVE, OVERFLOW,
                               0x408f4000u /*where the kernel clamps k*/, 0x7ff00000u}) {
        around(edge << 32, 3);
        around((edge << 32) | 0xffffffffu, 3);
    }
    around(std::bit_cast<std::uint64_t>(O_THRESHOLD), 3);
    // Every change of k, the k = 1 lanes switching formula at r = -1/4, and
    // the short path's limit.
    for (int m = 0; m <= 1030; ++m) {
        around(std::bit_cast<std::uint64_t>((m + 0.5) * 0.69314718055994530942), 4);
    }
    around(std::bit_cast<std::uint64_t>(0.69314718055994530942 - 0.25), 4);
    around(0x402999999999999aull, 3);
    // Each exponent, both signs, two mantissas.
    for (std::uint64_t e = 0; e < 0x800; ++e) {
        around((e << 52) | 0x5a5a5a5a5a5a5ull, 0);
        around((e << 52) | 0xa5a5a5a5a5a5aull, 0);
    }
    for (std::uint64_t bits : {0x0ull, 0x1ull, 0x000fffffffffffffull, 0x0010000000000000ull,
                               0x7fefffffffffffffull, 0x7ff0000000000000ull, 0x7ff8000000000000ull,
                               0x7ff0000000000001ull, 0x7ff4a5a5a5a5a5a5ull}) {
        v.push_back(from_bits(bits));
        v.push_back(from_bits(bits ^ 0x8000000000000000ull));
    }
    for (std::uint64_t bits : FUSION_MATTERS) v.push_back(from_bits(bits));
    for (std::uint64_t bits : DIFFERS_FROM_CORRECTLY_ROUNDED) v.push_back(from_bits(bits));
    return v;
}

}  // namespace

Isa expm1_vector_isa() noexcept {
    static const Isa isa = [] {
        const Isa active = active_isa();
#if BRENIX_X86_VARIANTS
        if (active == Isa::avx2 && !cpu_has_fma()) return Isa::portable;
#endif
        return active;
    }();
    return isa;
}

void expm1_vector(const double* in, double* out, std::size_t n) noexcept {
    static const Run chosen = variant(expm1_vector_isa());
    chosen(in, out, n);
}

void expm1_vector(Isa isa, const double* in, double* out, std::size_t n) noexcept {
    variant(isa)(in, out, n);
}

bool vector_expm1_agrees_with(double (*platform)(double)) noexcept {
    try {
        const std::vector<double> inputs = validation_set();
        std::vector<double> got(inputs.size());
        expm1_vector(inputs.data(), got.data(), inputs.size());
        for (std::size_t i = 0; i < inputs.size(); ++i) {
            const double want = platform(inputs[i]);
            const bool same =
                std::bit_cast<std::uint64_t>(want) == std::bit_cast<std::uint64_t>(got[i]) ||
                (want != want && got[i] != got[i]);
            if (!same) return false;
        }
        return true;
    } catch (...) {  // no memory for the check: trust the library alone
        return false;
    }
}

// The portable variant fuses through std::fma, which is one instruction only
// where the baseline has one: elsewhere (x86-64 without AVX2 and FMA) a call
// per product makes it slower than the library.
#if defined(__FMA__) || defined(__aarch64__)
constexpr bool PORTABLE_FMA_IS_FAST = true;
#else
constexpr bool PORTABLE_FMA_IS_FAST = false;
#endif

Expm1Path choose_expm1_path(double (*platform)(double), const char* setting) noexcept {
    if (setting != nullptr && std::strcmp(setting, "off") == 0) return Expm1Path::library;
    if (!PORTABLE_FMA_IS_FAST && expm1_vector_isa() == Isa::portable) return Expm1Path::library;
    return vector_expm1_agrees_with(platform) ? Expm1Path::vector : Expm1Path::library;
}

Expm1Path expm1_path() noexcept {
    static const Expm1Path path = [] {
        DefaultFloatingPoint defaults;
        return choose_expm1_path(::expm1, std::getenv("BRENIX_VECTOR_EXPM1"));
    }();
    return path;
}

}  // namespace brenix
