// The host's tests' one stand-in circuit-2 module. Good by default: circuit
// 2's own entry table (the real names and flags, so each entry's own rule
// applies), every entry computing its own rule with the project's C++
// kernels (kernels/, linked in), creator "Fake 2001/02/03".
//
// CIRCUIT_STAND_IN names the faults this run plants, read when the module is
// loaded: one name of kFaults below, or several joined by ","; unset or
// "none" plants nothing. A fault that acts on an entry acts on the entry its
// row names; "name@N" moves it to entry N. An unknown name stops the load
// with a message, so a mistyped row cannot pass as a good module.
//
// To add a fault: one row in kFaults (name, what it does, where it acts, its
// entry, the hook), then one fault_row(...) line in fault_rows.cmake.
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>
#include <string>
#ifndef _WIN32
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/uio.h>
#include <unistd.h>
#endif
#ifdef __linux__
#include <sys/ptrace.h>
#endif
#ifdef _WIN32
#include <windows.h>
#include <tlhelp32.h>
#endif

#include "circuit.h"
#include "entries.h"
#include "kernels.h"

#ifdef _WIN32
#define STAND_IN_EXPORT extern "C" __declspec(dllexport)
#else
#define STAND_IN_EXPORT extern "C" __attribute__((visibility("default")))
#endif

namespace {

// ---- The good module's state, which load-time faults change ----

#define STAND_IN_RECORD(index, stem, name, flags, native) {name, flags},
EntrySpec gRecords[14] = {CIRCUIT_ENTRIES(STAND_IN_RECORD)};
#undef STAND_IN_RECORD
int32_t gCircuit = 2;
int32_t gCount = 14;
char gCreator[200] = "Fake 2001/02/03";

// ---- The arithmetic every entry declares ----

bool soaEntry(uint32_t index) { return (gRecords[index].flags & ENTRY_SOA) != 0; }
float coefficient(const float* c, bool soa, int i, int j) {
    return soa ? c[SOA_ROW_FLOATS * j + i] : c[INPUT_COUNT * i + j];
}
float input(const float* x, bool soa, int j) { return soa ? x[SOA_LANES * j] : x[j]; }

double x87Sum(const float* c, const float* x, bool soa, int i) {
    double s = 0;
    for (int j = 0; j < INPUT_COUNT; ++j) s += static_cast<double>(coefficient(c, soa, i, j)) * input(x, soa, j);
    return s;
}

int16_t toFixed(float v, float scale) {
    double r = std::nearbyint(static_cast<double>(v) * scale);
    return (r < -32768 || r > 32767 || std::isnan(r)) ? int16_t(-32768) : static_cast<int16_t>(r);
}

float fixedSum(const float* c, const float* x, bool soa, int i, bool asUnsigned) {
    uint16_t s = 0;
    for (int j = 0; j < INPUT_COUNT; ++j) {
        int32_t p = toFixed(coefficient(c, soa, i, j), 1024.0f) * toFixed(input(x, soa, j), 32768.0f);
        s = static_cast<uint16_t>(s + static_cast<uint16_t>(p >> 16));
    }
    return static_cast<float>(asUnsigned ? static_cast<int32_t>(s) : static_cast<int16_t>(s)) / 512.0f;
}

#define STAND_IN_KERNEL(index, stem, name, flags, native) &portable::kernel##stem,
const EntryKernel kKernels[14] = {CIRCUIT_ENTRIES(STAND_IN_KERNEL)};
#undef STAND_IN_KERNEL

void compute(uint32_t index, const float* c, const float* x, float* y) { kKernels[index](c, x, y, 1); }


// ---- What faults use ----

void setX87Control(uint16_t keep, uint16_t set) {
#if defined(__i386__) || defined(__x86_64__)
    uint16_t cw;
    __asm__ volatile("fnstcw %0" : "=m"(cw));
    cw = static_cast<uint16_t>((cw & keep) | set);
    __asm__ volatile("fldcw %0" : : "m"(cw));
#else
    (void)keep, (void)set;
#endif
}

void setMxcsr(uint32_t keep, uint32_t set) {
#if defined(__i386__) || defined(__x86_64__)
    __builtin_cpu_init(); // also from the module's constructor
    if (!__builtin_cpu_supports("sse")) return;
    uint32_t m;
    __asm__ volatile("stmxcsr %0" : "=m"(m));
    m = (m & keep) | set;
    __asm__ volatile("ldmxcsr %0" : : "m"(m));
#else
    (void)keep, (void)set;
#endif
}

[[noreturn]] void spin() {
    for (volatile int n = 0;; n = n + 1) {
    }
}

void illegalInstruction() {
#if defined(__aarch64__)
    __asm__ volatile("udf #0");
#else
    __asm__ volatile("ud2");
#endif
}

void printOnce(const char* when) {
    static bool printedRun = false;
    if (std::strcmp(when, "run") == 0) {
        if (printedRun) return;
        printedRun = true;
    }
    std::printf("a module that prints when %s\n", when);
    std::fflush(stdout);
}

#ifdef _WIN32
extern "C" IMAGE_DOS_HEADER __ImageBase;

// Renames runEntry in this DLL's own export directory, which GetProcAddress
// reads when the host looks it up: the export is then not found.
void hideRunEntry() {
    unsigned char* base = reinterpret_cast<unsigned char*>(&__ImageBase);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + __ImageBase.e_lfanew);
    const IMAGE_DATA_DIRECTORY& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
    const auto* exports = reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(base + dir.VirtualAddress);
    const DWORD* names = reinterpret_cast<const DWORD*>(base + exports->AddressOfNames);
    for (DWORD k = 0; k < exports->NumberOfNames; ++k) {
        char* name = reinterpret_cast<char*>(base + names[k]);
        if (std::strcmp(name, "runEntry") != 0) continue;
        DWORD was;
        VirtualProtect(name, 9, PAGE_READWRITE, &was);
        name[7] = 'X'; // "runEntrX" still sorts last, so the name table stays in order
        VirtualProtect(name, 9, was, &was);
    }
}
#endif

