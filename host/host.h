// circuit-host: loads a circuit-2 module by path, shows what it declares,
// checks every entry it runs against an exact reference and times it.
// The host talks to the module only through its five exports; the records,
// flags and block layouts come from the module's public headers.
#ifndef CIRCUIT_HOST_HOST_H
#define CIRCUIT_HOST_HOST_H

#include <chrono>
#include <cmath>
#include <cstdint>
#include <csignal>
#include <cstdio>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "circuit.h"
#include "layout.h"

namespace host {

// Seconds on a steady clock, for intervals measured in the host.
inline double steadySeconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// A failure that ends the run with a message and exit status 2: bad options,
// unreadable files, a module that is not a usable circuit-2 module.
struct Fatal : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// ---- Options (options.cpp) ------------------------------------------------

struct Options {
    std::string module;
    bool all = false;
    std::vector<bool> entries;   // empty: all
    bool haveSeed = false;
    uint64_t seed = 0;
    std::string problem;
    double timePerEntryMs = 100;
    int trials = 400; // calls of 250 us by default: short enough that the core clock rarely moves during one
    double timeoutSeconds = 60;
    bool checkOnly = false;
    bool csv = false, json = false;
    std::string svg;
    std::vector<std::string> compare;  // --compare: saved runs instead of a module
    bool help = false, version = false;
    bool worker = false;         // run one entry for a parent host (its job on stdin)
};

extern const char kUsage[];
// Fatal on anything it cannot use; stops at --help, --version and --worker.
Options parseOptions(const std::vector<std::string>& args);

// ---- Module (module.cpp) --------------------------------------------------

// Most entries the host accepts from getEntryCount: the records buffer is
// sized from the count before getEntrySpecs fills it.
constexpr int kMaxEntries = 64;

struct ModuleInfo {
    std::string path;
    int32_t circuit = 0;
    std::string creator;                  // raw bytes, Shift_JIS
    bool creatorReturnedBuffer = true;    // getCreatorSignature returned its argument
    std::vector<EntrySpec> records;         // as getEntrySpecs wrote them
    std::vector<bool> nameTerminated;     // name had its NUL within the 64 bytes
};

// The loaded module and its five exports. Loading fails with Fatal.
class Module {
  public:
    explicit Module(const std::string& path);
    ~Module();
    Module(const Module&) = delete;
    Module& operator=(const Module&) = delete;

    // Calls the four queries, with guarded buffers; Fatal on a circuit other
    // than 2, an entry count outside 1..kMaxEntries, or records written past
    // the announced count.
    ModuleInfo query() const;
    void run(uint32_t index, const float* coefficients, const float* input, float* output,
             int32_t count) const {
        runEntry_(index, coefficients, input, output, count);
    }

