// The throughput probes (probe.h). Each loop does seven independent
// multiplications (MMX: multiply-adds) per pass by one, read from memory, so
// no value overflows or turns subnormal: more chains than the operation's
// latency needs to keep its units busy, or nearly (x87 multiplications, one
// a clock, five clocks' latency; SSE and MMX, two a clock, three to five
// clocks'), so that a program sharing those units or the loads slows the
// loop. With register operands only, the SSE and MMX loops did not see the
// spells of a shared core on the AMD build machine that slowed some entries
// by 10 to 17 %; with memory operands they ran 12 to 24 % slower in them.
// 1,000 passes take a few microseconds.
#include <vector>

#include "probe.h"
#include "stats.h"

namespace host {

namespace {

constexpr int kRuns = 15;

#if defined(__i386__) || defined(__x86_64__)
constexpr unsigned long kPasses = 1000;

// The three loops look alike and are kept apart on purpose: each is the
// one kind of instruction (x87, SSE, MMX) whose units it measures, with its
// own registers and clobbers, in a function of its own with its own target
// attribute (no SSE or MMX on the i586 the 32-bit host runs on).

__attribute__((noinline)) void x87Loop(unsigned long passes) {
    static const float one = 1;
    __asm__ volatile("fld1\n\tfld1\n\tfld1\n\tfld1\n\tfld1\n\tfld1\n\tfld1\n\t"
                     "1:\n\t"
                     "fxch %%st(1)\n\tfmuls %1\n\tfxch %%st(2)\n\tfmuls %1\n\tfxch %%st(3)\n\tfmuls %1\n\t"
                     "fxch %%st(4)\n\tfmuls %1\n\tfxch %%st(5)\n\tfmuls %1\n\tfxch %%st(6)\n\tfmuls %1\n\t"
                     "fmuls %1\n\t"
                     "dec %0\n\tjnz 1b\n\t"
                     "fstp %%st(0)\n\tfstp %%st(0)\n\tfstp %%st(0)\n\tfstp %%st(0)\n\t"
                     "fstp %%st(0)\n\tfstp %%st(0)\n\tfstp %%st(0)"
                     : "+r"(passes)
                     : "m"(one)
                     : "cc", "st", "st(1)", "st(2)", "st(3)", "st(4)", "st(5)", "st(6)", "st(7)");
}

__attribute__((noinline, target("sse"))) void sseLoop(unsigned long passes) {
    alignas(16) static const float ones[4] = {1, 1, 1, 1}; // mulps reads aligned operands only
    __asm__ volatile("movups %1, %%xmm7\n\t"
                     "movaps %%xmm7, %%xmm0\n\tmovaps %%xmm7, %%xmm1\n\tmovaps %%xmm7, %%xmm2\n\t"
                     "movaps %%xmm7, %%xmm3\n\tmovaps %%xmm7, %%xmm4\n\tmovaps %%xmm7, %%xmm5\n\t"
                     "movaps %%xmm7, %%xmm6\n\t"
                     "1:\n\t"
                     "mulps %1, %%xmm0\n\tmulps %1, %%xmm1\n\tmulps %1, %%xmm2\n\t"
                     "mulps %1, %%xmm3\n\tmulps %1, %%xmm4\n\tmulps %1, %%xmm5\n\t"
                     "mulps %1, %%xmm6\n\t"
                     "dec %0\n\tjnz 1b"
                     : "+r"(passes)
                     : "m"(ones)
                     : "cc", "xmm0", "xmm1", "xmm2", "xmm3", "xmm4", "xmm5", "xmm6", "xmm7");
}

__attribute__((noinline, target("mmx"))) void mmxLoop(unsigned long passes) {
    static const unsigned short ones[4] = {1, 1, 1, 1};
    __asm__ volatile("movq %1, %%mm7\n\t"
                     "movq %%mm7, %%mm0\n\tmovq %%mm7, %%mm1\n\tmovq %%mm7, %%mm2\n\tmovq %%mm7, %%mm3\n\t"
                     "movq %%mm7, %%mm4\n\tmovq %%mm7, %%mm5\n\tmovq %%mm7, %%mm6\n\t"
                     "1:\n\t"
                     "pmaddwd %1, %%mm0\n\tpmaddwd %1, %%mm1\n\tpmaddwd %1, %%mm2\n\t"
                     "pmaddwd %1, %%mm3\n\tpmaddwd %1, %%mm4\n\tpmaddwd %1, %%mm5\n\t"
                     "pmaddwd %1, %%mm6\n\t"
                     "dec %0\n\tjnz 1b\n\t"
                     "emms"
                     : "+r"(passes)
                     : "m"(ones)
                     : "cc", "mm0", "mm1", "mm2", "mm3", "mm4", "mm5", "mm6", "mm7");
}
#endif

} // namespace

ProbeKind probeKindOf(EntryFlags flags, const Processor& cpu) {
#if defined(__i386__) || defined(__x86_64__)
    if (flags & ENTRY_SSE) return cpu.sse ? ProbeKind::Sse : ProbeKind::None;
    if (flags & (ENTRY_MMX | ENTRY_3DNOW)) return cpu.mmx ? ProbeKind::Mmx : ProbeKind::None;
    return cpu.fpu ? ProbeKind::X87 : ProbeKind::None;
#else
    (void)flags, (void)cpu;
    return ProbeKind::None;
#endif
}

double probeAloneClocks(ProbeKind kind) {
    constexpr double kPassesPerProbe = 1000, kOperations = 7;
    if (kind == ProbeKind::X87) return kPassesPerProbe * kOperations;
    if (kind == ProbeKind::Sse || kind == ProbeKind::Mmx) return kPassesPerProbe * kOperations / 2;
    return 0;
}

double probeClocks(ProbeKind kind, const CalibratedRun& run) {
    std::function<void()> body;
#if defined(__i386__) || defined(__x86_64__)
    if (kind == ProbeKind::X87) body = [] { x87Loop(kPasses); };
    if (kind == ProbeKind::Sse) body = [] { sseLoop(kPasses); };
    if (kind == ProbeKind::Mmx) body = [] { mmxLoop(kPasses); };
#else
    (void)kind;
#endif
    if (!body || !run) return 0;
    body(); // warm: the first pass may wait for the unit to power up
    std::vector<double> clocks;
    for (int k = 0; k < 2 * kRuns && static_cast<int>(clocks.size()) < kRuns; ++k) {
        double cycles = 0;
        if (run(body, cycles)) clocks.push_back(cycles);
    }
    return clocks.size() * 3 >= kRuns ? stats::median(clocks) : 0;
}

} // namespace host
