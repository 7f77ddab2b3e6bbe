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
// What the host judges an entry's answer by.
struct Judge {
    const Reference& reference;
    bool ownTable;          // the module's table is circuit 2's own
    double timeoutSeconds;
    bool interrupted;       // the run was interrupted while the entry ran
};
// Entry e's result from how its process ended and what it answered, as far
// as the host can check it; an answer that does not parse marks e alone.
void takeOutcome(const Isolated& r, const Judge& judge, EntryResult& e, double& workSeconds);

} // namespace host

#endif // CIRCUIT_HOST_RUNNER_H
