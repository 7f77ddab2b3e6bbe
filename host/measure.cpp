// Timing one entry: a count found so that one call lasts a set time, then
// timed calls, each between two core-clock calibrations (common/cycles.h,
// the same code circuit_bench uses). Calls whose calibration moved give no
// core clocks; their nanoseconds still count.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <functional>
#include <memory>

#include "clock.h"
#include "measure.h"
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

// The count of repetitions for which one call lasts about `callSeconds`;
// `elapsed` is how long the last call with that count took.
int32_t findCount(const Call& call, const AfterCall& after, double callSeconds, double& elapsed) {
    int32_t count = 1;
    for (;;) {
        const int64_t start = steadyNs();
        call(count);
        elapsed = static_cast<double>(steadyNs() - start) * 1e-9;
        after();
        if (elapsed >= 0.8 * callSeconds || count >= kMaxCount) return count;
        double scale = elapsed > 20e-6 ? callSeconds / elapsed * 1.05 : 16.0;
        scale = std::min(16.0, std::max(1.25, scale));
        count = static_cast<int32_t>(std::min<double>(kMaxCount, std::ceil(count * scale)));
    }
}

// The figures of every timed call, per repetition.
struct Samples {
    std::vector<double> ns, ticks, clocks, ratios;
    double tickSum = 0, nsSum = 0;
    int calls = 0;
};

// Takes the timed calls. A call whose calibration moved still counts in ns;
// more calls are taken (at most four times the trials) until enough give
// core clocks.
Samples takeSamples(const Call& call, const AfterCall& after, int32_t count, const Processor& cpu, int trials) {
    Samples s;
#if HOST_CYCLES
    std::unique_ptr<bench::CycleClock> clock;
    if (cpu.tsc) clock.reset(new bench::CycleClock(cpu.sse2 && cpu.rdtscp));
#endif
    // Runs `body` between two calibrations where there is a clock; false
    // when there is none or the calibration moved (ticks are still set).
    auto sample = [&](const std::function<void()>& body, double& tick, double& cycles) {
#if HOST_CYCLES
        if (clock) return bench::calibratedSample(*clock, body, tick, cycles);
#else
        (void)tick, (void)cycles;
#endif
        body();
        return false;
    };
    const bool calibrating = cpu.tsc && HOST_CYCLES;
    for (; s.calls < trials ||
           (calibrating && s.calls < 4 * trials && 2 * s.clocks.size() < static_cast<size_t>(trials));
         ++s.calls) {
        // Integer nanoseconds: the difference is exact whatever the x87
        // precision, and small enough for any double.
        int64_t start = 0, elapsedNs = 0;
        double tick = 0, cycles = 0;
        const bool calibrated = sample(
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
        if (calibrated) s.clocks.push_back(cycles / count);
    }
    return s;
}

// The core-clock figures, or the note why there are none.
void clockFigures(const Samples& s, const Processor& cpu, int trials, Timing& t) {
    if (!cpu.tsc || !HOST_CYCLES) {
        t.clockNote = "no time-stamp counter";
    } else if (2 * s.clocks.size() < static_cast<size_t>(trials)) {
        // A counter trapped by a virtual machine, or a clock that kept moving.
        t.clockNote = "the core clock could not be calibrated (" + std::to_string(t.dropped) + " of " +
                      std::to_string(s.calls) + " calls moved)";
    } else {
        t.ticksPerClock = median(s.ratios);
        if (!(t.ticksPerClock > 0.05 && t.ticksPerClock < 50)) {
            t.clockNote = "the calibration gave an implausible clock ratio";
        } else {
            t.clocks = true;
            t.minClocks = *std::min_element(s.clocks.begin(), s.clocks.end());
            t.medianClocks = median(s.clocks);
            t.lowClocks = percentile(s.clocks, kLowPercentile);
        }
    }
}

Timing summarise(const Samples& s, int32_t count, const Processor& cpu, int trials) {
    Timing t;
    t.done = true;
    t.count = count;
    t.samples = s.calls;
    t.minNs = *std::min_element(s.ns.begin(), s.ns.end());
    t.medianNs = median(s.ns);
    t.maxNs = *std::max_element(s.ns.begin(), s.ns.end());
    t.lowNs = percentile(s.ns, kLowPercentile);
    t.noise = t.medianNs > 0 ? medianAbsoluteDeviation(s.ns) / t.medianNs : 0;
    if (t.noise > kNoiseThreshold) t.unstableReason = "noise";
    // Every call when they are few, else evenly spaced ones: enough for a
    // rank test, few enough for a results file.
    const size_t step = (s.ns.size() + kMaxSavedCalls - 1) / kMaxSavedCalls;
    for (size_t k = 0; k < s.ns.size(); k += step) t.callNs.push_back(s.ns[k]);
    if (!s.ticks.empty()) {
        t.minTicks = *std::min_element(s.ticks.begin(), s.ticks.end());
        t.medianTicks = median(s.ticks);
        t.ticksPerNs = s.tickSum / s.nsSum;
    }
    t.dropped = s.calls - static_cast<int>(s.clocks.size());
    clockFigures(s, cpu, trials, t);
    return t;
}

// How many calls to time. An entry whose single repetition lasts longer
// than a planned call would otherwise take `trials` times that (a 20 ms
// entry 8 s where the plan is 100 ms, and past the timeout for a slower
// one): it gets the calls that fit in the planned time, at least kMinCalls.
int callsFor(int trials, double callSeconds, double callTime) {
    constexpr int kMinCalls = 5;
    if (!(callTime > 1.5 * callSeconds)) return trials;
    const double fit = std::floor(trials * callSeconds / callTime);
    return std::max(std::min(trials, kMinCalls), static_cast<int>(std::min<double>(trials, fit)));
}

} // namespace

Timing timeEntry(const Module& module, uint32_t index, EntryBlocks& blocks, const Processor& cpu,
                 double callSeconds, int trials, const std::function<void()>& afterCall) {
    blocks.checkAlignment();
    const Call call = [&](int32_t count) {
        module.run(index, blocks.coefficients(), blocks.input(), blocks.output(), count);
    };
    const AfterCall after = afterCall ? afterCall : [] {};
    double callTime = 0;
    const int32_t count = findCount(call, after, callSeconds, callTime);
    const int calls = callsFor(trials, callSeconds, callTime);
    Timing t = summarise(takeSamples(call, after, count, cpu, calls), count, cpu, calls);
    t.plannedCalls = trials;
    t.callMs = callTime * 1e3;
    return t;
}

} // namespace host
