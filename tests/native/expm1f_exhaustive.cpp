// Every float32 bit pattern through the vector expm1f of each instruction set
// this processor runs, against the C library's expm1f; NaN results agree when
// both are NaN. An optional argument N checks every N-th pattern only (for
// emulated runs).
//
// Where the run-time check rejects the vector kernel (another C library), the
// process computes with the library itself: that is reported, and the vector
// variants are skipped (exit status 77, which ctest reports as skipped).
#include <math.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "math/expm1f_vec.hpp"
#include "sweep.hpp"

namespace {
constexpr int SKIPPED = 77;
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

    const auto classic = [](brenix::Isa isa, const float* in, float* out, std::size_t n) {
        brenix::expm1f_vector(isa, in, out, n);
    };
    return sweep::all_float32(stride, ::expm1f, classic, "expm1f") ? 0 : 1;
}
