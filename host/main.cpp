// circuit-host: the benchmark host. Loads a circuit-2 module, shows its
// entries, checks each one it runs against the exact product and times it.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <csignal>
#include <random>

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#define isatty _isatty
#define fileno _fileno
#else
#include <unistd.h>
#endif

#include "host.h"

namespace host {
namespace {

const char kUsage[] =
    "Usage: circuit-host [options] MODULE\n"
    "\n"
    "Loads the circuit-2 module MODULE (a shared library or DLL), shows its circuit,\n"
    "creator and entries, checks the output of every entry it runs against the exact\n"
    "product, and times each entry. By default only the entries whose extensions\n"
    "this processor has are run.\n"
    "\n"
    "Options:\n"
    "  --all                 run every entry, also those the processor lacks extensions for\n"
    "  --entries LIST        run only these entries, e.g. 0,2,5-7\n"
    "  --seed N              seed of the random problem (printed when chosen at random)\n"
    "  --problem FILE        read the problem from FILE instead: 648 coefficients M[0][0]\n"
    "                        .. M[17][35] row by row, then 36 inputs x[0] .. x[35], as\n"
    "                        whitespace-separated decimal numbers; '#' starts a comment\n"
    "  --time-per-entry MS   time spent timing each entry (default 100)\n"
    "  --trials N            timed calls per entry; the count of one call is chosen so\n"
    "                        that it lasts MS/N milliseconds (default 50)\n"
    "  --check-only          check the entries, do not time them\n"
    "  --csv                 print CSV instead of the table\n"
    "  --json                print JSON instead of the table\n"
    "  --svg FILE            also write a bar chart of the times per repetition to FILE\n"
    "  --help                print this text\n"
    "\n"
    "Exit status: 0 when every entry run passed its check, 1 when one failed,\n"
    "2 for bad options, unreadable files or a module this host cannot use,\n"
    "3 when the module stopped the program (the entry running is named).\n";

struct Options {
    std::string module;
    bool all = false;
    std::vector<bool> entries; // empty: all
    bool haveSeed = false;
    uint64_t seed = 0;
    std::string problem;
    double timePerEntryMs = 100;
    int trials = 50;
    bool checkOnly = false;
    bool csv = false, json = false;
    std::string svg;
};

uint64_t parseUnsigned(const std::string& option, const std::string& text, uint64_t max) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos)
        throw Fatal(option + " needs a whole number, not '" + text + "'");
    errno = 0;
    unsigned long long v = std::strtoull(text.c_str(), nullptr, 10);
    if (errno == ERANGE || v > max)
        throw Fatal(option + " " + text + " is too large (at most " + std::to_string(max) + ")");
    return v;
}

std::vector<bool> parseEntries(const std::string& text) {
    std::vector<bool> chosen(kMaxEntries, false);
    size_t i = 0;
    while (i <= text.size()) {
        size_t comma = text.find(',', i);
        if (comma == std::string::npos) comma = text.size();
        std::string item = text.substr(i, comma - i);
        size_t dash = item.find('-');
        uint64_t lo, hi;
        if (dash == std::string::npos) {
            lo = hi = parseUnsigned("--entries", item, kMaxEntries - 1);
        } else {
            lo = parseUnsigned("--entries", item.substr(0, dash), kMaxEntries - 1);
            hi = parseUnsigned("--entries", item.substr(dash + 1), kMaxEntries - 1);
            if (hi < lo) throw Fatal("--entries: empty range '" + item + "'");
        }
        for (uint64_t k = lo; k <= hi; ++k) chosen[k] = true;
        i = comma + 1;
    }
    return chosen;
}

