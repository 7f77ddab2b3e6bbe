// Timing one entry: a count found so that one call lasts a set time, then
// timed calls, each between two core-clock calibrations (common/cycles.h,
// the same code circuit_bench uses). Calls whose calibration moved give no
// core clocks; their nanoseconds still count.
#include <algorithm>
#include <cmath>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "clock.h"
#include "measure.h"
#include "load.h"
#include "probe.h"
#include "stats.h"

#if defined(__i386__) || defined(__x86_64__)
#define HOST_CYCLES 1
#include "cycles.h"
#else
#define HOST_CYCLES 0
#endif

namespace host {

namespace {

constexpr int32_t kMaxCount = 1 << 30;

using Call = std::function<void(int32_t count)>;
using AfterCall = std::function<void()>;

// The core-clock calibration of the timed calls and the probe, where there
// is a time-stamp counter.
class Clock {
  public:
    explicit Clock(const Processor& cpu) {
#if HOST_CYCLES
        if (cpu.tsc) clock_.reset(new bench::CycleClock(cpu.sse2 && cpu.rdtscp));
#else
        (void)cpu;
#endif
    }
    bool calibrating() const { return HOST_CYCLES && clock_ != nullptr; }
    // Runs `body` between two calibrations where there is a clock; false
    // when there is none or the calibration moved (ticks are still set).
    bool sample(const std::function<void()>& body, double& tick, double& cycles) {
#if HOST_CYCLES
        if (clock_) return bench::calibratedSample(*clock_, body, tick, cycles);
#else
        (void)tick, (void)cycles;
#endif
        body();
        return false;
    }

