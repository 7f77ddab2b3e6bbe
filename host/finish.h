// After every entry ran: the verdicts across entries, relative speed, the
// run's core clock and its count of failures.
#ifndef CIRCUIT_HOST_FINISH_H
#define CIRCUIT_HOST_FINISH_H

#include "check.h"
#include "model.h"

namespace host {

// Fails an entry whose output differs from that of an entry that must give
// the same bits, the one farther from the exact sums. Only for a module whose
// table is circuit 2's own; otherwise notes that no such check was made.
void compareGroups(RunInfo& run, const Reference& ref);
// Every timed entry's speed relative to the fastest.
void relativeSpeed(RunInfo& run);
// Core clock of the run: the median of what the entries' calibrations saw.
void summariseClocks(RunInfo& run);
// All of the above, and the count of failures.
void finishRun(RunInfo& run, const Reference& ref, bool timed);

} // namespace host

#endif // CIRCUIT_HOST_FINISH_H