Options parseOptions(int argc, char** argv, bool& help) {
    Options o;
    help = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        std::string value;
        bool hasValue = false;
        if (arg.rfind("--", 0) == 0 && arg.find('=') != std::string::npos) {
            value = arg.substr(arg.find('=') + 1);
            arg = arg.substr(0, arg.find('='));
            hasValue = true;
        }
        auto next = [&]() -> std::string {
            if (hasValue) return value;
            if (i + 1 >= argc) throw Fatal(arg + " needs a value");
            return argv[++i];
        };
        auto flag = [&] {
            if (hasValue) throw Fatal(arg + " takes no value");
        };
        if (arg == "--help" || arg == "-h") {
            help = true;
            return o;
        } else if (arg == "--all") {
            flag();
            o.all = true;
        } else if (arg == "--entries") {
            o.entries = parseEntries(next());
        } else if (arg == "--seed") {
            o.seed = parseUnsigned(arg, next(), UINT64_MAX);
            o.haveSeed = true;
        } else if (arg == "--problem") {
            o.problem = next();
            if (o.problem.empty()) throw Fatal("--problem needs a file name");
        } else if (arg == "--time-per-entry") {
            std::string v = next();
            char* end = nullptr;
            double ms = std::strtod(v.c_str(), &end);
            if (v.empty() || *end != '\0' || !(ms > 0) || ms > 600000)
                throw Fatal("--time-per-entry needs milliseconds above 0 (at most 600000), not '" +
                            v + "'");
            o.timePerEntryMs = ms;
        } else if (arg == "--trials") {
            o.trials = static_cast<int>(parseUnsigned(arg, next(), 100000));
            if (o.trials < 1) throw Fatal("--trials needs at least 1");
        } else if (arg == "--check-only") {
            flag();
            o.checkOnly = true;
        } else if (arg == "--csv") {
            flag();
            o.csv = true;
        } else if (arg == "--json") {
            flag();
            o.json = true;
        } else if (arg == "--svg") {
            o.svg = next();
            if (o.svg.empty()) throw Fatal("--svg needs a file name");
        } else if (arg.size() > 1 && arg[0] == '-') {
            throw Fatal("unknown option " + arg);
        } else {
            if (!o.module.empty()) throw Fatal("more than one module given: " + o.module + ", " + arg);
            o.module = arg;
        }
    }
    if (o.module.empty()) throw Fatal("no module given");
    if (o.csv && o.json) throw Fatal("--csv and --json cannot be combined");
    if (o.haveSeed && !o.problem.empty()) throw Fatal("--seed and --problem cannot be combined");
    return o;
}

// Progress on stderr, only when a person watches it.
class Progress {
  public:
    explicit Progress(int total) : total_(total), on_(isatty(fileno(stderr)) != 0) {}
    void show(int done, const std::string& what) {
        if (!on_) return;
        const int barWidth = 30;
        const int filled = total_ ? done * barWidth / total_ : barWidth;
        std::string bar(static_cast<size_t>(filled), '#');
        bar.append(static_cast<size_t>(barWidth - filled), '.');
        char head[64];
        std::snprintf(head, sizeof head, "[%s] %d/%d ", bar.c_str(), done, total_);
        std::string line = head + what;
        const int width = displayWidth(line);
        // Blanks rather than terminal escapes clear what a longer line left.
        if (width < shown_) line.append(static_cast<size_t>(shown_ - width), ' ');
        shown_ = width;
        std::fprintf(stderr, "\r%s", line.c_str());
        std::fflush(stderr);
    }
    void finish() {
        if (!on_ || shown_ == 0) return;
        std::fprintf(stderr, "\r%s\r", std::string(static_cast<size_t>(shown_), ' ').c_str());
        std::fflush(stderr);
    }

  private:
    int total_;
    bool on_;
    int shown_ = 0;
};

// What the host is doing inside the module, for the message when the module
// stops the program (an illegal instruction on a processor without the
// extension, a stray pointer). Written before each call into the module.
char gInside[160] = "loading the module";

extern "C" void moduleCrashed(int signal) {
    const char* what = signal == SIGILL ? "an illegal instruction"
                       : signal == SIGFPE ? "an arithmetic exception"
                       : signal == SIGSEGV ? "a memory access violation"
                                           : "a fatal signal";
    char text[320];
    std::snprintf(text, sizeof text, "\ncircuit-host: the module stopped the program with %s while %s\n",
                  what, gInside);
    std::fputs(text, stderr);
    std::fflush(stderr);
    std::_Exit(3);
}

void inside(const std::string& what) { std::snprintf(gInside, sizeof gInside, "%s", what.c_str()); }

double now() {
    using clock = std::chrono::steady_clock;
    return std::chrono::duration<double>(clock::now().time_since_epoch()).count();
}

constexpr int32_t kMaxCount = 1 << 30;

