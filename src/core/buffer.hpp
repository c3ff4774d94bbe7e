// Buffer<T>: an owned, contiguous run of values allocated with the C allocator,
// so that it can be handed to a Python owner object and freed with std::free
// when the last array viewing it goes away.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <span>
#include <utility>

#include "runtime/failure.hpp"
#include "runtime/os.hpp"

namespace brenix {

template <class T>
class Buffer {
public:
    Buffer() noexcept = default;

    // All zero bits, which is +0.0 for the floating-point types.
    static Buffer zeros(std::size_t n) { return Buffer(n, std::calloc(checked(n), sizeof(T))); }
    // For buffers whose every element is written before anyone reads it.
    // Large ones (from half a huge page) are placed on huge-page boundaries
    // and marked for huge pages: a fresh output of hundreds of megabytes then
    // costs a few hundred page faults instead of tens of thousands, and one
    // of a megabyte one fault instead of 256. Where memory goes back to the
    // system as soon as it is freed (distributed's workers), every output is
    // fresh memory.
    static Buffer uninitialized(std::size_t n) {
        const std::size_t bytes = checked(n) * sizeof(T);
        if (bytes < HUGE_PAGE_BYTES / 2) return Buffer(n, std::malloc(bytes));
        return Buffer(n, allocate_for_huge_pages(bytes, HUGE_PAGE_BYTES));
    }

    Buffer(Buffer&& other) noexcept
        : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)) {}
    Buffer& operator=(Buffer&& other) noexcept {
        if (this != &other) {
            std::free(data_);
            data_ = std::exchange(other.data_, nullptr);
            size_ = std::exchange(other.size_, 0);
        }
        return *this;
    }
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    ~Buffer() { std::free(data_); }

    T* data() noexcept { return data_; }
    const T* data() const noexcept { return data_; }
    std::size_t size() const noexcept { return size_; }
    T& operator[](std::size_t i) noexcept { return data_[i]; }
    const T& operator[](std::size_t i) const noexcept { return data_[i]; }
    std::span<T> span() noexcept { return {data_, size_}; }
    std::span<const T> span() const noexcept { return {data_, size_}; }

    // Hands the allocation to a new owner, who frees it with std::free; null
    // when the buffer is empty.
    T* release() noexcept {
        size_ = 0;
        return std::exchange(data_, nullptr);
    }

private:
    static constexpr std::size_t HUGE_PAGE_BYTES = std::size_t{2} << 20;

    Buffer(std::size_t n, void* memory) : size_(n) {
        if (n == 0) {
            std::free(memory);  // malloc(0) may hand back a unique pointer
            size_ = 0;
            return;
        }
        if (memory == nullptr) throw std::bad_alloc();
        data_ = static_cast<T*>(memory);
    }

    // No allocation may exceed the largest object size the platform can
    // address; asking for more is a logic error, not an exhausted heap.
    static std::size_t checked(std::size_t n) {
        if (n > static_cast<std::size_t>(PTRDIFF_MAX) / sizeof(T)) {
            throw InternalFailure("capacity overflow");
        }
        return n;
    }

    T* data_ = nullptr;
    std::size_t size_ = 0;
};

}  // namespace brenix