  private:
#if HOST_CYCLES
    std::unique_ptr<bench::CycleClock> clock_;
#else
    std::unique_ptr<int> clock_;
#endif
};

// Seconds one call of `count` repetitions takes.
double callSecondsOf(const Call& call, const AfterCall& after, int32_t count) {
    const int64_t start = steadyNs();
    call(count);
    const double elapsed = static_cast<double>(steadyNs() - start) * 1e-9;
    after();
    return elapsed;
}

// Calls at a count that must agree before the count is taken: their median,
// which one preempted call cannot move. Fewer for a call that is already
// long against the time planned for all calls.
double medianCallSeconds(const Call& call, const AfterCall& after, int32_t count, double first, double planned) {
    const int calls = first * 8 < planned ? 5 : 3;
    std::vector<double> times = {first};
    while (static_cast<int>(times.size()) < calls) times.push_back(callSecondsOf(call, after, count));
    return stats::median(times);
}

// The count of repetitions for which one call lasts about `callSeconds`:
// grown from one call's time, then taken only when the median of several
// calls at it agrees; `elapsed` is that median.
int32_t findCount(const Call& call, const AfterCall& after, double callSeconds, double planned, double& elapsed) {
    int32_t count = 1;
    for (;;) {
        elapsed = callSecondsOf(call, after, count);
        if (elapsed >= 0.8 * callSeconds || count >= kMaxCount) {
            elapsed = medianCallSeconds(call, after, count, elapsed, planned);
            if (elapsed >= 0.8 * callSeconds || count >= kMaxCount) return count;
        }
        double scale = elapsed > 20e-6 ? callSeconds / elapsed * 1.05 : 16.0;
        scale = std::min(16.0, std::max(1.25, scale));
        count = static_cast<int32_t>(std::min<double>(kMaxCount, std::ceil(count * scale)));
    }
}

// The figures of every timed call, per repetition.
struct Samples {
    std::vector<double> ns, ticks, clocks, ratios;
    std::vector<size_t> clockCall; // the call each of `clocks` came from
    double tickSum = 0, nsSum = 0;
    int calls = 0;
};

// Takes the timed calls. A call whose calibration moved still counts in ns;
// more calls are taken (at most four times the trials) until enough give
// core clocks.
Samples takeSamples(const Call& call, const AfterCall& after, int32_t count, Clock& clock, int trials) {
    Samples s;
    for (; s.calls < trials ||
           (clock.calibrating() && s.calls < 4 * trials && 2 * s.clocks.size() < static_cast<size_t>(trials));
         ++s.calls) {
        // Integer nanoseconds: the difference is exact whatever the x87
        // precision, and small enough for any double.
        int64_t start = 0, elapsedNs = 0;
        double tick = 0, cycles = 0;
        const bool calibrated = clock.sample(
            [&] {
                start = steadyNs();
                call(count);
                elapsedNs = steadyNs() - start;
            },
            tick, cycles);
        after();
        const double elapsed = static_cast<double>(elapsedNs) * 1e-9;
        if (calibrated) s.ratios.push_back(tick / cycles);
        s.ns.push_back(elapsed * 1e9 / count);
        if (tick > 0) {
            s.ticks.push_back(tick / count);
            s.tickSum += tick;
            s.nsSum += elapsed * 1e9;
        }
        if (calibrated) {
            s.clocks.push_back(cycles / count);
            s.clockCall.push_back(static_cast<size_t>(s.calls));
        }
    }
    return s;
}

// Every figure when they are few, else evenly spaced ones: enough for a
// rank test, few enough for a results file.
std::vector<double> kept(const std::vector<double>& v) {
    std::vector<double> out;
    const size_t step = (v.size() + kMaxSavedCalls - 1) / kMaxSavedCalls;
    for (size_t k = 0; k < v.size(); k += step) out.push_back(v[k]);
    return out;
}

// The core-clock figures, or the note why there are none.
void clockFigures(const Samples& s, bool calibrating, int trials, Timing& t) {
    if (!calibrating) {
        t.clockNote = "no time-stamp counter";
    } else if (2 * s.clocks.size() < static_cast<size_t>(trials)) {
        // A counter trapped by a virtual machine, or a clock that kept moving.
        t.clockNote = "the core clock could not be calibrated (" + std::to_string(t.dropped) + " of " +
                      std::to_string(s.calls) + " calls moved)";
    } else {
        t.ticksPerClock = stats::median(s.ratios);
        if (!(t.ticksPerClock > 0.05 && t.ticksPerClock < 50)) {
            t.clockNote = "the calibration gave an implausible clock ratio";
        } else {
            t.clocks = true;
            t.minClocks = *std::min_element(s.clocks.begin(), s.clocks.end());
            t.medianClocks = stats::median(s.clocks);
            t.lowClocks = stats::percentile(s.clocks, kLowPercentile);
            t.callClocks = kept(s.clocks);
        }
    }
}

} // namespace

std::string callsReason(const std::vector<double>& ns, double& noise) {
    const double m = stats::median(ns);
    noise = m > 0 ? stats::medianAbsoluteDeviation(ns) / m : 0;
    std::string reason;
    if (noise > kNoiseThreshold) reason = "noise";
    // Waiting only ever adds time: calls far below the median are a second,
    // faster mode of the entry's own (the 5th percentile lies below the
    // lower quartile, so it sees any mode of 5 % of the calls or more).
    if (m > 0 && (m - stats::percentile(ns, kLowPercentile)) / m > kTwoModesThreshold)
        reason += reason.empty() ? "two modes" : ", two modes";
    return reason;
}

namespace {

Timing summarise(const Samples& s, int32_t count, bool calibrating, int trials) {
    Timing t;
    t.done = true;
    t.count = count;
    t.samples = s.calls;
    t.minNs = *std::min_element(s.ns.begin(), s.ns.end());
    t.medianNs = stats::median(s.ns);
    t.maxNs = *std::max_element(s.ns.begin(), s.ns.end());
    t.lowNs = stats::percentile(s.ns, kLowPercentile);
    t.unstableReason = callsReason(s.ns, t.noise);
    t.callNs = kept(s.ns);
    if (!s.ticks.empty()) {
        t.minTicks = *std::min_element(s.ticks.begin(), s.ticks.end());
        t.medianTicks = stats::median(s.ticks);
        t.ticksPerNs = s.tickSum / s.nsSum;
    }
    t.dropped = s.calls - static_cast<int>(s.clocks.size());
    clockFigures(s, calibrating, trials, t);
    return t;
}

// How many calls to time. An entry whose single repetition lasts longer
// than a planned call would otherwise take `trials` times that (a 20 ms
// entry 8 s where the plan is 100 ms, and past the timeout for a slower
// one): it gets the calls that fit in the planned time, at least kMinCalls.
// `callTime` is the median of several calls, so one preempted call cannot
// make an ordinary entry slow.
int callsFor(int trials, double callSeconds, double callTime) {
    constexpr int kMinCalls = 5;
    if (!(callTime > 1.5 * callSeconds)) return trials;
    const double fit = std::floor(trials * callSeconds / callTime);
    return std::max(std::min(trials, kMinCalls), static_cast<int>(std::min<double>(trials, fit)));
}

// The probe of the entry's kind of work before and after its calls: the
// slower of the two (a spell of a shared core seen by either).
double probeAround(ProbeKind kind, Clock& clock, const std::function<void()>& work) {
    const CalibratedRun run = [&clock](const std::function<void()>& body, double& cycles) {
        double ticks = 0;
        return clock.sample(body, ticks, cycles);
    };
    const double before = probeClocks(kind, run);
    work();
    const double after = probeClocks(kind, run);
    return before > 0 && after > 0 ? std::max(before, after) : 0;
}

} // namespace

Timing timeEntry(const Module& module, uint32_t index, EntryBlocks& blocks, const Processor& cpu,
                 double callSeconds, int trials, const std::function<void()>& afterCall) {
    blocks.checkAlignment();
    const Call call = [&](int32_t count) {
        module.run(index, blocks.coefficients(), blocks.input(), blocks.output(), count);
    };
    const AfterCall after = afterCall ? afterCall : [] {};
    Clock clock(cpu);
    double callTime = 0;
    const int32_t count = findCount(call, after, callSeconds, callSeconds * trials, callTime);
    // Only a single repetition longer than the call makes an entry slow: a
    // count above 1 that overshot (calls of two modes) keeps every call.
    const int calls = count == 1 ? callsFor(trials, callSeconds, callTime) : trials;
    const LoadSample before = loadNow(false);
    const long switches = involuntarySwitches();
    Samples s;
    const double probe =
        probeAround(probeKindOf(blocks.flags(), cpu), clock, [&] { s = takeSamples(call, after, count, clock, calls); });
    const long switchesAfter = involuntarySwitches();
    const LoadShare load = loadBetween(before, loadNow(false));
    Timing t = summarise(s, count, clock.calibrating(), calls);
    t.plannedCalls = trials;
    t.callMs = callTime * 1e3;
    t.probeClocks = probe;
    t.otherCpusBusy = load.otherCpusBusy;
    t.stealShare = load.stealShare;
    t.involuntarySwitches = switches >= 0 && switchesAfter >= 0 ? switchesAfter - switches : -1;
    return t;
}

} // namespace host
