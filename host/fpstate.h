// The floating-point settings of the host's process: the x87 control and tag
// words and MXCSR. A call into the module must leave them as it found them
// (the exception flags it raised aside), and the host puts its own back
// after loading and querying the module, so that a module's settings never
// reach the host's arithmetic.
#ifndef CIRCUIT_HOST_FPSTATE_H
#define CIRCUIT_HOST_FPSTATE_H

#include <cstdint>
#include <string>

namespace host {

struct FpState {
    bool known = false;        // read on an x86 processor
    uint16_t x87Control = 0;
    uint16_t x87Tag = 0xFFFF;  // two bits per register, 11 = empty
    bool hasMxcsr = false;     // SSE is there (always on x86-64)
    uint32_t mxcsr = 0;
};

// The settings now. Leaves them as they are.
FpState readFpState();
// Puts `s` back: the control word and MXCSR, and an empty x87 stack with no
// MMX state (the exception flags cleared).
void restoreFpState(const FpState& s);
// The settings an entry is called with, from the host's: the x87 at 53-bit
// precision and rounding to nearest (the entries' precondition, which the
// module sets on the thread that loads it), MXCSR rounding to nearest
// without flushing; exception masks as the host has them.
FpState entrySettings(const FpState& host);
// What a call changed between `before` and `after`, as the verdict's reason,
// or "" when it left every setting as it found it.
std::string fpStateChange(const FpState& before, const FpState& after);

} // namespace host

#endif // CIRCUIT_HOST_FPSTATE_H
