// The host's own clock for intervals: seconds on a steady clock.
#ifndef CIRCUIT_HOST_CLOCK_H
#define CIRCUIT_HOST_CLOCK_H

#include <chrono>
#include <cstdint>

namespace host {

// Nanoseconds on the steady clock, as an integer: intervals taken from it do
// not depend on the floating-point settings.
inline int64_t steadyNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

inline double steadySeconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

} // namespace host

#endif // CIRCUIT_HOST_CLOCK_H
