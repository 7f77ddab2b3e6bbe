// Reading and restoring the x87 and SSE settings with the instructions
// themselves: <cfenv> neither shows the tag word nor restores a control word
// a module changed behind the library's back.
#include <cstdio>

#include "cpuid_probe.h"
#include "fpstate.h"

namespace host {

namespace {

constexpr uint32_t kMxcsrFlags = 0x3F;  // exception flags: a call may raise them
constexpr uint32_t kMxcsrDenormalsAreZero = 0x40, kMxcsrFlushToZero = 0x8000, kMxcsrRounding = 0x6000;
constexpr uint16_t kX87Precision = 0x0300, kX87Precision53 = 0x0200, kX87Rounding = 0x0C00;

int registersInUse(uint16_t tag) {
    int n = 0;
    for (int r = 0; r < 8; ++r) n += ((tag >> (2 * r)) & 3) != 3;
    return n;
}

#if defined(__i386__) || defined(__x86_64__)
// Whether MXCSR may be read: CPUID says SSE. The 32-bit host runs on a plain
// i586 too, where the instruction does not exist.
bool processorHasMxcsr() {
#if defined(__x86_64__)
    return true;
#elif CIRCUIT_HAS_CPUID
    static const bool has = [] {
        if (!cpuid::present()) return false;
        uint32_t r[4];
        cpuid::query(0, 0, r);
        if (r[0] < 1) return false;
        cpuid::query(1, 0, r);
        return (r[3] >> 25 & 1) != 0 && (r[3] >> 24 & 1) != 0; // SSE and FXSR (the OS saves MXCSR)
    }();
    return has;
#else
    return false;
#endif
}
#endif

} // namespace

FpState readFpState() {
    FpState s;
#if defined(__i386__) || defined(__x86_64__)
    // FNSTENV masks every x87 exception after storing; FLDENV puts the
    // environment back unchanged.
    uint16_t env[14];
    __asm__ volatile("fnstenv %0\n\tfldenv %0" : "+m"(env));
    s.known = true;
    s.x87Control = env[0];
    s.x87Tag = env[4];
    s.hasMxcsr = processorHasMxcsr();
    if (s.hasMxcsr) __asm__ volatile("stmxcsr %0" : "=m"(s.mxcsr));
#endif
    return s;
}

void restoreFpState(const FpState& s) {
    if (!s.known) return;
#if defined(__i386__) || defined(__x86_64__)
    uint16_t control = s.x87Control;
    uint32_t mxcsr = s.mxcsr & ~kMxcsrFlags;
    // FNINIT empties the stack and ends MMX state without needing EMMS, which
    // a plain i586 lacks.
    __asm__ volatile("fninit\n\tfldcw %0" : : "m"(control));
    if (s.hasMxcsr) __asm__ volatile("ldmxcsr %0" : : "m"(mxcsr));
#endif
}

FpState entrySettings(const FpState& host) {
    FpState s = host;
    s.x87Control = static_cast<uint16_t>((host.x87Control & ~(kX87Precision | kX87Rounding)) | kX87Precision53);
    s.mxcsr = host.mxcsr & ~(kMxcsrDenormalsAreZero | kMxcsrFlushToZero | kMxcsrRounding | kMxcsrFlags);
    s.x87Tag = 0xFFFF;
    return s;
}

std::string fpStateChange(const FpState& before, const FpState& after) {
    if (!before.known || !after.known) return "";
    char text[120];
    const int used = registersInUse(after.x87Tag);
    if (used == 8 && registersInUse(before.x87Tag) < 8)
        return "left the MMX state (no EMMS): the x87 registers are all in use";
    if (after.x87Tag != before.x87Tag) {
        std::snprintf(text, sizeof text, "left %d value%s on the x87 stack", used, used == 1 ? "" : "s");
        return text;
    }
    if (after.x87Control != before.x87Control) {
        std::snprintf(text, sizeof text, "left the x87 control word changed (0x%04X, was 0x%04X)",
                      after.x87Control, before.x87Control);
        return text;
    }
    const uint32_t a = after.mxcsr & ~kMxcsrFlags, b = before.mxcsr & ~kMxcsrFlags;
    if (before.hasMxcsr && a != b) {
        const char* what = (a ^ b) & (kMxcsrDenormalsAreZero | kMxcsrFlushToZero) ? " (denormal handling)" : "";
        std::snprintf(text, sizeof text, "left MXCSR changed%s (0x%04X, was 0x%04X)", what,
                      static_cast<unsigned>(after.mxcsr), static_cast<unsigned>(before.mxcsr));
        return text;
    }
    return "";
}

} // namespace host
