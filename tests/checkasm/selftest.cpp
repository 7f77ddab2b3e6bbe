// The checker's self-test: runs the checker on kernels of selftest.asm, one
// correct and the others each broken in one way, and proves that every fault
// is reported with its own text (and that the correct kernel, the excused
// differences and the skip path pass as they should). Exit status 0 when
// every case is proven.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "checkasm.h"
#include "kernels.h"
#include "rounding.h"

extern "C" {
#define SELFTEST_KERNEL(name) void name(const float*, const float*, float*, int32_t);
SELFTEST_KERNEL(selftestOk)
SELFTEST_KERNEL(selftestOrder)
SELFTEST_KERNEL(selftestEbx)
SELFTEST_KERNEL(selftestEsi)
SELFTEST_KERNEL(selftestEdi)
SELFTEST_KERNEL(selftestEbp)
SELFTEST_KERNEL(selftestEsp)
SELFTEST_KERNEL(selftestCanary)
SELFTEST_KERNEL(selftestX87Left)
SELFTEST_KERNEL(selftestMmx)
SELFTEST_KERNEL(selftestStackFault)
SELFTEST_KERNEL(selftestControlWord)
SELFTEST_KERNEL(selftestMxcsr)
SELFTEST_KERNEL(selftestDirection)
SELFTEST_KERNEL(selftestPast)
SELFTEST_KERNEL(selftestBefore)
SELFTEST_KERNEL(selftestAdvance)
SELFTEST_KERNEL(selftestUnwritten)
SELFTEST_KERNEL(selftestInput)
SELFTEST_KERNEL(selftestCoefficients)
SELFTEST_KERNEL(selftestOverread)
SELFTEST_KERNEL(selftestUd2)
SELFTEST_KERNEL(selftestCount0)
SELFTEST_KERNEL(selftestSseChain)
SELFTEST_KERNEL(selftestSseAlign8)
SELFTEST_KERNEL(selftest3DNowChain)
SELFTEST_KERNEL(selftestSseNanPayload)
SELFTEST_KERNEL(selftest3DNowFlush)
int selftestStackFaultsFlagged(void);
#undef SELFTEST_KERNEL
}

