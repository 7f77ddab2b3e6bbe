// The entry's process side of the seam: its whole job (one entry's work, the
// answer it sends back), and the answer read back by the host. On Windows,
// where the entry's process is a worker started afresh, also the job that
// tells it what to do. Both travel as JSON.
#ifndef CIRCUIT_HOST_ANSWER_H
#define CIRCUIT_HOST_ANSWER_H

#include <string>

#include "check.h"
#include "layout.h"
#include "model.h"
#include "module.h"
#include "work.h"

namespace host {

// One entry's work in its own process, as the answer to send back: an entry
// that throws (or leaves the host's code short of memory) is crashed with
// that reason; only the host's own failures answer an error.
std::string answerEntry(const Module& module, EntryResult mine, const circuit::Problem& problem,
                        const Reference& reference, const WorkSettings& w);

// The work's result as the entry's process sends it, and back: Fatal on an
// answer that does not parse and on an error answer (its message).
std::string encodeOutcome(const EntryResult& e, double workSeconds);
double decodeOutcome(const std::string& text, EntryResult& e);

#ifdef _WIN32
// What a worker process needs to do one entry's work.
std::string encodeJob(const std::string& modulePath, const EntryResult& e, const circuit::Problem& p,
                      const WorkSettings& w);
void decodeJob(const std::string& text, std::string& modulePath, EntryResult& e, circuit::Problem& p,
               WorkSettings& w);
#endif

} // namespace host

#endif // CIRCUIT_HOST_ANSWER_H
