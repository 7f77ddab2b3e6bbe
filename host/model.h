// The data of a run, and nothing else: what the host found out about the
// machine, the module and each entry. Every output (report.h) is made from
// these types; the rooms that measure fill them in.
#ifndef CIRCUIT_HOST_MODEL_H
#define CIRCUIT_HOST_MODEL_H

#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "circuit.h"

namespace host {

// Multiply-adds in one repetition of y = M x.
constexpr int kMultiplyAdds = OUTPUT_COUNT * INPUT_COUNT;

// Most entries the host accepts from getEntryCount: the records buffer is
// sized from the count before getEntrySpecs fills it.
constexpr int kMaxEntries = 64;

// ---- Machine ------------------------------------------------------------------

// On aarch64 (no CPUID) the same fields hold the main ID register, MIDR_EL1
// (or what /proc/cpuinfo says of it): vendor the implementer, brand its part
// number, family the implementer code, model the part, stepping the
// revision; extensions those of the auxiliary vector (AT_HWCAP) we name.
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

// The extensions an entry's flags can name, in the flags' bit order, each
// with the field that says whether the processor has it.
struct Extension {
    EntryFlags flag;
    const char* name;
    bool Processor::*has;
};
constexpr Extension kExtensions[] = {{ENTRY_FPU, "FPU", &Processor::fpu},
                                     {ENTRY_MMX, "MMX", &Processor::mmx},
                                     {ENTRY_3DNOW, "3DNow!", &Processor::amd3dnow},
                                     {ENTRY_SSE, "SSE", &Processor::sse}};
// Flag bits that name neither an extension nor the layout.
constexpr EntryFlags kUnknownFlags = ~(ENTRY_EXTENSION_MASK | ENTRY_SOA);

// The machine a run was made on, for a reader who compares runs later.
struct Machine {
    Processor cpu;
    std::string os;          // "Linux 6.1.0-18-amd64", "Windows 10.0.19045 (Wine 8.0)"
    int osBits = 0;          // word size of the operating system
    int hostBits = 0;        // word size of this host program
    std::string hostVersion; // of this host program
    double coreGHz = 0;      // core clock measured during the run, 0 when not measured
    std::string clockNote;   // why there are no core clocks, "" when there are
    // The host runs under an emulator (qemu-user): its times are the
    // emulator's, not this processor's. The note says how it was found.
    bool emulated = false;
    std::string emulationNote;
};

// ---- Module -------------------------------------------------------------------

struct ModuleInfo {
    std::string path;
    int32_t circuit = 0;
    std::string creator;                  // raw bytes, Shift_JIS
    bool creatorReturnedBuffer = true;    // getCreatorSignature returned its argument
    std::vector<EntrySpec> records;       // as getEntrySpecs wrote them
    std::vector<bool> nameTerminated;     // name had its NUL within the 64 bytes
};

struct ModuleFile {
    uint64_t size = 0;
    std::string sha256;      // of the file's bytes, lower-case hex
};

struct ProblemSource {
    bool fromFile = false;
    std::string path;
    uint64_t seed = 0;
};

// ---- One entry ------------------------------------------------------------------

// How an entry's output is judged, from its flags.
enum class Arithmetic { X87, Single, Fixed };
inline Arithmetic arithmeticOf(EntryFlags flags) {
    if ((flags & ENTRY_MMX) && !(flags & ENTRY_3DNOW)) return Arithmetic::Fixed;
    if (flags & (ENTRY_3DNOW | ENTRY_SSE)) return Arithmetic::Single;
    return Arithmetic::X87;
}

// Crashed and TimedOut: the entry's child process died or was killed; the
// reason says how ("illegal instruction", "exited with status 0").
enum class Status { Ok, Failed, Skipped, Unchecked, Crashed, TimedOut };
inline bool isFailure(Status s) { return s == Status::Failed || s == Status::Crashed || s == Status::TimedOut; }

struct Check {
    bool ok = false;
    bool unchecked = false;   // fixed-point entry on values outside its range
    std::string reason;       // why it failed
    double maxError = 0;      // largest |y - reference| over the 18 outputs
    double bound = 0;         // the bound at that output
    double worstRatio = 0;    // largest error / bound
    // Against the entry's own rule (where the table is circuit 2's own): the
    // output compared bit for bit with what the entry's order gives.
    bool ruleChecked = false;
    bool exact = false;       // all 18 outputs have the rule's bits
    float y[OUTPUT_COUNT] = {};
};

// An entry whose noise (median absolute deviation of its calls' ns over
// their median) is above this share is marked unstable.
constexpr double kNoiseThreshold = 0.05;
// An entry whose 5th percentile lies more than this share below its median
// has a second, faster mode ("two modes"): waiting only adds time.
constexpr double kTwoModesThreshold = 0.10;
// Rounds agree when their medians lie within this share of the least one.
constexpr double kRoundsThreshold = 0.05;
// A probe this many times slower than its best in the run: the core was
// shared ("core shared"). Quiet, the probes stay within 8 % of their best;
// on the shared AMD build machine spells of 12 to 30 % came and went that
// the x87 kernels' figures did not show, so only a larger slowdown counts.
constexpr double kProbeSharedThreshold = 1.25;
// The other processors busier than this share while an entry was timed
// ("busy CPUs").
constexpr double kBusyThreshold = 0.5;
// Low figures are this percentile of the calls: one call cannot make it.
constexpr double kLowPercentile = 5;
// Most per-call figures kept for --compare (evenly spaced over the calls).
constexpr size_t kMaxSavedCalls = 1000;

struct Timing {
    bool done = false;
    int32_t count = 0;              // repetitions per call
    int samples = 0;                // timed calls
    int plannedCalls = 0;           // calls planned (--trials); more than taken when one call ran long
    double callMs = 0;              // how long one call of `count` repetitions took while the count was found
    double minNs = 0, medianNs = 0, maxNs = 0;  // per repetition
    double minTicks = 0, medianTicks = 0;       // time-stamp counter ticks per repetition
    bool clocks = false;            // the core-clock figures below can be trusted
    double minClocks = 0, medianClocks = 0;     // core clocks per repetition
    int dropped = 0;                // calls whose clock calibration moved
    double ticksPerClock = 0;       // median calibration
    double ticksPerNs = 0;          // time-stamp counter rate during the calls
    std::string clockNote;          // why clocks is false
    double relative = 0;            // fastest median / this median
    double lowNs = 0, lowClocks = 0; // kLowPercentile-th percentile per repetition
    double noise = 0;               // median absolute deviation / median of the ns
    std::vector<double> callNs;     // ns per repetition of (at most kMaxSavedCalls) calls, in call order
    std::vector<double> callClocks; // core clocks per repetition of the calls that have them, the same way
    // Why the figures cannot be signed, "" when they can: the causes found,
    // joined by ", " ("noise", "two modes", "rounds disagree", "busy CPUs",
    // "core shared", "few calls"). The one flag a reader of the results reads.
    std::string unstableReason;
    // Rounds: the entry is timed once in each of several rounds spread over
    // the run, each in a fresh process; the figures above are then the
    // rounds' combined ones and these say how the rounds agreed.
    int rounds = 0;                          // rounds that timed the entry
    std::vector<double> roundMedianNs;       // each round's median ns per repetition
    std::vector<double> roundMedianClocks;   // each round's median clocks (0 where it had none)
    double roundSpread = 0;                  // (largest - smallest) / smallest of the rounds' medians
    // What else ran while the entry was timed.
    double otherCpusBusy = -1;               // share (0..1) of the other CPUs busy, less the host's own; -1 unknown
    double stealShare = -1;                  // share of time the hypervisor gave to others; -1 unknown
    long involuntarySwitches = -1;           // of the entry's process while timed; -1 unknown
    double probeSlowdown = 0;                // throughput probe's time now over its best, 0 when not probed
    double probeClocks = 0;                  // the probe's core clocks beside the timed calls, 0 when not probed
};

inline bool unstable(const Timing& t) { return t.done && !t.unstableReason.empty(); }

// Core clocks per second seen by an entry's timing, 0 when unknown.
inline double coreHz(const Timing& t) {
    return t.clocks && t.ticksPerClock > 0 ? t.ticksPerNs / t.ticksPerClock * 1e9 : 0;
}

// Multiply-adds per core clock of the median, 0 without core clocks.
inline double macsPerClock(const Timing& t) {
    return t.done && t.clocks && t.medianClocks > 0 ? kMultiplyAdds / t.medianClocks : 0;
}
// Millions of multiply-adds per second of the median, 0 when not timed.
inline double megaMacsPerSecond(const Timing& t) {
    return t.done && t.medianNs > 0 ? kMultiplyAdds / t.medianNs * 1e3 : 0;
}

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

// An entry's name as the module wrote it: up to its NUL, or all 64 bytes.
inline std::string rawName(const EntryResult& e) {
    return std::string(e.record.name, e.nameTerminated ? std::strlen(e.record.name) : ENTRY_NAME_BYTES);
}

// ---- The run ----------------------------------------------------------------------

struct RunInfo {
    std::string name;          // --name: what was run and why ("portable build, C++ kernels: ...")
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
    std::string crossCheckNote; // why entries were not compared with one another, "" when they were
    int children = 0;          // entries run in a process of their own
    double isolationSeconds = 0; // what starting and ending them added, beyond their work
    int rounds = 0;            // rounds each timed entry was timed in
    double otherCpusBusy = -1; // share of the other CPUs busy over the run, less the host's own; -1 unknown
    double stealShare = -1;    // share of the run's CPU time the hypervisor gave to others; -1 unknown
    int flagged = 0;           // timed entries whose figures ended unstable
    std::string protectionNote; // protections of the host from its entries not available here, "" when all are
    // Which run this was, for a reader who keeps many.
    std::string timeUtc;       // when it started, "2026-12-09T08:50:00Z"
    std::string hostName;      // the machine's network name
    std::string commandLine;   // the host's arguments, quoted where needed
};

// The unit of a run's times, decided once for every output: core clocks when
// any timed entry has them (an entry without them then shows its ns, marked
// as such), else ns.
inline bool timesInClocks(const RunInfo& run) {
    for (const EntryResult& e : run.entries)
        if (e.timing.done && e.timing.clocks) return true;
    return false;
}

// A run in which no entry ran checked nothing: it is no success.
inline bool noEntryRan(const RunInfo& run) {
    for (const EntryResult& e : run.entries)
        if (e.ran) return false;
    return true;
}
constexpr const char* kNothingRan =
    "No entry ran: none of the selected entries is one this processor runs (--all runs the others too)";

// One entry's times as the outputs show them: in core clocks where the run's
// times are and the entry has them, else in ns.
struct ShownTimes {
    bool clocks = false;
    double min = 0, low = 0, median = 0;
};
inline ShownTimes shownTimes(const Timing& t, bool runInClocks) {
    ShownTimes s;
    s.clocks = runInClocks && t.clocks;
    s.min = s.clocks ? t.minClocks : t.minNs;
    s.low = s.clocks ? t.lowClocks : t.lowNs;
    s.median = s.clocks ? t.medianClocks : t.medianNs;
    return s;
}

// ---- Saved runs ---------------------------------------------------------------------

// Version of the JSON results; docs/results-schema.md describes each one.
// A reader accepts files of its own version and older.
constexpr int kResultsSchemaVersion = 3;
constexpr const char* kResultsSchemaName = "circuit-host results";
// What --compare reads back of a saved run: model_saved.h.

} // namespace host

#endif // CIRCUIT_HOST_MODEL_H
