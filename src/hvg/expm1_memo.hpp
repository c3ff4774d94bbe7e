// A small direct-mapped memo of expm1 results, one per task.
//
// Log-normalised counts repeat within a cell: every gene seen once in a cell
// has the same value there, and so on for twos and threes. The memo returns
// the C library's result for a bit pattern it has already seen, which is the
// very value the library would compute again, so results keep every bit. Its
// empty slots hold the key +0.0 with the result of expm1(+0.0) = +0.0, which
// is exact too, so no slot is ever invalid.
#pragma once

#include <math.h>
#include <bit>
#include <cstddef>
#include <cstdint>

namespace brenix {

// The back-transformed value e = expm1(t) widened to float64, and its square
// as the kernel adds it.
struct Expm1Terms {
    double value;
    double square;
};

// Double precision: e = expm1(t), square e * e.
class Expm1MemoF64 {
public:
    Expm1Terms operator()(double t) {
        const std::uint64_t key = std::bit_cast<std::uint64_t>(t);
        Slot& slot = slots_[(key * 0x9E3779B97F4A7C15ull) >> (64 - BITS)];
        if (slot.key != key) {
            const double e = ::expm1(t);
            slot = {key, {e, e * e}};
        }
        return slot.terms;
    }

private:
    static constexpr unsigned BITS = 8;
    struct Slot {
        std::uint64_t key = 0;
        Expm1Terms terms = {0.0, 0.0};
    };
    Slot slots_[std::size_t{1} << BITS];
};

// Single precision: e = expm1f(v); the square is e * e in float32 then
// widened, or, with square_f64, the square of the widened e.
class Expm1MemoF32 {
public:
    explicit Expm1MemoF32(bool square_f64) : square_f64_(square_f64) {}

    Expm1Terms operator()(float v) {
        const std::uint32_t key = std::bit_cast<std::uint32_t>(v);
        Slot& slot = slots_[(key * 0x9E3779B1u) >> (32 - BITS)];
        if (slot.key != key) {
            const float e = ::expm1f(v);
            const double wide = e;
            slot = {key, {wide, square_f64_ ? wide * wide : static_cast<double>(e * e)}};
        }
        return slot.terms;
    }

private:
    static constexpr unsigned BITS = 8;
    struct Slot {
        std::uint32_t key = 0;
        Expm1Terms terms = {0.0, 0.0};
    };
    bool square_f64_;
    Slot slots_[std::size_t{1} << BITS];
};

}  // namespace brenix
