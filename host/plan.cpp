// Before any entry runs: the problem, the module's entries as the run
// describes them, and which of them to run.
#include <ctime>
#include <random>

#include "errors.h"
#include "machine.h"
#include "plan.h"
#include "problem.h"
#include "reference.h"
#include "text.h"

namespace host {

circuit::Problem chooseProblem(const Options& o, ProblemSource& source) {
    if (!o.problem.empty()) {
        source.fromFile = true;
        source.path = o.problem;
        return readProblem(o.problem);
    }
    if (o.haveSeed) {
        source.seed = o.seed;
    } else {
        std::random_device rd;
        source.seed = (static_cast<uint64_t>(rd()) ^ static_cast<uint64_t>(std::time(nullptr))) & 0xFFFFFFFFu;
    }
    return randomProblem(source.seed);
}

Reference referenceFor(const circuit::Problem& problem) {
    Reference reference = exactReference(problem);
    const std::string overflow = overflowText(reference);
    if (!overflow.empty()) throw Fatal("cannot use this problem: " + overflow);
    ruleOutputs(problem, reference.rule);
    return reference;
}

std::vector<EntryResult> describeEntries(const ModuleInfo& module, const Processor& cpu, const Options& o) {
    std::vector<EntryResult> entries;
    const int count = static_cast<int>(module.records.size());
    for (int i = 0; i < count; ++i) {
        EntryResult e;
        e.index = i;
        e.record = module.records[static_cast<size_t>(i)];
        e.nameTerminated = module.nameTerminated[static_cast<size_t>(i)];
        e.name = sjisToUtf8(rawName(e), &e.nameConverted);
        e.missing = missingExtensions(e.record.flags, cpu);
        e.runnable = e.missing.empty();
        e.selected = o.entries.empty() || o.entries[static_cast<size_t>(i)];
        entries.push_back(e);
    }
    if (!o.entries.empty())
        for (int k = count; k < kMaxEntries; ++k)
            if (o.entries[static_cast<size_t>(k)])
                throw Fatal("--entries names entry " + std::to_string(k) + "; the module has " +
                            std::to_string(count) + " entries (0 to " + std::to_string(count - 1) + ")");
    return entries;
}

std::vector<size_t> planEntries(std::vector<EntryResult>& entries, bool all) {
    std::vector<size_t> toRun;
    for (EntryResult& e : entries) {
        if (!e.selected) {
            e.reason = "not selected";
        } else if (!e.runnable && !all) {
            e.reason = "this processor lacks " + e.missing;
        } else {
            toRun.push_back(static_cast<size_t>(e.index));
        }
    }
    return toRun;
}

} // namespace host
