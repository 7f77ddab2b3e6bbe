// After every entry ran: the verdicts across entries, relative speed, the
// run's core clock and its count of failures.
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "finish.h"
#include "floatbits.h"
#include "reference.h"

namespace host {

namespace {

// Entries that reproduce one another's summation bit for bit: the 3DNow! SOA
// entries, the SSE entries and the fixed-point entries of circuit 2. They
// hold for this module's table only.
const std::vector<std::vector<int>> kSameBits = {{7, 8, 9}, {10, 11}, {12, 13}};

// How far an entry's outputs lie from the exact sums, in all.
long double distance(const EntryResult& e, const Reference& ref) {
    long double d = 0;
    for (int i = 0; i < OUTPUT_COUNT; ++i) d += outputError(arithmeticOf(e.record.flags), e.check.y[i], ref, i);
    return d;
}

// Fails `bad`, which differs from `good` although the two must agree.
void condemn(EntryResult& bad, const EntryResult& good, const Reference& ref, bool tie) {
    int i = 0;
    while (i + 1 < OUTPUT_COUNT && sameBits(bad.check.y + i, good.check.y + i, 1)) ++i;
    char text[240];
    std::snprintf(text, sizeof text,
                  "output differs from entry %d, which must give the same bits, and lies %s the exact sums "
                  "(y[%d] = %.9g, entry %d %.9g, exact %.9g)",
                  good.index, tie ? "as far from" : "farther from", i, static_cast<double>(bad.check.y[i]),
                  good.index, static_cast<double>(good.check.y[i]), static_cast<double>(ref.y[i]));
    bad.status = Status::Failed;
    bad.reason = text;
    bad.timing = Timing();
}

// One group: the member nearest the exact sums stands; each member that
// differs from it falls, and with it the nearest one too when both lie
// equally far.
void compareGroup(RunInfo& run, const std::vector<int>& group, const Reference& ref) {
    std::vector<EntryResult*> members;
    for (int index : group) {
        EntryResult& e = run.entries[static_cast<size_t>(index)];
        if (e.ran && !isFailure(e.status)) members.push_back(&e);
    }
    if (members.size() < 2) return;
    EntryResult* best = members[0];
    for (EntryResult* e : members)
        if (distance(*e, ref) < distance(*best, ref)) best = e;
    const EntryResult standard = *best;
    for (EntryResult* e : members) {
        if (e == best || sameBits(e->check.y, standard.check.y, OUTPUT_COUNT)) continue;
        const bool tie = !(distance(*e, ref) > distance(standard, ref));
        condemn(*e, standard, ref, tie);
        if (tie && !isFailure(best->status)) condemn(*best, *e, ref, tie);
    }
}

// Where each entry's own rule judged it, the groups say nothing more; a
// table with other flags has no groups known.
void compareGroups(RunInfo& run, const Reference& ref) {
    if (isOwnTable(run.module)) return;
    if (!hasOwnFlags(run.module)) {
        run.crossCheckNote = "no cross-entry check: the module's entry table is not circuit 2's own, so no "
                             "entries are known to give the same bits";
        return;
    }
    for (const auto& group : kSameBits) compareGroup(run, group, ref);
}

// Speed relative to the fastest entry that ran its own code; a substitute
// (the module's code for an extension the processor lacks) gets none.
void relativeSpeed(RunInfo& run) {
    double fastest = 0;
    for (const EntryResult& e : run.entries)
        if (e.timing.done && !e.substitute && (fastest == 0 || e.timing.medianNs < fastest))
            fastest = e.timing.medianNs;
    for (EntryResult& e : run.entries)
        if (e.timing.done && !e.substitute && e.timing.medianNs > 0) e.timing.relative = fastest / e.timing.medianNs;
}

} // namespace

namespace {

// Core clock of the run: the median of what the entries' calibrations saw.
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

} // namespace

void finishRun(RunInfo& run, const Reference& ref, bool timed) {
    compareGroups(run, ref);
    if (timed) relativeSpeed(run);
    summariseClocks(run);
    for (const EntryResult& e : run.entries)
        if (isFailure(e.status)) ++run.failed;
}

} // namespace host