// The work of `count` more repetitions: the same output, more time.
void repeat(uint32_t index, const float* c, const float* x, float* y, int32_t count) {
    for (int32_t n = 0; n < count; ++n) compute(index, c, x, y);
}

#ifndef _WIN32
// Processes that have called an entry so far: one int shared by the host
// and every process it forks (mapped when the module is loaded).
int* const gProcesses = [] {
    void* page = mmap(nullptr, sizeof(int), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    return page == MAP_FAILED ? nullptr : static_cast<int*>(page);
}();

// Which process (1, 2, ...) this one is among those that called an entry:
// with rounds, the round of an entry timed alone.
int thisProcess() {
    static int mine = 0;
    if (mine == 0 && gProcesses != nullptr) mine = __sync_add_and_fetch(gProcesses, 1);
    return mine;
}
#endif

// ---- The fault table ----

// Where a fault acts: in the module's constructor or destructor, in one of
// the exports, (kRun) after its entry's work, once per call, or (kBefore)
// before it, where it may change the count of repetitions to do.
enum Site : unsigned {
    kLoad = 1, kUnload = 2, kCreator = 4, kCount = 8, kSpecs = 16, kRun = 32, kExport = 64, kBefore = 128
};

struct Call {
    Site site;
    uint32_t index;
    const float* c;
    const float* x;
    float* y;
    int32_t count;
    EntrySpec* records;
};

// Every output as the x87 entries sum them, in double precision.
void doubleSums(Call& k) {
    for (int i = 0; i < OUTPUT_COUNT; ++i) k.y[i] = static_cast<float>(x87Sum(k.c, k.x, soaEntry(k.index), i));
}

#ifndef _WIN32
// The answer pipe of an entry's process: the one descriptor above 2 it keeps.
constexpr int kAnswerPipe = 3;

// What an entry's process would gain by reaching into the host: each try
// that works spoils the entry's output, so that a good verdict proves all
// failed.
void reachHost(Call& k) {
    const pid_t host = getppid();
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%ld/mem", static_cast<long>(host));
    const int mem = open(path, O_RDWR);
    if (mem >= 0) k.y[0] += 1.0f, close(mem);
#ifdef __linux__
    if (ptrace(PTRACE_ATTACH, host, nullptr, nullptr) == 0) k.y[1] += 1.0f;
    char byte = gCreator[0];
    iovec local = {&byte, 1}, remote = {gCreator, 1}; // the host's copy of this module
    if (process_vm_writev(host, &local, 1, &remote, 1, 0) == 1) k.y[2] += 1.0f;
#endif
}

// A daemon of its own session that outlives the entry's process and holds
// what it inherited for a minute.
void startDaemon() {
    if (fork() != 0) return;
    setsid();
    if (fork() == 0) sleep(60);
    _exit(0);
}
#endif

struct Fault {
    const char* name;
    const char* what;
    unsigned sites;
    int entry; // the entry a kRun hook acts on (-1: none)
    void (*hook)(Call&);
};

const Fault kFaults[] = {
    // The module's table, as the host queries it: refused before any entry runs.
    {"circuit3", "getCircuitSignature answers 3", kLoad, -1, [](Call&) { gCircuit = 3; }},
    {"count0", "getEntryCount answers 0", kLoad, -1, [](Call&) { gCount = 0; }},
    {"count1000", "getEntryCount answers 1000", kLoad, -1, [](Call&) { gCount = 1000; }},
    {"specs_overrun", "getEntrySpecs writes one record more than announced", kSpecs, -1,
     [](Call& k) { std::memset(k.records + 14, 0, sizeof(EntrySpec)); }},
    {"specs_far", "getEntrySpecs writes 20,000 bytes past the records", kSpecs, -1,
     [](Call& k) { std::memset(reinterpret_cast<char*>(k.records + 14), 0, 20000); }},
    {"no_run_export", "runEntry cannot be resolved (an indirect function on ELF, renamed at load on Windows)",
     kLoad | kExport, -1,
     [](Call& k) {
#ifdef _WIN32
         if (k.site == kLoad) hideRunEntry();
#else
         (void)k;
#endif
     }},
    {"exit_query", "getEntryCount ends the program", kCount, -1, [](Call&) { std::exit(0); }},
    {"renamed", "entry 0 renamed: not circuit 2's own table, so no cross-entry check", kLoad, -1,
     [](Call&) { std::strcpy(gRecords[0].name, "renamed"); }},
    {"creator_long", "a creator signature of 200 bytes", kLoad, -1,
     [](Call&) { std::memset(gCreator, 'c', 199), gCreator[199] = '\0'; }},
    {"print", "prints on stdout when loaded, queried, run and unloaded", kLoad | kUnload | kCreator | kRun, 1,
     [](Call& k) {
         printOnce(k.site == kLoad ? "loaded" : k.site == kUnload ? "unloaded" : k.site == kRun ? "run" : "queried");
     }},
    {"ctor_traps", "the constructor unmasks floating-point exceptions", kLoad, -1,
     [](Call&) {
         setX87Control(static_cast<uint16_t>(~0x0D), 0); // invalid, divide by zero, overflow
         setMxcsr(~(0x80u | 0x200u | 0x400u), 0);
     }},
    {"ctor_single", "the constructor sets the x87 precision to 24 bits", kLoad, -1,
     [](Call&) { setX87Control(static_cast<uint16_t>(~0x300), 0); }},
    // Entries that crash, hang or end their process, after writing their output.
    {"segv", "writes through a null pointer", kRun, 1, [](Call&) { *static_cast<volatile float*>(nullptr) = 1.0f; }},
    {"ud2", "executes an illegal instruction", kRun, 1, [](Call&) { illegalInstruction(); }},
    {"abort", "calls abort", kRun, 1, [](Call&) { std::abort(); }},
    {"exit0", "ends its process with status 0", kRun, 1, [](Call&) { std::exit(0); }},
    {"exit7", "ends its process with status 7", kRun, 3, [](Call&) { std::exit(7); }},
    {"spin", "never returns", kRun, 1, [](Call&) { spin(); }},
    {"far_write", "writes 200 floats into its output block", kRun, 1, [](Call& k) { k.y[200] = 1.0f; }},
    {"throw", "throws a C++ exception", kRun, 1, [](Call&) { throw std::runtime_error("planted"); }},
    {"bad_alloc", "throws std::bad_alloc", kRun, 1, [](Call&) { throw std::bad_alloc(); }},
    {"slow", "takes 20 ms a call, whatever the count", kRun, 1,
     [](Call&) {
         const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(20);
         while (std::chrono::steady_clock::now() < end) {
         }
     }},
    {"slow_search", "its third call in each process (while the count is sought) takes 20 ms more", kRun, 1,
     [](Call&) {
         static int calls = 0;
         if (++calls != 3) return;
         const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(20);
         while (std::chrono::steady_clock::now() < end) {
         }
     }},
    {"two_modes", "does every repetition twice over on 7 of every 10 calls", kRun, 1,
     [](Call& k) {
         static int calls = 0;
         if (++calls % 10 < 7) repeat(k.index, k.c, k.x, k.y, k.count);
     }},
#ifndef _WIN32
    {"slow_rounds", "three times slower in the 2nd and 4th process that calls it", kRun, 1,
     [](Call& k) {
         if (thisProcess() == 2 || thisProcess() == 4) repeat(k.index, k.c, k.x, k.y, 2 * k.count);
     }},
    {"slow_middle", "three times slower in the 2nd to 4th process that calls it", kRun, 1,
     [](Call& k) {
         if (thisProcess() >= 2 && thisProcess() <= 4) repeat(k.index, k.c, k.x, k.y, 2 * k.count);
     }},
    {"slow_later", "three times slower in every process after the first that calls it", kRun, 1,
     [](Call& k) {
         if (thisProcess() >= 2) repeat(k.index, k.c, k.x, k.y, 2 * k.count);
     }},
    {"close_spin", "closes every inherited descriptor, then never returns", kRun, 1,
     [](Call&) {
         for (int fd = 3; fd < 1024; ++fd) close(fd);
         spin();
     }},
    {"helper", "forks a helper that holds every inherited descriptor for 60 s", kRun, 1,
     [](Call&) {
         if (fork() == 0) sleep(60), _exit(0);
     }},
    {"ignore_sigchld", "ignores SIGCHLD from load; its entry aborts", kLoad | kRun, 1,
     [](Call& k) { k.site == kLoad ? void(std::signal(SIGCHLD, SIG_IGN)) : std::abort(); }},
    {"sigterm", "sends SIGTERM to the host, then never returns", kRun, 1, [](Call&) { kill(getppid(), SIGTERM), spin(); }},
    {"sighup", "sends SIGHUP to the host, then never returns", kRun, 1, [](Call&) { kill(getppid(), SIGHUP), spin(); }},
    // An entry's process that attacks the host or its answer.
    {"forged", "writes a whole answer of zeros at 1 ns into the answer pipe and ends", kRun, 1,
     [](Call&) {
         const char forged[] = R"({"work_s":0.001,"status":0,"reason":"","check":{"ok":true,"unchecked":false,)"
                               R"("max_error":0,"bound":1,"worst_ratio":0,"reason":"","rule_checked":true,)"
                               R"("exact":true,"y_bits":[0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0]},"timing":{"done":true,)"
                               R"("count":1,"samples":1,"planned_calls":1,"call_ms":0,"min_ns":1,"median_ns":1,)"
                               R"("max_ns":1,"min_ticks":1,"median_ticks":1,"clocks":true,"min_clocks":1,)"
                               R"("median_clocks":1,"dropped":0,"ticks_per_clock":1,"ticks_per_ns":1,"clock_note":"",)"
                               R"("low_ns":1,"low_clocks":1,"noise":0,"unstable_reason":"","call_ns":[1],"call_clocks":[1],)"
                               R"("probe_clocks":0,"other_cpus_busy":-1,"steal_share":-1,"involuntary_switches":-1}})"
                               "\nend\n";
         (void)!write(kAnswerPipe, forged, sizeof forged - 1);
         _exit(0);
     }},
    {"stray_byte", "writes one byte into the answer pipe", kRun, 1, [](Call&) { (void)!write(kAnswerPipe, "x", 1); }},
    {"descriptors", "writes into every descriptor it may have inherited but 0 to 3", kRun, 1,
     [](Call&) {
         for (int fd = 4; fd < 1024; ++fd) (void)!write(fd, "{garbage", 8);
     }},
    {"reach_host", "opens the host's memory, traces it and writes into it", kRun, 1, [](Call& k) { reachHost(k); }},
    {"signal_host", "stops, ends and interrupts the host and its process group", kRun, 1,
     [](Call&) {
         const pid_t host = getppid(), group = getpgid(host);
         for (int sig : {SIGSTOP, SIGTERM, SIGKILL}) kill(host, sig), kill(-group, sig), kill(-1, sig);
     }},
    {"daemon", "starts a daemon of its own session that lives a minute", kRun, 1, [](Call&) { startDaemon(); }},
    {"read_tty", "reads its input and the terminal", kRun, 1,
     [](Call&) {
         char c;
         (void)!read(0, &c, 1);
         const int tty = open("/dev/tty", O_RDWR);
         if (tty >= 0) (void)!read(tty, &c, 1), (void)!write(tty, "?", 1), close(tty);
     }},
    {"oom", "runs out of memory under a limit of its address space, to the last small block", kRun, 1,
     [](Call&) {
         rlimit limit = {512u << 20, 512u << 20};
         setrlimit(RLIMIT_AS, &limit);
         static char* volatile kept;
         for (size_t n = 1 << 20; n >= 16; n /= 4) try {
                 for (;;) kept = new char[n](); // keeps all
             } catch (const std::bad_alloc&) {
             }
         throw std::bad_alloc();
     }},
    {"ctor_fork", "the constructor forks: the copy returns into the host too", kLoad, -1,
     [](Call&) { (void)fork(); }},
    {"ctor_block", "the constructor blocks SIGINT, SIGTERM and SIGHUP and changes directory", kLoad, -1,
     [](Call&) {
         sigset_t s;
         sigemptyset(&s);
         for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&s, sig);
         sigprocmask(SIG_BLOCK, &s, nullptr);
         (void)!chdir("/");
     }},
#endif
    {"hang_query", "getEntryCount never returns", kCount, -1, [](Call&) { spin(); }},
    {"escapes", "prints escape sequences that retitle the window and clear the screen", kRun, 1,
     [](Call&) { std::fputs("\x1b]0;owned\x07\x1b[2J\x1b[H\n", stderr); }},
#ifdef _WIN32
    {"end_host", "opens the host's process to end it and write into it", kRun, 1,
     [](Call& k) {
         static bool tried = false;
         if (tried) return;
         tried = true;
         HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
         PROCESSENTRY32W p = {};
         p.dwSize = sizeof p;
         DWORD parent = 0;
         for (BOOL more = Process32FirstW(snapshot, &p); more; more = Process32NextW(snapshot, &p))
             if (p.th32ProcessID == GetCurrentProcessId()) parent = p.th32ParentProcessID;
         CloseHandle(snapshot);
         // The parent of the worker is the host; what it can open spoils the output.
         if (HANDLE h = OpenProcess(PROCESS_VM_WRITE | PROCESS_VM_OPERATION, FALSE, parent)) k.y[0] += 1, CloseHandle(h);
         if (HANDLE h = OpenProcess(PROCESS_TERMINATE, FALSE, parent)) TerminateProcess(h, 0);
     }},
#endif
    {"count_ignored", "does one repetition whatever the count", kBefore, 1, [](Call& k) { k.count = 1; }},
    {"memo", "returns at once when called again on the same blocks with the same count", kBefore, 1,
     [](Call& k) {
         static const float* seen = nullptr;
         static int32_t seenCount = 0;
         const int32_t count = k.count;
         if (count > 1 && seen == k.c && seenCount == count) k.count = 0;
         seen = k.c, seenCount = count;
     }},
    {"seven_double", "entry 7 sums in double precision", kRun, 7, doubleSums},
    {"ten_double", "entry 10 sums in double precision", kRun, 10, doubleSums},
    {"before_output", "writes 8 floats before its output block", kRun, 1, [](Call& k) { k.y[-8] = 1.0f; }},
    {"input_when_timed", "writes into its input block when called with a count above 1", kRun, 1,
     [](Call& k) {
         if (k.count > 1) const_cast<float*>(k.x)[0] += 1.0f;
     }},
    // Entries whose results or contract are wrong.
    {"wrong", "adds 0.25 to y[5]", kRun, 2, [](Call& k) { k.y[5] += 0.25f; }},
    {"spill", "writes one float past an AOS output block", kRun, 4, [](Call& k) { k.y[18] = 1.0f; }},
    {"ulp", "the last output one ulp farther from the exact sum", kRun, 9,
     [](Call& k) {
         const double exact = x87Sum(k.c, k.x, soaEntry(k.index), 17);
         k.y[17] = std::nextafter(k.y[17], k.y[17] >= exact ? INFINITY : -INFINITY);
     }},
    {"off128", "converts its 16-bit sums as unsigned", kRun, 12,
     [](Call& k) {
         for (int i = 0; i < OUTPUT_COUNT; ++i) k.y[i] = fixedSum(k.c, k.x, soaEntry(k.index), i, true);
     }},
    {"seventh", "wrong on every seventh call", kRun, 4,
     [](Call& k) {
         static int calls = 0;
         if (++calls % 7 == 0) k.y[0] += 1.0f;
     }},
    {"x87cw", "leaves the x87 precision at 24 bits", kRun, 1, [](Call&) { setX87Control(static_cast<uint16_t>(~0x300), 0); }},
    {"mxcsr", "leaves MXCSR rounding toward zero", kRun, 10, [](Call&) { setMxcsr(~0x6000u, 0x6000u); }},
#if defined(__i386__) || defined(__x86_64__)
    {"x87stack", "leaves a value on the x87 stack", kRun, 2, [](Call&) { __asm__ volatile("fld1"); }},
    {"mmx", "leaves the MMX state (no EMMS)", kRun, 6, [](Call&) { __asm__ volatile("pxor %mm0, %mm0"); }},
#endif
};

