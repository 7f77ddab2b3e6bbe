// The machine a run is made on: what the processor can execute and what it
// calls itself (CPUID), the operating system and word sizes, and the module
// file's size and content hash.
#include <cstdio>
#include <cstring>
#include <ctime>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/utsname.h>
#include <unistd.h>
#endif

#include "cpuid_probe.h"
#if defined(__aarch64__) && defined(__linux__)
#include <sys/auxv.h>
#endif
#include "files.h"
#include "machine.h"

namespace host {

namespace {

#if CIRCUIT_HAS_CPUID
// The CPUID words the host reads, beside what it stores in the Processor.
struct CpuidWords {
    uint32_t ecx1 = 0, edx1 = 0, ebx7 = 0, extEcx = 0, extEdx = 0;
};

// Leaves 0, 1 and 7: vendor, family, model, stepping, the basic extensions.
void readBasicLeaves(Processor& cpu, CpuidWords& w) {
    uint32_t r[4];
    cpuid::query(0, 0, r);
    const uint32_t maxLeaf = r[0];
    char vendor[13];
    std::memcpy(vendor, &r[1], 4);     // EBX
    std::memcpy(vendor + 4, &r[3], 4); // EDX
    std::memcpy(vendor + 8, &r[2], 4); // ECX
    vendor[12] = '\0';
    cpu.vendor = vendor;
    if (maxLeaf >= 1) {
        cpuid::query(1, 0, r);
        const uint32_t family = (r[0] >> 8) & 0xF, model = (r[0] >> 4) & 0xF;
        cpu.family = static_cast<int>(family == 0xF ? family + ((r[0] >> 20) & 0xFF) : family);
        cpu.model = static_cast<int>(family == 0x6 || family == 0xF ? model + (((r[0] >> 16) & 0xF) << 4) : model);
        cpu.stepping = static_cast<int>(r[0] & 0xF);
        w.ecx1 = r[2];
        w.edx1 = r[3];
        cpu.fpu = (w.edx1 >> 0) & 1;
        cpu.tsc = (w.edx1 >> 4) & 1;
        cpu.mmx = (w.edx1 >> 23) & 1;
        cpu.sse = (w.edx1 >> 25) & 1;
        cpu.sse2 = (w.edx1 >> 26) & 1;
    }
    if (maxLeaf >= 7) {
        cpuid::query(7, 0, r);
        w.ebx7 = r[1];
    }
}

// Extended leaves: 3DNow!, RDTSCP and the brand string.
void readExtendedLeaves(Processor& cpu, CpuidWords& w) {
    const uint32_t maxExt = cpuid::maxExtendedLeaf();
    if (maxExt == 0) return;
    uint32_t r[4];
    cpuid::query(0x80000001u, 0, r);
    w.extEcx = r[2];
    w.extEdx = r[3];
    cpu.amd3dnow = (w.extEdx >> 31) & 1;
    cpu.rdtscp = (w.extEdx >> 27) & 1;
    if (maxExt < 0x80000004u) return;
    char brand[49];
    cpuid::brand(brand);
    std::string b = brand;
    const size_t first = b.find_first_not_of(' ');
    b = first == std::string::npos ? "" : b.substr(first);
    while (!b.empty() && b.back() == ' ') b.pop_back();
    cpu.brand = b;
}

// The extensions a reader of a code-shape benchmark asks about, in the
// order they appeared.
std::vector<std::string> namedExtensions(const CpuidWords& w) {
    const struct {
        uint32_t word;
        int bit;
        const char* name;
    } known[] = {
        {w.edx1, 0, "FPU"},       {w.edx1, 4, "TSC"},       {w.edx1, 15, "CMOV"},      {w.edx1, 23, "MMX"},
        {w.extEdx, 22, "MMX+"},   {w.extEdx, 31, "3DNow!"}, {w.extEdx, 30, "3DNow!+"}, {w.edx1, 25, "SSE"},
        {w.edx1, 26, "SSE2"},     {w.ecx1, 0, "SSE3"},      {w.ecx1, 9, "SSSE3"},      {w.ecx1, 19, "SSE4.1"},
        {w.ecx1, 20, "SSE4.2"},   {w.extEcx, 6, "SSE4a"},   {w.ecx1, 28, "AVX"},       {w.ecx1, 12, "FMA"},
        {w.ebx7, 5, "AVX2"},      {w.ebx7, 16, "AVX-512F"}, {w.extEdx, 27, "RDTSCP"},
    };
    std::vector<std::string> names;
    for (const auto& k : known)
        if ((k.word >> k.bit) & 1) names.push_back(k.name);
    return names;
}
#endif

#if defined(__aarch64__) && defined(__linux__)
// MIDR_EL1: Linux emulates the read where AT_HWCAP has CPUID (bit 11);
// otherwise /proc/cpuinfo names the same fields of the first core.
unsigned long readMidr(unsigned long hwcap, bool& found) {
    unsigned long midr = 0;
    found = false;
    if ((hwcap >> 11) & 1) {
        __asm__ volatile("mrs %0, midr_el1" : "=r"(midr));
        found = true;
    } else if (std::FILE* f = std::fopen("/proc/cpuinfo", "r")) {
        char line[256];
        unsigned v;
        int fields = 0;
        while (fields < 4 && std::fgets(line, sizeof line, f)) {
            if (std::sscanf(line, "CPU implementer : %x", &v) == 1) midr |= (v & 0xFFul) << 24, ++fields;
            else if (std::sscanf(line, "CPU variant : %x", &v) == 1) midr |= (v & 0xFul) << 20, ++fields;
            else if (std::sscanf(line, "CPU part : %x", &v) == 1) midr |= (v & 0xFFFul) << 4, ++fields;
            else if (std::sscanf(line, "CPU revision : %u", &v) == 1) midr |= v & 0xFul, ++fields;
        }
        std::fclose(f);
        found = fields == 4;
    }
    return midr;
}

void describeArm(Processor& cpu) {
    const unsigned long hwcap = getauxval(AT_HWCAP);
    const unsigned long midr = readMidr(hwcap, cpu.aarch64);
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
}
#endif

// Runs of blanks as one space, none at either end.
std::string squeezed(const std::string& text) {
    std::string out;
    for (char c : text) {
        const bool blank = c == ' ' || c == '\t';
        if (blank && (out.empty() || out.back() == ' ')) continue;
        out += blank ? ' ' : c;
    }
    while (!out.empty() && out.back() == ' ') out.pop_back();
    return out;
}

// The value of the first "key : value" line of /proc/cpuinfo with this key.
std::string cpuinfoValue(const std::string& cpuinfo, const std::string& key) {
    size_t at = 0;
    while (at < cpuinfo.size()) {
        size_t end = cpuinfo.find('\n', at);
        if (end == std::string::npos) end = cpuinfo.size();
        const std::string line = cpuinfo.substr(at, end - at);
        const size_t colon = line.find(':');
        if (colon != std::string::npos && squeezed(line.substr(0, colon)) == key)
            return squeezed(line.substr(colon + 1));
        at = end + 1;
    }
    return "";
}

#ifndef _WIN32
// What the kernel says of the processor; "" without /proc.
std::string kernelCpuinfo() {
    try {
        return readFile("/proc/cpuinfo", size_t(1) << 22, "processor description");
    } catch (const std::exception&) {
        return "";
    }
}
#endif

} // namespace

std::string emulationEvidence(const Processor& cpu, const std::string& cpuinfo) {
    if (!cpu.x86) return "";
    // The kernel fills /proc/cpuinfo from the processor's own CPUID; a
    // virtual machine changes both alike. An emulator that runs programs
    // of one processor on another (qemu-user) answers CPUID itself, while
    // the kernel still describes the real processor.
    const std::string vendor = cpuinfoValue(cpuinfo, "vendor_id"), brand = cpuinfoValue(cpuinfo, "model name");
    if (!vendor.empty() && vendor != cpu.vendor)
        return "the processor answers CPUID as " + cpu.vendor + " and the kernel reports " + vendor;
    if (!brand.empty() && !cpu.brand.empty() && brand != squeezed(cpu.brand))
        return "the processor answers CPUID as \"" + cpu.brand + "\" and the kernel reports \"" + brand + "\"";
    return "";
}

Processor detectProcessor() {
    Processor cpu;
#if CIRCUIT_HAS_CPUID
    if (!cpuid::present()) return cpu;
    cpu.x86 = true;
    CpuidWords w;
    readBasicLeaves(cpu, w);
    readExtendedLeaves(cpu, w);
    cpu.extensions = namedExtensions(w);
#elif defined(__aarch64__) && defined(__linux__)
    describeArm(cpu);
#endif
    return cpu;
}

Machine describeMachine() {
    Machine m;
    m.cpu = detectProcessor();
    m.hostBits = static_cast<int>(sizeof(void*) * 8);
    m.osBits = m.hostBits;
    m.hostVersion = hostVersion();
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
    m.emulationNote = emulationEvidence(m.cpu, kernelCpuinfo());
    m.emulated = !m.emulationNote.empty();
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

std::string hostName() {
    char name[256] = {};
#ifdef _WIN32
    DWORD size = sizeof name;
    if (!GetComputerNameA(name, &size)) return "";
#else
    if (gethostname(name, sizeof name - 1) != 0) return "";
#endif
    return name;
}

std::string utcNow() {
    const std::time_t now = std::time(nullptr);
    std::tm utc = {};
#ifdef _WIN32
    utc = *std::gmtime(&now); // once, before any other thread exists
#else
    gmtime_r(&now, &utc);
#endif
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

std::string missingExtensions(EntryFlags flags, const Processor& cpu) {
    std::string missing;
    auto add = [&](const std::string& t) { missing += missing.empty() ? t : " " + t; };
    for (const Extension& x : kExtensions)
        if ((flags & x.flag) && !(cpu.*x.has)) add(x.name);
    if (flags & kUnknownFlags) {
        char unknown[32];
        std::snprintf(unknown, sizeof unknown, "unknown flags 0x%X", static_cast<unsigned>(flags & kUnknownFlags));
        add(unknown);
    }
    return missing;
}

} // namespace host
