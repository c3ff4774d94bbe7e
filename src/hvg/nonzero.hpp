// Positions of the values of a short run that are not zero (NaN counts as not
// zero). Expression matrices are mostly exact zeros; finding the rest with
// vector compares avoids a hard-to-predict branch per element.
#pragma once

#include <cstddef>
#include <cstdint>

namespace brenix {

// The longest run nonzero_positions takes at once; `out` needs room for
// NONZERO_RUN + NONZERO_SLACK entries.
inline constexpr std::size_t NONZERO_RUN = 4096;
inline constexpr std::size_t NONZERO_SLACK = 16;

// Writes the offsets j (ascending) with x[j] != 0 or NaN, for j < n <= NONZERO_RUN, to
// `out`; returns how many. Entries of `out` past the count may be overwritten.
std::size_t nonzero_positions(const double* x, std::size_t n, std::uint32_t* out);
std::size_t nonzero_positions(const float* x, std::size_t n, std::uint32_t* out);

}  // namespace brenix
