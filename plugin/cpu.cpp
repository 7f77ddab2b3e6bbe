// Processor probe for the module's choice of kernels. On 32-bit x86 the
// CPUID instruction itself may be missing (the EFLAGS ID bit tells), so it is
// tested before use; the code here is plain i586 integer code.
#include "dispatch.h"

namespace circuit {
namespace {

#if defined(__i386__) || defined(__x86_64__)
void cpuid(uint32_t leaf, uint32_t& a, uint32_t& b, uint32_t& c, uint32_t& d) {
#if defined(__i386__)
    // ebx may hold the GOT pointer in position-independent code: save it by hand.
    __asm__ volatile("xchgl %%ebx, %1\n\tcpuid\n\txchgl %%ebx, %1"
                     : "=a"(a), "=&r"(b), "=c"(c), "=d"(d)
                     : "0"(leaf), "2"(0u));
#else
    __asm__ volatile("cpuid" : "=a"(a), "=b"(b), "=c"(c), "=d"(d) : "0"(leaf), "2"(0u));
#endif
}

bool hasCpuid() {
#if defined(__i386__)
    // CPUID exists when the ID bit (21) of EFLAGS can be toggled.
    uint32_t before, after;
    __asm__ volatile("pushfl\n\t"
                     "popl %0\n\t"
                     "movl %0, %1\n\t"
                     "xorl $0x200000, %1\n\t"
                     "pushl %1\n\t"
                     "popfl\n\t"
                     "pushfl\n\t"
                     "popl %1\n\t"
                     "pushl %0\n\t"
                     "popfl"
                     : "=&r"(before), "=&r"(after)
                     :
                     : "cc");
    return ((before ^ after) & 0x200000u) != 0;
#else
    return true;
#endif
}
#endif

} // namespace

EntryFlags cpuExtensions() {
#if defined(__i386__) || defined(__x86_64__)
    if (!hasCpuid()) return 0;
    uint32_t a, b, c, d;
    cpuid(0, a, b, c, d);
    EntryFlags flags = 0;
    if (a >= 1) {
        cpuid(1, a, b, c, d);
        if (d & (1u << 0)) flags |= ENTRY_FPU;
        if (d & (1u << 23)) flags |= ENTRY_MMX;
        if (d & (1u << 25)) flags |= ENTRY_SSE;
    }
    // Processors without extended leaves may answer 0x80000000 with anything;
    // only a highest extended leaf in 0x80000001..0x8000FFFF is believed.
    cpuid(0x80000000u, a, b, c, d);
    if (a >= 0x80000001u && a <= 0x8000FFFFu) {
        cpuid(0x80000001u, a, b, c, d);
        if (d & (1u << 31)) flags |= ENTRY_3DNOW;
    }
    return flags;
#else
    return 0;
#endif
}

} // namespace circuit
