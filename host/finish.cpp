// After every entry ran: the verdicts across entries, relative speed, the
// run's core clock and its count of failures.
#include <algorithm>
#include <string>
#include <vector>

#include "finish.h"
#include "floatbits.h"

namespace host {

namespace {

// Entries that reproduce one another's summation bit for bit: the 3DNow! SOA
// entries, the SSE entries and the fixed-point entries of circuit 2.
const std::vector<std::vector<int>> kSameBits = {{7, 8, 9}, {10, 11}, {12, 13}};

} // namespace

void compareGroups(RunInfo& run) {
    for (const auto& group : kSameBits) {
        const EntryResult* first = nullptr;
        for (int index : group) {
            if (index >= static_cast<int>(run.entries.size())) break;
            EntryResult& e = run.entries[static_cast<size_t>(index)];
            if (!e.ran || isFailure(e.status)) continue;
            if (first == nullptr) {
                first = &e;
            } else if (!sameBits(first->check.y, e.check.y, OUTPUT_COUNT)) {
                e.status = Status::Failed;
                e.reason = "output differs from entry " + std::to_string(first->index) +
                           ", which must give the same bits";
                e.timing = Timing();
            }
        }
    }
}

void relativeSpeed(RunInfo& run) {
    double fastest = 0;
    for (const EntryResult& e : run.entries)
        if (e.timing.done && (fastest == 0 || e.timing.medianNs < fastest)) fastest = e.timing.medianNs;
    for (EntryResult& e : run.entries)
        if (e.timing.done && e.timing.medianNs > 0) e.timing.relative = fastest / e.timing.medianNs;
}

void summariseClocks(RunInfo& run) {
    std::vector<double> hz;
    std::string note;
    for (const EntryResult& e : run.entries) {
        if (!e.timing.done) continue;
        if (coreHz(e.timing) > 0)
            hz.push_back(coreHz(e.timing));
        else if (note.empty())
            note = e.timing.clockNote;
    }
    if (!hz.empty()) {
        std::sort(hz.begin(), hz.end());
        run.machine.coreGHz = hz[hz.size() / 2] / 1e9;
    } else {
        run.machine.clockNote = note.empty() ? "no entry was timed" : note;
    }
}

void finishRun(RunInfo& run, bool timed) {
    compareGroups(run);
    if (timed) relativeSpeed(run);
    summariseClocks(run);
    for (const EntryResult& e : run.entries)
        if (isFailure(e.status)) ++run.failed;
}

} // namespace host
