// One entry's work, as its own process does it: run it once and judge the
// output, then time it; the job that tells a worker process what to do, and
// the answer it sends back, both as JSON (answer.cpp).
#ifndef CIRCUIT_HOST_WORK_H
#define CIRCUIT_HOST_WORK_H

#include <string>

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
    volatile int* checked = nullptr;  // set to 1 once the checked call is judged (the host's progress line)
};

// Runs entry e once and judges its output, then (unless checkOnly or it
// failed) times it. Fills e's status, reason, check and timing; returns the
// seconds it took.
double runEntryWork(const Module& module, EntryResult& e, const circuit::Problem& problem,
                    const Reference& reference, const WorkSettings& w);

// The work's result as a child sends it, and back (Fatal on nonsense).
std::string encodeOutcome(const EntryResult& e, double workSeconds);
double decodeOutcome(const std::string& text, EntryResult& e);
// A child's answer for work that ended with an error of the host's own.
std::string encodeError(const std::string& message);
// What a worker process needs to do one entry's work.
std::string encodeJob(const std::string& modulePath, const EntryResult& e, const circuit::Problem& p,
                      const WorkSettings& w);
void decodeJob(const std::string& text, std::string& modulePath, EntryResult& e, circuit::Problem& p,
               WorkSettings& w);

// The worker process (Windows): the job on stdin, the answer on stdout.
int workerMain();

} // namespace host

#endif // CIRCUIT_HOST_WORK_H