// ---- Which faults this run plants ----

struct Planted {
    const Fault* fault;
    int entry;
};
Planted gPlanted[8];
int gPlantedCount = 0;

[[noreturn]] void refuse(const std::string& token) {
    std::fprintf(stderr, "stand_in: CIRCUIT_STAND_IN names no fault '%s'\n", token.c_str());
    std::exit(70);
}

void plant(const std::string& token) {
    if (token.empty() || token == "none") return;
    const size_t at = token.find('@');
    const std::string name = token.substr(0, at);
    for (const Fault& f : kFaults) {
        if (name != f.name) continue;
        int entry = at == std::string::npos ? f.entry : std::atoi(token.c_str() + at + 1);
        if (gPlantedCount == 8 || entry < -1 || entry > 13) refuse(token);
        gPlanted[gPlantedCount++] = {&f, entry};
        return;
    }
    refuse(token);
}

void readPlanted() {
    static bool read = false;
    if (read) return;
    read = true;
    const char* env = std::getenv("CIRCUIT_STAND_IN");
    std::string list = env ? env : "";
    for (size_t start = 0; start <= list.size();) {
        size_t comma = list.find(',', start);
        if (comma == std::string::npos) comma = list.size();
        plant(list.substr(start, comma - start));
        start = comma + 1;
    }
}