  private:
    void close();
    void* handle_ = nullptr;
    std::string path_;
    GetCircuitSignatureFn getCircuitSignature_ = nullptr;
    GetCreatorSignatureFn getCreatorSignature_ = nullptr;
    GetEntryCountFn getEntryCount_ = nullptr;
    GetEntrySpecsFn getEntrySpecs_ = nullptr;
    RunEntryFn runEntry_ = nullptr;
};

// ---- Machine (machine.cpp) ------------------------------------------------

// On aarch64 (no CPUID) the same fields hold the main ID register, MIDR_EL1,
// which Linux lets a program read (or /proc/cpuinfo): vendor is the
// implementer, brand its part number, family the implementer code, model
// the part, stepping the revision; extensions are those the auxiliary vector
// (AT_HWCAP) reports that we name.
struct Processor {
    bool x86 = false;       // CPUID exists and was asked
    bool aarch64 = false;   // MIDR_EL1 was read (aarch64)
    std::string vendor;     // CPUID leaf 0 vendor string
    std::string brand;      // CPUID 0x80000002..4, blanks trimmed ("" when absent)
    int family = 0, model = 0, stepping = 0; // with the extended family and model added
    std::vector<std::string> extensions;     // every extension CPUID reports that we name
    bool fpu = false, mmx = false, sse = false, amd3dnow = false, tsc = false;
    bool sse2 = false, rdtscp = false;       // what the fenced counter reads need
};

// The machine a run was made on, for a reader who compares runs later.
struct Machine {
    Processor cpu;
    std::string os;          // "Linux 6.1.0-18-amd64", "Windows 10.0.19045 (Wine 8.0)"
    int osBits = 0;          // word size of the operating system
    int hostBits = 0;        // word size of this host program
    double coreGHz = 0;      // core clock measured during the run, 0 when not measured
    std::string clockNote;   // why there are no core clocks, "" when there are
};

struct ModuleFile {
    uint64_t size = 0;
    std::string sha256;      // of the file's bytes, lower-case hex
};

Processor detectProcessor();
Machine describeMachine();
ModuleFile describeModuleFile(const std::string& path);  // Fatal when unreadable
std::string sha256Hex(const std::string& bytes);
std::string hostVersion();
// The extensions that the flags name and the processor lacks, as text
// ("" when it has them all); unknown flag bits count as lacking.
std::string missingExtensions(EntryFlags flags, const Processor& cpu);

// ---- Text (text.cpp) ------------------------------------------------------

// A Shift_JIS (code page 932) string as UTF-8 for the terminal. When the
// system cannot convert it, every byte outside printable ASCII becomes \xHH
// and `converted` is false.
std::string sjisToUtf8(const std::string& sjis, bool* converted);
std::string hexBytes(const std::string& bytes);   // "43 8C BE"
int displayWidth(const std::string& utf8);        // terminal columns
std::string padRight(const std::string& utf8, int width);
std::string padLeft(const std::string& utf8, int width);
std::string flagsText(EntryFlags flags);          // "FPU MMX SOA"
std::string jsonString(const std::string& utf8);  // quoted and escaped (results.cpp)
std::string jsonNumber(double v);                 // %.9g, null when not finite

// Valid UTF-8 as it is; every byte that is not part of a valid sequence as
// \xHH (file names on Linux are bytes).
std::string displayPath(const std::string& bytes);

// ---- Files (files.cpp) ------------------------------------------------------

// Paths are UTF-8; on Windows they are opened through the wide interfaces.
std::FILE* openFile(const std::string& path, const char* mode);
std::string notRegularFile(const std::string& path);  // "" or why not
// The whole file ("-": standard input, also pipes); Fatal when unreadable or
// longer than `limit` bytes. `what` names it in messages.
std::string readFile(const std::string& path, size_t limit, const std::string& what);
#ifdef _WIN32
std::wstring widePath(const std::string& utf8);
std::string utf8Text(const wchar_t* wide);
#endif

// An output file, tried when constructed (Fatal when it cannot be written)
// and written once at the end.
class OutputFile {
  public:
    explicit OutputFile(const std::string& path);
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;
    void write(const std::string& content);

