// Every float32 bit pattern through the vector expm1f of each instruction set
// this processor runs, against the C library's expm1f; NaN results agree when
// both are NaN. An optional argument N checks every N-th pattern only (for
// emulated runs).
//
// Where the run-time check rejects the vector kernel (another C library), the
// process computes with the library itself: that is reported, and the vector
// variants are skipped (exit status 77, which ctest reports as skipped).
#include <math.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <vector>

#include "core/isa.hpp"
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

struct Mismatches {
    std::atomic<std::uint64_t> count{0};
    std::mutex mutex;
    std::vector<std::uint32_t> first;  // a few inputs, for the report
};

}  // namespace

int main(int argc, char** argv) {
    const std::uint64_t stride = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1;
    if (stride == 0) {
        std::fprintf(stderr, "usage: %s [stride >= 1]\n", argv[0]);
        return 2;
    }
    if (brenix::expm1f_path() != brenix::Expm1fPath::vector) {
        // The classic kernel is then not what this process computes with.
        std::printf(
            "this process's expm1f path is the %s one, not the classic vector kernel:"
            " classic variants skipped\n",
            brenix::name(brenix::expm1f_path()));
        return SKIPPED;
    }

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
                want[i] = ::expm1f(in[i]);
            }
            for (std::size_t v = 0; v < variants.size(); ++v) {
                brenix::expm1f_vector(variants[v], in.data(), got.data(), n);
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
    for (std::size_t v = 0; v < variants.size(); ++v) {
        const std::uint64_t bad = found[v].count.load();
        std::printf("%-8s %llu inputs (every %llu-th bit pattern), %llu differ from expm1f\n",
                    name(variants[v]), static_cast<unsigned long long>(total),
                    static_cast<unsigned long long>(stride), static_cast<unsigned long long>(bad));
        for (std::uint32_t bits : found[v].first) {
            const float x = std::bit_cast<float>(bits);
            float got;
            brenix::expm1f_vector(variants[v], &x, &got, 1);
            std::printf("  x = %a (0x%08x): expm1f %a, vector %a\n", static_cast<double>(x), bits,
                        static_cast<double>(::expm1f(x)), static_cast<double>(got));
        }
        if (bad != 0) status = 1;
    }
    std::printf("%.1f s on %u threads\n", seconds, n_threads);
    return status;
}
