// The host's own clock for intervals: seconds on a steady clock.
#ifndef CIRCUIT_HOST_CLOCK_H
#define CIRCUIT_HOST_CLOCK_H

#include <chrono>

namespace host {

inline double steadySeconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

} // namespace host

#endif // CIRCUIT_HOST_CLOCK_H
