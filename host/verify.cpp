// What the host checks itself of an entry's answer (verify.h).
#include <cmath>
#include <cstdio>

#include "text.h"
#include "verify.h"

namespace host {

namespace {

// Most multiply-adds per core clock, and core clocks per ns, any processor
// reaches: figures beyond them were not measured.
constexpr double kMostMacsPerClock = 64;
constexpr double kMostClocksPerNs = 10;

bool positive(double v) { return std::isfinite(v) && v > 0; }
// a <= b, but for the last bits an interpolated percentile may carry.
bool inOrder(double a, double b) { return a <= b * (1 + 1e-9); }

// The figures must be in order: min <= low <= median <= max, all above 0.
std::string disorder(const Timing& t) {
    if (t.samples < 1 || t.count < 1) return "its figures count no calls";
    if (!positive(t.minNs) || !(inOrder(t.minNs, t.lowNs) && inOrder(t.lowNs, t.medianNs) && inOrder(t.medianNs, t.maxNs)) ||
        !std::isfinite(t.maxNs))
        return "its figures disagree with one another (min, low, median and max ns not in order)";
    if (t.clocks && (!positive(t.minClocks) || !(inOrder(t.minClocks, t.lowClocks) && inOrder(t.lowClocks, t.medianClocks)) ||
                     !std::isfinite(t.medianClocks)))
        return "its figures disagree with one another (min, low and median clocks not in order)";
    return "";
}

// Fails e with `reason` and drops its figures.
void fail(EntryResult& e, const std::string& reason) {
    e.status = Status::Failed;
    e.reason = reason;
    e.timing = Timing();
}

void makePrintable(EntryResult& e) {
    e.reason = printable(e.reason);
    e.check.reason = printable(e.check.reason);
    e.timing.clockNote = printable(e.timing.clockNote);
    e.timing.unstableReason = printable(e.timing.unstableReason);
}

// Why e's figures cannot be true, or "": they disagree with one another,
// exceed what any processor does (the time of a call that does not grow
// with its count), or add up to more than the process lived.
std::string implausibleFigures(const Timing& t, double lifetimeSeconds) {
    const std::string order = disorder(t);
    if (!order.empty()) return order;
    char text[240];
    const double macsPerNs = kMultiplyAdds / t.minNs;
    if (macsPerNs > kMostMacsPerClock * kMostClocksPerNs) {
        std::snprintf(text, sizeof text,
                      "its time does not grow with the count: %.3g ns per repetition at count %ld, %.3g "
                      "multiply-adds per ns (no processor does more than %g)",
                      t.minNs, static_cast<long>(t.count), macsPerNs, kMostMacsPerClock * kMostClocksPerNs);
        return text;
    }
    // The median: one call whose calibration went astray cannot fail an entry.
    if (t.clocks && kMultiplyAdds / t.medianClocks > kMostMacsPerClock) {
        std::snprintf(text, sizeof text,
                      "%.3g multiply-adds per clock, more than any processor does (%g): the figures were not "
                      "measured",
                      kMultiplyAdds / t.medianClocks, kMostMacsPerClock);
        return text;
    }
    // Every timed call took at least the minimum: together they cannot have
    // lasted longer than the process that made them.
    const double timed = t.minNs * 1e-9 * t.count * t.samples;
    if (timed > lifetimeSeconds + 1e-3) {
        std::snprintf(text, sizeof text, "its timed calls add up to %.3g s, but its process lived %.3g s", timed,
                      lifetimeSeconds);
        return text;
    }
    return "";
}

} // namespace

void verifyAnswer(EntryResult& e, const Reference& ref, bool ownTable, double lifetimeSeconds) {
    makePrintable(e);
    if (e.status == Status::Skipped || e.status == Status::TimedOut) {
        fail(e, "answered nonsense (a status no process of an entry gives)");
        e.status = Status::Crashed;
        return;
    }
    if (e.status != Status::Ok && e.status != Status::Unchecked) return; // it blames itself
    Check c = checkOutput(e.record.flags, e.check.y, ref);
    if (ownTable) judgeByRule(e.index, e.check.y, ref, c);
    e.check = c;
    if (!c.ok) return fail(e, c.reason);
    e.status = c.unchecked ? Status::Unchecked : Status::Ok;
    if (c.unchecked) e.reason = c.reason;
    if (!e.timing.done) return;
    const std::string figures = implausibleFigures(e.timing, lifetimeSeconds);
    if (!figures.empty()) fail(e, figures);
}

} // namespace host
