// The CPUID instruction, for the module's choice of kernels and the host's
// description of the processor. Header only and plain i586 integer code: the
// 32-bit module links no runtime and runs on processors without SSE. On a
// 32-bit processor CPUID itself may be missing; cpuidPresent tells.
#ifndef CIRCUIT_COMMON_CPUID_PROBE_H
#define CIRCUIT_COMMON_CPUID_PROBE_H

#include <stdint.h>

#if defined(__i386__) || defined(__x86_64__)
#define CIRCUIT_HAS_CPUID 1

namespace cpuid {

// Registers EAX, EBX, ECX, EDX of leaf `leaf`, subleaf `subleaf`.
inline void query(uint32_t leaf, uint32_t subleaf, uint32_t r[4]) {
#if defined(__i386__)
    // ebx may hold the GOT pointer in position-independent code: save it by hand.
    __asm__ volatile("xchgl %%ebx, %1\n\tcpuid\n\txchgl %%ebx, %1"
                     : "=a"(r[0]), "=&r"(r[1]), "=c"(r[2]), "=d"(r[3])
                     : "0"(leaf), "2"(subleaf));
#else
    __asm__ volatile("cpuid" : "=a"(r[0]), "=b"(r[1]), "=c"(r[2]), "=d"(r[3]) : "0"(leaf), "2"(subleaf));
#endif
}

// CPUID exists when the ID bit (21) of EFLAGS can be toggled. Every x86-64
// processor has it; a 32-bit one (a 486) may not.
inline bool present() {
#if defined(__i386__)
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

// The highest extended leaf, or 0. Processors without extended leaves may
// answer 0x80000000 with anything; only 0x80000001..0x8000FFFF is believed.
inline uint32_t maxExtendedLeaf() {
    uint32_t r[4];
    query(0x80000000u, 0, r);
    return r[0] >= 0x80000001u && r[0] <= 0x8000FFFFu ? r[0] : 0;
}

// The brand string of leaves 0x80000002..4 as the processor gives it (NUL
// terminated, leading blanks kept), or "" where those leaves are missing.
inline void brand(char out[49]) {
    out[0] = '\0';
    if (maxExtendedLeaf() < 0x80000004u) return;
    uint32_t r[4];
    for (uint32_t leaf = 0; leaf < 3; ++leaf) {
        query(0x80000002u + leaf, 0, r);
        for (int k = 0; k < 16; ++k) out[16 * leaf + k] = static_cast<char>(r[k / 4] >> (8 * (k % 4)));
    }
    out[48] = '\0';
}

} // namespace cpuid

#else
#define CIRCUIT_HAS_CPUID 0
#endif

#endif // CIRCUIT_COMMON_CPUID_PROBE_H
