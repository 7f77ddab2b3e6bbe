// One entry's work, as its own process does it: one call judged against the
// exact reference, then (unless only checking) the timed calls, which must
// leave what the first call left.
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "blocks.h"
#include "clock.h"
#include "floatbits.h"
#include "fpstate.h"
#include "measure.h"
#include "work.h"

namespace host {

namespace {

// The verdict on the first call, from its output and what it did to the
// blocks around it.
void judgeFirstCall(EntryBlocks& b, const Reference& reference, bool ownTable, EntryResult& e) {
    e.check = checkOutput(e.record.flags, b.output(), reference);
    if (ownTable) judgeByRule(e.index, b.output(), reference, e.check);
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

// One call that broke the contract while being timed: why.
struct BrokenCall {
    std::string reason;
};

// Calls entry `index` once with count 1 under the settings an entry is
// called with and returns what it changed of them ("" for nothing), with the
// host's settings put back before any of its arithmetic runs again.
std::string checkedCall(const Module& module, uint32_t index, EntryBlocks& b) {
    const FpState host = readFpState();
    const FpState entry = entrySettings(host);
    restoreFpState(entry);
    module.run(index, b.coefficients(), b.input(), b.output(), 1);
    const FpState after = readFpState();
    restoreFpState(host);
    return fpStateChange(entry, after);
}

// Runs after every timed call, outside the timed interval: the output must
// be the first call's, bit for bit, and the settings as they were; then the
// output is refilled with the sentinel, so that every call must write it.
std::function<void()> afterEachCall(EntryBlocks& b, const EntryResult& e, const FpState& before) {
    auto calls = std::make_shared<int>(0);
    return [&b, &e, before, calls] {
        ++*calls;
        const FpState after = readFpState();
        const std::string change = fpStateChange(before, after);
        if (!change.empty()) {
            restoreFpState(before);
            throw BrokenCall{change + " (timed call " + std::to_string(*calls) + ")"};
        }
        if (!sameBits(b.output(), e.check.y, OUTPUT_COUNT)) {
            int i = 0;
            while (sameBits(b.output() + i, e.check.y + i, 1)) ++i;
            char text[160];
            if (isSentinel(b.output() + i))
                std::snprintf(text, sizeof text, "timed call %d did not write y[%d]", *calls, i);
            else
                std::snprintf(text, sizeof text, "timed call %d gave y[%d] = %.9g, the first call %.9g", *calls, i,
                              static_cast<double>(b.output()[i]), static_cast<double>(e.check.y[i]));
            throw BrokenCall{text};
        }
        const std::string damage = b.damage();
        if (!damage.empty()) throw BrokenCall{damage + " (timed call " + std::to_string(*calls) + ")"};
        b.resetOutput();
    };
}

// Fails e with `reason`, and drops its figures.
void failTimed(EntryResult& e, const std::string& reason) {
    e.status = Status::Failed;
    e.reason = reason;
    e.timing = Timing();
}

} // namespace

double runEntryWork(const Module& module, EntryResult& e, const circuit::Problem& problem,
                    const Reference& reference, const WorkSettings& w) {
    const double start = steadySeconds();
    EntryBlocks b(e.record.flags, problem);
    b.checkAlignment();
    const uint32_t index = static_cast<uint32_t>(e.index);
    const std::string change = checkedCall(module, index, b);
    e.ran = true;
    judgeFirstCall(b, reference, w.ownTable, e);
    if (!change.empty() && !isFailure(e.status)) {
        e.status = Status::Failed;
        e.reason = change;
    }
    if (w.checked != nullptr) *w.checked = 1;
    if (w.checkOnly || isFailure(e.status)) return steadySeconds() - start;

    b.resetOutput();
    const FpState host = readFpState();
    const FpState entry = entrySettings(host);
    restoreFpState(entry);
    try {
        e.timing = timeEntry(module, index, b, w.cpu, w.callSeconds, w.trials, afterEachCall(b, e, entry));
    } catch (const BrokenCall& broken) {
        failTimed(e, broken.reason);
    }
    restoreFpState(host);
    return steadySeconds() - start;
}

} // namespace host
