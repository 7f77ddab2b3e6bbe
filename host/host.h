// circuit-host: loads a circuit-2 module by path, shows what it declares,
// checks every entry it runs against an exact reference and times it.
// The host talks to the module only through its five exports; the records,
// flags and block layouts come from the module's public headers.
#ifndef CIRCUIT_HOST_HOST_H
#define CIRCUIT_HOST_HOST_H

#include <cstdint>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

#include "circuit.h"
#include "layout.h"

namespace host {

// A failure that ends the run with a message and exit status 2: bad options,
// unreadable files, a module that is not a usable circuit-2 module.
struct Fatal : std::runtime_error {
    using std::runtime_error::runtime_error;
};

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

// ---- Processor (cpu.cpp) --------------------------------------------------

struct Processor {
    bool x86 = false;       // CPUID exists and was asked
    std::string vendor;     // CPUID leaf 0 vendor string
    bool fpu = false, mmx = false, sse = false, amd3dnow = false, tsc = false;
};

Processor detectProcessor();
// The extensions that the flags name and the processor lacks, as text
// ("" when it has them all); unknown flag bits count as lacking.
std::string missingExtensions(EntryFlags flags, const Processor& cpu);
// Reads the time-stamp counter (0 where there is none).
uint64_t readTsc(const Processor& cpu);

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
class EntryBlocks {
  public:
    static constexpr int kGuardBefore = 4;   // keeps the output 16-byte aligned
    static constexpr int kGuardAfter = 12;
    EntryBlocks(EntryFlags flags, const circuit::Problem& p);
    const float* coefficients() const { return data_.coefficients; }
    const float* input() const { return data_.input; }
    float* output() { return out_ + kGuardBefore; }
    void resetOutput();
    // "" when the call wrote nothing outside its output floats and left the
    // coefficient and input blocks alone, else what it did wrong.
    std::string damage() const;
    // Output floats 0..17 that still hold the sentinel.
    std::vector<int> unwritten() const;

  private:
    EntryFlags flags_;
    circuit::Blocks data_;
    circuit::Blocks pristine_;
    alignas(16) float out_[kGuardBefore + SOA_OUTPUT_FLOATS + kGuardAfter];
};

Check checkOutput(EntryFlags flags, const float* y, const Reference& ref);

// ---- Timing (main.cpp) ----------------------------------------------------

struct Timing {
    bool done = false;
    int32_t count = 0;              // repetitions per call
    double minNs = 0, medianNs = 0; // per repetition
    double minCycles = 0, medianCycles = 0;
    double relative = 0;            // fastest median / this median
};

// ---- Report (report.cpp) --------------------------------------------------

enum class Status { Ok, Failed, Skipped, Unchecked };

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
    Status status = Status::Skipped;
    std::string reason;
    Check check;
    Timing timing;
};

struct RunInfo {
    ModuleInfo module;
    std::string creator;       // UTF-8 or escaped
    Processor cpu;
    ProblemSource problem;
    double timePerEntryMs = 0;
    int trials = 0;
    bool all = false;
    std::vector<EntryResult> entries;
    int failed = 0;
};

std::string statusText(Status s);
void printTable(const RunInfo& run, std::FILE* out);
void printCsv(const RunInfo& run, std::FILE* out);
void printJson(const RunInfo& run, std::FILE* out);
std::string svgChart(const RunInfo& run);

} // namespace host

#endif // CIRCUIT_HOST_HOST_H
