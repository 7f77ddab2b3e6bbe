// Core cycles from a time-stamp counter that ticks at a fixed rate while the
// core clock wanders. A dependent chain of one-cycle integer additions takes
// exactly one core cycle per addition whatever the clock, so timing the chain
// in TSC ticks gives the ticks per core cycle at that moment. Each sample is
// bracketed by two such chains; a sample counts for core cycles only when
// both calibrations agree with each other and with the clock's usual ratio
// (the median of its recent calibrations) within kCalibrationTolerance. Two
// calibrations that agree only with each other are not enough: on a shared
// machine both chains of one sample can run several times slower than usual
// (the thread lost the core during each), which would turn an ordinary call
// into a figure far below what the nanoseconds allow.
// Shared by circuit_bench and circuit-host. The fences (LFENCE, RDTSCP) are
// written as instructions rather than intrinsics so that the host, built for
// a plain i586, can include this and leave them out on processors without
// SSE2 and RDTSCP (`fenced` false: plain RDTSC reads).
#ifndef CIRCUIT_COMMON_CYCLES_H
#define CIRCUIT_COMMON_CYCLES_H

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <x86intrin.h>

namespace bench {

inline void loadFence() { __asm__ volatile("lfence" ::: "memory"); }

// TSC read that later instructions cannot pass (start of an interval).
inline uint64_t ticksBegin(bool fenced = true) {
    if (fenced) loadFence();
    const uint64_t t = __rdtsc();
    if (fenced) loadFence();
    return t;
}

// TSC read that waits for every earlier instruction (end of an interval).
inline uint64_t ticksEnd(bool fenced = true) {
    if (!fenced) return __rdtsc();
    unsigned aux;
    const uint64_t t = __rdtscp(&aux);
    loadFence();
    return t;
}

// A dependent chain of 100 * blocks one-cycle additions (plus one
// decrement and branch per block, which run beside the chain). The addend is
// a register, not an immediate: some cores (Intel's since 2021) fold chains
// of immediate additions at register renaming and run several per cycle,
// which would make every cycle figure several times too large.
inline void additionChain(unsigned long blocks) {
    unsigned long value = 0;
    const unsigned long one = 1;
    __asm__ volatile("1:\n\t"
                     ".rept 100\n\t"
                     "add %2, %0\n\t"
                     ".endr\n\t"
                     "dec %1\n\t"
                     "jnz 1b"
                     : "+r"(value), "+r"(blocks)
                     : "r"(one)
                     : "cc");
}

class CycleClock {
  public:
    static constexpr unsigned long kChainBlocks = 80; // 8000 additions, about 2-3 us
    static constexpr double kCalibrationTolerance = 0.02;
    // The usual ratio is the median of the last kHistory calibrations,
    // recomputed every kRefresh: it follows a clock that settles at another
    // speed within a few dozen samples, and no single stall moves it.
    static constexpr size_t kHistory = 127;
    static constexpr size_t kRefresh = 16;

    // Measures the cost of an empty interval (subtracted from every interval),
    // warms the chain up and fills the history of calibrations.
    explicit CycleClock(bool fenced = true) : fenced_(fenced) {
        uint64_t best = UINT64_MAX;
        for (int i = 0; i < 200; ++i) {
            const uint64_t t0 = ticksBegin(fenced_);
            const uint64_t t1 = ticksEnd(fenced_);
            if (t1 - t0 < best) best = t1 - t0;
        }
        overhead_ = static_cast<double>(best);
        for (int i = 0; i < 10; ++i) ticksPerCycle();
        for (size_t i = 0; i < kHistory; ++i) calibrate();
    }

    double overhead() const { return overhead_; }
    bool fenced() const { return fenced_; }

    // TSC ticks per core cycle, now (one chain, not recorded).
    double ticksPerCycle() const {
        const uint64_t t0 = ticksBegin(fenced_);
        additionChain(kChainBlocks);
        const uint64_t t1 = ticksEnd(fenced_);
        return (static_cast<double>(t1 - t0) - overhead_) / (100.0 * kChainBlocks);
    }

    // One calibration, recorded in the history that gives the usual ratio.
    double calibrate() {
        const double r = ticksPerCycle();
        history_[next_] = r;
        next_ = (next_ + 1) % kHistory;
        if (filled_ < kHistory) ++filled_;
        if (++sinceRefresh_ >= kRefresh || filled_ < kHistory) refresh();
        return r;
    }

    // The median of the recent calibrations (0 before the first).
    double typicalTicksPerCycle() const { return typical_; }

    // Whether a calibration is within the tolerance of the usual ratio.
    bool typical(double ratio) const { return near(ratio, typical_); }

    // Whether `ratio` lies within kCalibrationTolerance of `usual`, relative
    // to it (ticks per cycle range from below 1 to dozens).
    static bool near(double ratio, double usual) {
        return usual > 0 && ratio > 0 && (ratio > usual ? ratio - usual : usual - ratio) <= kCalibrationTolerance * usual;
    }

    // Ticks of an interval, less the cost of reading the counter.
    double interval(uint64_t t0, uint64_t t1) const {
        const double d = static_cast<double>(t1 - t0) - overhead_;
        return d > 0 ? d : 0;
    }

  private:
    void refresh() {
        double v[kHistory];
        std::copy(history_, history_ + filled_, v);
        std::nth_element(v, v + filled_ / 2, v + filled_);
        typical_ = v[filled_ / 2];
        sinceRefresh_ = 0;
    }

    bool fenced_;
    double overhead_ = 0;
    double history_[kHistory] = {};
    size_t next_ = 0, filled_ = 0, sinceRefresh_ = 0;
    double typical_ = 0;
};

// Runs `body` once between two calibrations. Returns false when the
// calibrations disagree with each other or with the clock's usual ratio;
// otherwise sets core cycles of the body. Ticks are set either way.
template <class Body>
bool calibratedSample(CycleClock& clock, Body&& body, double& ticks, double& cycles) {
    const double before = clock.calibrate();
    const uint64_t t0 = ticksBegin(clock.fenced());
    body();
    const uint64_t t1 = ticksEnd(clock.fenced());
    const double after = clock.calibrate();
    ticks = clock.interval(t0, t1);
    const double ratio = 0.5 * (before + after);
    if (!(ratio > 0) || !clock.typical(before) || !clock.typical(after) ||
        (before > after ? before - after : after - before) > CycleClock::kCalibrationTolerance * ratio)
        return false;
    cycles = ticks / ratio;
    return true;
}

} // namespace bench

#endif // CIRCUIT_COMMON_CYCLES_H
