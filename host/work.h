// One entry's work, as its own process does it: run it once and judge the
// output, then time it.
#ifndef CIRCUIT_HOST_WORK_H
#define CIRCUIT_HOST_WORK_H

#include "check.h"
#include "layout.h"
#include "model.h"
#include "module.h"

namespace host {

struct WorkSettings {
    bool checkOnly = false;
    double callSeconds = 0;   // length of one timed call
    int trials = 0;
    Processor cpu;
    bool ownTable = false;    // the module's table is circuit 2's own: outputs judged by each entry's rule
    volatile int* checked = nullptr;  // set to 1 once the checked call is judged (the host's progress line)
};

// Runs entry e once and judges its output, then (unless checkOnly or it
// failed) times it. Fills e's status, reason, check and timing; returns the
// seconds it took.
double runEntryWork(const Module& module, EntryResult& e, const circuit::Problem& problem,
                    const Reference& reference, const WorkSettings& w);

} // namespace host

#endif // CIRCUIT_HOST_WORK_H
