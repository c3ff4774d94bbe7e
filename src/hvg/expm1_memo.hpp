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
#include <type_traits>

namespace brenix {

// The back-transformed value e, widened to float64, and the square that the
// sums add for it.
struct Expm1Terms {
    double value;
    double square;
};

// float64: e = expm1(t), square e * e. float32: e = expm1f(v), square e * e
// rounded in float32 then widened, or, with square_f64, the square of the
// widened e.
template <class T>
class Expm1Memo {
public:
    explicit Expm1Memo(bool square_f64 = false) : square_f64_(square_f64) {}

    Expm1Terms operator()(T t) {
        const Key key = std::bit_cast<Key>(t);
        Slot& slot = slots_[(key * MULTIPLIER) >> (8 * sizeof(Key) - BITS)];
        if (slot.key != key) {
            slot = {key, compute(t)};
            ++misses_;
        }
        return slot.terms;
    }

    // Lookups so far that called the library.
    std::size_t misses() const { return misses_; }

private:
    using Key = std::conditional_t<sizeof(T) == 8, std::uint64_t, std::uint32_t>;
    static constexpr Key MULTIPLIER =
        sizeof(T) == 8 ? Key(0x9E3779B97F4A7C15ull) : Key(0x9E3779B1u);
    static constexpr unsigned BITS = 8;

    Expm1Terms compute(T t) const {
        if constexpr (std::is_same_v<T, double>) {
            const double e = ::expm1(t);
            return {e, e * e};
        } else {
            const float e = ::expm1f(t);
            const double wide = e;
            return {wide, square_f64_ ? wide * wide : static_cast<double>(e * e)};
        }
    }

    struct Slot {
        Key key = 0;
        Expm1Terms terms = {0.0, 0.0};
    };
    bool square_f64_;
    std::size_t misses_ = 0;
    Slot slots_[std::size_t{1} << BITS];
};

}  // namespace brenix
