// Small loops that measure what the bounds of the entries need from this
// machine: the cost of one x87 load-multiply-add step (alone and with six
// sums in flight), the x87, SSE and MMX latencies and throughputs, loads and
// stores, and the x87 conversions of the fixed-point entries. Each result is
// core cycles per step, the tenth percentile of 60 calibrated samples taken
// in rounds over about a second.
#ifndef CIRCUIT_BENCH_MICROKERNELS_H
#define CIRCUIT_BENCH_MICROKERNELS_H

#include "cycles.h"

namespace bench {

struct MachineCosts {
    double x87StepThroughput; // fld m32, fmul m32, faddp: six sums in flight, cycles per step
    double x87StepLatency;    // the same step on one sum: the FADD latency
    double x87MemoryStep;     // fld, fmul, fadd m32, fstp m32 through one float in memory
    double x87MemoryPair;     // the same step on two floats in turn: cycles per step
    double x87MemoryRows;     // rows of 36 such steps (entry 0's shape), one after another: per step
    double x87LoopRows;       // rows of 36 steps into a sum on the stack, a loop each (entry 1's shape)
    double x87RunRows;        // the same rows as straight runs (entry 2's shape): per step
    double x87MulLatency;     // FMUL m32 on a dependent value
    double sseAddLatency;     // ADDSS/ADDPS on a dependent value
    double sseMulLatency;     // MULSS/MULPS on a dependent value
    double sseAddThroughput;  // cycles per ADDPS, eight independent sums
    double sseMulThroughput;  // cycles per MULPS, eight independent products
    double sseMixThroughput;  // cycles per operation, MULPS and ADDPS alternating, all independent
    double loadThroughput;    // cycles per 16-byte load, independent loads
    double storeThroughput;   // cycles per 16-byte store, distinct addresses
    double mmxMulLatency;     // PMULHW on a dependent value
    double mmxAddLatency;     // PADDW on a dependent value
    double mmxUnpackLatency;  // PUNPCKLWD on a dependent value
    double mmxMulThroughput;  // cycles per PMULHW, six independent registers
    double mmxAddThroughput;  // cycles per PADDW, likewise
    double mmxUnpackThroughput; // cycles per PUNPCKLWD, likewise
    double mmxMacStep;        // MOVQ load, PMULHW, PADDW into one of four sums: cycles per step
    double sse2MulLatency;    // PMULHW on SSE2 registers, dependent
    double sse2AddLatency;    // PADDW on SSE2 registers, dependent
    double sse2MacStep;       // MOVDQA load, PMULHW, PADDW on SSE2 registers: cycles per step
    double sse2UnpackThroughput; // cycles per PUNPCKLQDQ, six independent registers
    double x87ToWord;         // FLD m32, FMUL, FISTP m16: cycles per float converted
    double x87ToFloat;        // FILD m16, FMUL, FSTP m32: cycles per word converted
    // x86-64 with AVX only (0 elsewhere): the vector paths of the C++ kernels.
    double avxDoubleInput = 0; // one input of entries 0 to 5's AVX code: broadcast, 5 steps
                               // (VCVTPS2PD, VMULPD, VADDPD), the fifth group gathered: cycles per input
    double avxConversion = 0; // VCVTPD2PS and VCVTPS2PD on 32-byte registers, independent: cycles each
    double avxShuffle = 0;    // VSHUFPS, VUNPCKLPD, VPERM2F128 on 32-byte registers, independent: cycles each
    double avxStore = 0;      // 32-byte store, distinct addresses
    double avxLoad = 0;       // 32-byte load within a 64-byte line, independent
    double avxSplitLoad = 0;  // 32-byte load across two 64-byte lines, independent
};

// Runs every micro-kernel; takes about a second.
MachineCosts measureMachine(CycleClock& clock);

} // namespace bench

#endif // CIRCUIT_BENCH_MICROKERNELS_H
