// expm1 over float64 arrays, many values per instruction, with the bits of
// the C library's scalar expm1, where a check at run time finds them equal.
//
// The C library in use on our x86-64 Linux machines picks, when it loads, one
// of two builds of the classic double-precision algorithm: one compiled with
// fused multiply-add on processors that have it, one without. The vector
// kernel reproduces the fused build, fusing exactly the products its machine
// code fuses. Whether the library in use computes the same is decided once per
// process, as for expm1f (see expm1f_vec.hpp): on a fixed validation set that
// includes inputs on which the two builds differ; on any difference every
// caller stays with the library. The float64 input space cannot be
// enumerated: tests/native checks the kernel on 10^9 random inputs spread
// over every binade by default (10^10 were checked when it was written).
#pragma once

#include <cstddef>

#include "core/isa.hpp"

namespace brenix {

// out[i] = the fused build's expm1(in[i]) for i < n, for the process's
// instruction set. in and out may be the same array, not otherwise overlap.
void expm1_vector(const double* in, double* out, std::size_t n) noexcept;

// The same for the given instruction set, which the processor must support
// (see active_isa(); the AVX2 variant also needs FMA, see expm1_vector_isa()).
void expm1_vector(Isa isa, const double* in, double* out, std::size_t n) noexcept;

// The best variant this process may use: active_isa(), lowered to portable for
// AVX2 without FMA.
Isa expm1_vector_isa() noexcept;

// Whether expm1_vector gives platform(x) on the validation set; NaN results
// agree when both are NaN.
bool vector_expm1_agrees_with(double (*platform)(double)) noexcept;

enum class Expm1Path { vector, library };

// `library` when `setting` is "off" (BRENIX_VECTOR_EXPM1=off), when the
// process would get only the portable variant without a fused multiply-add
// instruction (slower than the library), or when the vector kernel disagrees
// with `platform`; else `vector`.
Expm1Path choose_expm1_path(double (*platform)(double), const char* setting) noexcept;

// The path of this process, decided at the first call under IEEE defaults.
Expm1Path expm1_path() noexcept;

}  // namespace brenix
