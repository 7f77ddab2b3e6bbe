// Each entry's own rule, from the C++ kernels of the project: they reproduce
// every entry's order of summation bit for bit on every build. They run here
// with the x87 at 53-bit precision and rounding to nearest, as the entries'
// precondition says, and with MXCSR as an entry is called.
#include <cstring>

#include "floatbits.h"
#include "fpstate.h"
#include "kernels.h"
#include "reference.h"

namespace host {

namespace {

struct OwnEntry {
    const char* name;
    EntryFlags flags;
    EntryKernel kernel;
};
#define CIRCUIT_OWN_ENTRY(index, stem, name, flags, native) {name, flags, &portable::kernel##stem},
const OwnEntry kOwnTable[ENTRY_COUNT] = {CIRCUIT_ENTRIES(CIRCUIT_OWN_ENTRY)};
#undef CIRCUIT_OWN_ENTRY

bool sameFlags(const ModuleInfo& m) {
    if (m.records.size() != ENTRY_COUNT) return false;
    for (size_t i = 0; i < ENTRY_COUNT; ++i)
        if (m.records[i].flags != kOwnTable[i].flags) return false;
    return true;
}

} // namespace

void ruleOutputs(const circuit::Problem& p, float y[ENTRY_COUNT][OUTPUT_COUNT]) {
    const FpState host = readFpState();
    restoreFpState(entrySettings(host));
    for (int e = 0; e < ENTRY_COUNT; ++e) {
        circuit::Blocks blocks;
        alignas(16) float out[SOA_OUTPUT_FLOATS];
        std::memset(&blocks, 0, sizeof blocks);
        circuit::layoutFor(kOwnTable[e].flags, p, blocks);
        fillSentinel(out, SOA_OUTPUT_FLOATS);
        kOwnTable[e].kernel(blocks.coefficients, blocks.input, out, 1);
        std::memcpy(y[e], out, sizeof y[e]);
    }
    restoreFpState(host);
}

bool hasOwnFlags(const ModuleInfo& m) { return sameFlags(m); }

bool isOwnTable(const ModuleInfo& m) {
    if (!sameFlags(m)) return false;
    for (size_t i = 0; i < ENTRY_COUNT; ++i)
        if (!m.nameTerminated[i] || std::strcmp(m.records[i].name, kOwnTable[i].name) != 0) return false;
    return true;
}

} // namespace host
