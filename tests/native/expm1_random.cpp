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

#include <algorithm>
#include <atomic>
#include <bit>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "math/expm1_classic.hpp"
#include "math/expm1_vec.hpp"

namespace {

using brenix::Isa;

constexpr int SKIPPED = 77;
constexpr std::size_t BATCH = 1 << 14;

bool same(double want, double got) {
    return std::bit_cast<std::uint64_t>(want) == std::bit_cast<std::uint64_t>(got) ||
           (want != want && got != got);
}

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

struct Found {
    std::atomic<std::uint64_t> count{0};
    std::mutex mutex;
    std::vector<double> first;
    void add(double x) {
        count.fetch_add(1);
        std::lock_guard lock(mutex);
        if (first.size() < 5) first.push_back(x);
    }
};

void compare(Isa isa, const std::vector<double>& in, std::vector<double>& want,
             std::vector<double>& got, std::size_t n, Found& found) {
    brenix::expm1_vector(isa, in.data(), got.data(), n);
    for (std::size_t i = 0; i < n; ++i) {
        if (!same(want[i], got[i])) found.add(in[i]);
    }
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
    std::vector<Isa> variants;
    for (Isa isa : {Isa::portable, Isa::avx2, Isa::avx512}) {
        if (static_cast<int>(isa) <= static_cast<int>(brenix::expm1_vector_isa())) {
            variants.push_back(isa);
        }
    }
    std::vector<Found> found(variants.size());

    {
        std::vector<double> in = boundaries(), want(in.size()), got(in.size());
        for (std::size_t i = 0; i < in.size(); ++i) want[i] = ::expm1(in[i]);
        for (std::size_t v = 0; v < variants.size(); ++v)
            compare(variants[v], in, want, got, in.size(), found[v]);
    }

    const std::uint64_t n_batches = (total + BATCH - 1) / BATCH;
    std::atomic<std::uint64_t> next_batch{0};
    const auto work = [&] {
        std::vector<double> in(BATCH), want(BATCH), got(BATCH);
        for (std::uint64_t b; (b = next_batch.fetch_add(1)) < n_batches;) {
            std::mt19937_64 random(b);  // reproducible whatever the thread count
            const std::size_t n =
                static_cast<std::size_t>(std::min<std::uint64_t>(BATCH, total - b * BATCH));
            for (std::size_t i = 0; i < n; ++i) {
                std::uint64_t bits = random();
                if (i % 2 == 1) {
                    const std::uint64_t exponent = random() % (0x3ff + 12);
                    bits = (bits & 0x800fffffffffffffull) | (exponent << 52);
                }
                in[i] = std::bit_cast<double>(bits);
                want[i] = ::expm1(in[i]);
            }
            for (std::size_t v = 0; v < variants.size(); ++v)
                compare(variants[v], in, want, got, n, found[v]);
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
    const char* names[] = {"portable", "avx2", "avx512"};
    for (std::size_t v = 0; v < variants.size(); ++v) {
        std::printf("%-8s boundaries and %llu random inputs: %llu differ from expm1\n",
                    names[static_cast<int>(variants[v])], static_cast<unsigned long long>(total),
                    static_cast<unsigned long long>(found[v].count.load()));
        for (double x : found[v].first) {
            double got;
            brenix::expm1_vector(variants[v], &x, &got, 1);
            std::printf("  x = %a: expm1 %a, vector %a\n", x, ::expm1(x), got);
        }
        if (found[v].count.load() != 0) status = 1;
    }
    std::printf("%.1f s on %u threads\n", seconds, n_threads);
    return status;
}
