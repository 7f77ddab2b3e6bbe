// The throughput probe: a loop of independent operations of an entry's own
// kind of work (x87, SSE or MMX), whose rate per core clock is the core's,
// timed in core clocks beside the entry. A dependent chain (the clock's
// calibration) runs as fast beside another program on the same core; a
// loop of independent operations does not, since the two share the core's
// execution units. So the probe's core clocks, over the least it took in the
// run, say whether the core was shared while the entry was timed, even by a
// program outside a virtual machine that no load figure of the guest sees.
#ifndef CIRCUIT_HOST_PROBE_H
#define CIRCUIT_HOST_PROBE_H

#include <functional>

#include "model.h"

namespace host {

enum class ProbeKind { None = 0, X87 = 1, Sse = 2, Mmx = 3 };

// The probe of an entry's kind of work: SSE for SSE entries, MMX for MMX
// and 3DNow! entries (3DNow! runs on the MMX registers), x87 for the rest;
// None where this host cannot run it (no such extension, not x86).
ProbeKind probeKindOf(EntryFlags flags, const Processor& cpu);

// Runs `body` between two clock calibrations: false when the calibration
// moved, else `cycles` holds the body's core clocks.
using CalibratedRun = std::function<bool(const std::function<void()>& body, double& cycles)>;

// The core clocks a core alone gives the probe at the rate of recent x86
// cores (x87: one multiplication a clock; SSE and MMX: two), 0 for None. A
// probe within kProbeSharedThreshold of it shows a core no other program
// shared, however busy the other processors were.
double probeAloneClocks(ProbeKind kind);

// The median core clocks of several runs of the probe, 0 when none could
// be calibrated or there is no probe.
double probeClocks(ProbeKind kind, const CalibratedRun& run);

} // namespace host

#endif // CIRCUIT_HOST_PROBE_H