  private:
    std::string path_;
    bool created_ = false, written_ = false;
};

// ---- Problem (problem.cpp) ------------------------------------------------

struct ProblemSource {
    bool fromFile = false;
    std::string path;
    uint64_t seed = 0;
};

// Coefficients and inputs uniformly in (-0.99, 0.99): every sum stays within
// the fixed-point entries' range.
circuit::Problem randomProblem(uint64_t seed);
// Text file: 648 coefficients (row-major, M[0][0] .. M[17][35]) then 36
// inputs, whitespace-separated decimal numbers; '#' starts a comment that
// runs to the end of the line. Anything else is rejected with Fatal.
circuit::Problem readProblem(const std::string& path);
circuit::Problem parseProblem(const std::string& text, const std::string& what);

// ---- Checking (check.cpp) -------------------------------------------------

// How an entry's output is judged, from its flags.
enum class Arithmetic { X87, Single, Fixed };
Arithmetic arithmeticOf(EntryFlags flags);
const char* arithmeticName(Arithmetic a);

struct Reference {
    long double y[OUTPUT_COUNT];        // exact sums, rounded once
    long double absSum[OUTPUT_COUNT];   // sum over j of |M[i][j] * x[j]|
    long double fixedBound[OUTPUT_COUNT];
    bool fixedInRange = true;           // every value within the Q15/Q10 ranges
};
Reference exactReference(const circuit::Problem& p);
// Why a problem cannot be computed in single precision (a sum of products
// beyond its range), or "".
std::string overflowText(const Reference& ref);

struct Check {
    bool ok = false;
    bool unchecked = false;   // fixed-point entry on values outside its range
    std::string reason;       // why it failed
    double maxError = 0;      // largest |y - reference| over the 18 outputs
    double bound = 0;         // the bound at that output
    double worstRatio = 0;    // largest error / bound
    float y[OUTPUT_COUNT] = {};
};

// Guarded blocks for one entry: the data laid out by the entry's layout, and
// an output block with sentinel floats before and after it.
// The storage is placed on a 16-byte boundary by hand: neither the heap
// (8 bytes on 32-bit Windows) nor a caller's stack is trusted with it.
class EntryBlocks {
  public:
    static constexpr int kGuardBefore = 4;   // keeps the output 16-byte aligned
    static constexpr int kGuardAfter = 12;
    EntryBlocks(EntryFlags flags, const circuit::Problem& p);
    EntryBlocks(const EntryBlocks&) = delete;
    EntryBlocks& operator=(const EntryBlocks&) = delete;
    const float* coefficients() const { return s_->data.coefficients; }
    const float* input() const { return s_->data.input; }
    float* output() { return s_->out + kGuardBefore; }
    void resetOutput();
    // "" when the call wrote nothing outside its output floats and left the
    // coefficient and input blocks alone, else what it did wrong.
    std::string damage() const;
    // Output floats 0..17 that still hold the sentinel.
    std::vector<int> unwritten() const;
    // Fatal unless the three blocks start on 16-byte boundaries; called
    // before every call of the module.
    void checkAlignment() const;

