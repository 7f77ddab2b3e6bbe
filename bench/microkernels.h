// Small loops that measure what the bounds of the entries need from this
// machine: the cost of one x87 load-multiply-add step (alone and with six
// sums in flight), the x87 and SSE latencies, and the SSE throughputs. Each
// result is core cycles per step, the least of 15 calibrated samples.
#ifndef CIRCUIT_BENCH_MICROKERNELS_H
#define CIRCUIT_BENCH_MICROKERNELS_H

#include "cycles.h"

namespace bench {

struct MachineCosts {
    double x87StepThroughput; // fld m32, fmul m32, faddp: six sums in flight, cycles per step
    double x87StepLatency;    // the same step on one sum: the FADD latency
    double x87MemoryStep;     // fld, fmul, fadd m32, fstp m32 through one float in memory
    double x87MulLatency;     // FMUL m32 on a dependent value
    double sseAddLatency;     // ADDSS/ADDPS on a dependent value
    double sseMulLatency;     // MULSS/MULPS on a dependent value
    double sseAddThroughput;  // cycles per ADDPS, eight independent sums
    double sseMulThroughput;  // cycles per MULPS, eight independent products
};

// Runs every micro-kernel; takes a few milliseconds.
MachineCosts measureMachine(const CycleClock& clock);

} // namespace bench

#endif // CIRCUIT_BENCH_MICROKERNELS_H
