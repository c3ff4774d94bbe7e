#include "runtime/failure.hpp"

#include <string>
#include <utility>

#include "runtime/os.hpp"

namespace brenix {

InternalFailure::InternalFailure(std::string message, SourceLocation where)
    : std::runtime_error(std::move(message)), thread_(this_thread_name()), where_(where) {}

std::string InternalFailure::report() const {
    return "\nthread '" + thread_ + "' failed at " + where_.file + ":" +
           std::to_string(where_.line) + ":\n" + what() + "\n";
}

void fail_index(std::uint64_t len, std::uint64_t index, SourceLocation where) {
    throw InternalFailure("index out of bounds: the len is " + std::to_string(len) +
                              " but the index is " + std::to_string(index),
                          where);
}

}  // namespace brenix
