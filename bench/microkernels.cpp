#include "microkernels.h"

#include <algorithm>
#include <vector>

namespace bench {
namespace {

alignas(16) float gOne[4] = {1.0f, 1.0f, 1.0f, 1.0f};
alignas(16) float gZero[4] = {0.0f, 0.0f, 0.0f, 0.0f};
float gMemory = 0.0f;

constexpr int kStepsPerBlock = 24;

// Six sums on the x87 stack; each step loads, multiplies and adds into the
// next sum in turn, so six chains are in flight.
void x87Throughput(unsigned long blocks) {
    __asm__ volatile("fldz\n\tfldz\n\tfldz\n\tfldz\n\tfldz\n\tfldz\n\t"
                     "1:\n\t"
                     ".rept 4\n\t"
                     "flds (%1)\n\tfmuls (%1)\n\tfaddp %%st, %%st(1)\n\t"
                     "flds (%1)\n\tfmuls (%1)\n\tfaddp %%st, %%st(2)\n\t"
                     "flds (%1)\n\tfmuls (%1)\n\tfaddp %%st, %%st(3)\n\t"
                     "flds (%1)\n\tfmuls (%1)\n\tfaddp %%st, %%st(4)\n\t"
                     "flds (%1)\n\tfmuls (%1)\n\tfaddp %%st, %%st(5)\n\t"
                     "flds (%1)\n\tfmuls (%1)\n\tfaddp %%st, %%st(6)\n\t"
                     ".endr\n\t"
                     "dec %0\n\t"
                     "jnz 1b\n\t"
                     ".rept 6\n\tfstp %%st(0)\n\t.endr"
                     : "+r"(blocks)
                     : "r"(gOne)
                     : "cc", "memory", "st", "st(1)", "st(2)", "st(3)", "st(4)", "st(5)", "st(6)",
                       "st(7)");
}

// One sum: every step's addition waits for the one before.
void x87Latency(unsigned long blocks) {
    __asm__ volatile("fldz\n\t"
                     "1:\n\t"
                     ".rept 24\n\t"
                     "flds (%1)\n\tfmuls (%1)\n\tfaddp %%st, %%st(1)\n\t"
                     ".endr\n\t"
                     "dec %0\n\t"
                     "jnz 1b\n\t"
                     "fstp %%st(0)"
                     : "+r"(blocks)
                     : "r"(gOne)
                     : "cc", "memory", "st", "st(1)", "st(2)", "st(3)", "st(4)", "st(5)", "st(6)",
                       "st(7)");
}

// The running sum lives in memory: load the product, add the stored sum,
// store it back rounded to single precision.
void x87Memory(unsigned long blocks) {
    __asm__ volatile("1:\n\t"
                     ".rept 24\n\t"
                     "flds (%1)\n\tfmuls (%1)\n\tfadds (%2)\n\tfstps (%2)\n\t"
                     ".endr\n\t"
                     "dec %0\n\t"
                     "jnz 1b"
                     : "+r"(blocks)
                     : "r"(gOne), "r"(&gMemory)
                     : "cc", "memory", "st", "st(1)", "st(2)", "st(3)", "st(4)", "st(5)", "st(6)",
                       "st(7)");
}

void x87MulChain(unsigned long blocks) {
    __asm__ volatile("fld1\n\t"
                     "1:\n\t"
                     ".rept 24\n\tfmuls (%1)\n\t.endr\n\t"
                     "dec %0\n\t"
                     "jnz 1b\n\t"
                     "fstp %%st(0)"
                     : "+r"(blocks)
                     : "r"(gOne)
                     : "cc", "memory", "st", "st(1)", "st(2)", "st(3)", "st(4)", "st(5)", "st(6)",
                       "st(7)");
}

void sseAddChain(unsigned long blocks) {
    __asm__ volatile("movaps (%1), %%xmm0\n\t"
                     "movaps (%1), %%xmm1\n\t"
                     "1:\n\t"
                     ".rept 24\n\taddps %%xmm1, %%xmm0\n\t.endr\n\t"
                     "dec %0\n\t"
                     "jnz 1b"
                     : "+r"(blocks)
                     : "r"(gZero)
                     : "cc", "memory", "xmm0", "xmm1");
}

void sseMulChain(unsigned long blocks) {
    __asm__ volatile("movaps (%1), %%xmm0\n\t"
                     "movaps (%1), %%xmm1\n\t"
                     "1:\n\t"
                     ".rept 24\n\tmulps %%xmm1, %%xmm0\n\t.endr\n\t"
                     "dec %0\n\t"
                     "jnz 1b"
                     : "+r"(blocks)
                     : "r"(gOne)
                     : "cc", "memory", "xmm0", "xmm1");
}

#define BENCH_EIGHT(op)                                                                         \
    op " (%1), %%xmm0\n\t" op " (%1), %%xmm1\n\t" op " (%1), %%xmm2\n\t" op " (%1), %%xmm3\n\t" \
    op " (%1), %%xmm4\n\t" op " (%1), %%xmm5\n\t" op " (%1), %%xmm6\n\t" op " (%1), %%xmm7\n\t"

// Eight independent registers, the operand from memory; 24 operations per
// block, each register reused every eighth operation.
void sseAddMany(unsigned long blocks) {
    __asm__ volatile("xorps %%xmm0, %%xmm0\n\txorps %%xmm1, %%xmm1\n\txorps %%xmm2, %%xmm2\n\t"
                     "xorps %%xmm3, %%xmm3\n\txorps %%xmm4, %%xmm4\n\txorps %%xmm5, %%xmm5\n\t"
                     "xorps %%xmm6, %%xmm6\n\txorps %%xmm7, %%xmm7\n\t"
                     "1:\n\t"
                     ".rept 3\n\t" BENCH_EIGHT("addps") ".endr\n\t"
                     "dec %0\n\t"
                     "jnz 1b"
                     : "+r"(blocks)
                     : "r"(gZero)
                     : "cc", "memory", "xmm0", "xmm1", "xmm2", "xmm3", "xmm4", "xmm5", "xmm6",
                       "xmm7");
}

void sseMulMany(unsigned long blocks) {
    __asm__ volatile("movaps (%1), %%xmm0\n\tmovaps %%xmm0, %%xmm1\n\tmovaps %%xmm0, %%xmm2\n\t"
                     "movaps %%xmm0, %%xmm3\n\tmovaps %%xmm0, %%xmm4\n\tmovaps %%xmm0, %%xmm5\n\t"
                     "movaps %%xmm0, %%xmm6\n\tmovaps %%xmm0, %%xmm7\n\t"
                     "1:\n\t"
                     ".rept 3\n\t" BENCH_EIGHT("mulps") ".endr\n\t"
                     "dec %0\n\t"
                     "jnz 1b"
                     : "+r"(blocks)
                     : "r"(gOne)
                     : "cc", "memory", "xmm0", "xmm1", "xmm2", "xmm3", "xmm4", "xmm5", "xmm6",
                       "xmm7");
}

double cyclesPerStep(const CycleClock& clock, void (*kernel)(unsigned long)) {
    constexpr unsigned long kBlocks = 400; // 9600 steps per sample
    std::vector<double> perStep;
    kernel(kBlocks); // warm up
    for (int attempt = 0; attempt < 200 && perStep.size() < 15; ++attempt) {
        double ticks, cycles;
        if (calibratedSample(clock, [&] { kernel(kBlocks); }, ticks, cycles))
            perStep.push_back(cycles / (kBlocks * kStepsPerBlock));
    }
    // The least of the samples: another thread on the core can only add time.
    return perStep.empty() ? 0 : *std::min_element(perStep.begin(), perStep.end());
}

} // namespace

MachineCosts measureMachine(const CycleClock& clock) {
    MachineCosts m;
    m.x87StepThroughput = cyclesPerStep(clock, x87Throughput);
    m.x87StepLatency = cyclesPerStep(clock, x87Latency);
    m.x87MemoryStep = cyclesPerStep(clock, x87Memory);
    m.x87MulLatency = cyclesPerStep(clock, x87MulChain);
    m.sseAddLatency = cyclesPerStep(clock, sseAddChain);
    m.sseMulLatency = cyclesPerStep(clock, sseMulChain);
    m.sseAddThroughput = cyclesPerStep(clock, sseAddMany);
    m.sseMulThroughput = cyclesPerStep(clock, sseMulMany);
    return m;
}

} // namespace bench
