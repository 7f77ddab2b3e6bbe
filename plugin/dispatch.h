// The module's internals shared by the exports, the start-up and the tests:
// the processor probe and the choice of kernel per entry.
#ifndef CIRCUIT_DISPATCH_H
#define CIRCUIT_DISPATCH_H

#include "circuit.h"

namespace circuit {

// The ENTRY_ extension bits (ENTRY_FPU, ENTRY_MMX, ENTRY_3DNOW, ENTRY_SSE)
// that this processor executes, from CPUID. 0 for a processor without CPUID
// or an x87 unit.
EntryFlags cpuExtensions();

// Chooses, for every entry, the hand-written kernel where the build has one
// and `extensions` holds every extension the entry's flags name, and the
// portable kernel otherwise. Runs once at load; tests call it to force the
// portable path. Returns nothing and cannot fail.
void selectKernels(EntryFlags extensions);

// The kernel runEntry calls for `index` (< ENTRY_COUNT) right now.
EntryKernel selectedKernel(uint32_t index);

// Sets the calling thread's x87 precision control to 53 bits and clears
// pending x87 exceptions, leaving rounding and exception masks alone. A no-op
// where the build does no x87 arithmetic.
void setX87DoublePrecision();

// What the module does when it is loaded: the x87 setting above and the
// choice of kernels for this processor. The shared module's load hook calls
// it; every program that links the kernels statically calls it first thing
// in main, so that it runs what a loaded module runs on every target.
void moduleStartup();

} // namespace circuit

#endif // CIRCUIT_DISPATCH_H
