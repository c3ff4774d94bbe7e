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

// The C library's expm1 (expm1f for float32) of t, through the memo.
template <class T>
class Expm1Memo {
public:
    T operator()(T t) {
        const Key key = std::bit_cast<Key>(t);
        Slot& slot = slots_[(key * MULTIPLIER) >> (8 * sizeof(Key) - BITS)];
        if (slot.key != key) {
            slot = {key, compute(t)};
            ++misses_;
        }
        return slot.value;
    }

    // Lookups so far that called the library.
    std::size_t misses() const { return misses_; }

private:
    using Key = std::conditional_t<sizeof(T) == 8, std::uint64_t, std::uint32_t>;
    static constexpr Key MULTIPLIER =
        sizeof(T) == 8 ? Key(0x9E3779B97F4A7C15ull) : Key(0x9E3779B1u);
    static constexpr unsigned BITS = 8;

    static T compute(T t) {
        if constexpr (std::is_same_v<T, double>) {
            return ::expm1(t);
        } else {
            return ::expm1f(t);
        }
    }

    struct Slot {
        Key key = 0;
        T value = 0;
    };
    std::size_t misses_ = 0;
    Slot slots_[std::size_t{1} << BITS];
};

}  // namespace brenix
