// Rounds: every timed entry is timed in several rounds spread over the run,
// each round a fresh process per entry with the entries in another order,
// and the rounds' figures combined into the entry's, with the reason when
// they cannot be signed. What else ran (load.h) and the throughput probe
// (probe.h) of every round say why a round was slow.
#ifndef CIRCUIT_HOST_ROUNDS_H
#define CIRCUIT_HOST_ROUNDS_H

#include <cstddef>
#include <vector>

#include "model.h"
#include "runner.h"

namespace host {

// Checks and times the entries `toRun` in `rounds` rounds (the first one
// checks them as runEntries does; any round's failure stands), retrying the
// entries whose rounds did not settle in up to `rounds` more, and fills the
// run's load figures. s.work holds the whole time per entry (callSeconds x
// trials); each round gets its share in calls of at most 250 microseconds
// (more time per entry means more calls, not longer ones).
void runRounds(const Module& module, const circuit::Problem& problem, const Reference& reference,
               const RunSettings& s, int rounds, const std::vector<size_t>& toRun, RunInfo& run);

// The entry's figures from its rounds' (each with its probeClocks), against
// the least probe of its kind in the run (0: none) and what the probe takes on
// a core alone (probeAloneClocks; 0: unknown): the round with the least
// median, every round's median, their spread, and the reason when they
// cannot be signed (a set of calls' reasons only when every round that
// confirms the least has them). `settled` says whether
// another round could change the verdict for the better.
Timing combineRounds(const std::vector<Timing>& rounds, double bestProbe, double aloneProbe, bool& settled);

// Counts the entries that ended flagged (after the verdicts across entries).
void countFlagged(RunInfo& run);

} // namespace host

#endif // CIRCUIT_HOST_ROUNDS_H
