// Each entry's own rule: where the module's table is circuit 2's own, every
// entry's output is fixed bit for bit by its order of summation, and the host
// computes it with the project's C++ kernels (linked into the host) before
// any module is loaded.
#ifndef CIRCUIT_HOST_REFERENCE_H
#define CIRCUIT_HOST_REFERENCE_H

#include "layout.h"
#include "model.h"

namespace host {

// Outputs 0..17 of every entry of circuit 2's table on `p`, as each entry's
// rule gives them, computed under the settings an entry is called with
// (fpstate.h: entrySettings).
void ruleOutputs(const circuit::Problem& p, float y[ENTRY_COUNT][OUTPUT_COUNT]);

// Whether the module's records are circuit 2's own table: the same names
// and flags in the same places.
bool isOwnTable(const ModuleInfo& m);
// Whether they carry circuit 2's flags in the same places, whatever their
// names.
bool hasOwnFlags(const ModuleInfo& m);

} // namespace host

#endif // CIRCUIT_HOST_REFERENCE_H
