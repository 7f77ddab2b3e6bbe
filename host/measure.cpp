// Timing one entry: a count found so that one call lasts a set time, then
// timed calls, each between two core-clock calibrations (common/cycles.h,
// the same code circuit_bench uses). Calls whose calibration moved give no
// core clocks; their nanoseconds still count.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <functional>
#include <memory>

#include "host.h"

#if defined(__i386__) || defined(__x86_64__)
#define HOST_CYCLES 1
#include "cycles.h"
#else
#define HOST_CYCLES 0
#endif

namespace host {

namespace {

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

constexpr int32_t kMaxCount = 1 << 30;

} // namespace

Timing timeEntry(const Module& module, uint32_t index, EntryBlocks& blocks, const Processor& cpu,
                 double callSeconds, int trials) {
    Timing t;
    blocks.checkAlignment();
    auto call = [&](int32_t count) {
        module.run(index, blocks.coefficients(), blocks.input(), blocks.output(), count);
    };
    int32_t count = 1;
    for (;;) {
        const double start = steadySeconds();
        call(count);
        const double elapsed = steadySeconds() - start;
        if (elapsed >= 0.8 * callSeconds || count >= kMaxCount) break;
        double scale = elapsed > 20e-6 ? callSeconds / elapsed * 1.05 : 16.0;
        scale = std::min(16.0, std::max(1.25, scale));
        count = static_cast<int32_t>(std::min<double>(kMaxCount, std::ceil(count * scale)));
    }

    std::vector<double> ns, ticks, clocks, ratios;
    double tickSum = 0, nsSum = 0;
#if HOST_CYCLES
    std::unique_ptr<bench::CycleClock> clock;
    if (cpu.tsc) clock.reset(new bench::CycleClock(cpu.sse2 && cpu.rdtscp));
#else
    (void)cpu;
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
    // A call whose calibration moved still counts in ns; more calls are
    // taken (at most four times the trials) until enough give core clocks.
    int calls = 0;
    for (; calls < trials ||
           (calibrating && calls < 4 * trials && 2 * clocks.size() < static_cast<size_t>(trials));
         ++calls) {
        double start = 0, elapsed = 0, tick = 0, cycles = 0;
        const bool calibrated = sample(
            [&] {
                start = steadySeconds();
                call(count);
                elapsed = steadySeconds() - start;
            },
            tick, cycles);
        if (calibrated) ratios.push_back(tick / cycles);
        ns.push_back(elapsed * 1e9 / count);
        if (tick > 0) {
            ticks.push_back(tick / count);
            tickSum += tick;
            nsSum += elapsed * 1e9;
        }
        if (calibrated) clocks.push_back(cycles / count);
    }
    t.done = true;
    t.count = count;
    t.samples = calls;
    t.minNs = *std::min_element(ns.begin(), ns.end());
    t.medianNs = median(ns);
    t.maxNs = *std::max_element(ns.begin(), ns.end());
    if (!ticks.empty()) {
        t.minTicks = *std::min_element(ticks.begin(), ticks.end());
        t.medianTicks = median(ticks);
        t.ticksPerNs = tickSum / nsSum;
    }
    t.dropped = calls - static_cast<int>(clocks.size());
    if (!cpu.tsc || !HOST_CYCLES) {
        t.clockNote = "no time-stamp counter";
    } else if (2 * clocks.size() < static_cast<size_t>(trials)) {
        // A counter trapped by a virtual machine, or a clock that kept moving.
        t.clockNote = "the core clock could not be calibrated (" + std::to_string(t.dropped) + " of " +
                      std::to_string(calls) + " calls moved)";
    } else {
        t.ticksPerClock = median(ratios);
        if (!(t.ticksPerClock > 0.05 && t.ticksPerClock < 50)) {
            t.clockNote = "the calibration gave an implausible clock ratio";
        } else {
            t.clocks = true;
            t.minClocks = *std::min_element(clocks.begin(), clocks.end());
            t.medianClocks = median(clocks);
        }
    }
    return t;
}

} // namespace host
