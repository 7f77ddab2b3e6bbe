// One entry's work, as its own process does it: one call judged against the
// exact reference, then (unless only checking) the timed calls, which must
// leave what the first call left.
#include <cstdint>
#include <string>
#include <vector>

#include "blocks.h"
#include "clock.h"
#include "floatbits.h"
#include "measure.h"
#include "work.h"

namespace host {

namespace {

// The verdict on the first call, from its output and what it did to the
// blocks around it.
void judgeFirstCall(EntryBlocks& b, const Reference& reference, EntryResult& e) {
    e.check = checkOutput(e.record.flags, b.output(), reference);
    const std::vector<int> missing = b.unwritten();
    const std::string damage = b.damage();
    if (!damage.empty() || !missing.empty()) // no error to speak of
        e.check.maxError = e.check.bound = e.check.worstRatio = NAN;
    if (!damage.empty()) {
        e.status = Status::Failed;
        e.reason = damage;
    } else if (missing.size() == OUTPUT_COUNT) {
        e.status = Status::Failed;
        e.reason = "wrote no output";
    } else if (!missing.empty()) {
        e.status = Status::Failed;
        e.reason = "did not write y[" + std::to_string(missing.front()) + "]" +
                   (missing.size() > 1 ? " and " + std::to_string(missing.size() - 1) + " more" : "");
    } else if (e.check.unchecked) {
        e.status = Status::Unchecked;
        e.reason = e.check.reason;
    } else if (!e.check.ok) {
        e.status = Status::Failed;
        e.reason = e.check.reason;
    } else {
        e.status = Status::Ok;
    }
}

} // namespace

double runEntryWork(const Module& module, EntryResult& e, const circuit::Problem& problem,
                    const Reference& reference, const WorkSettings& w) {
    const double start = steadySeconds();
    EntryBlocks b(e.record.flags, problem);
    b.checkAlignment();
    module.run(static_cast<uint32_t>(e.index), b.coefficients(), b.input(), b.output(), 1);
    e.ran = true;
    judgeFirstCall(b, reference, e);
    if (w.checked != nullptr) *w.checked = 1;
    if (w.checkOnly || isFailure(e.status)) return steadySeconds() - start;

    b.resetOutput();
    e.timing = timeEntry(module, static_cast<uint32_t>(e.index), b, w.cpu, w.callSeconds, w.trials);
    // Many repetitions must leave what one left, and nothing else.
    const std::string timedDamage = b.damage();
    if (!timedDamage.empty() || !sameBits(b.output(), e.check.y, OUTPUT_COUNT)) {
        e.status = Status::Failed;
        e.reason = !timedDamage.empty() ? timedDamage + " when timed"
                                        : "a count of " + std::to_string(e.timing.count) +
                                              " gives another output than a count of 1";
        e.timing = Timing();
    }
    return steadySeconds() - start;
}

} // namespace host
