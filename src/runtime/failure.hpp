// Internal failures: a violated precondition inside the module, reachable by
// inconsistent input (a bad column index, a zero chunk length, ...). They are
// thrown as C++ exceptions, may cross from a worker thread back to the calling
// thread, and become PanicException at the call wrapper, which also writes the
// report of _core's to standard error. No Python here.
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
    // Keeps where and on which thread the failure happened, for report(). Nothing
    // is written here: a failure inside a worker is not yet known to be the one
    // the call raises (a lower-numbered piece may fail too), and only _core's
    // calls report theirs (the call wrapper does, on the calling thread).
    explicit InternalFailure(std::string message, SourceLocation where = SourceLocation::current());

    // The diagnostic report: thread, source location, message, as one text so
    // that it is written with one call and reports of several calls do not
    // interleave.
    std::string report() const;

private:
    std::string thread_;
    SourceLocation where_;
};

// "index out of bounds: the len is {} but the index is {}"
[[noreturn]] void fail_index(std::uint64_t len, std::uint64_t index,
                             SourceLocation where = SourceLocation::current());

}  // namespace brenix
