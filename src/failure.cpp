#include "failure.hpp"

#include <pthread.h>

#include <cstdio>

namespace brenix {

namespace {

std::string current_thread_name() {
    char name[64] = {};
    if (pthread_getname_np(pthread_self(), name, sizeof name) != 0 || name[0] == '\0') {
        return "<unnamed>";
    }
    return name;
}

}  // namespace

InternalFailure::InternalFailure(std::string message, std::source_location where)
    : std::runtime_error(std::move(message)) {
    // One fprintf call, so that reports from several workers do not interleave.
    std::fprintf(stderr, "\nthread '%s' failed at %s:%u:\n%s\n", current_thread_name().c_str(),
                 where.file_name(), static_cast<unsigned>(where.line()), what());
}

void fail_index(std::uint64_t len, std::uint64_t index, std::source_location where) {
    throw InternalFailure("index out of bounds: the len is " + std::to_string(len) +
                              " but the index is " + std::to_string(index),
                          where);
}

}  // namespace brenix
