// The sweep the expm1 proofs run: batches of inputs through a kernel's
// variant for each instruction set this processor runs (up to `best`),
// against a reference function, on all hardware threads, every other batch
// in place (the output array the input array); NaN results agree
// when both are NaN. Prints one line per variant, with a few of the inputs
// that differ, and returns whether all agreed.
#pragma once

#include <algorithm>
#include <atomic>
#include <bit>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <thread>
#include <type_traits>
#include <vector>

#include "core/isa.hpp"

namespace sweep {

constexpr std::size_t BATCH = 1 << 14;

template <class T>
bool same(T want, T got) {
    using Bits = std::conditional_t<sizeof(T) == 4, std::uint32_t, std::uint64_t>;
    return std::bit_cast<Bits>(want) == std::bit_cast<Bits>(got) || (want != want && got != got);
}

// `fill(b, in)` writes batch b's inputs (at most BATCH) and returns how many;
// `what` says what was swept, for the report.
template <class T, class Fill, class Kernel>
bool run(brenix::Isa best, std::uint64_t n_batches, Fill fill, T (*reference)(T), Kernel kernel,
         const char* reference_name, const char* what) {
    struct Mismatches {
        std::atomic<std::uint64_t> count{0};
        std::mutex mutex;
        std::vector<T> first;  // a few inputs, for the report
    };
    std::vector<brenix::Isa> variants;
    for (const brenix::IsaTarget& t : brenix::ISA_TARGETS) {
        if (static_cast<int>(t.isa) <= static_cast<int>(best)) variants.push_back(t.isa);
    }
    std::vector<Mismatches> found(variants.size());

    std::atomic<std::uint64_t> next_batch{0};
    const auto work = [&] {
        std::vector<T> in(BATCH), want(BATCH), got(BATCH);
        for (std::uint64_t b; (b = next_batch.fetch_add(1)) < n_batches;) {
            const std::size_t n = fill(b, in.data());
            for (std::size_t i = 0; i < n; ++i) want[i] = reference(in[i]);
            for (std::size_t v = 0; v < variants.size(); ++v) {
                if (b % 2 == 0) {
                    kernel(variants[v], in.data(), got.data(), n);
                } else {  // in place, which the kernels allow
                    std::copy_n(in.data(), n, got.data());
                    kernel(variants[v], got.data(), got.data(), n);
                }
                for (std::size_t i = 0; i < n; ++i) {
                    if (same(want[i], got[i])) continue;
                    found[v].count.fetch_add(1);
                    std::lock_guard lock(found[v].mutex);
                    if (found[v].first.size() < 5) found[v].first.push_back(in[i]);
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

    bool ok = true;
    for (std::size_t v = 0; v < variants.size(); ++v) {
        const std::uint64_t bad = found[v].count.load();
        std::printf("%-8s %s: %llu differ from %s\n", brenix::isa_target(variants[v]).name, what,
                    static_cast<unsigned long long>(bad), reference_name);
        for (const T x : found[v].first) {
            T got;
            kernel(variants[v], &x, &got, 1);
            std::printf("  x = %a: %s %a, vector %a\n", static_cast<double>(x), reference_name,
                        static_cast<double>(reference(x)), static_cast<double>(got));
        }
        if (bad != 0) ok = false;
    }
    std::printf("%.1f s on %u threads\n", seconds, n_threads);
    return ok;
}

// Every stride-th float32 bit pattern.
template <class Kernel>
bool all_float32(std::uint64_t stride, float (*reference)(float), Kernel kernel,
                 const char* reference_name) {
    const std::uint64_t total = ((std::uint64_t{1} << 32) + stride - 1) / stride;
    const auto fill = [&](std::uint64_t b, float* in) {
        const std::uint64_t first = b * BATCH;
        const std::size_t n =
            static_cast<std::size_t>(std::min<std::uint64_t>(BATCH, total - first));
        for (std::size_t i = 0; i < n; ++i) {
            in[i] = std::bit_cast<float>(static_cast<std::uint32_t>((first + i) * stride));
        }
        return n;
    };
    char what[64];
    std::snprintf(what, sizeof what, "%llu inputs (every %llu-th bit pattern)",
                  static_cast<unsigned long long>(total), static_cast<unsigned long long>(stride));
    return run(brenix::active_isa(), (total + BATCH - 1) / BATCH, fill, reference, kernel,
               reference_name, what);
}

}  // namespace sweep