bool planted(Site site) {
    readPlanted();
    for (int n = 0; n < gPlantedCount; ++n)
        if (gPlanted[n].fault->sites & site) return true;
    return false;
}

// Runs the hooks planted at a site (at kRun, those of the called entry).
void at(Call& call) {
    readPlanted();
    for (int n = 0; n < gPlantedCount; ++n) {
        const Planted& p = gPlanted[n];
        if ((p.fault->sites & call.site) == 0) continue;
        if ((call.site & (kRun | kBefore)) && static_cast<int>(call.index) != p.entry) continue;
        p.fault->hook(call);
    }
}
void at(Site site) {
    Call call{site, 0, nullptr, nullptr, nullptr, 0, nullptr};
    at(call);
}

struct AtLoad {
    AtLoad() { at(kLoad); }
    ~AtLoad() { at(kUnload); }
} gAtLoad;

void CIRCUIT_CALL runEntryBody(uint32_t index, const float* c, const float* x, float* y, int32_t count) {
    if (index >= 14 || count <= 0) return;
    Call before{kBefore, index, c, x, y, count, nullptr};
    at(before);
    for (int32_t n = 0; n < before.count; ++n) compute(index, c, x, y);
    Call after{kRun, index, c, x, y, count, nullptr};
    at(after);
}

} // namespace

