#include "runtime/failure.hpp"

#include <cstdio>

#include "runtime/os.hpp"

namespace brenix {

InternalFailure::InternalFailure(std::string message, SourceLocation where)
    : std::runtime_error(std::move(message)) {
    // One fprintf call, so that reports from several workers do not interleave.
    std::fprintf(stderr, "\nthread '%s' failed at %s:%u:\n%s\n", this_thread_name().c_str(),
                 where.file, where.line, what());
}

void fail_index(std::uint64_t len, std::uint64_t index, SourceLocation where) {
    throw InternalFailure("index out of bounds: the len is " + std::to_string(len) +
                              " but the index is " + std::to_string(index),
                          where);
}

}  // namespace brenix
