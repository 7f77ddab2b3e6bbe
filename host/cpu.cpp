// What this processor can execute, asked of the processor itself with CPUID,
// and the time-stamp counter used to report reference cycles.
#include <cstring>

#include "host.h"

#if defined(__i386__) || defined(__x86_64__) || defined(_M_IX86) || defined(_M_X64)
#define HOST_X86 1
#include <cpuid.h>
#include <x86intrin.h>
#else
#define HOST_X86 0
#endif

namespace host {

namespace {

#if HOST_X86
// A processor has CPUID when software can flip the ID bit (bit 21) of EFLAGS.
// Every x86-64 processor has it; a 32-bit one (a 486) may not.
bool hasCpuid() {
#if defined(__i386__)
    uint32_t before, after;
    __asm__ volatile(
        "pushfl\n\t"
        "pushfl\n\t"
        "popl %0\n\t"
        "movl %0, %1\n\t"
        "xorl $0x200000, %0\n\t"
        "pushl %0\n\t"
        "popfl\n\t"
        "pushfl\n\t"
        "popl %0\n\t"
        "popfl"
        : "=&r"(after), "=&r"(before)
        :
        : "cc");
    return ((before ^ after) & 0x200000u) != 0;
#else
    return true;
#endif
}

void cpuid(uint32_t leaf, uint32_t r[4]) { __cpuid(leaf, r[0], r[1], r[2], r[3]); }
#endif

} // namespace

Processor detectProcessor() {
    Processor cpu;
#if HOST_X86
    if (!hasCpuid()) return cpu;
    cpu.x86 = true;
    uint32_t r[4];
    cpuid(0, r);
    const uint32_t maxLeaf = r[0];
    char vendor[13];
    std::memcpy(vendor, &r[1], 4);     // EBX
    std::memcpy(vendor + 4, &r[3], 4); // EDX
    std::memcpy(vendor + 8, &r[2], 4); // ECX
    vendor[12] = '\0';
    cpu.vendor = vendor;
    if (maxLeaf >= 1) {
        cpuid(1, r);
        const uint32_t edx = r[3];
        cpu.fpu = (edx >> 0) & 1;
        cpu.tsc = (edx >> 4) & 1;
        cpu.mmx = (edx >> 23) & 1;
        cpu.sse = (edx >> 25) & 1;
    }
    cpuid(0x80000000u, r);
    if (r[0] >= 0x80000001u && r[0] <= 0x8000FFFFu) {
        cpuid(0x80000001u, r);
        cpu.amd3dnow = (r[3] >> 31) & 1;
    }
#endif
    return cpu;
}

std::string missingExtensions(EntryFlags flags, const Processor& cpu) {
    std::string missing;
    auto lack = [&](EntryFlags bit, bool has, const char* name) {
        if ((flags & bit) && !has) missing += missing.empty() ? name : std::string(" ") + name;
    };
    lack(ENTRY_FPU, cpu.fpu, "FPU");
    lack(ENTRY_MMX, cpu.mmx, "MMX");
    lack(ENTRY_3DNOW, cpu.amd3dnow, "3DNow!");
    lack(ENTRY_SSE, cpu.sse, "SSE");
    if (flags & ~(ENTRY_EXTENSION_MASK | ENTRY_SOA)) {
        char unknown[32];
        std::snprintf(unknown, sizeof unknown, "unknown flags 0x%X",
                      static_cast<unsigned>(flags & ~(ENTRY_EXTENSION_MASK | ENTRY_SOA)));
        missing += missing.empty() ? unknown : std::string(" ") + unknown;
    }
    return missing;
}

uint64_t readTsc(const Processor& cpu) {
#if HOST_X86
    if (cpu.tsc) return __rdtsc();
#endif
    (void)cpu;
    return 0;
}

} // namespace host
