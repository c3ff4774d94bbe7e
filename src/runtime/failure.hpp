// Internal failures: a violated precondition inside the module, reachable by
// inconsistent input (a bad column index, a zero chunk length, ...). They are
// thrown as C++ exceptions, may cross from a worker thread back to the calling
// thread, and become PanicException at the call wrapper. No Python here.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace brenix {

// Where a failure was raised, for the diagnostic report. The builtins give the
// caller's location as default arguments, like std::source_location, which
// some supported compilers' libraries do not have.
struct SourceLocation {
    const char* file;
    unsigned line;

    static SourceLocation current(const char* file = __builtin_FILE(),
                                  unsigned line = __builtin_LINE()) noexcept {
        return {file, line};
    }
};

class InternalFailure : public std::runtime_error {
public:
    // Writes the diagnostic report (thread, source location, message) to
    // standard error at the moment of failure, on whichever thread it happens.
    explicit InternalFailure(std::string message, SourceLocation where = SourceLocation::current());
};

// "index out of bounds: the len is {} but the index is {}"
[[noreturn]] void fail_index(std::uint64_t len, std::uint64_t index,
                             SourceLocation where = SourceLocation::current());

}  // namespace brenix
