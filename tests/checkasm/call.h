// The checked call: one call of a row's kernel through the trampoline
// (checked_call.asm), its C++ twin on the very same blocks, and every
// difference between the two or in the calling convention turned into its
// own failure text.
#ifndef CIRCUIT_CHECKASM_CALL_H
#define CIRCUIT_CHECKASM_CALL_H

#include <cstdint>
#include <string>
#include <vector>

#include "checkasm.h"
#include "data.h"

namespace checkasm {

// One call: which row, which draw of which data set, the count, the placement.
struct CallSetup {
    const Row* row;
    int set, draw, count;
    const Placement* placement;
    uint32_t seed;
};

// What a row's calls have found so far.
struct RowState {
    int reports = 0;
    std::vector<std::string> shown; // data set and faults of each report printed
    int failedCalls = 0;
    int excused = 0;
    std::string excusedWhy;
    bool crashed = false;
};

// Runs kernel and twin on one data set, one count, one placement.
// Returns false when the row cannot go on (the kernel crashed).
bool checkCall(const CallSetup& s, const Options& options, RowState& state, Report& report,
               uint64_t callSalt);

} // namespace checkasm

#endif // CIRCUIT_CHECKASM_CALL_H