// Times entry `index` on its blocks: finds a count for which one call lasts
// about `callSeconds`, then takes `trials` timed calls.
Timing timeEntry(const Module& module, uint32_t index, EntryBlocks& blocks, const Processor& cpu,
                 double callSeconds, int trials) {
    Timing t;
    auto call = [&](int32_t count) {
        const double start = now();
        module.run(index, blocks.coefficients(), blocks.input(), blocks.output(), count);
        return now() - start;
    };
    int32_t count = 1;
    for (;;) {
        const double elapsed = call(count);
        if (elapsed >= 0.8 * callSeconds || count >= kMaxCount) break;
        double scale = elapsed > 20e-6 ? callSeconds / elapsed * 1.05 : 16.0;
        scale = std::min(16.0, std::max(1.25, scale));
        count = static_cast<int32_t>(std::min<double>(kMaxCount, std::ceil(count * scale)));
    }
    std::vector<double> ns, cycles;
    for (int k = 0; k < trials; ++k) {
        const double start = now();
        const uint64_t c0 = readTsc(cpu);
        module.run(index, blocks.coefficients(), blocks.input(), blocks.output(), count);
        const uint64_t c1 = readTsc(cpu);
        const double elapsed = now() - start;
        ns.push_back(elapsed * 1e9 / count);
        cycles.push_back(static_cast<double>(c1 - c0) / count);
    }
    std::sort(ns.begin(), ns.end());
    std::sort(cycles.begin(), cycles.end());
    auto median = [](const std::vector<double>& v) {
        const size_t n = v.size();
        return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
    };
    t.done = true;
    t.count = count;
    t.minNs = ns.front();
    t.medianNs = median(ns);
    if (cpu.tsc) {
        t.minCycles = cycles.front();
        t.medianCycles = median(cycles);
    }
    return t;
}

bool sameBits(const float* a, const float* b) { return std::memcmp(a, b, OUTPUT_COUNT * 4) == 0; }

// Entries that reproduce one another's summation bit for bit: the 3DNow! SOA
// entries, the SSE entries and the fixed-point entries of circuit 2.
const std::vector<std::vector<int>> kSameBits = {{7, 8, 9}, {10, 11}, {12, 13}};

void compareGroups(RunInfo& run) {
    for (const auto& group : kSameBits) {
        const EntryResult* first = nullptr;
        for (int index : group) {
            if (index >= static_cast<int>(run.entries.size())) break;
            EntryResult& e = run.entries[static_cast<size_t>(index)];
            if (!e.ran || e.status == Status::Failed) continue;
            if (first == nullptr) {
                first = &e;
            } else if (!sameBits(first->check.y, e.check.y)) {
                e.status = Status::Failed;
                e.reason = "output differs from entry " + std::to_string(first->index) +
                           ", which must give the same bits";
            }
        }
    }
}

