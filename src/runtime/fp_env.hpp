// IEEE defaults for the duration of a pass: round to nearest, subnormals kept.
//
// Another library in the process may have set flush-to-zero or
// denormals-are-zero on the caller's thread (fast-math builds do so when they
// load), and threads inherit that mode from the thread that starts them. The
// results promised here are those of default IEEE arithmetic, so every thread
// that computes them runs under the default environment, and the caller gets
// its own back when the work is done.
#pragma once

#include <cfenv>

namespace brenix {

class DefaultFloatingPoint {
public:
    DefaultFloatingPoint() noexcept {
        std::fegetenv(&saved_);
        std::fesetenv(FE_DFL_ENV);
    }
    ~DefaultFloatingPoint() { std::fesetenv(&saved_); }
    DefaultFloatingPoint(const DefaultFloatingPoint&) = delete;
    DefaultFloatingPoint& operator=(const DefaultFloatingPoint&) = delete;

    // For threads of our own, which have no mode to give back.
    static void enter() noexcept { std::fesetenv(FE_DFL_ENV); }

private:
    std::fenv_t saved_;
};

}  // namespace brenix
