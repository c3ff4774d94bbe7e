// expm1f over arrays, many values per instruction, with the bits of the C
// library's scalar expm1f.
//
// The Seurat statistics back-transform every stored value with expm1f, and on
// data whose values rarely repeat that call decides the running time. The C
// library in use on our x86-64 Linux machines computes expm1f with the classic
// single-precision algorithm: a reduction by k*ln2, a rational correction and
// a reconstruction through the exponent bits, in plain float arithmetic. The
// vector kernel performs the same float operations in the same order on every
// lane, computing all reconstruction paths and keeping each lane's own, so it
// gives the same bits. Another C library (a newer or older glibc, musl, macOS)
// may compute expm1f differently: a check on a fixed set of inputs, run once
// per process before first use, decides whether the vector kernel may stand in
// for the library; if it may not, every caller stays with the library.
#pragma once

#include <cstddef>

#include "core/isa.hpp"

namespace brenix {

// out[i] = the classic algorithm's expm1f(in[i]) for i < n, computed for the
// process's instruction set. in and out may be the same array, not otherwise
// overlap. Callers go through expm1f_path() first: only where it answers
// `vector` are these the C library's bits.
void expm1f_vector(const float* in, float* out, std::size_t n) noexcept;

// The same, compiled for the given instruction set, which the processor must
// support (see active_isa()); for tests that check every variant.
void expm1f_vector(Isa isa, const float* in, float* out, std::size_t n) noexcept;

// Whether expm1f_vector gives platform(x) on the validation set: every branch
// boundary of the algorithm (both signs, a few units in the last place on each
// side), every change of k, a sweep across all exponents, the special values,
// and inputs on which the classic algorithm and a correctly rounded expm1f
// differ. NaN results agree when both are NaN.
bool vector_expm1f_agrees_with(float (*platform)(float)) noexcept;

enum class Expm1fPath { vector, library };

// The decision itself: `library` when `setting` is "off" (the environment
// variable BRENIX_VECTOR_EXPM1F, for measuring and testing the library path)
// or when the vector kernel disagrees with `platform`; else `vector`.
Expm1fPath choose_expm1f_path(float (*platform)(float), const char* setting) noexcept;

// The path of this process: choose_expm1f_path(::expm1f, getenv(...)), under
// IEEE default arithmetic, decided at the first call.
Expm1fPath expm1f_path() noexcept;

}  // namespace brenix
