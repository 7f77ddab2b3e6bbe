// The machine a run is made on: what the processor can execute and what it
// calls itself (CPUID), the operating system and word sizes, and the module
// file's size and content hash.
#include <cstring>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/utsname.h>
#endif

#include "host.h"

#if defined(__i386__) || defined(__x86_64__) || defined(_M_IX86) || defined(_M_X64)
#define HOST_X86 1
#include <cpuid.h>
#include <x86intrin.h>
#else
#define HOST_X86 0
#endif
#if defined(__aarch64__) && defined(__linux__)
#include <sys/auxv.h>

#include <cstdio>
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
    uint32_t ecx1 = 0, edx1 = 0, ebx7 = 0, extEcx = 0, extEdx = 0;
    if (maxLeaf >= 1) {
        cpuid(1, r);
        const uint32_t family = (r[0] >> 8) & 0xF, model = (r[0] >> 4) & 0xF;
        cpu.family = static_cast<int>(family == 0xF ? family + ((r[0] >> 20) & 0xFF) : family);
        cpu.model = static_cast<int>(family == 0x6 || family == 0xF ? model + (((r[0] >> 16) & 0xF) << 4) : model);
        cpu.stepping = static_cast<int>(r[0] & 0xF);
        ecx1 = r[2];
        edx1 = r[3];
        cpu.fpu = (edx1 >> 0) & 1;
        cpu.tsc = (edx1 >> 4) & 1;
        cpu.mmx = (edx1 >> 23) & 1;
        cpu.sse = (edx1 >> 25) & 1;
        cpu.sse2 = (edx1 >> 26) & 1;
    }
    if (maxLeaf >= 7) {
        __cpuid_count(7, 0, r[0], r[1], r[2], r[3]);
        ebx7 = r[1];
    }
    cpuid(0x80000000u, r);
    const uint32_t maxExt = r[0];
    if (maxExt >= 0x80000001u && maxExt <= 0x8000FFFFu) {
        cpuid(0x80000001u, r);
        extEcx = r[2];
        extEdx = r[3];
        cpu.amd3dnow = (extEdx >> 31) & 1;
        cpu.rdtscp = (extEdx >> 27) & 1;
        if (maxExt >= 0x80000004u) {
            char brand[49] = {};
            for (uint32_t leaf = 0; leaf < 3; ++leaf) {
                cpuid(0x80000002u + leaf, r);
                std::memcpy(brand + 16 * leaf, r, 16);
            }
            std::string b = brand;
            const size_t first = b.find_first_not_of(' ');
            b = first == std::string::npos ? "" : b.substr(first);
            while (!b.empty() && b.back() == ' ') b.pop_back();
            cpu.brand = b;
        }
    }
    // The extensions a reader of a code-shape benchmark asks about, in the
    // order they appeared.
    const struct {
        uint32_t word;
        int bit;
        const char* name;
    } known[] = {
        {edx1, 0, "FPU"},       {edx1, 4, "TSC"},       {edx1, 15, "CMOV"},       {edx1, 23, "MMX"},
        {extEdx, 22, "MMX+"},   {extEdx, 31, "3DNow!"}, {extEdx, 30, "3DNow!+"},  {edx1, 25, "SSE"},
        {edx1, 26, "SSE2"},     {ecx1, 0, "SSE3"},      {ecx1, 9, "SSSE3"},       {ecx1, 19, "SSE4.1"},
        {ecx1, 20, "SSE4.2"},   {extEcx, 6, "SSE4a"},   {ecx1, 28, "AVX"},        {ecx1, 12, "FMA"},
        {ebx7, 5, "AVX2"},      {ebx7, 16, "AVX-512F"}, {extEdx, 27, "RDTSCP"},
    };
    for (const auto& k : known)
        if ((k.word >> k.bit) & 1) cpu.extensions.push_back(k.name);
#elif defined(__aarch64__) && defined(__linux__)
    // MIDR_EL1: Linux emulates the read where AT_HWCAP has CPUID (bit 11);
    // otherwise /proc/cpuinfo names the same fields of the first core.
    const unsigned long hwcap = getauxval(AT_HWCAP);
    unsigned long midr = 0;
    if ((hwcap >> 11) & 1) {
        __asm__ volatile("mrs %0, midr_el1" : "=r"(midr));
        cpu.aarch64 = true;
    } else if (std::FILE* f = std::fopen("/proc/cpuinfo", "r")) {
        char line[256];
        unsigned v;
        int found = 0;
        while (found < 4 && std::fgets(line, sizeof line, f)) {
            if (std::sscanf(line, "CPU implementer : %x", &v) == 1) midr |= (v & 0xFFul) << 24, ++found;
            else if (std::sscanf(line, "CPU variant : %x", &v) == 1) midr |= (v & 0xFul) << 20, ++found;
            else if (std::sscanf(line, "CPU part : %x", &v) == 1) midr |= (v & 0xFFFul) << 4, ++found;
            else if (std::sscanf(line, "CPU revision : %u", &v) == 1) midr |= v & 0xFul, ++found;
        }
        std::fclose(f);
        cpu.aarch64 = found == 4;
    }
    if (cpu.aarch64) {
        const unsigned implementer = (midr >> 24) & 0xFF, part = (midr >> 4) & 0xFFF;
        const struct {
            unsigned code;
            const char* name;
        } implementers[] = {{0x41, "Arm"}, {0x42, "Broadcom"}, {0x43, "Cavium"}, {0x46, "Fujitsu"},
                            {0x48, "HiSilicon"}, {0x4E, "NVIDIA"}, {0x50, "Applied Micro"}, {0x51, "Qualcomm"},
                            {0x53, "Samsung"}, {0x61, "Apple"}, {0x6D, "Microsoft"}, {0xC0, "Ampere"}};
        char text[48];
        std::snprintf(text, sizeof text, "implementer 0x%02X", implementer);
        cpu.vendor = text;
        for (const auto& i : implementers)
            if (i.code == implementer) cpu.vendor = i.name;
        std::snprintf(text, sizeof text, "part 0x%03X, variant %u", part, static_cast<unsigned>((midr >> 20) & 0xF));
        cpu.brand = text;
        cpu.family = static_cast<int>(implementer);
        cpu.model = static_cast<int>(part);
        cpu.stepping = static_cast<int>(midr & 0xF);
    }
    const struct {
        int bit;
        const char* name;
    } known[] = {{0, "FP"}, {1, "ASIMD"}, {9, "FPHP"}, {10, "ASIMDHP"}, {22, "SVE"}};
    for (const auto& k : known)
        if ((hwcap >> k.bit) & 1) cpu.extensions.push_back(k.name);
