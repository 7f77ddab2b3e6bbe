// Processor probe for the module's choice of kernels, through the CPUID
// helpers that the host shares (common/cpuid_probe.h): plain i586 integer code,
// with CPUID itself tested before use.
#include "cpuid_probe.h"
#include "dispatch.h"

namespace circuit {

EntryFlags cpuExtensions() {
#if CIRCUIT_HAS_CPUID
    if (!cpuid::present()) return 0;
    uint32_t r[4];
    cpuid::query(0, 0, r);
    EntryFlags flags = 0;
    if (r[0] >= 1) {
        cpuid::query(1, 0, r);
        if (r[3] & (1u << 0)) flags |= ENTRY_FPU;
        if (r[3] & (1u << 23)) flags |= ENTRY_MMX;
        if (r[3] & (1u << 25)) flags |= ENTRY_SSE;
    }
    if (cpuid::maxExtendedLeaf() >= 0x80000001u) {
        cpuid::query(0x80000001u, 0, r);
        if (r[3] & (1u << 31)) flags |= ENTRY_3DNOW;
    }
    return flags;
#else
    return 0;
#endif
}

} // namespace circuit