  private:
    struct Storage {
        circuit::Blocks data;
        circuit::Blocks pristine;
        alignas(16) float out[kGuardBefore + SOA_OUTPUT_FLOATS + kGuardAfter];
    };
    EntryFlags flags_;
    std::vector<unsigned char> raw_;
    Storage* s_;
};

Check checkOutput(EntryFlags flags, const float* y, const Reference& ref);

// ---- Timing (measure.cpp) -------------------------------------------------

struct Timing {
    bool done = false;
    int32_t count = 0;              // repetitions per call
    int samples = 0;                // timed calls
    double minNs = 0, medianNs = 0, maxNs = 0;  // per repetition
    double minTicks = 0, medianTicks = 0;       // time-stamp counter ticks per repetition
    bool clocks = false;            // the core-clock figures below can be trusted
    double minClocks = 0, medianClocks = 0;     // core clocks per repetition
    int dropped = 0;                // calls whose clock calibration moved
    double ticksPerClock = 0;       // median calibration
    double ticksPerNs = 0;          // time-stamp counter rate during the calls
    std::string clockNote;          // why clocks is false
    double relative = 0;            // fastest median / this median
};

// Core clocks per second seen by an entry's timing, 0 when unknown.
inline double coreHz(const Timing& t) {
    return t.clocks && t.ticksPerClock > 0 ? t.ticksPerNs / t.ticksPerClock * 1e9 : 0;
}

// Finds a count for which one call lasts about `callSeconds`, then takes
// `trials` timed calls, each between two core-clock calibrations.
Timing timeEntry(const Module& module, uint32_t index, EntryBlocks& blocks, const Processor& cpu,
                 double callSeconds, int trials);

// ---- Isolation (isolate.cpp) ----------------------------------------------

struct Isolated {
    enum Kind { Finished, Crashed, TimedOut } kind = Crashed;
    std::string answer;   // what the work returned (Finished)
    std::string how;      // Crashed: "illegal instruction", "exited with status 0 inside the module"
    double seconds = 0;   // from starting the child to reaping it
};

// Runs one entry's work in a child process and waits at most timeoutSeconds.
// POSIX: the child is a fork that calls `work`. Windows: the child is this
// program with --worker, given `job` on stdin; it answers with workerMain.
// A nonzero *stop (set by a signal handler) ends the child at once.
Isolated runIsolated(const std::function<std::string()>& work, const std::string& job, double timeoutSeconds,
                     const volatile std::sig_atomic_t* stop);
// The answer a child writes: its text and an end mark.
std::string sealAnswer(const std::string& answer);
#ifdef _WIN32
// Makes an unhandled exception end the worker with the exception's code.
void prepareWorker();
#endif

// ---- Report (report.cpp) --------------------------------------------------

// Crashed and TimedOut: the entry's child process died or was killed; the
// reason says how ("illegal instruction", "exited with status 0").
enum class Status { Ok, Failed, Skipped, Unchecked, Crashed, TimedOut };
inline bool isFailure(Status s) { return s == Status::Failed || s == Status::Crashed || s == Status::TimedOut; }

struct EntryResult {
    int index = 0;
    EntrySpec record{};
    std::string name;          // UTF-8 or escaped
    bool nameConverted = true;
    bool nameTerminated = true;
    bool runnable = false;     // the processor has what the flags name
    std::string missing;       // extensions it lacks
    bool selected = true;      // in --entries
    bool ran = false;
    // Ran although the processor lacks extensions its flags name (--all):
    // what ran was the module's substitute code, not the entry's.
    bool substitute = false;
    Status status = Status::Skipped;
    std::string reason;
    Check check;
    Timing timing;
};

struct RunInfo {
    ModuleInfo module;
    ModuleFile moduleFile;
    std::string creator;       // UTF-8 or escaped
    Machine machine;
    ProblemSource problem;
    double timePerEntryMs = 0;
    int trials = 0;
    double timeoutSeconds = 0;
    bool all = false;
    std::vector<EntryResult> entries;
    int failed = 0;
    int children = 0;          // entries run in a process of their own
    double isolationSeconds = 0; // what starting and ending them added, beyond their work
};

// The check cell: "ok", "FAILED", "crashed: illegal instruction", ...
std::string statusText(Status s);
std::string checkText(const EntryResult& e);
void printTable(const RunInfo& run, std::FILE* out);
void printCsv(const RunInfo& run, std::FILE* out);
std::string svgChart(const RunInfo& run);

// ---- One entry's work (run.cpp) -------------------------------------------

struct WorkSettings {
    bool checkOnly = false;
    double callSeconds = 0;   // length of one timed call
    int trials = 0;
    Processor cpu;
};

// Runs entry e once and judges its output, then (unless checkOnly or it
// failed) times it. Fills e's status, reason, check and timing; returns the
// seconds it took.
double runEntryWork(const Module& module, EntryResult& e, const circuit::Problem& problem,
                    const Reference& reference, const WorkSettings& w);
// The work's result as a child sends it, and back (Fatal on nonsense).
std::string encodeOutcome(const EntryResult& e, double workSeconds);
double decodeOutcome(const std::string& text, EntryResult& e);
// What a worker process needs to do one entry's work.
std::string encodeJob(const std::string& modulePath, const EntryResult& e, const circuit::Problem& p,
                      const WorkSettings& w);
void decodeJob(const std::string& text, std::string& modulePath, EntryResult& e, circuit::Problem& p,
               WorkSettings& w);

// ---- Results (results.cpp) ------------------------------------------------

// Version of the JSON results; docs/results-schema.md describes each one.
// A reader accepts files of its own version and older.
constexpr int kResultsSchemaVersion = 1;
constexpr const char* kResultsSchemaName = "circuit-host results";

std::string resultsJson(const RunInfo& run);

// What --compare needs of a saved run.
struct SavedEntry {
    int index = 0;
    std::string name, status;
    double medianClocks = NAN, medianNs = NAN;   // NaN: not timed
};
struct SavedRun {
    std::string file, label;   // label: the file's name without folder and .json
    std::string cpu, os, module, sha256;
    int hostBits = 0;
    double coreGHz = 0;
    std::vector<SavedEntry> entries;
};
// Reads a results file; Fatal with a clear message for anything else.
SavedRun readSavedRun(const std::string& path);
SavedRun parseSavedRun(const std::string& text, const std::string& path);

// ---- Comparison (report.cpp) ----------------------------------------------

void printComparison(const std::vector<SavedRun>& runs, std::FILE* out);
std::string comparisonSvg(const std::vector<SavedRun>& runs);

} // namespace host

#endif // CIRCUIT_HOST_HOST_H
