// The float64 vector expm1 of each instruction set this processor runs,
// against the C library's expm1: every branch boundary, then N random inputs
// (argument, default 10^9), half of them random bit patterns and half with a
// random sign and a binade drawn uniformly up to 2^11 (every binade where the
// algorithm computes), random mantissa. NaN results agree when both are NaN.
//
// Where the run-time check rejects the vector kernel (another C library, or
// its build without fused multiply-add), the process uses the library: that
// is reported and the variants are skipped (exit status 77).
#include <math.h>

#include <bit>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include "math/expm1_classic.hpp"
#include "math/expm1_vec.hpp"
#include "sweep.hpp"

namespace {

constexpr int SKIPPED = 77;

// Inputs within a few units in the last place of every place the algorithm
// changes course: both ends of each boundary high word, the overflow
// threshold, each change of k and the k = 1 switch at r = -1/4.
std::vector<double> boundaries() {
    using namespace brenix::expm1_classic;
    std::vector<double> v;
    const auto around = [&v](std::uint64_t bits) {
        for (int d = -16; d <= 16; ++d) {
            const std::uint64_t m = (bits & 0x7fffffffffffffffull) + static_cast<std::uint64_t>(d);
            v.push_back(std::bit_cast<double>(m));
            v.push_back(std::bit_cast<double>(m | 0x8000000000000000ull));
        }
    };
    for (std::uint64_t edge :
         {TINY, HALF_LN2, THREE_HALF_LN2, HUGE_NEGATIVE, OVERFLOW, 0x7ff00000u}) {
        around(edge << 32);
        around((edge << 32) | 0xffffffffu);
    }
    around(std::bit_cast<std::uint64_t>(O_THRESHOLD));
    for (int m = 0; m <= 1030; ++m)
        around(std::bit_cast<std::uint64_t>((m + 0.5) * 0.6931471805599453));
    around(std::bit_cast<std::uint64_t>(0.6931471805599453 - 0.25));
    return v;
}

}  // namespace

int main(int argc, char** argv) {
    const std::uint64_t total = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1'000'000'000;
    if (brenix::expm1_path() != brenix::Expm1Path::vector) {
        std::printf(
            "the process uses the C library's expm1 (the vector kernel disagrees with it,"
            " or only the portable variant without fast FMA is available): vector"
            " variants skipped\n");
        return SKIPPED;
    }
    const auto kernel = [](brenix::Isa isa, const double* in, double* out, std::size_t n) {
        brenix::expm1_vector(isa, in, out, n);
    };
    const std::vector<double> edges = boundaries();
    const auto edge_batch = [&edges](std::uint64_t b, double* in) {
        const std::size_t first = static_cast<std::size_t>(b) * sweep::BATCH;
        const std::size_t n = std::min(sweep::BATCH, edges.size() - first);
        std::copy_n(edges.begin() + static_cast<std::ptrdiff_t>(first), n, in);
        return n;
    };
    const auto random_batch = [total](std::uint64_t b, double* in) {
        std::mt19937_64 random(b);  // reproducible whatever the thread count
        const std::size_t n = static_cast<std::size_t>(
            std::min<std::uint64_t>(sweep::BATCH, total - b * sweep::BATCH));
        for (std::size_t i = 0; i < n; ++i) {
            std::uint64_t bits = random();
            if (i % 2 == 1) {
                const std::uint64_t exponent = random() % (0x3ff + 12);
                bits = (bits & 0x800fffffffffffffull) | (exponent << 52);
            }
            in[i] = std::bit_cast<double>(bits);
        }
        return n;
    };
    const brenix::Isa best = brenix::expm1_vector_isa();
    const bool edges_ok =
        sweep::run<double>(best, (edges.size() + sweep::BATCH - 1) / sweep::BATCH, edge_batch,
                           ::expm1, kernel, "expm1", "the boundaries");
    char what[64];
    std::snprintf(what, sizeof what, "%llu random inputs", static_cast<unsigned long long>(total));
    const bool random_ok = sweep::run<double>(best, (total + sweep::BATCH - 1) / sweep::BATCH,
                                              random_batch, ::expm1, kernel, "expm1", what);
    return edges_ok && random_ok ? 0 : 1;
}
