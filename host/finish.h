// After every entry ran: the verdicts across entries, relative speed, the
// run's core clock and its count of failures.
#ifndef CIRCUIT_HOST_FINISH_H
#define CIRCUIT_HOST_FINISH_H

#include "check.h"
#include "model.h"

namespace host {

// The verdicts across entries: where the table carries circuit 2's flags
// but not its names (so no entry's own rule is known), entries that must
// give the same bits are compared; each entry's speed relative to the
// fastest that ran its own code; the run's core clock; the count of failures.
void finishRun(RunInfo& run, const Reference& ref, bool timed);

} // namespace host

#endif // CIRCUIT_HOST_FINISH_H