STAND_IN_EXPORT int32_t CIRCUIT_CALL getCircuitSignature(void) { return gCircuit; }

STAND_IN_EXPORT char* CIRCUIT_CALL getCreatorSignature(char* buffer) {
    std::strcpy(buffer, gCreator);
    at(kCreator);
    return buffer;
}

STAND_IN_EXPORT int32_t CIRCUIT_CALL getEntryCount(void) {
    at(kCount);
    return gCount;
}

STAND_IN_EXPORT void CIRCUIT_CALL getEntrySpecs(EntrySpec* records) {
    std::memcpy(records, gRecords, sizeof gRecords);
    Call call{kSpecs, 0, nullptr, nullptr, nullptr, 0, records};
    at(call);
}

#ifdef __ELF__
// runEntry is an indirect function: the loader asks this resolver for its
// address when the host looks it up, so a planted fault can leave the export
// unresolvable at run time.
extern "C" __attribute__((visibility("hidden"))) RunEntryFn resolveRunEntry() {
    return planted(kExport) ? nullptr : &runEntryBody;
}
STAND_IN_EXPORT void CIRCUIT_CALL runEntry(uint32_t index, const float* c, const float* x, float* y, int32_t count)
    __attribute__((ifunc("resolveRunEntry")));
#else
STAND_IN_EXPORT void CIRCUIT_CALL runEntry(uint32_t index, const float* c, const float* x, float* y, int32_t count) {
    runEntryBody(index, c, x, y, count);
}
#endif
