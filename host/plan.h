// Before any entry runs: the problem, the module's entries as the run
// describes them, and which of them to run.
#ifndef CIRCUIT_HOST_PLAN_H
#define CIRCUIT_HOST_PLAN_H

#include <cstddef>
#include <vector>

#include "check.h"
#include "layout.h"
#include "model.h"
#include "options.h"

namespace host {

// The problem the options name (a file, a seed, or a seed chosen now),
// recorded in run.problem.
circuit::Problem chooseProblem(const Options& o, ProblemSource& source);
// Its exact reference and every entry's output by its own rule; Fatal when
// single precision cannot compute it.
Reference referenceFor(const circuit::Problem& problem);
// One result per record of the module, with what the processor lacks and
// whether --entries chose it; Fatal when --entries names entries the
// module does not have.
std::vector<EntryResult> describeEntries(const ModuleInfo& module, const Processor& cpu, const Options& o);
// The indices of the entries to run; the others get their reason.
std::vector<size_t> planEntries(std::vector<EntryResult>& entries, bool all);

} // namespace host

#endif // CIRCUIT_HOST_PLAN_H
