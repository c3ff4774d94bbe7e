// Internal failures: a violated precondition inside the module, reachable by
// inconsistent input (a bad column index, a zero chunk length, ...). They are
// thrown as C++ exceptions, may cross from a worker thread back to the calling
// thread, and become PanicException at the call wrapper. No Python here.
#pragma once

#include <cstdint>
#include <source_location>
#include <stdexcept>
#include <string>

namespace brenix {

class InternalFailure : public std::runtime_error {
public:
    // Writes the diagnostic report (thread, source location, message) to
    // standard error at the moment of failure, on whichever thread it happens.
    explicit InternalFailure(std::string message,
                             std::source_location where = std::source_location::current());
};

// "index out of bounds: the len is {} but the index is {}"
[[noreturn]] void fail_index(std::uint64_t len, std::uint64_t index,
                             std::source_location where = std::source_location::current());

}  // namespace brenix
