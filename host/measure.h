// Timing one entry: a count found so that one call lasts a set time, then
// timed calls, each between two core-clock calibrations (common/cycles.h).
#ifndef CIRCUIT_HOST_MEASURE_H
#define CIRCUIT_HOST_MEASURE_H

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "blocks.h"
#include "model.h"
#include "module.h"

namespace host {

// Finds a count for which one call lasts about `callSeconds`, then takes
// `trials` timed calls, each between two core-clock calibrations.
// `afterCall` runs after every call, outside the timed interval; it may
// throw to stop the timing.
Timing timeEntry(const Module& module, uint32_t index, EntryBlocks& blocks, const Processor& cpu,
                 double callSeconds, int trials, const std::function<void()>& afterCall = {});

// Why a set of calls (ns per repetition) cannot be signed: "noise" (their
// median absolute deviation over the median above kNoiseThreshold), "two
// modes" (the 5th percentile more than kTwoModesThreshold below the median),
// both joined by ", ", or ""; `noise` is set to that share.
std::string callsReason(const std::vector<double>& ns, double& noise);

} // namespace host

#endif // CIRCUIT_HOST_MEASURE_H
