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
// may compute expm1f differently. glibc from 2.41 on rounds expm1f correctly:
// a second vector kernel computes that, from a double-precision evaluation
// whose few undecidable lanes are recomputed exactly. A check on a fixed set
// of inputs, run once per process before first use, decides which kernel, if
// either, may stand in for the library; if neither, every caller stays with
// the library.
#pragma once

#include <cstddef>
#include <vector>

#include "core/isa.hpp"

namespace brenix {

// out[i] = expm1f(in[i]) for i < n, by the vector kernel expm1f_path() chose
// (the classic one when it chose the library). in and out may be the same
// array, not otherwise overlap. Callers go through expm1f_path() first: only
// where it answers other than `library` are these the C library's bits.
void expm1f_vector(const float* in, float* out, std::size_t n) noexcept;

// The classic algorithm's expm1f, compiled for the given instruction set,
// which the processor must support (see active_isa()); for tests.
void expm1f_vector(Isa isa, const float* in, float* out, std::size_t n) noexcept;

// The correctly rounded expm1f(in[i]), for the process's instruction set or
// the given one.
void expm1f_cr_vector(const float* in, float* out, std::size_t n) noexcept;
void expm1f_cr_vector(Isa isa, const float* in, float* out, std::size_t n) noexcept;

// The validation set: every branch boundary of the classic algorithm (both
// signs, a few units in the last place on each side), every change of k, a
// sweep across all exponents, the special values, and inputs on which the
// classic algorithm and a correctly rounded expm1f differ.
std::vector<float> expm1f_validation_set();

// `vector`: the classic vector kernel; `correctly_rounded`: the correctly
// rounded one; `library`: the C library's expm1f for every value.
enum class Expm1fPath { vector, library, correctly_rounded };

// The decision itself: `library` when `setting` is "off" (the environment
// variable BRENIX_VECTOR_EXPM1F, for measuring and testing the library path)
// or when neither vector kernel gives `platform`'s bits on the validation set;
// else the kernel that does (at most one can: the set separates them).
Expm1fPath choose_expm1f_path(float (*platform)(float), const char* setting) noexcept;

// The path of this process: choose_expm1f_path(::expm1f, getenv(...)), under
// IEEE default arithmetic, decided at the first call.
Expm1fPath expm1f_path() noexcept;

const char* name(Expm1fPath path) noexcept;

}  // namespace brenix