#endif
    return cpu;
}

Machine describeMachine() {
    Machine m;
    m.cpu = detectProcessor();
    m.hostBits = static_cast<int>(sizeof(void*) * 8);
    m.osBits = m.hostBits;
#ifdef _WIN32
    // GetVersionEx reports what the program's manifest allows; RtlGetVersion
    // reports the system as it is.
    using RtlGetVersionFn = LONG(WINAPI*)(OSVERSIONINFOW*);
    using WineVersionFn = const char*(CDECL*)(void);
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    OSVERSIONINFOW v = {};
    v.dwOSVersionInfoSize = sizeof v;
    auto rtlGetVersion = reinterpret_cast<RtlGetVersionFn>(
        reinterpret_cast<void*>(GetProcAddress(ntdll, "RtlGetVersion")));
    if (rtlGetVersion != nullptr && rtlGetVersion(&v) == 0)
        m.os = "Windows " + std::to_string(v.dwMajorVersion) + "." + std::to_string(v.dwMinorVersion) + "." +
               std::to_string(v.dwBuildNumber);
    else
        m.os = "Windows";
    auto wineVersion = reinterpret_cast<WineVersionFn>(
        reinterpret_cast<void*>(GetProcAddress(ntdll, "wine_get_version")));
    if (wineVersion != nullptr) m.os += std::string(" (Wine ") + wineVersion() + ")";
    BOOL wow64 = FALSE;
    if (m.hostBits == 32 && IsWow64Process(GetCurrentProcess(), &wow64) && wow64) m.osBits = 64;
#else
    struct utsname u;
    if (uname(&u) == 0) {
        m.os = std::string(u.sysname) + " " + u.release + " " + u.machine;
        const std::string machine = u.machine;
        m.osBits = machine.find("64") != std::string::npos ? 64 : 32;
    } else {
        m.os = "unknown";
    }
#endif
    return m;
}

ModuleFile describeModuleFile(const std::string& path) {
    ModuleFile f;
    const std::string content = readFile(path, size_t(1) << 30, "module");
    f.size = content.size();
    f.sha256 = sha256Hex(content);
    return f;
}

std::string hostVersion() { return CIRCUIT_HOST_VERSION; }

// SHA-256 (FIPS 180-4), for the module's content hash.
std::string sha256Hex(const std::string& bytes) {
    static const uint32_t k[64] = {
        0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
        0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
        0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
        0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
        0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
        0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
        0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
        0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};
    uint32_t h[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                     0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    std::string m = bytes;
    const uint64_t bits = static_cast<uint64_t>(bytes.size()) * 8;
    m += static_cast<char>(0x80);
    while (m.size() % 64 != 56) m += '\0';
    for (int i = 7; i >= 0; --i) m += static_cast<char>((bits >> (8 * i)) & 0xFF);
    auto rotr = [](uint32_t x, int n) { return (x >> n) | (x << (32 - n)); };
    for (size_t block = 0; block < m.size(); block += 64) {
        uint32_t w[64];
        for (int t = 0; t < 16; ++t)
            w[t] = static_cast<uint32_t>(static_cast<unsigned char>(m[block + 4 * t])) << 24 |
                   static_cast<uint32_t>(static_cast<unsigned char>(m[block + 4 * t + 1])) << 16 |
                   static_cast<uint32_t>(static_cast<unsigned char>(m[block + 4 * t + 2])) << 8 |
                   static_cast<uint32_t>(static_cast<unsigned char>(m[block + 4 * t + 3]));
        for (int t = 16; t < 64; ++t) {
            const uint32_t s0 = rotr(w[t - 15], 7) ^ rotr(w[t - 15], 18) ^ (w[t - 15] >> 3);
            const uint32_t s1 = rotr(w[t - 2], 17) ^ rotr(w[t - 2], 19) ^ (w[t - 2] >> 10);
            w[t] = w[t - 16] + s0 + w[t - 7] + s1;
        }
        uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4], f = h[5], g = h[6], hh = h[7];
        for (int t = 0; t < 64; ++t) {
            const uint32_t t1 = hh + (rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25)) + ((e & f) ^ (~e & g)) + k[t] + w[t];
            const uint32_t t2 = (rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
            hh = g;
            g = f;
            f = e;
            e = d + t1;
            d = c;
            c = b;
            b = a;
            a = t1 + t2;
        }
        h[0] += a, h[1] += b, h[2] += c, h[3] += d, h[4] += e, h[5] += f, h[6] += g, h[7] += hh;
    }
    char hex[65];
    for (int i = 0; i < 8; ++i) std::snprintf(hex + 8 * i, 9, "%08x", static_cast<unsigned>(h[i]));
    return hex;
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

} // namespace host
