// After every entry ran: the verdicts across entries, relative speed, the
// run's core clock and its count of failures.
#ifndef CIRCUIT_HOST_FINISH_H
#define CIRCUIT_HOST_FINISH_H

#include "model.h"

namespace host {

// Fails an entry whose output differs from that of an entry that must give
// the same bits.
void compareGroups(RunInfo& run);
// Every timed entry's speed relative to the fastest.
void relativeSpeed(RunInfo& run);
// Core clock of the run: the median of what the entries' calibrations saw.
void summariseClocks(RunInfo& run);
// All of the above, and the count of failures.
void finishRun(RunInfo& run, bool timed);

} // namespace host

#endif // CIRCUIT_HOST_FINISH_H
