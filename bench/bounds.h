// The least time one repetition of each entry (and of each peer) can take on
// this machine, from the operations the entry's code issues and from its
// longest dependency chain: the bound is the larger of
//   throughput: each class of operation over the units that execute it, and
//   latency: the longest chain of dependent operations in one repetition.
// Latencies and the x87 step costs come from the micro-kernels measured in
// the same run; the unit counts below are assumptions for this machine
// (AMD family 1Ah, Zen class), documented in bench/BOUNDS.md.
#ifndef CIRCUIT_BENCH_BOUNDS_H
#define CIRCUIT_BENCH_BOUNDS_H

#include <algorithm>

#include "circuit.h"
#include "microkernels.h"

namespace bench {

struct Machine {
    double loadsPerCycle = 3;        // loads of up to 16 bytes
    double storesPerCycle = 2;
    double intMulPerCycle = 2;       // PMULHW
    double intAddPerCycle = 4;       // PADDW and the unpacks
    double intMulLatency = 3;
    double intAddLatency = 1;
};

// What one repetition issues. Vector operations count once whatever their
// width; x87 steps are fld/fmul/fadd triples priced by the micro-kernel.
struct Work {
    double x87Steps = 0;   // load-multiply-add steps on the x87 stack
    double muls = 0;       // SSE/3DNow! multiplies (any width)
    double adds = 0;       // SSE/3DNow! additions, horizontal adds included
    double otherFp = 0;    // other FP-unit work (conversions), any of four pipes
    double intMuls = 0;    // PMULHW
    double intAdds = 0;    // PADDW and unpacks
    double loads = 0;      // memory operands included
    double stores = 0;
    double chain = 0;      // longest dependent chain, in cycles
    double perCall = 0;    // work done once per call (cycles), spread over the count
};

inline double throughputCycles(const Work& w, const MachineCosts& c, const Machine& m) {
    const double fpPipes = std::max({w.muls * c.sseMulThroughput, w.adds * c.sseAddThroughput,
                                     (w.muls + w.adds + w.otherFp) / 4.0});
    return std::max({w.x87Steps * c.x87StepThroughput, fpPipes, w.intMuls / m.intMulPerCycle,
                     w.intAdds / m.intAddPerCycle, w.loads / m.loadsPerCycle,
                     w.stores / m.storesPerCycle});
}

inline double boundCycles(const Work& w, const MachineCosts& c, int32_t count,
                          const Machine& m = Machine()) {
    return std::max(throughputCycles(w, c, m), w.chain) + w.perCall / count;
}

// The work of entry `index`, as its code defines it.
inline Work entryWork(unsigned index, const MachineCosts& c, const Machine& m = Machine()) {
    Work w;
    const double products = OUTPUT_COUNT * INPUT_COUNT; // 648
    const double sseChain35 = c.sseMulLatency + 35 * c.sseAddLatency;
    switch (index) {
    case 0: // running sum through y[i] in memory: 36 round trips per row
        w.x87Steps = products;
        w.loads = 3 * products;
        w.stores = products + OUTPUT_COUNT;
        w.chain = INPUT_COUNT * c.x87MemoryStep;
        break;
    case 1: // one accumulator from +0.0: 36 additions per row
    case 2: // 35 additions per row
    case 3: // tree: 3 additions per group on the path through S, 5 groups
    case 4: // L: 11 additions, then 2 more
    case 5: // six rows in flight, 35 additions each
        w.x87Steps = products;
        w.loads = 2 * products;
        w.stores = OUTPUT_COUNT;
        w.chain = c.x87MulLatency + c.x87StepLatency * (index == 1   ? 36
                                                       : index == 3 ? 15
                                                       : index == 4 ? 13
                                                                    : 35);
        break;
    case 6: // 2-lane: 324 PFMUL, 324 PFADD, 12 PFACC; 18 additions + PFACC per chain
        w.muls = 324;
        w.adds = 324 + 12;
        w.loads = 324 + 108;
        w.stores = 12;
        w.chain = c.sseMulLatency + 19 * c.sseAddLatency;
        break;
    case 7: // 3 chains per block; 324 coefficient pairs + 3 x 36 multipliers
        w.muls = 324;
        w.adds = 315;
        w.loads = 324 + 108;
        w.stores = 9;
        w.chain = sseChain35;
        break;
    case 8:
    case 9: // 5 then 4 chains; 252 pair loads + 72 memory operands + 72 multipliers
        w.muls = 324;
        w.adds = 315;
        w.loads = 324 + 72;
        w.stores = 9;
        w.chain = sseChain35;
        break;
    case 10: // 4-lane: 180 MULPS, 175 ADDPS; input read twice
        w.muls = 180;
        w.adds = 175;
        w.loads = 180 + 72;
        w.stores = 5;
        w.chain = sseChain35;
        break;
    case 11: // input read once
        w.muls = 180;
        w.adds = 175;
        w.loads = 180 + 36;
        w.stores = 5;
        w.chain = sseChain35;
        break;
    case 12: // 6 groups x 9 steps x 3 rows; horizontal sums about 8 operations per row
        w.intMuls = 162;
        w.intAdds = 162 + 8 * OUTPUT_COUNT;
        w.loads = 162 + 54;
        w.stores = 12;
        w.chain = m.intMulLatency + (9 + 4) * m.intAddLatency;
        w.perCall = (648 + 36 + OUTPUT_COUNT) * c.x87StepThroughput;
        break;
    case 13: // 36 steps x 5 vectors
        w.intMuls = 180;
        w.intAdds = 180;
        w.loads = 180 + 36;
        w.stores = 5;
        w.chain = m.intMulLatency + 36 * m.intAddLatency;
        w.perCall = (720 + 144 + OUTPUT_COUNT) * c.x87StepThroughput;
        break;
    }
    return w;
}

// Peers: a scalar loop (float or double accumulator per row) and a 4-wide
// vector matrix-vector product (Eigen, OpenBLAS at the SSE width).
inline Work scalarLoopWork(bool doubleSum, const MachineCosts& c) {
    Work w;
    w.muls = 648;
    w.adds = 648;
    w.otherFp = doubleSum ? 2 * 648 : 0; // float to double conversions
    w.loads = 2 * 648;
    w.stores = OUTPUT_COUNT;
    w.chain = c.sseMulLatency + 36 * c.sseAddLatency;
    return w;
}

inline Work vectorWork(const MachineCosts& c) {
    Work w;
    w.muls = 162; // 18 x 36 in 4-wide operations (18 rows = 4.5 vectors, 36 columns)
    w.adds = 162;
    w.loads = 162 + 36;
    w.stores = 5;
    w.chain = c.sseMulLatency + 36 * c.sseAddLatency;
    return w;
}

} // namespace bench

#endif // CIRCUIT_BENCH_BOUNDS_H
