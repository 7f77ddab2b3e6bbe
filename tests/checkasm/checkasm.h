// The checker of the hand-written kernels: runs each NASM kernel and its C++
// twin on the same blocks, compares the output floats and the guard zones
// around them bit for bit, and checks after every call of the kernel that it
// kept the calling convention (callee-saved registers, stack, x87 and SSE
// state). checkasm.cpp holds the harness (rows, report, options), call.cpp
// the checked call and its comparison with the twin (checked_call.asm the
// trampoline), data.cpp the data sets and guarded blocks; main.cpp the rows
// of the module's entry table, selftest.cpp the rows that prove each failure
// text.
#ifndef CIRCUIT_CHECKASM_H
#define CIRCUIT_CHECKASM_H

#include <cstdint>
#include <string>

#include "circuit.h"

namespace checkasm {

// One kernel to check against its twin. `flags` are the entry's flags: they
// give the layout, the extensions the CPU must have and the family whose
// hardware may legitimately differ from the twin (see excuse in call.cpp).
struct Row {
    int index;          // entry index, or a self-test number
    const char* stem;   // kernel##stem / portable::kernel##stem
    EntryFlags flags;
    EntryKernel kernel; // nullptr: no hand-written kernel in this build
    EntryKernel twin;
};

struct Options {
    uint32_t seed = 20000105u;
    int entry = -1;      // -1: all rows
    bool bench = false;
    bool verbose = false;
    bool echo = true;    // print the report as it is written
};

// The report of a run: the text and the verdicts, so that the self-test can
// look at what a row produced.
struct Report {
    std::string text;
    int passed = 0;
    int failed = 0;
    int skipped = 0;   // the CPU lacks an extension the row needs
    int missing = 0;   // no hand-written kernel in this build
    bool echo = true;
    void line(const std::string& s);
};

enum class Verdict { Passed, Failed, Skipped, NoKernel };

// The ENTRY_ extension bits of this CPU (the module's own CPUID probe).
EntryFlags cpuExtensions();

// Checks one row with every data set, both counts and every placement of the
// blocks; appends its lines and its summary line to `report`.
Verdict checkRow(const Row& row, const Options& options, Report& report);

// Checks every row, then writes the final "N passed, N failed" line. Returns
// the process exit status: 0 when nothing failed.
int checkRows(const Row* rows, int count, const Options& options, Report& report);

// Parses --entry N, --seed N, --bench, --verbose; false (with a message on
// stderr) for anything else.
bool parseOptions(int argc, char** argv, Options& options);

// The registers a kernel must give back, in the order of the record: the
// callee-saved registers of the build's calling convention.
#if defined(__x86_64__)
using Word = uint64_t;
constexpr int kSavedRegisters = 6; // rbx, rbp, r12, r13, r14, r15
#else
using Word = uint32_t;
constexpr int kSavedRegisters = 4; // ebx, esi, edi, ebp
#endif

// The record that the NASM trampoline fills (checked_call.asm; the offsets
// there must match this layout). Word-sized fields first, so that the layout
// has no padding in either word size.
struct CheckedCallState {
    Word seed[kSavedRegisters];  // given to the kernel in the saved registers
    Word after[kSavedRegisters]; // the same registers on return
    Word espExpected;            // stack pointer at the call instruction
    Word espAfter;
    Word savedEsp;               // the trampoline's own stack pointer
    uint32_t canary;
    uint32_t skew;
    uint32_t useMxcsr;
    uint32_t mxcsrBefore;
    uint32_t mxcsrAfter;
    uint32_t fpuEnv[7]; // FNSTENV image: control, status, tag word, pointers
    uint32_t controlWordBefore;
    uint32_t canariesChanged;
    uint32_t eflagsAfter;
};

} // namespace checkasm

extern "C" {
extern checkasm::CheckedCallState checkasm_state;
void checkasm_checked_call(EntryKernel kernel, const float* coefficients, const float* input,
                           float* output, int32_t count);
void checkasm_restore_fpu(void);
}

#endif // CIRCUIT_CHECKASM_H
