// The checked call (see call.h): the kernel through the trampoline, the twin
// on the same blocks, and the faults of the call, each with its own text.
#include "call.h"

#include <csetjmp>
#include <csignal>
#include <cstddef>
#include <cstdio>
#include <cstring>

checkasm::CheckedCallState checkasm_state;

namespace checkasm {

constexpr size_t kWordFields = (2 * kSavedRegisters + 3) * sizeof(Word);
static_assert(offsetof(CheckedCallState, after) == kSavedRegisters * sizeof(Word), "checked_call.asm ST_AFTER");
static_assert(offsetof(CheckedCallState, savedEsp) == kWordFields - sizeof(Word), "checked_call.asm ST_SAVED_ESP");
static_assert(offsetof(CheckedCallState, canary) == kWordFields, "checked_call.asm ST_CANARY");
static_assert(offsetof(CheckedCallState, fpuEnv) == kWordFields + 20, "checked_call.asm ST_FPU_ENV");
static_assert(offsetof(CheckedCallState, eflagsAfter) == kWordFields + 56, "checked_call.asm ST_EFLAGS_AFTER");

namespace {

constexpr int kCanaries = 8;
constexpr int kMaxReportsPerRow = 3;        // failing calls printed in full per row
constexpr int kMaxLinesPerMismatch = 8;

bool isNanBits(uint32_t u) { return (u & 0x7F800000u) == 0x7F800000u && (u & 0x007FFFFFu) != 0; }
bool isSubnormalBits(uint32_t u) { return (u & 0x7F800000u) == 0 && (u & 0x007FFFFFu) != 0; }

// ---------------------------------------------------------------- excuses

// True when output i of the problem meets the subnormal range: a subnormal
// operand, an exact product below the normal range, or a subnormal result.
bool touchesSubnormal(EntryFlags flags, const float* c, const float* x, int i, uint32_t a,
                      uint32_t b) {
    if (isSubnormalBits(a) || isSubnormalBits(b)) return true;
    if (i >= OUTPUT_COUNT) return false;
    for (int j = 0; j < INPUT_COUNT; ++j) {
        const float m = isSoa(flags) ? c[SOA_ROW_FLOATS * j + i] : c[INPUT_COUNT * i + j];
        const int lanes = isSoa(flags) ? SOA_LANES : 1;
        for (int k = 0; k < lanes; ++k) {
            const float v = isSoa(flags) ? x[SOA_LANES * j + k] : x[j];
            const double p = static_cast<double>(m) * static_cast<double>(v);
            if (isSubnormalBits(bitsOf(m)) || isSubnormalBits(bitsOf(v))) return true;
            if (p != 0.0 && std::fabs(p) < 1.1754943508222875e-38) return true;
        }
    }
    return false;
}

// What a family's hardware may legitimately do differently from the twin,
// excused for that family only. The bits are otherwise the contract.
//  - SSE and 3DNow!: when two NaNs meet, the hardware keeps the first
//    operand's payload while the twins (x87 code on the i686 build) keep the
//    larger one; so a difference where both sides are NaN is excused.
//  - 3DNow! also flushes subnormal operands and results to zero on the
//    processors it comes from; a difference in an output that meets the
//    subnormal range is excused.
//  - x87, on x86-64 only: the twins compute with SSE there, so where two
//    NaNs meet the payloads differ as above. On x86-32 the x87 entries run on
//    the same unit as their twins, and nothing is excused for them.
// The fixed-point entries turn every NaN into the same word: nothing is
// excused for them.
const char* excuse(EntryFlags flags, bool subnormal, uint32_t twin, uint32_t kernel) {
#if defined(__x86_64__)
    if ((flags & ENTRY_EXTENSION_MASK) == ENTRY_FPU && isNanBits(twin) && isNanBits(kernel))
        return "x87: NaN payload (the twin computes with SSE)";
#endif
    if ((flags & (ENTRY_SSE | ENTRY_3DNOW)) && isNanBits(twin) && isNanBits(kernel))
        return (flags & ENTRY_3DNOW) ? "3DNow!: NaN payload" : "SSE: NaN payload";
    if ((flags & ENTRY_3DNOW) && subnormal) return "3DNow!: subnormal operand or result";
    return nullptr;
}

// ---------------------------------------------------------------- crashes

// ---------------------------------------------------------------- crashes

#if !defined(_WIN32)
sigjmp_buf gCrashJump;
volatile sig_atomic_t gArmed = 0;
unsigned char gAltStack[64 * 1024];

void onCrash(int sig) {
    if (gArmed) {
        gArmed = 0;
        siglongjmp(gCrashJump, sig);
    }
    signal(sig, SIG_DFL);
    raise(sig);
}

void installCrashHandlers() {
    static bool done = false;
    if (done) return;
    done = true;
    stack_t ss{};
    ss.ss_sp = gAltStack;
    ss.ss_size = sizeof gAltStack;
    sigaltstack(&ss, nullptr);
    struct sigaction sa {};
    sa.sa_handler = onCrash;
    sa.sa_flags = SA_ONSTACK | SA_NODEFER;
    sigemptyset(&sa.sa_mask);
    for (int sig : {SIGSEGV, SIGBUS, SIGILL, SIGFPE}) sigaction(sig, &sa, nullptr);
}

const char* signalText(int sig) {
    switch (sig) {
    case SIGSEGV: return "SIGSEGV: memory access outside the blocks, or a broken stack";
    case SIGBUS: return "SIGBUS: bad memory access";
    case SIGILL: return "SIGILL: an instruction this CPU does not have";
    case SIGFPE: return "SIGFPE: unmasked arithmetic exception";
    default: return "unexpected signal";
    }
}
#endif

// ---------------------------------------------------------------- faults

std::string context(const CallSetup& s) {
    char text[320];
    std::snprintf(text, sizeof text,
                  "  data \"%s\" draw %d, count %d, %s, stack skew %u words\n"
                  "  seed %u: rerun with checkasm --entry %d --seed %u",
                  kDataSets[s.set].name, s.draw, s.count, s.placement->text, checkasm_state.skew,
                  s.seed, s.row->index, s.seed);
    return text;
}

#if defined(__x86_64__)
const char* const kRegisterNames[kSavedRegisters] = {"rbx", "rbp", "r12", "r13", "r14", "r15"};
#else
const char* const kRegisterNames[kSavedRegisters] = {"ebx", "esi", "edi", "ebp"};
#endif

// The calling-convention faults recorded by the trampoline, one text each.
void abiFaults(std::vector<std::string>& faults) {
    const CheckedCallState& st = checkasm_state;
    char text[200];
    for (int k = 0; k < kSavedRegisters; ++k)
        if (st.seed[k] != st.after[k]) {
            std::snprintf(text, sizeof text, "callee-saved register %s clobbered (0x%0*llX on entry, 0x%0*llX on return)",
                          kRegisterNames[k], static_cast<int>(2 * sizeof(Word)),
                          static_cast<unsigned long long>(st.seed[k]), static_cast<int>(2 * sizeof(Word)),
                          static_cast<unsigned long long>(st.after[k]));
            faults.push_back(text);
        }
    if (st.espAfter != st.espExpected) {
        std::snprintf(text, sizeof text, "stack pointer not restored (moved by %+d bytes)",
                      static_cast<int>(st.espAfter - st.espExpected));
        faults.push_back(text);
    }
    if (st.canariesChanged) {
        std::snprintf(text, sizeof text, "stack canary above the arguments overwritten (mask 0x%02X of %d words)",
                      st.canariesChanged, kCanaries);
        faults.push_back(text);
    }
    const uint32_t tag = st.fpuEnv[2] & 0xFFFFu, status = st.fpuEnv[1] & 0xFFFFu;
    if (tag != 0xFFFFu) {
        std::snprintf(text, sizeof text, "x87 register stack not empty on return (tag word 0x%04X: values left on the stack, or no EMMS/FEMMS after MMX)", tag);
        faults.push_back(text);
    }
    if (status & 0x0040u) {
        std::snprintf(text, sizeof text, "x87 stack overflow or underflow during the call (status word 0x%04X)", status);
        faults.push_back(text);
    }
    const uint32_t cwBefore = st.controlWordBefore & 0xFFFFu, cwAfter = st.fpuEnv[0] & 0xFFFFu;
    if (cwBefore != cwAfter) {
        std::snprintf(text, sizeof text, "x87 control word changed (0x%04X before, 0x%04X after)", cwBefore, cwAfter);
        faults.push_back(text);
    }
    // The six exception flags of MXCSR are sticky status, set by ordinary
    // arithmetic; the rest (masks, rounding, DAZ, FZ) must not change.
    if (st.useMxcsr && ((st.mxcsrBefore ^ st.mxcsrAfter) & ~0x3Fu)) {
        std::snprintf(text, sizeof text, "MXCSR control bits changed (0x%08X before, 0x%08X after)",
                      st.mxcsrBefore, st.mxcsrAfter);
        faults.push_back(text);
    }
    if (st.eflagsAfter & 0x400u) faults.push_back("direction flag left set");
}

// Floats outside what the row may write, by where they are.
void guardFaults(OutputArea& out, EntryFlags flags, const char* who, std::vector<std::string>& faults) {
    const int written = writtenFloats(flags), block = blockFloats(flags);
    int before = 0, pads = 0, past = 0, firstBefore = 0, firstPast = 0;
    for (int i = -kGuardFloats; i < block + kGuardFloats; ++i) {
        if (i >= 0 && i < written) continue;
        if (out.bits(i) == kSentinel) continue;
        if (i < 0) {
            if (!before++) firstBefore = i;
        } else if (i < block) {
            ++pads;
        } else if (!past++) {
            firstPast = i;
        }
    }
    char text[200];
    if (before) {
        std::snprintf(text, sizeof text, "%s wrote before the output block (%d floats, first at index %d)", who, before, firstBefore);
        faults.push_back(text);
    }
    if (pads) {
        std::snprintf(text, sizeof text, "%s wrote output pad floats 18/19, which this entry leaves alone", who);
        faults.push_back(text);
    }
    if (past) {
        std::snprintf(text, sizeof text, "%s wrote past the end of the output block (%d floats from index %d)", who, past,
                      firstPast);
        faults.push_back(text);
    }
}

// The ./x map of the output block and its guard zones.
std::string differenceMap(OutputArea& a, OutputArea& b, EntryFlags flags) {
    std::string map = "  map (. same, x differs, | block edges): ";
    const int block = blockFloats(flags);
    for (int i = -kGuardFloats; i < block + kGuardFloats; ++i) {
        if (i == 0 || i == block) map += '|';
        map += (a.bits(i) == b.bits(i)) ? '.' : 'x';
    }
    return map;
}

void reportFailure(const CallSetup& s, const std::vector<std::string>& faults,
                   const std::vector<std::string>& details, RowState& state, Report& report) {
    ++state.failedCalls;
    // The same faults on the same data set in another placement or count add
    // nothing: one report of each, and at most kMaxReportsPerRow in all.
    std::string key = kDataSets[s.set].name;
    for (const std::string& f : faults) key += "\n" + f;
    for (const std::string& k : state.shown)
        if (k == key) return;
    if (state.reports++ >= kMaxReportsPerRow) return;
    state.shown.push_back(key);
    char head[160];
    std::snprintf(head, sizeof head, "FAIL entry %d (kernel%s):", s.row->index, s.row->stem);
    report.line(head);
    for (const std::string& f : faults) report.line("  " + f);
    report.line(context(s));
    for (const std::string& d : details) report.line(d);
}

// ---------------------------------------------------------------- the call

// The blocks of one call, laid out, and copies that show writes into them.
struct CallBlocks {
    float* c;
    float* x;
    std::vector<float> cCopy, xCopy;
};

CallBlocks placeBlocks(const CallSetup& s, const Data& d) {
    static PageGuardedBlock coefficientPages, inputPages;
    const EntryFlags flags = s.row->flags;
    CallBlocks b;
    b.c = coefficientPages.place(coefficientBytes(flags), s.placement->tail, s.placement->coefficients);
    b.x = inputPages.place(inputBytes(flags), s.placement->tail, s.placement->input);
    layout(flags, d, b.c, b.x);
    b.cCopy.assign(b.c, b.c + coefficientBytes(flags) / 4);
    b.xCopy.assign(b.x, b.x + inputBytes(flags) / 4);
    return b;
}

// The trampoline's record before the call: the seeds of the saved registers,
// the canary, the stack skew, and whether to look at MXCSR.
void seedRecord(uint64_t callSalt) {
    Rng r(callSalt);
    CheckedCallState& st = checkasm_state;
    for (Word& v : st.seed) v = static_cast<Word>(r.next());
    st.canary = static_cast<uint32_t>(r.next());
    st.skew = static_cast<uint32_t>(callSalt & 3);
    st.useMxcsr = (cpuExtensions() & ENTRY_SSE) ? 1 : 0;
}

// Calls the kernel through the trampoline: 0, or the signal that stopped it
// (after which the x87 unit and MXCSR are put back).
int callKernel(const CallSetup& s, const CallBlocks& b, float* y) {
#if !defined(_WIN32)
    installCrashHandlers();
    const int sig = sigsetjmp(gCrashJump, 1);
    if (sig != 0) {
        checkasm_restore_fpu();
        return sig;
    }
    gArmed = 1;
#endif
    checkasm_checked_call(s.row->kernel, b.c, b.x, y, s.count);
#if !defined(_WIN32)
    gArmed = 0;
#endif
    return 0;
}

// What the kernel broke besides its output: the calling convention, the
// blocks it only reads, the floats around the output.
void kernelFaults(const CallBlocks& b, OutputArea& out, EntryFlags flags, std::vector<std::string>& faults) {
    abiFaults(faults);
    if (std::memcmp(b.c, b.cCopy.data(), b.cCopy.size() * 4) != 0) faults.push_back("coefficient block written");
    if (std::memcmp(b.x, b.xCopy.data(), b.xCopy.size() * 4) != 0) faults.push_back("input block written");
    guardFaults(out, flags, "kernel", faults);
}

// A count of 0 or less: the output must keep the sentinel.
void untouchedFaults(int count, OutputArea& kernelOut, EntryFlags flags, std::vector<std::string>& faults) {
    for (int i = 0; i < writtenFloats(flags); ++i)
        if (kernelOut.bits(i) != kSentinel) {
            char text[120];
            std::snprintf(text, sizeof text, "count %d wrote the output (float %d); it must do nothing", count, i);
            faults.push_back(text);
            return;
        }
}

// Counts a difference the row's family may show, and lists it with --verbose.
void noteExcuse(const char* why, int i, uint32_t t, uint32_t k, const Options& options, RowState& state,
                Report& report) {
    ++state.excused;
    if (state.excusedWhy.find(why) == std::string::npos)
        state.excusedWhy += std::string(state.excusedWhy.empty() ? "" : ", ") + why;
    if (options.verbose)
        report.line("  excused (" + std::string(why) + "): y[" + std::to_string(i) + "] twin " +
                    hexAndValue(t) + ", kernel " + hexAndValue(k));
}

// Every output float, bit for bit: unwritten floats and unexcused
// differences become faults, the differences' values and map details.
void compareOutputs(const CallBlocks& b, OutputArea& twinOut, OutputArea& kernelOut, EntryFlags flags,
                    const Options& options, RowState& state, Report& report, std::vector<std::string>& faults,
                    std::vector<std::string>& details) {
    int mismatches = 0;
    for (int i = 0; i < writtenFloats(flags); ++i) {
        const uint32_t t = twinOut.bits(i), k = kernelOut.bits(i);
        if (k == kSentinel && t != kSentinel) {
            faults.push_back("output float " + std::to_string(i) + " not written");
            continue;
        }
        if (t == k) continue;
        if (const char* why = excuse(flags, touchesSubnormal(flags, b.c, b.x, i, t, k), t, k)) {
            noteExcuse(why, i, t, k, options, state, report);
            continue;
        }
        if (mismatches++ == 0) faults.push_back("output differs from the C++ twin");
        if (mismatches <= kMaxLinesPerMismatch)
            details.push_back("  y[" + std::to_string(i) + "]: twin " + hexAndValue(t) + ", kernel " + hexAndValue(k));
    }
    if (!mismatches) return;
    if (mismatches > kMaxLinesPerMismatch)
        details.push_back("  ... " + std::to_string(mismatches - kMaxLinesPerMismatch) + " more");
    details.push_back(differenceMap(twinOut, kernelOut, flags));
}

} // namespace

bool checkCall(const CallSetup& s, const Options& options, RowState& state, Report& report,
               uint64_t callSalt) {
    static OutputArea kernelOut, twinOut;
    const Row& row = *s.row;
    Data d;
    makeData(s.set, dataSeed(s.seed, row.index, s.set, s.draw), d);
    const CallBlocks b = placeBlocks(s, d);
    kernelOut.reset(s.placement->output);
    twinOut.reset(s.placement->output);
    seedRecord(callSalt);

    std::vector<std::string> faults, details;
    if (const int sig = callKernel(s, b, kernelOut.block())) {
#if !defined(_WIN32)
        faults.push_back(std::string("crashed (") + signalText(sig) + ")");
#endif
        reportFailure(s, faults, details, state, report);
        state.crashed = true;
        return false;
    }
    kernelFaults(b, kernelOut, row.flags, faults);
    layout(row.flags, d, b.c, b.x); // the twin gets the very blocks the kernel got
    row.twin(b.c, b.x, twinOut.block(), s.count);
    guardFaults(twinOut, row.flags, "C++ twin", faults);
    if (s.count <= 0)
        untouchedFaults(s.count, kernelOut, row.flags, faults);
    else
        compareOutputs(b, twinOut, kernelOut, row.flags, options, state, report, faults, details);
    if (!faults.empty()) reportFailure(s, faults, details, state, report);
    return true;
}

} // namespace checkasm
