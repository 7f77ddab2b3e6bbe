// The least time one repetition of each entry (and of each peer) can take on
// this machine, from the operations the entry's code issues and from its
// longest dependency chain: the bound is the larger of
//   throughput: each class of operation over the units that execute it, and
//   latency: the longest chain of dependent operations in one repetition.
// Every cost comes from the micro-kernels measured in the same run
// (microkernels.cpp); nothing is assumed about the processor. The model is
// documented in bench/BOUNDS.md.
#ifndef CIRCUIT_BENCH_BOUNDS_H
#define CIRCUIT_BENCH_BOUNDS_H

#include <algorithm>
#include <cstdint>

#include "circuit.h"
#include "microkernels.h"

namespace bench {

// What one repetition issues. Vector operations count once whatever their
// width; x87 steps are fld/fmul/fadd triples priced by the micro-kernel.
struct Work {
    double x87Steps = 0;   // load-multiply-add steps on the x87 stack
    double muls = 0;       // SSE/3DNow! multiplies (any width)
    double adds = 0;       // SSE/3DNow! additions, horizontal adds included
    double otherFp = 0;    // other FP-unit work (conversions), priced like the slower of MULPS and ADDPS
    double macSteps = 0;   // MMX steps: load four words, PMULHW, PADDW into a sum
    double mmxOther = 0;   // other MMX operations: PADDW, unpacks, register copies
    double sse2MacSteps = 0; // the same step on SSE2 registers (eight words)
    double sse2Unpacks = 0;  // SSE2 unpacks beside those steps, on the same ports
    bool avxCode = false;      // the AVX code of a C++ kernel: the terms below, 32-byte stores
    double avxDoubleInputs = 0; // AVX: inputs of entries 0 to 5's code (broadcast, 5 steps), as measured
    double avxShuffles = 0;    // AVX: shuffles, inserts, broadcasts from registers, 64-bit moves
    double avxConversions = 0; // AVX: conversions besides those of the steps (VCVTSS2SD, VCVTPD2PS)
    double loads = 0;      // memory operands included
    double loadCycles = 0; // loads already priced one by one (vectorUnitWork)
    double stores = 0;
    double chain = 0;      // longest dependent chain, in cycles
    double perCall = 0;    // work done once per call (cycles), spread over the count
};

// Each class of operation at its measured cost per operation; the slowest
// class decides. Multiplies and additions are priced apart and together (on
// some processors they share ports). The MMX step cost (load, PMULHW, PADDW) is measured as a
// whole; the other MMX operations (unpacks, PADDW, copies) are added to it at
// the PADDW cost, since every MMX operation runs on the same few vector
// ports (on some processors PMULHW, PADDW and the unpacks share two).
inline double throughputCycles(const Work& w, const MachineCosts& c) {
    const double fpPipes = std::max({w.muls * c.sseMulThroughput, w.adds * c.sseAddThroughput,
                                     (w.muls + w.adds) * c.sseMixThroughput,
                                     w.otherFp * std::max(c.sseMulThroughput, c.sseAddThroughput)});
    const double mmx = std::max(w.macSteps * std::max(c.mmxMacStep, c.mmxMulThroughput),
                                w.macSteps * c.mmxMacStep + w.mmxOther * c.mmxAddThroughput);
    const double sse2 = w.sse2MacSteps * c.sse2MacStep + w.sse2Unpacks * c.sse2UnpackThroughput;
    // The AVX code of the C++ kernels: steps, shuffles and conversions all
    // run on the vector ports, so their costs add up (with the multiplies
    // and additions outside steps at the mixed cost); a 32-byte store costs
    // what the micro-kernel measures, no less than a 16-byte one.
    const double avx = !w.avxCode ? 0
                                  : w.avxDoubleInputs * c.avxDoubleInput + w.avxShuffles * c.avxShuffle +
                                        w.avxConversions * c.avxConversion + (w.muls + w.adds) * c.sseMixThroughput;
    const double storeCost = w.avxCode ? std::max(c.storeThroughput, c.avxStore) : c.storeThroughput;
    return std::max({w.x87Steps * c.x87StepThroughput, fpPipes, mmx, sse2, avx, w.loads * c.loadThroughput,
                     w.loadCycles, w.stores * storeCost});
}

inline double boundCycles(const Work& w, const MachineCosts& c, int32_t count) {
    return std::max(throughputCycles(w, c), w.chain) + w.perCall / count;
}

// Entries 0 to 5: x87 steps. The 18 rows of entries 0 to 2 are independent
// chains issued one row after another (their C++ code: a loop per row), so
// their chain is not one row's but all rows' at the cost per step that the
// core reaches on rows of that shape, as measured (how far it overlaps
// consecutive rows). Entries 3 to 5 interleave their chains in the code;
// their longest one counts.
inline Work x87EntryWork(unsigned index, const MachineCosts& c) {
    const double products = OUTPUT_COUNT * INPUT_COUNT; // 648
    Work w;
    w.x87Steps = products;
    if (index == 0) { // running sum through y[i] in memory: 36 round trips per row
        w.loads = 3 * products;
        w.stores = products + OUTPUT_COUNT;
        w.chain = products * c.x87MemoryRows;
        return w;
    }
    w.loads = 2 * products;
    w.stores = OUTPUT_COUNT;
    if (index == 1) { // one accumulator from +0.0: 36 additions per row, a loop
        w.chain = products * c.x87LoopRows;
    } else if (index == 2) { // 35 additions per row, one straight run
        w.chain = products * c.x87RunRows;
    } else { // 3: tree, 3 additions per group on the path through S, 5 groups;
             // 4: L, 11 additions, then 2 more; 5: six rows in flight, 35 additions each
        w.chain = c.x87MulLatency + c.x87StepLatency * (index == 3 ? 15 : index == 4 ? 13 : 35);
    }
    return w;
}

// Entries 6 to 11: two-lane 3DNow! and four-lane SSE operations.
inline Work vectorEntryWork(unsigned index, const MachineCosts& c) {
    Work w;
    w.chain = c.sseMulLatency + 35 * c.sseAddLatency;
    w.muls = index <= 9 ? 324 : 180;
    w.adds = index <= 9 ? 315 : 175;
    w.stores = index <= 9 ? 9 : 5;
    switch (index) {
    case 6: // 324 PFMUL, 324 PFADD, 12 PFACC; 18 additions + PFACC per chain.
        // Loads per row group: 324 / 6 coefficient pairs and 17 of the 18
        // input pairs (pair 1 is copied from a register loaded once per call).
        w.adds = 324 + 12;
        w.loads = 324 + 6 * 17;
        w.stores = 12;
        w.chain = c.sseMulLatency + 19 * c.sseAddLatency;
        break;
    case 7: w.loads = 324 + 108; break; // 3 chains per block; 324 coefficient pairs + 3 x 36 multipliers
    case 8:
    case 9: w.loads = 324 + 72; break; // 5 then 4 chains; 252 pair loads + 72 memory operands + 72 multipliers
    case 10: w.loads = 180 + 72; break; // 4-lane: 180 MULPS, 175 ADDPS; input read twice
    default: w.loads = 180 + 36; break; // 11: input read once
    }
    return w;
}

// Entries 12 and 13: 16-bit fixed point on MMX registers, with the blocks
// converted to words once per call and the outputs back.
inline Work mmxEntryWork(unsigned index, const MachineCosts& c) {
    Work w;
    if (index == 12) { // 6 row groups x 9 steps x 3 rows; per group a horizontal sum of 8
                       // unpacks, 4 PADDW and 4 register copies, and 3 PXOR
        w.macSteps = 162;
        w.mmxOther = 6 * (8 + 4 + 4 + 3);
        w.loads = 162 + 54;
        w.stores = 12;
        // PMULHW, 9 PADDW into the sum, then the horizontal sum: 4 unpacks, 2 PADDW
        w.chain = c.mmxMulLatency + (9 + 2) * c.mmxAddLatency + 4 * c.mmxUnpackLatency;
        w.perCall = (648 + 36) * c.x87ToWord + OUTPUT_COUNT * c.x87ToFloat;
        return w;
    }
    w.macSteps = 180; // 36 steps x 5 vectors, 5 PXOR
    w.mmxOther = 5;
    w.loads = 180 + 36;
    w.stores = 5;
    w.chain = c.mmxMulLatency + 36 * c.mmxAddLatency;
    w.perCall = (720 + 144) * c.x87ToWord + OUTPUT_COUNT * c.x87ToFloat;
    return w;
}

// The work of entry `index`, as its code defines it.
inline Work entryWork(unsigned index, const MachineCosts& c) {
    if (index <= 5) return x87EntryWork(index, c);
    if (index <= 11) return vectorEntryWork(index, c);
    return mmxEntryWork(index, c);
}

// The chain limit of entries 10 and 11: each output is one chain of a
// multiply and 35 dependent additions, so one repetition cannot take less
// than that unless consecutive repetitions overlap.
inline double sseChainLimit(const MachineCosts& c) { return c.sseMulLatency + 35 * c.sseAddLatency; }

// The C++ kernel of entries 10 and 11 on one vector unit (0 SSE2, 1 AVX,
// 2 AVX-512F; the Unit/SseSoa rows). Where the unit's loads are measured
// (SSE2, AVX), the bound is its throughput: its loads, each priced at its
// width and at the addresses of the blocks timed (a load across a 64-byte
// line costs what the split-load micro-kernel measures, two loads' worth on
// the cores measured), or its multiplies and additions, whichever take
// longer. The chain of one repetition is no bound there: repetitions are
// independent, and a core whose window holds most of one starts the next
// before the last additions of this one (the AVX path ran at 0.84 of its
// chain on the AMD EPYC of family 25). Per input group j (row 80j bytes):
//   SSE2: the input group and five 16-byte coefficient groups; 5 MULPS and
//         5 ADDPS (none for the first group);
//   AVX: the input group (one broadcast), 32 bytes at 0 and at 32, 16 at 64;
//         3 multiplies and 3 additions;
//   AVX-512F: the chain limit (its 64-byte loads are not measured).
inline Work vectorUnitWork(int unit, const MachineCosts& c, const float* coefficients, const float* input) {
    Work w;
    w.chain = sseChainLimit(c);
    if (unit >= 2 || c.avxLoad <= 0) return w;
    w.chain = 0;
    w.muls = unit == 0 ? 180 : 108;
    w.adds = unit == 0 ? 175 : 105;
    auto cost = [&c](const float* p, int bytes) {
        const bool crosses = reinterpret_cast<uintptr_t>(p) % 64 + static_cast<uintptr_t>(bytes) > 64;
        return crosses ? c.avxSplitLoad : bytes > 16 ? c.avxLoad : c.loadThroughput;
    };
    double cycles = 0;
    for (int j = 0; j < INPUT_COUNT; ++j) {
        const float* row = coefficients + SOA_ROW_FLOATS * j;
        cycles += cost(input + SOA_LANES * j, 16);
        if (unit == 0)
            for (int v = 0; v < SOA_ROW_FLOATS / SOA_LANES; ++v) cycles += cost(row + SOA_LANES * v, 16);
        else
            cycles += cost(row, 32) + cost(row + 8, 32) + cost(row + 16, 16);
    }
    w.loadCycles = cycles;
    return w;
}

// The C++ kernels of the 64-bit build where their code differs in kind from
// the hand-written one; other entries keep entryWork's figures (see
// BOUNDS.md).
//   10, 11: the chain limit alone, whatever the vector width;
//   12, 13: eight-word SSE2 registers: 36 input groups x 3 steps (load,
//           PMULHW, PADDW), an input load and an unpack each (added to the
//           steps: they share the vector ports); sums of 36 additions. The
//           per-call conversions (C++, not x87) are left out: their cost is
//           whatever that code takes, not a property of the machine.
//   0 to 9 on AVX (the unit the processor picks where it has AVX): the
//           operations their AVX code issues per repetition (portableAvxWork).
inline Work portableAvxWork(unsigned index, const MachineCosts& c);

inline Work portableEntryWork(unsigned index, const MachineCosts& c, bool avx) {
    Work w;
    if (avx && index <= 9) return portableAvxWork(index, c);
    switch (index) {
    case 10:
    case 11:
        w.chain = sseChainLimit(c);
        return w;
    case 12:
    case 13:
        w.sse2MacSteps = 108;
        w.sse2Unpacks = 36;
        w.loads = 108 + 36;
        w.stores = 3;
        w.chain = c.sse2MulLatency + 36 * c.sse2AddLatency;
        return w;
    default:
        return entryWork(index, c);
    }
}

// The AVX code of entries 0 to 9, per repetition, as the kernels issue it
// (counted from their code: one product step per input and output group,
// and what surrounds the steps):
//   0 to 5: 36 inputs, each as the micro-kernel avxDoubleInputs issues it:
//           the input broadcast to four doubles (3 operations), the fifth
//           group's two floats gathered (3), and 5 steps (VCVTPS2PD,
//           VMULPD, VADDPD), 180 steps in all; 5 VCVTPD2PS at the stores.
//           Entries 0 to 4 first transpose the AOS rows (18 blocks of 8 x 4
//           floats, 9 of 4 x 4): 270 shuffles, about 170 loads and 108
//           stores. Entry 0 rounds every partial sum to single precision and
//           back: 10 conversions per input. Entries 3 and 4 keep more
//           partial sums than there are registers: their code stores (and
//           reloads) 171 and 197 of them.
//   6:      90 multiplies and 95 additions on pairs, 224 shuffles lining up
//           the pairs of four rows (64-bit units), 95 loads.
//   7 to 9: 108 multiplies (memory operands) and 105 additions, 36 input
//           broadcasts and 36 loads of the last two coefficients.
// The chains are those of the entries' orders, at the SSE latencies
// measured (double-precision additions take as long on the cores measured).
inline Work portableAvxWork(unsigned index, const MachineCosts& c) {
    Work w;
    w.avxCode = true;
    if (index <= 5) {
        w.avxDoubleInputs = 36; // the broadcast, the fifth group and the steps: measured as a whole
        w.avxConversions = 5;
        w.loads = 36 * 7;
        w.stores = 5;
        if (index <= 4) { // the transposition
            w.avxShuffles += 270;
            w.loads += 171;
            w.stores += 108;
        }
        if (index == 0) w.avxConversions += 36 * 10;
        if (index == 3 || index == 4) {
            w.stores += index == 3 ? 171 : 197;
            w.loads += index == 3 ? 160 : 194;
        }
        // The longest chain: a multiply and the additions of the entry's
        // order on its path (entry 0's 36 additions are each rounded twice,
        // conversions whose latency is not measured: its chain is left out;
        // its conversions bound it on every core measured).
        static const double kAdditions[6] = {0, 36, 35, 15, 13, 35};
        w.chain = index == 0 ? 0 : c.sseMulLatency + kAdditions[index] * c.sseAddLatency;
        return w;
    }
    if (index == 6) {
        w.muls = 90;
        w.adds = 95;
        w.avxShuffles = 224;
        w.loads = 95;
        w.stores = 5;
        w.chain = c.sseMulLatency + 19 * c.sseAddLatency;
        return w;
    }
    w.muls = 108; // 7 to 9
    w.adds = 105;
    w.loads = 108 + 36 + 36;
    w.stores = 3;
    w.chain = c.sseMulLatency + 35 * c.sseAddLatency;
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