namespace {

// Twin of the chain kernels: one single-precision running sum per row, started
// from the first product, every product and sum rounded to single precision.
void chainTwin(const float* c, const float* x, float* y, int32_t count) {
    for (int32_t rep = 0; rep < count; ++rep)
        for (int i = 0; i < OUTPUT_COUNT; ++i) {
            const float* m = c + INPUT_COUNT * i;
            float sum = portable::roundToFloat(portable::exactProduct(m[0], x[0]));
            for (int j = 1; j < INPUT_COUNT; ++j)
                sum = portable::roundToFloat(
                    static_cast<double>(sum) +
                    static_cast<double>(portable::roundToFloat(portable::exactProduct(m[j], x[j]))));
            y[i] = sum;
        }
}

enum class Expect { Pass, Fail, Skip, NoKernel };

struct Case {
    const char* name;
    EntryFlags flags;
    EntryKernel kernel;
    EntryKernel twin;
    Expect expect;
    const char* text; // must appear in the row's report
    EntryFlags needs; // the case is only meaningful where the CPU has these
};

constexpr EntryFlags kAos = ENTRY_FPU;
const EntryKernel kCTemp = &portable::kernelCTemp;

const Case kCases[] = {
    {"correct kernel", kAos, selftestOk, kCTemp, Expect::Pass, "ok: ", 0},
    {"wrong summation order", kAos, selftestOrder, kCTemp, Expect::Fail, "output differs from the C++ twin", 0},
    {"mismatch details", kAos, selftestOrder, kCTemp, Expect::Fail, "map (. same, x differs, | block edges): ", 0},
    {"seed in failures", kAos, selftestOrder, kCTemp, Expect::Fail, "rerun with checkasm --entry ", 0},
#if defined(__x86_64__) // the faults hit rbx, r12, r15 and rbp there
    {"rbx", kAos, selftestEbx, kCTemp, Expect::Fail, "callee-saved register rbx clobbered", 0},
    {"r12", kAos, selftestEsi, kCTemp, Expect::Fail, "callee-saved register r12 clobbered", 0},
    {"r15", kAos, selftestEdi, kCTemp, Expect::Fail, "callee-saved register r15 clobbered", 0},
    {"rbp", kAos, selftestEbp, kCTemp, Expect::Fail, "callee-saved register rbp clobbered", 0},
#else
    {"ebx", kAos, selftestEbx, kCTemp, Expect::Fail, "callee-saved register ebx clobbered", 0},
    {"esi", kAos, selftestEsi, kCTemp, Expect::Fail, "callee-saved register esi clobbered", 0},
    {"edi", kAos, selftestEdi, kCTemp, Expect::Fail, "callee-saved register edi clobbered", 0},
    {"ebp", kAos, selftestEbp, kCTemp, Expect::Fail, "callee-saved register ebp clobbered", 0},
#endif
    {"esp", kAos, selftestEsp, kCTemp, Expect::Fail, "stack pointer not restored (moved by +4 bytes)", 0},
    {"canary", kAos, selftestCanary, kCTemp, Expect::Fail, "stack canary above the arguments overwritten", 0},
    {"x87 stack left", kAos, selftestX87Left, kCTemp, Expect::Fail, "x87 register stack not empty on return", 0},
    {"no EMMS", kAos | ENTRY_MMX, selftestMmx, kCTemp, Expect::Fail, "x87 register stack not empty on return", ENTRY_MMX},
    {"x87 stack fault", kAos, selftestStackFault, kCTemp, Expect::Fail, "x87 stack overflow or underflow", 0},
    {"control word", kAos, selftestControlWord, kCTemp, Expect::Fail, "x87 control word changed (0x027F before, 0x037F after)", 0},
    {"MXCSR", kAos | ENTRY_SSE, selftestMxcsr, kCTemp, Expect::Fail, "MXCSR control bits changed", ENTRY_SSE},
    {"direction flag", kAos, selftestDirection, kCTemp, Expect::Fail, "direction flag left set", 0},
    {"past the block", kAos, selftestPast, kCTemp, Expect::Fail, "kernel wrote past the end of the output block (1 floats from index 18)", 0},
    {"before the block", kAos, selftestBefore, kCTemp, Expect::Fail, "kernel wrote before the output block (1 floats, first at index -1)", 0},
    {"SOA pad outputs", kAos | ENTRY_SOA, selftestPast, kCTemp, Expect::Fail, "kernel wrote output pad floats 18/19", 0},
    {"pointer advanced per repetition", kAos, selftestAdvance, kCTemp, Expect::Fail, "count 7, ", 0},
    {"output not written", kAos, selftestUnwritten, kCTemp, Expect::Fail, "output float 5 not written", 0},
    {"input written", kAos, selftestInput, kCTemp, Expect::Fail, "input block written", 0},
    {"coefficients written", kAos, selftestCoefficients, kCTemp, Expect::Fail, "coefficient block written", 0},
#if !defined(_WIN32)
    {"read past the block", kAos, selftestOverread, kCTemp, Expect::Fail, "crashed (SIGSEGV", 0},
    {"illegal instruction", kAos, selftestUd2, kCTemp, Expect::Fail, "crashed (SIGILL", 0},
    // Only the placement of the coefficient block 8 bytes past a boundary
    // takes this kernel's aligned path with a block off 16 bytes.
    {"alignment tested on 8 bytes", ENTRY_SSE, selftestSseAlign8, chainTwin, Expect::Fail,
     "the coefficient block alone 8 bytes past a 16-byte boundary", ENTRY_SSE},
#endif
    {"count 0", kAos, selftestCount0, kCTemp, Expect::Fail, "count 0 wrote the output", 0},
    {"SSE chain", ENTRY_SSE, selftestSseChain, chainTwin, Expect::Pass, "ok: ", ENTRY_SSE},
    {"SSE NaN payloads excused", ENTRY_SSE, selftestSseNanPayload, chainTwin, Expect::Pass, "excused (SSE: NaN payload)", ENTRY_SSE},
#if defined(__x86_64__) // the twins compute with SSE there, so NaN payloads differ as for SSE
    {"x87 family: NaN excused", kAos, selftestSseNanPayload, chainTwin, Expect::Pass, "excused (x87: NaN payload", ENTRY_SSE},
#else
    {"x87 family: no NaN excuse", kAos, selftestSseNanPayload, chainTwin, Expect::Fail, "output differs from the C++ twin", ENTRY_SSE},
#endif
    {"3DNow! chain", ENTRY_MMX | ENTRY_3DNOW, selftest3DNowChain, chainTwin, Expect::Pass, "ok: ", ENTRY_MMX | ENTRY_3DNOW},
    {"3DNow! subnormals excused", ENTRY_MMX | ENTRY_3DNOW, selftest3DNowFlush, chainTwin, Expect::Pass, "excused (3DNow!: subnormal operand or result)", ENTRY_MMX | ENTRY_3DNOW},
    {"SSE family: no subnormal excuse", ENTRY_SSE, selftest3DNowFlush, chainTwin, Expect::Fail, "output differs from the C++ twin", ENTRY_MMX | ENTRY_3DNOW | ENTRY_SSE},
    {"3DNow! skipped", ENTRY_MMX | ENTRY_3DNOW, selftest3DNowChain, chainTwin, Expect::Skip, "skipped: this CPU lacks 3DNow!", 0},
    {"no native kernel", kAos, nullptr, kCTemp, Expect::NoKernel, "no native kernel in this build", 0},
};

const char* expectText(Expect e) {
    switch (e) {
    case Expect::Pass: return "pass";
    case Expect::Fail: return "fail";
    case Expect::Skip: return "be skipped";
    default: return "have no kernel";
    }
}

} // namespace

