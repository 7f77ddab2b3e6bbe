#include "microkernels.h"

#include <chrono>
#include <thread>
#include <vector>

#include "stats.h"

namespace bench {
namespace {

alignas(16) float gOne[4] = {1.0f, 1.0f, 1.0f, 1.0f};
alignas(16) float gZero[4] = {0.0f, 0.0f, 0.0f, 0.0f};
float gMemory = 0.0f;
alignas(64) short gWords[64] = {0x1234, 0x2345, 0x3456, 0x4567};

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

// The shapes of entries 0 to 2's x87 code, whose 18 rows are independent
// chains of 36 steps issued one row after another: how far this core
// overlaps the chains of consecutive rows is what bounds those entries.
// Each row reads 36 coefficients and 36 inputs of ones (sums stay small).
constexpr int kRowSteps = 36;
alignas(16) float gRow[kRowSteps] = {1.0f, 1.0f, 1.0f, 1.0f, 1.0f, 1.0f, 1.0f, 1.0f, 1.0f, 1.0f, 1.0f, 1.0f,
                                     1.0f, 1.0f, 1.0f, 1.0f, 1.0f, 1.0f, 1.0f, 1.0f, 1.0f, 1.0f, 1.0f, 1.0f,
                                     1.0f, 1.0f, 1.0f, 1.0f, 1.0f, 1.0f, 1.0f, 1.0f, 1.0f, 1.0f, 1.0f, 1.0f};
float gRowSums[2];
#define BENCH_X87_CLOBBERS "cc", "memory", "st", "st(1)", "st(2)", "st(3)", "st(4)", "st(5)", "st(6)", "st(7)"

// Two rows' chains through memory at once: the step of x87Memory on two
// floats in turn. At half x87Memory's cost per step, the core runs two such
// chains side by side.
void x87MemoryPair(unsigned long blocks) {
    __asm__ volatile("1:\n\t"
                     ".rept 12\n\t"
                     "flds (%1)\n\tfmuls (%1)\n\tfadds (%2)\n\tfstps (%2)\n\t"
                     "flds (%1)\n\tfmuls (%1)\n\tfadds 4(%2)\n\tfstps 4(%2)\n\t"
                     ".endr\n\t"
                     "dec %0\n\t"
                     "jnz 1b"
                     : "+r"(blocks)
                     : "r"(gOne), "r"(gRowSums)
                     : BENCH_X87_CLOBBERS);
}

// One row of entry 0's shape as a loop issues it: the output set to zero,
// then 36 steps each loading the row's output, adding the product and
// storing it back; `offset` picks the output.
#define BENCH_MEMORY_ROW(offset)                                                     \
    "fldz\n\tfstps " offset "(%3)\n\txor %1, %1\n\t"                                 \
    "2:\n\t"                                                                         \
    "flds (%2,%1,4)\n\tfmuls (%2,%1,4)\n\tinc %1\n\tfadds " offset "(%3)\n\t"       \
    "fstps " offset "(%3)\n\tcmp $36, %1\n\tjne 2b\n\t"
// Rows of entries 1's shape: 36 steps into one sum on the stack, then the
// store; entry 2's: the same steps as one straight run.
#define BENCH_STACK_ROW                                                              \
    "fldz\n\txor %1, %1\n\t"                                                         \
    "2:\n\t"                                                                         \
    "flds (%2,%1,4)\n\tfmuls (%2,%1,4)\n\tinc %1\n\tfaddp %%st, %%st(1)\n\t"        \
    "cmp $36, %1\n\tjne 2b\n\tfstps (%3)\n\t"
#define BENCH_RUN_ROW                                                                \
    "fldz\n\t.rept 36\n\tflds (%2)\n\tfmuls (%2)\n\tfaddp %%st, %%st(1)\n\t.endr\n\tfstps (%3)\n\t"
#define BENCH_ROWS(name, first, second)                                              \
    void name(unsigned long blocks) {                                                \
        unsigned long j;                                                             \
        __asm__ volatile("1:\n\t" first second "dec %0\n\tjnz 1b"                    \
                         : "+r"(blocks), "=&r"(j)                                    \
                         : "r"(gRow), "r"(gRowSums)                                  \
                         : BENCH_X87_CLOBBERS);                                      \
    }
BENCH_ROWS(x87MemoryRows, BENCH_MEMORY_ROW("0"), BENCH_MEMORY_ROW("4"))
BENCH_ROWS(x87LoopRows, BENCH_STACK_ROW, BENCH_STACK_ROW)
BENCH_ROWS(x87RunRows, BENCH_RUN_ROW, BENCH_RUN_ROW)

// A chain of 24 dependent `op`s per block on xmm0, xmm1 the other operand,
// both loaded (with `load`) from `data`: the latency of `op`.
#define BENCH_XMM_CHAIN(name, load, op, data)                                      \
    void name(unsigned long blocks) {                                              \
        __asm__ volatile(load " (%1), %%xmm0\n\t" load " (%1), %%xmm1\n\t"         \
                         "1:\n\t"                                                  \
                         ".rept 24\n\t" op " %%xmm1, %%xmm0\n\t.endr\n\t"         \
                         "dec %0\n\t"                                              \
                         "jnz 1b"                                                  \
                         : "+r"(blocks)                                            \
                         : "r"(data)                                               \
                         : "cc", "memory", "xmm0", "xmm1");                        \
    }

BENCH_XMM_CHAIN(sseAddChain, "movaps", "addps", gZero)
BENCH_XMM_CHAIN(sseMulChain, "movaps", "mulps", gOne)

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

// MMX: PMULHW and PADDW/PUNPCKLWD chains (latency), eight independent
// registers (throughput), and the step of the fixed-point kernels: load four
// words, PMULHW by a multiplier, PADDW into one of four sums. The values do
// not matter to integer units. EMMS leaves the MMX state for the x87 code
// that follows.
#define BENCH_MMX_CLOBBERS "mm0", "mm1", "mm2", "mm3", "mm4", "mm5", "mm6", "mm7"
#define BENCH_MMX_CHAIN(name, op)                                                      \
    void name(unsigned long blocks) {                                                  \
        __asm__ volatile("movq (%1), %%mm0\n\tmovq (%1), %%mm1\n\t"                   \
                         "1:\n\t"                                                      \
                         ".rept 24\n\t" op " %%mm1, %%mm0\n\t.endr\n\t"               \
                         "dec %0\n\t"                                                  \
                         "jnz 1b\n\t"                                                  \
                         "emms"                                                        \
                         : "+r"(blocks)                                                \
                         : "r"(gWords)                                                 \
                         : "cc", "memory", BENCH_MMX_CLOBBERS);                       \
    }
// Six independent registers, each the destination of every sixth operation
// with mm7 as the other operand: enough chains for the throughput of the
// PADDW and unpack units (latency 1 or 2), and for PMULHW wherever its
// latency is at most six times its cost per operation.
#define BENCH_MMX_MANY(name, op)                                                       \
    void name(unsigned long blocks) {                                                  \
        __asm__ volatile("movq (%1), %%mm7\n\tmovq %%mm7, %%mm0\n\tmovq %%mm7, %%mm1\n\t" \
                         "movq %%mm7, %%mm2\n\tmovq %%mm7, %%mm3\n\tmovq %%mm7, %%mm4\n\t"   \
                         "movq %%mm7, %%mm5\n\t"                                         \
                         "1:\n\t"                                                      \
                         ".rept 4\n\t"                                                 \
                         op " %%mm7, %%mm0\n\t" op " %%mm7, %%mm1\n\t"                     \
                         op " %%mm7, %%mm2\n\t" op " %%mm7, %%mm3\n\t"                     \
                         op " %%mm7, %%mm4\n\t" op " %%mm7, %%mm5\n\t"                     \
                         ".endr\n\t"                                                   \
                         "dec %0\n\t"                                                  \
                         "jnz 1b\n\t"                                                  \
                         "emms"                                                        \
                         : "+r"(blocks)                                                \
                         : "r"(gWords)                                                 \
                         : "cc", "memory", BENCH_MMX_CLOBBERS);                       \
    }

BENCH_MMX_CHAIN(mmxMulChain, "pmulhw")
BENCH_MMX_CHAIN(mmxAddChain, "paddw")
BENCH_MMX_CHAIN(mmxUnpackChain, "punpcklwd")
BENCH_MMX_MANY(mmxMulMany, "pmulhw")
BENCH_MMX_MANY(mmxAddMany, "paddw")
BENCH_MMX_MANY(mmxUnpackMany, "punpcklwd")

// The same on SSE2 registers (eight words), as the C++ fixed-point kernels
// of the 64-bit build use them.
BENCH_XMM_CHAIN(sse2MulChain, "movdqa", "pmulhw", gWords)
BENCH_XMM_CHAIN(sse2AddChain, "movdqa", "paddw", gWords)

// Six independent registers, as BENCH_MMX_MANY: the unpack that repeats an
// input group in both halves of a register.
void sse2UnpackMany(unsigned long blocks) {
    __asm__ volatile("movdqa (%1), %%xmm7\n\tmovdqa %%xmm7, %%xmm0\n\tmovdqa %%xmm7, %%xmm1\n\t"
                     "movdqa %%xmm7, %%xmm2\n\tmovdqa %%xmm7, %%xmm3\n\tmovdqa %%xmm7, %%xmm4\n\t"
                     "movdqa %%xmm7, %%xmm5\n\t"
                     "1:\n\t"
                     ".rept 4\n\t"
                     "punpcklqdq %%xmm7, %%xmm0\n\tpunpcklqdq %%xmm7, %%xmm1\n\tpunpcklqdq %%xmm7, %%xmm2\n\t"
                     "punpcklqdq %%xmm7, %%xmm3\n\tpunpcklqdq %%xmm7, %%xmm4\n\tpunpcklqdq %%xmm7, %%xmm5\n\t"
                     ".endr\n\t"
                     "dec %0\n\t"
                     "jnz 1b"
                     : "+r"(blocks)
                     : "r"(gWords)
                     : "cc", "memory", "xmm0", "xmm1", "xmm2", "xmm3", "xmm4", "xmm5", "xmm7");
}

void sse2MacSteps(unsigned long blocks) {
    __asm__ volatile("movdqa (%1), %%xmm7\n\tpxor %%xmm0, %%xmm0\n\tpxor %%xmm1, %%xmm1\n\t"
                     "pxor %%xmm2, %%xmm2\n\tpxor %%xmm3, %%xmm3\n\t"
                     "1:\n\t"
                     ".rept 6\n\t"
                     "movdqa (%1), %%xmm4\n\tpmulhw %%xmm7, %%xmm4\n\tpaddw %%xmm4, %%xmm0\n\t"
                     "movdqa 16(%1), %%xmm5\n\tpmulhw %%xmm7, %%xmm5\n\tpaddw %%xmm5, %%xmm1\n\t"
                     "movdqa 32(%1), %%xmm6\n\tpmulhw %%xmm7, %%xmm6\n\tpaddw %%xmm6, %%xmm2\n\t"
                     "movdqa 48(%1), %%xmm4\n\tpmulhw %%xmm7, %%xmm4\n\tpaddw %%xmm4, %%xmm3\n\t"
                     ".endr\n\t"
                     "dec %0\n\t"
                     "jnz 1b"
                     : "+r"(blocks)
                     : "r"(gWords)
                     : "cc", "memory", "xmm0", "xmm1", "xmm2", "xmm3", "xmm4", "xmm5", "xmm6", "xmm7");
}

// The multiply-accumulate step of the fixed-point kernels, 24 per block:
// four words loaded, multiplied by mm7, added into one of four sums.
void mmxMacSteps(unsigned long blocks) {
    __asm__ volatile("movq (%1), %%mm7\n\tpxor %%mm0, %%mm0\n\tpxor %%mm1, %%mm1\n\t"
                     "pxor %%mm2, %%mm2\n\tpxor %%mm3, %%mm3\n\t"
                     "1:\n\t"
                     ".rept 6\n\t"
                     "movq (%1), %%mm4\n\tpmulhw %%mm7, %%mm4\n\tpaddw %%mm4, %%mm0\n\t"
                     "movq 8(%1), %%mm5\n\tpmulhw %%mm7, %%mm5\n\tpaddw %%mm5, %%mm1\n\t"
                     "movq 16(%1), %%mm6\n\tpmulhw %%mm7, %%mm6\n\tpaddw %%mm6, %%mm2\n\t"
                     "movq 24(%1), %%mm4\n\tpmulhw %%mm7, %%mm4\n\tpaddw %%mm4, %%mm3\n\t"
                     ".endr\n\t"
                     "dec %0\n\t"
                     "jnz 1b\n\t"
                     "emms"
                     : "+r"(blocks)
                     : "r"(gWords)
                     : "cc", "memory", BENCH_MMX_CLOBBERS);
}

// Loads and stores: 16-byte accesses to distinct aligned addresses, eight
// registers, nothing depending on the loaded values.
alignas(64) float gBuffer[64];

void loadMany(unsigned long blocks) {
    __asm__ volatile("1:\n\t"
                     ".rept 3\n\t" BENCH_EIGHT("movaps") ".endr\n\t"
                     "dec %0\n\t"
                     "jnz 1b"
                     : "+r"(blocks)
                     : "r"(gBuffer)
                     : "cc", "memory", "xmm0", "xmm1", "xmm2", "xmm3", "xmm4", "xmm5", "xmm6",
                       "xmm7");
}

void storeMany(unsigned long blocks) {
    __asm__ volatile("xorps %%xmm0, %%xmm0\n\t"
                     "1:\n\t"
                     ".rept 3\n\t"
                     "movaps %%xmm0, (%1)\n\tmovaps %%xmm0, 16(%1)\n\tmovaps %%xmm0, 32(%1)\n\t"
                     "movaps %%xmm0, 48(%1)\n\tmovaps %%xmm0, 64(%1)\n\tmovaps %%xmm0, 80(%1)\n\t"
                     "movaps %%xmm0, 96(%1)\n\tmovaps %%xmm0, 112(%1)\n\t"
                     ".endr\n\t"
                     "dec %0\n\t"
                     "jnz 1b"
                     : "+r"(blocks)
                     : "r"(gBuffer)
                     : "cc", "memory", "xmm0");
}

// MULPS and ADDPS alternating, every one independent of the others: each
// starts from a register copy (which the processor does at renaming, without
// a unit), so neither latency nor the eight registers limit it. How many of
// the two together the floating-point ports take per cycle.
void sseMixMany(unsigned long blocks) {
    __asm__ volatile("movaps (%1), %%xmm6\n\txorps %%xmm7, %%xmm7\n\t"
                     "1:\n\t"
                     ".rept 4\n\t"
                     "movaps %%xmm6, %%xmm0\n\tmulps %%xmm6, %%xmm0\n\t"
                     "movaps %%xmm6, %%xmm1\n\taddps %%xmm7, %%xmm1\n\t"
                     "movaps %%xmm6, %%xmm2\n\tmulps %%xmm6, %%xmm2\n\t"
                     "movaps %%xmm6, %%xmm3\n\taddps %%xmm7, %%xmm3\n\t"
                     "movaps %%xmm6, %%xmm4\n\tmulps %%xmm6, %%xmm4\n\t"
                     "movaps %%xmm6, %%xmm5\n\taddps %%xmm7, %%xmm5\n\t"
                     ".endr\n\t"
                     "dec %0\n\t"
                     "jnz 1b"
                     : "+r"(blocks)
                     : "r"(gOne)
                     : "cc", "memory", "xmm0", "xmm1", "xmm2", "xmm3", "xmm4", "xmm5", "xmm6", "xmm7");
}

// The x87 conversions of the fixed-point kernels' per-call set-up, with the
// factor in st(1) as there: float to word (FLD m32, FMUL, FISTP m16) and
// word to float (FILD m16, FMUL, FSTP m32), 24 independent elements per
// block, each to its own slot.
void x87ToWords(unsigned long blocks) {
    __asm__ volatile("fld1\n\t"
                     "1:\n\t"
                     ".rept 3\n\t"
                     "flds (%1)\n\tfmul %%st(1), %%st\n\tfistps (%2)\n\t"
                     "flds 4(%1)\n\tfmul %%st(1), %%st\n\tfistps 2(%2)\n\t"
                     "flds 8(%1)\n\tfmul %%st(1), %%st\n\tfistps 4(%2)\n\t"
                     "flds 12(%1)\n\tfmul %%st(1), %%st\n\tfistps 6(%2)\n\t"
                     "flds 16(%1)\n\tfmul %%st(1), %%st\n\tfistps 8(%2)\n\t"
                     "flds 20(%1)\n\tfmul %%st(1), %%st\n\tfistps 10(%2)\n\t"
                     "flds 24(%1)\n\tfmul %%st(1), %%st\n\tfistps 12(%2)\n\t"
                     "flds 28(%1)\n\tfmul %%st(1), %%st\n\tfistps 14(%2)\n\t"
                     ".endr\n\t"
                     "dec %0\n\t"
                     "jnz 1b\n\t"
                     "fstp %%st(0)"
                     : "+r"(blocks)
                     : "r"(gBuffer), "r"(gWords + 16)
                     : "cc", "memory", "st", "st(1)", "st(2)", "st(3)", "st(4)", "st(5)", "st(6)",
                       "st(7)");
}

void x87ToFloats(unsigned long blocks) {
    __asm__ volatile("fld1\n\t"
                     "1:\n\t"
                     ".rept 3\n\t"
                     "filds (%1)\n\tfmul %%st(1), %%st\n\tfstps (%2)\n\t"
                     "filds 2(%1)\n\tfmul %%st(1), %%st\n\tfstps 4(%2)\n\t"
                     "filds 4(%1)\n\tfmul %%st(1), %%st\n\tfstps 8(%2)\n\t"
                     "filds 6(%1)\n\tfmul %%st(1), %%st\n\tfstps 12(%2)\n\t"
                     "filds 8(%1)\n\tfmul %%st(1), %%st\n\tfstps 16(%2)\n\t"
                     "filds 10(%1)\n\tfmul %%st(1), %%st\n\tfstps 20(%2)\n\t"
                     "filds 12(%1)\n\tfmul %%st(1), %%st\n\tfstps 24(%2)\n\t"
                     "filds 14(%1)\n\tfmul %%st(1), %%st\n\tfstps 28(%2)\n\t"
                     ".endr\n\t"
                     "dec %0\n\t"
                     "jnz 1b\n\t"
                     "fstp %%st(0)"
                     : "+r"(blocks)
                     : "r"(gWords), "r"(gBuffer)
                     : "cc", "memory", "st", "st(1)", "st(2)", "st(3)", "st(4)", "st(5)", "st(6)",
                       "st(7)");
}

#if defined(__x86_64__)
alignas(64) float gLines[144]; // nine 64-byte lines

// The vector paths of the C++ kernels on x86-64 (AVX, 32-byte registers),
// as the compiler emits them; run only where the processor has AVX.
#define BENCH_YMM_CLOBBERS "xmm0", "xmm1", "xmm2", "xmm3", "xmm4", "xmm5", "xmm6", "xmm7", "xmm8", \
                           "xmm9", "xmm10", "xmm11", "xmm12", "xmm13", "xmm14", "xmm15"

// One input of the double-precision entries (0 to 5) as their AVX code
// issues it, 24 inputs per block: the input widened and broadcast to four
// doubles (VCVTSS2SD, VMOVDDUP, VINSERTF128), the fifth group's two floats
// gathered (VMOVSS, VINSERTPS, VMOVQ), then five steps: four floats widened
// to double (VCVTPS2PD, from memory for four groups), multiplied by the
// input (VMULPD), added into the group's sum (VADDPD). Consecutive inputs
// alternate between two sets of five sums, as independent as the kernels'
// inputs are from the additions' point of view.
#define BENCH_DP_STEP(load, t, s) \
    "vcvtps2pd " load ", %%ymm" #t "\n\tvmulpd %%ymm" #t ", %%ymm15, %%ymm" #t "\n\tvaddpd %%ymm" #t ", %%ymm" #s ", %%ymm" #s "\n\t"
#define BENCH_DP_INPUT(s0, s1, s2, s3, s4)                                                      \
    "vmovss 64(%1), %%xmm14\n\tvinsertps $0x10, 68(%1), %%xmm14, %%xmm14\n\t"                   \
    "vcvtss2sd (%1), %%xmm13, %%xmm15\n\tvmovddup %%xmm15, %%xmm15\n\t"                         \
    "vinsertf128 $1, %%xmm15, %%ymm15, %%ymm15\n\t"                                             \
    BENCH_DP_STEP("(%1)", 10, s0) BENCH_DP_STEP("16(%1)", 11, s1) BENCH_DP_STEP("32(%1)", 12, s2) \
    BENCH_DP_STEP("48(%1)", 10, s3) "vmovq %%xmm14, %%xmm14\n\t" BENCH_DP_STEP("%%xmm14", 14, s4)
void avxDoubleInputs(unsigned long blocks) {
    __asm__ volatile("vxorpd %%ymm0, %%ymm0, %%ymm0\n\tvmovapd %%ymm0, %%ymm1\n\tvmovapd %%ymm0, %%ymm2\n\t"
                     "vmovapd %%ymm0, %%ymm3\n\tvmovapd %%ymm0, %%ymm4\n\tvmovapd %%ymm0, %%ymm5\n\t"
                     "vmovapd %%ymm0, %%ymm6\n\tvmovapd %%ymm0, %%ymm7\n\tvmovapd %%ymm0, %%ymm8\n\t"
                     "vmovapd %%ymm0, %%ymm9\n\tvxorpd %%ymm13, %%ymm13, %%ymm13\n\t"
                     "1:\n\t"
                     ".rept 12\n\t"
                     BENCH_DP_INPUT(0, 1, 2, 3, 4) BENCH_DP_INPUT(5, 6, 7, 8, 9)
                     ".endr\n\t"
                     "dec %0\n\t"
                     "jnz 1b\n\t"
                     "vzeroupper"
                     : "+r"(blocks)
                     : "r"(gLines)
                     : "cc", "memory", BENCH_YMM_CLOBBERS);
}

// A conversion between the two precisions on 32-byte registers, six
// independent ones: VCVTPD2PS (four doubles to four floats) and VCVTPS2PD
// (back) alternating, each from a register that no conversion writes.
void avxConversions(unsigned long blocks) {
    __asm__ volatile("vcvtps2pd (%1), %%ymm14\n\tvcvtpd2ps %%ymm14, %%xmm15\n\t"
                     "1:\n\t"
                     ".rept 2\n\t"
                     "vcvtpd2ps %%ymm14, %%xmm0\n\tvcvtps2pd %%xmm15, %%ymm1\n\tvcvtpd2ps %%ymm14, %%xmm2\n\t"
                     "vcvtps2pd %%xmm15, %%ymm3\n\tvcvtpd2ps %%ymm14, %%xmm4\n\tvcvtps2pd %%xmm15, %%ymm5\n\t"
                     "vcvtpd2ps %%ymm14, %%xmm6\n\tvcvtps2pd %%xmm15, %%ymm7\n\tvcvtpd2ps %%ymm14, %%xmm8\n\t"
                     "vcvtps2pd %%xmm15, %%ymm9\n\tvcvtpd2ps %%ymm14, %%xmm10\n\tvcvtps2pd %%xmm15, %%ymm11\n\t"
                     ".endr\n\t"
                     "dec %0\n\t"
                     "jnz 1b\n\t"
                     "vzeroupper"
                     : "+r"(blocks)
                     : "r"(gOne)
                     : "cc", "memory", BENCH_YMM_CLOBBERS);
}

// A shuffle of 32-byte registers (VSHUFPS, VUNPCKLPD, VPERM2F128 in turn),
// six independent destinations: what the transpositions and the pair
// arithmetic of the C++ kernels issue besides their arithmetic.
void avxShuffles(unsigned long blocks) {
    __asm__ volatile("vxorps %%ymm14, %%ymm14, %%ymm14\n\tvxorps %%ymm15, %%ymm15, %%ymm15\n\t"
                     "1:\n\t"
                     ".rept 4\n\t"
                     "vshufps $0x44, %%ymm15, %%ymm14, %%ymm0\n\tvunpcklpd %%ymm15, %%ymm14, %%ymm1\n\t"
                     "vperm2f128 $0x20, %%ymm15, %%ymm14, %%ymm2\n\tvshufps $0xee, %%ymm15, %%ymm14, %%ymm3\n\t"
                     "vunpckhpd %%ymm15, %%ymm14, %%ymm4\n\tvperm2f128 $0x31, %%ymm15, %%ymm14, %%ymm5\n\t"
                     ".endr\n\t"
                     "dec %0\n\t"
                     "jnz 1b\n\t"
                     "vzeroupper"
                     : "+r"(blocks)
                     : "r"(gOne)
                     : "cc", "memory", BENCH_YMM_CLOBBERS);
}

// 32-byte loads, eight independent registers: within a 64-byte line
// (offsets 0 and 32 of four lines), and across one (offset 48 of each of
// eight lines), as the AVX path of entries 10 and 11 meets both.
void avxLoads(unsigned long blocks) {
    __asm__ volatile("1:\n\t"
                     ".rept 3\n\t"
                     "vmovups (%1), %%ymm0\n\tvmovups 32(%1), %%ymm1\n\tvmovups 64(%1), %%ymm2\n\t"
                     "vmovups 96(%1), %%ymm3\n\tvmovups 128(%1), %%ymm4\n\tvmovups 160(%1), %%ymm5\n\t"
                     "vmovups 192(%1), %%ymm6\n\tvmovups 224(%1), %%ymm7\n\t"
                     ".endr\n\t"
                     "dec %0\n\t"
                     "jnz 1b\n\t"
                     "vzeroupper"
                     : "+r"(blocks)
                     : "r"(gLines)
                     : "cc", "memory", BENCH_YMM_CLOBBERS);
}

void avxSplitLoads(unsigned long blocks) {
    __asm__ volatile("1:\n\t"
                     ".rept 3\n\t"
                     "vmovups 48(%1), %%ymm0\n\tvmovups 112(%1), %%ymm1\n\tvmovups 176(%1), %%ymm2\n\t"
                     "vmovups 240(%1), %%ymm3\n\tvmovups 304(%1), %%ymm4\n\tvmovups 368(%1), %%ymm5\n\t"
                     "vmovups 432(%1), %%ymm6\n\tvmovups 496(%1), %%ymm7\n\t"
                     ".endr\n\t"
                     "dec %0\n\t"
                     "jnz 1b\n\t"
                     "vzeroupper"
                     : "+r"(blocks)
                     : "r"(gLines)
                     : "cc", "memory", BENCH_YMM_CLOBBERS);
}

// 32-byte stores to eight distinct addresses.
void avxStores(unsigned long blocks) {
    __asm__ volatile("vxorps %%ymm0, %%ymm0, %%ymm0\n\t"
                     "1:\n\t"
                     ".rept 3\n\t"
                     "vmovaps %%ymm0, (%1)\n\tvmovaps %%ymm0, 32(%1)\n\tvmovaps %%ymm0, 64(%1)\n\t"
                     "vmovaps %%ymm0, 96(%1)\n\tvmovaps %%ymm0, 128(%1)\n\tvmovaps %%ymm0, 160(%1)\n\t"
                     "vmovaps %%ymm0, 192(%1)\n\tvmovaps %%ymm0, 224(%1)\n\t"
                     ".endr\n\t"
                     "dec %0\n\t"
                     "jnz 1b\n\t"
                     "vzeroupper"
                     : "+r"(blocks)
                     : "r"(gBuffer)
                     : "cc", "memory", "xmm0");
}
#endif

// One calibrated sample of `kernel`: core cycles per step, or a negative
// value when the core clock moved during it.
double sampleCyclesPerStep(CycleClock& clock, void (*kernel)(unsigned long), int stepsPerBlock) {
    constexpr unsigned long kBlocks = 400; // 9600 steps per sample (28800 for the rows)
    double ticks, cycles;
    if (!calibratedSample(clock, [&] { kernel(kBlocks); }, ticks, cycles)) return -1;
    return cycles / (kBlocks * static_cast<double>(stepsPerBlock));
}

struct Figure {
    double MachineCosts::*field;
    void (*kernel)(unsigned long);
    int stepsPerBlock = kStepsPerBlock;
    bool avx = false; // x86-64 with AVX only
};

const Figure kFigures[] = {
    {&MachineCosts::x87StepThroughput, x87Throughput},
    {&MachineCosts::x87StepLatency, x87Latency},
    {&MachineCosts::x87MemoryStep, x87Memory},
    {&MachineCosts::x87MemoryPair, x87MemoryPair},
    {&MachineCosts::x87MemoryRows, x87MemoryRows, 2 * kRowSteps},
    {&MachineCosts::x87LoopRows, x87LoopRows, 2 * kRowSteps},
    {&MachineCosts::x87RunRows, x87RunRows, 2 * kRowSteps},
    {&MachineCosts::x87MulLatency, x87MulChain},
    {&MachineCosts::sseAddLatency, sseAddChain},
    {&MachineCosts::sseMulLatency, sseMulChain},
    {&MachineCosts::sseAddThroughput, sseAddMany},
    {&MachineCosts::sseMulThroughput, sseMulMany},
    {&MachineCosts::sseMixThroughput, sseMixMany},
    {&MachineCosts::loadThroughput, loadMany},
    {&MachineCosts::storeThroughput, storeMany},
    {&MachineCosts::mmxMulLatency, mmxMulChain},
    {&MachineCosts::mmxAddLatency, mmxAddChain},
    {&MachineCosts::mmxUnpackLatency, mmxUnpackChain},
    {&MachineCosts::mmxMulThroughput, mmxMulMany},
    {&MachineCosts::mmxAddThroughput, mmxAddMany},
    {&MachineCosts::mmxUnpackThroughput, mmxUnpackMany},
    {&MachineCosts::mmxMacStep, mmxMacSteps},
    {&MachineCosts::sse2MulLatency, sse2MulChain},
    {&MachineCosts::sse2AddLatency, sse2AddChain},
    {&MachineCosts::sse2MacStep, sse2MacSteps},
    {&MachineCosts::sse2UnpackThroughput, sse2UnpackMany},
    {&MachineCosts::x87ToWord, x87ToWords},
    {&MachineCosts::x87ToFloat, x87ToFloats},
#if defined(__x86_64__)
    {&MachineCosts::avxDoubleInput, avxDoubleInputs, kStepsPerBlock, true},
    {&MachineCosts::avxConversion, avxConversions, kStepsPerBlock, true},
    {&MachineCosts::avxShuffle, avxShuffles, kStepsPerBlock, true},
    {&MachineCosts::avxStore, avxStores, kStepsPerBlock, true},
    {&MachineCosts::avxLoad, avxLoads, kStepsPerBlock, true},
    {&MachineCosts::avxSplitLoad, avxSplitLoads, kStepsPerBlock, true},
#endif
};
constexpr size_t kFigureCount = sizeof kFigures / sizeof kFigures[0];

bool processorHasAvx() {
#if defined(__x86_64__)
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx");
#else
    return false;
#endif
}

// Every figure's samples, taken in rounds spread over about a second, after
// one warm-up call of each kernel; the AVX kernels only where the processor
// has AVX (the others' lists stay empty).
std::vector<std::vector<double>> takeSamples(CycleClock& clock) {
    const bool avx = processorHasAvx();
    std::vector<std::vector<double>> samples(kFigureCount);
    for (const Figure& f : kFigures)
        if (avx || !f.avx) f.kernel(400);
    constexpr int kRounds = 20, kPerRound = 3;
    for (int round = 0; round < kRounds; ++round) {
        for (size_t i = 0; i < kFigureCount; ++i)
            for (int k = 0; k < kPerRound && (avx || !kFigures[i].avx); ++k) {
                const double c = sampleCyclesPerStep(clock, kFigures[i].kernel, kFigures[i].stepsPerBlock);
                if (c > 0) samples[i].push_back(c);
            }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return samples;
}

} // namespace

// Every figure is the tenth percentile of its samples: on a shared machine
// another thread on the core slows a good part of the samples of the
// throughput kernels (by 20 to 40 %), which the median would take in; the
// least sample would take in the rare sample whose calibration erred low
// instead. A figure without samples (the core clock never held still, or
// no AVX) stays 0, and the bound says so.
MachineCosts measureMachine(CycleClock& clock) {
    const std::vector<std::vector<double>> samples = takeSamples(clock);
    MachineCosts m{};
    for (size_t i = 0; i < kFigureCount; ++i)
        if (!samples[i].empty()) m.*kFigures[i].field = stats::percentile(samples[i], 10);
    return m;
}

} // namespace bench