int runHost(int argc, char** argv) {
    bool help = false;
    Options o = parseOptions(argc, argv, help);
    if (help) {
        std::fputs(kUsage, stdout);
        return 0;
    }

    RunInfo run;
    run.timePerEntryMs = o.checkOnly ? 0 : o.timePerEntryMs;
    run.trials = o.checkOnly ? 0 : o.trials;
    run.all = o.all;
    circuit::Problem problem;
    if (!o.problem.empty()) {
        run.problem.fromFile = true;
        run.problem.path = o.problem;
        problem = readProblem(o.problem);
    } else {
        if (o.haveSeed) {
            run.problem.seed = o.seed;
        } else {
            std::random_device rd;
            run.problem.seed = (static_cast<uint64_t>(rd()) ^ static_cast<uint64_t>(std::time(nullptr))) &
                               0xFFFFFFFFu;
        }
        problem = randomProblem(run.problem.seed);
    }
    // Before the module is loaded: nothing of it can affect the reference.
    const Reference reference = exactReference(problem);

    for (int sig : {SIGILL, SIGSEGV, SIGFPE}) std::signal(sig, moduleCrashed);
#ifdef SIGBUS
    std::signal(SIGBUS, moduleCrashed);
#endif
    Module module(o.module);
    inside("asking the module for its circuit, creator and entries");
    run.module = module.query();
    bool creatorConverted = true;
    run.creator = sjisToUtf8(run.module.creator, &creatorConverted);
    run.cpu = detectProcessor();

    const int count = static_cast<int>(run.module.records.size());
    for (int i = 0; i < count; ++i) {
        EntryResult e;
        e.index = i;
        e.record = run.module.records[static_cast<size_t>(i)];
        e.nameTerminated = run.module.nameTerminated[static_cast<size_t>(i)];
        std::string raw(e.record.name, e.nameTerminated ? std::strlen(e.record.name) : ENTRY_NAME_BYTES);
        e.name = sjisToUtf8(raw, &e.nameConverted);
        e.missing = missingExtensions(e.record.flags, run.cpu);
        e.runnable = e.missing.empty();
        e.selected = o.entries.empty() || o.entries[static_cast<size_t>(i)];
        run.entries.push_back(e);
    }
    if (!o.entries.empty())
        for (int k = count; k < kMaxEntries; ++k)
            if (o.entries[static_cast<size_t>(k)])
                throw Fatal("--entries names entry " + std::to_string(k) + "; the module has " +
                            std::to_string(count) + " entries (0 to " + std::to_string(count - 1) + ")");

    std::vector<size_t> toRun;
    for (EntryResult& e : run.entries) {
        if (!e.selected) {
            e.reason = "not selected";
        } else if (!e.runnable && !o.all) {
            e.reason = "this processor lacks " + e.missing;
        } else {
            toRun.push_back(static_cast<size_t>(e.index));
        }
    }

    Progress progress(static_cast<int>(toRun.size()) * (o.checkOnly ? 1 : 2));
    int step = 0;
    std::vector<EntryBlocks> blocks;
    blocks.reserve(toRun.size());
    for (size_t k : toRun) {
        EntryResult& e = run.entries[k];
        progress.show(step++, "checking " + e.name);
        inside("running entry " + std::to_string(e.index) + " (" + e.name + ")");
        blocks.emplace_back(e.record.flags, problem);
        EntryBlocks& b = blocks.back();
        module.run(static_cast<uint32_t>(e.index), b.coefficients(), b.input(), b.output(), 1);
        e.ran = true;
        e.check = checkOutput(e.record.flags, b.output(), reference);
        const std::vector<int> missing = b.unwritten();
        const std::string damage = b.damage();
        if (!damage.empty() || !missing.empty()) // no error to speak of
            e.check.maxError = e.check.bound = e.check.worstRatio = NAN;
        if (!damage.empty()) {
            e.status = Status::Failed;
            e.reason = damage;
        } else if (missing.size() == OUTPUT_COUNT) {
            e.status = Status::Failed;
            e.reason = "wrote no output";
        } else if (!missing.empty()) {
            e.status = Status::Failed;
            e.reason = "did not write y[" + std::to_string(missing.front()) + "]" +
                       (missing.size() > 1 ? " and " + std::to_string(missing.size() - 1) + " more" : "");
        } else if (e.check.unchecked) {
            e.status = Status::Unchecked;
            e.reason = e.check.reason;
        } else if (!e.check.ok) {
            e.status = Status::Failed;
            e.reason = e.check.reason;
        } else {
            e.status = Status::Ok;
        }
    }
    compareGroups(run);

    if (!o.checkOnly) {
        const double callSeconds = o.timePerEntryMs / 1000.0 / o.trials;
        for (size_t n = 0; n < toRun.size(); ++n) {
            EntryResult& e = run.entries[toRun[n]];
            progress.show(step++, "timing " + e.name);
            inside("timing entry " + std::to_string(e.index) + " (" + e.name + ")");
            if (e.status != Status::Ok && e.status != Status::Unchecked) continue;
            EntryBlocks& b = blocks[n];
            b.resetOutput();
            e.timing = timeEntry(module, static_cast<uint32_t>(e.index), b, run.cpu, callSeconds, o.trials);
            // Many repetitions must leave what one left, and nothing else.
            const std::string damage = b.damage();
            if (!damage.empty() || !sameBits(b.output(), e.check.y)) {
                e.status = Status::Failed;
                e.reason = !damage.empty() ? damage + " when timed"
                                           : "a count of " + std::to_string(e.timing.count) +
                                                 " gives another output than a count of 1";
                e.timing = Timing();
            }
        }
        double fastest = 0;
        for (const EntryResult& e : run.entries)
            if (e.timing.done && (fastest == 0 || e.timing.medianNs < fastest)) fastest = e.timing.medianNs;
        for (EntryResult& e : run.entries)
            if (e.timing.done && e.timing.medianNs > 0) e.timing.relative = fastest / e.timing.medianNs;
    }
    progress.finish();

    for (const EntryResult& e : run.entries)
        if (e.status == Status::Failed) ++run.failed;

    if (o.json)
        printJson(run, stdout);
    else if (o.csv)
        printCsv(run, stdout);
    else
        printTable(run, stdout);
    std::fflush(stdout);

    if (!o.svg.empty()) {
        std::FILE* f = std::fopen(o.svg.c_str(), "wb");
        if (f == nullptr) throw Fatal("cannot write " + o.svg + ": " + std::strerror(errno));
        const std::string svg = svgChart(run);
        const bool ok = std::fwrite(svg.data(), 1, svg.size(), f) == svg.size();
        if (std::fclose(f) != 0 || !ok) throw Fatal("cannot write " + o.svg);
    }
    return run.failed ? 1 : 0;
}

} // namespace
} // namespace host

int main(int argc, char** argv) {
#ifdef _WIN32
    SetConsoleOutputCP(CP_UTF8); // the names are printed as UTF-8
#endif
    try {
        return host::runHost(argc, argv);
    } catch (const host::Fatal& e) {
        std::fprintf(stderr, "circuit-host: %s\n", e.what());
        if (std::strstr(e.what(), "option") || std::strstr(e.what(), "no module given"))
            std::fprintf(stderr, "Try 'circuit-host --help'.\n");
        return 2;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "circuit-host: %s\n", e.what());
        return 2;
    }
}