int main(int argc, char** argv) {
    checkasm::Options options;
    if (!checkasm::parseOptions(argc, argv, options)) return 2;
    options.verbose = true; // excused differences are listed, and proven
    const EntryFlags have = checkasm::cpuExtensions();
    int proven = 0, unproven = 0, notApplicable = 0;
    int index = 100;
    for (const Case& c : kCases) {
        ++index;
        Expect expect = c.expect;
        const char* text = c.text;
        // The skip case is the other side of the 3DNow! chain case: where the
        // CPU has 3DNow! the row runs, elsewhere it must say skipped.
        if (c.expect == Expect::Skip && (have & ENTRY_3DNOW)) {
            ++notApplicable;
            std::printf("selftest %-32s not applicable: this CPU has 3DNow!\n", c.name);
            continue;
        }
        if (c.kernel == selftestStackFault && !selftestStackFaultsFlagged()) {
            ++notApplicable;
            std::printf("selftest %-32s not applicable: this x87 unit (an emulator?) never flags stack faults\n", c.name);
            continue;
        }
        if ((c.needs & have) != c.needs) {
            ++notApplicable;
            std::printf("selftest %-32s not applicable: this CPU lacks an extension it needs\n", c.name);
            continue;
        }
        checkasm::Row row{index, c.name, c.flags, c.kernel, c.twin};
        checkasm::Report report;
        report.echo = false;
        const checkasm::Verdict v = checkasm::checkRow(row, options, report);
        const bool verdictOk = (expect == Expect::Pass && v == checkasm::Verdict::Passed) ||
                               (expect == Expect::Fail && v == checkasm::Verdict::Failed) ||
                               (expect == Expect::Skip && v == checkasm::Verdict::Skipped) ||
                               (expect == Expect::NoKernel && v == checkasm::Verdict::NoKernel);
        const bool textOk = report.text.find(text) != std::string::npos;
        if (verdictOk && textOk) {
            ++proven;
            std::printf("selftest %-32s proven: %s, \"%s\"\n", c.name, expectText(expect), text);
        } else {
            ++unproven;
            std::printf("selftest %-32s NOT PROVEN: expected to %s with \"%s\"; the checker said:\n%s",
                        c.name, expectText(expect), text, report.text.c_str());
        }
    }
    std::printf("selftest: %d proven, %d not proven, %d not applicable on this CPU\n", proven, unproven,
                notApplicable);
    return unproven ? 1 : 0;
}
