// Running the planned entries, each in a process of its own, with progress
// on the terminal, and turning how each process ended into its result.
#ifndef CIRCUIT_HOST_RUNNER_H
#define CIRCUIT_HOST_RUNNER_H

#include <cstddef>
#include <string>
#include <vector>

#include "check.h"
#include "isolate.h"
#include "layout.h"
#include "model.h"
#include "module.h"
#include "work.h"

namespace host {

struct RunSettings {
    std::string modulePath;
    double timeoutSeconds = 0;
    WorkSettings work;
};

// Runs the entries `toRun` of `run` in turn until all ran or the run was
// interrupted; fills their results and the run's isolation figures.
void runEntries(const Module& module, const circuit::Problem& problem, const Reference& reference,
                const RunSettings& s, const std::vector<size_t>& toRun, RunInfo& run);
// One entry's work in its own process, as the answer to send back: an entry
// that throws (or leaves the host's code short of memory) is crashed with that
// reason; only the host's own failures answer an error.
std::string answerEntry(const Module& module, EntryResult mine, const circuit::Problem& problem,
                        const Reference& reference, const WorkSettings& w);
// Entry e's result from how its process ended.
void takeOutcome(const Isolated& r, bool interrupted, double timeoutSeconds, EntryResult& e, double& workSeconds);

} // namespace host

#endif // CIRCUIT_HOST_RUNNER_H
