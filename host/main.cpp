// circuit-host: the benchmark host. Loads a circuit-2 module, shows its
// entries, and checks and times each one it runs in a process of its own.
#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstring>
#include <ctime>
#include <memory>
#include <random>

#ifdef _WIN32
#include <fcntl.h>
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
        shown_ = 0;
    }

  private:
    int total_;
    bool on_;
    int shown_ = 0;
};

// What the host is doing inside the module while it loads and queries it in
// its own process, for the message when the module stops the program there.
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
            if (!e.ran || isFailure(e.status)) continue;
            if (first == nullptr) {
                first = &e;
            } else if (!sameBits(first->check.y, e.check.y)) {
                e.status = Status::Failed;
                e.reason = "output differs from entry " + std::to_string(first->index) +
                           ", which must give the same bits";
                e.timing = Timing();
            }
        }
    }
}

// Core clock of the run: the median of what the entries' calibrations saw.
void summariseClocks(RunInfo& run) {
    std::vector<double> hz;
    std::string note;
    for (const EntryResult& e : run.entries) {
        if (!e.timing.done) continue;
        if (coreHz(e.timing) > 0)
            hz.push_back(coreHz(e.timing));
        else if (note.empty())
            note = e.timing.clockNote;
    }
    if (!hz.empty()) {
        std::sort(hz.begin(), hz.end());
        run.machine.coreGHz = hz[hz.size() / 2] / 1e9;
    } else {
        run.machine.clockNote = note.empty() ? "no entry was timed" : note;
    }
}

// Ctrl-C: the entry running is stopped (its process gets the signal too),
// the entries measured so far are reported, and the exit status is 130.
volatile std::sig_atomic_t gInterrupted = 0;
extern "C" void interrupted(int) { gInterrupted = 1; }
#ifdef _WIN32
BOOL WINAPI consoleInterrupt(DWORD event) {
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) return FALSE;
    gInterrupted = 1;
    return TRUE;
}
#endif

void finishStdout() {
    errno = 0;
    if (std::fflush(stdout) != 0 || std::ferror(stdout))
        throw Fatal(std::string("cannot write the results to standard output: ") +
                    (errno ? std::strerror(errno) : "write error"));
}

int compareRuns(const Options& o) {
    std::unique_ptr<OutputFile> svg(o.svg.empty() ? nullptr : new OutputFile(o.svg));
    std::vector<SavedRun> runs;
    for (const std::string& file : o.compare) runs.push_back(readSavedRun(file));
    printComparison(runs, stdout);
    finishStdout();
    if (svg) svg->write(comparisonSvg(runs));
    return 0;
}

// The child's side on Windows: the job arrives on stdin, the answer leaves on
// stdout.
int workerMain() {
#ifdef _WIN32
    prepareWorker();
    _setmode(_fileno(stdin), _O_BINARY);
    // The answer goes to the pipe that stdout is now; what the module prints
    // goes to stderr, so that it cannot mix with the answer.
    std::fflush(stdout);
    const int answerPipe = _dup(_fileno(stdout));
    _setmode(answerPipe, _O_BINARY);
    _dup2(_fileno(stderr), _fileno(stdout));
    SetStdHandle(STD_OUTPUT_HANDLE, GetStdHandle(STD_ERROR_HANDLE));
#endif
    std::string job;
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, stdin)) > 0) job.append(buffer, n);
    std::string path;
    EntryResult e;
    circuit::Problem problem;
    WorkSettings w;
    decodeJob(job, path, e, problem, w);
    w.cpu = detectProcessor();
    const Reference reference = exactReference(problem);
    const std::string overflow = overflowText(reference);
    if (!overflow.empty()) throw Fatal("cannot use this problem: " + overflow);
    Module module(path);
    const double seconds = runEntryWork(module, e, problem, reference, w);
    const std::string answer = sealAnswer(encodeOutcome(e, seconds));
#ifdef _WIN32
    return _write(answerPipe, answer.data(), static_cast<unsigned>(answer.size())) ==
                   static_cast<int>(answer.size())
               ? 0
               : 2;
#else
    std::fwrite(answer.data(), 1, answer.size(), stdout);
    return std::fflush(stdout) == 0 ? 0 : 2;
#endif
}

int runHost(const std::vector<std::string>& args) {
    const Options o = parseOptions(args);
    if (o.help) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (o.version) {
        std::printf("circuit-host %s (%d-bit)\n", hostVersion().c_str(), static_cast<int>(sizeof(void*) * 8));
        return 0;
    }
    if (o.worker) return workerMain();
    if (!o.compare.empty()) return compareRuns(o);

    // Outputs are checked before any work.
    std::unique_ptr<OutputFile> svg(o.svg.empty() ? nullptr : new OutputFile(o.svg));
    RunInfo run;
    run.timePerEntryMs = o.checkOnly ? 0 : o.timePerEntryMs;
    run.trials = o.checkOnly ? 0 : o.trials;
    run.timeoutSeconds = o.timeoutSeconds;
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
    const std::string overflow = overflowText(reference);
    if (!overflow.empty()) throw Fatal("cannot use this problem: " + overflow);

    for (int sig : {SIGILL, SIGSEGV, SIGFPE}) std::signal(sig, moduleCrashed);
#ifdef SIGBUS
    std::signal(SIGBUS, moduleCrashed);
#endif
    Module module(o.module);
    run.moduleFile = describeModuleFile(o.module);
    std::snprintf(gInside, sizeof gInside, "asking the module for its circuit, creator and entries");
    run.module = module.query();
    bool creatorConverted = true;
    run.creator = sjisToUtf8(run.module.creator, &creatorConverted);
    run.machine = describeMachine();

    const int count = static_cast<int>(run.module.records.size());
    for (int i = 0; i < count; ++i) {
        EntryResult e;
        e.index = i;
        e.record = run.module.records[static_cast<size_t>(i)];
        e.nameTerminated = run.module.nameTerminated[static_cast<size_t>(i)];
        std::string raw(e.record.name, e.nameTerminated ? std::strlen(e.record.name) : ENTRY_NAME_BYTES);
        e.name = sjisToUtf8(raw, &e.nameConverted);
        e.missing = missingExtensions(e.record.flags, run.machine.cpu);
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

    WorkSettings work;
    work.checkOnly = o.checkOnly;
    work.callSeconds = o.timePerEntryMs / 1000.0 / o.trials;
    work.trials = o.trials;
    work.cpu = run.machine.cpu;
    Progress progress(static_cast<int>(toRun.size()));
    int step = 0;
    std::signal(SIGINT, interrupted);
#ifdef _WIN32
    SetConsoleCtrlHandler(consoleInterrupt, TRUE);
#endif
    for (size_t k : toRun) {
        EntryResult& e = run.entries[k];
        if (gInterrupted) {
            e.reason = "not run: interrupted";
            continue;
        }
        progress.show(step++, (o.checkOnly ? "checking " : "checking and timing ") + e.name);
        const Isolated r = runIsolated(
            [&] {
                EntryResult mine = e;
                const double seconds = runEntryWork(module, mine, problem, reference, work);
                return encodeOutcome(mine, seconds);
            },
            encodeJob(o.module, e, problem, work), o.timeoutSeconds, &gInterrupted);
        ++run.children;
        double workSeconds = 0;
        if (gInterrupted && r.kind != Isolated::Finished) {
            e.reason = "interrupted";
        } else if (r.kind == Isolated::Finished) {
            workSeconds = decodeOutcome(r.answer, e);
        } else {
            e.ran = true;
            e.status = r.kind == Isolated::TimedOut ? Status::TimedOut : Status::Crashed;
            char limit[32];
            std::snprintf(limit, sizeof limit, "%g", o.timeoutSeconds);
            e.reason = r.kind == Isolated::TimedOut ? std::string("after ") + limit + " s" : r.how;
            e.check = Check();
            e.check.maxError = e.check.bound = e.check.worstRatio = NAN;
            for (float& y : e.check.y) y = NAN;
        }
        run.isolationSeconds += std::max(0.0, r.seconds - workSeconds);
        e.substitute = e.ran && !e.runnable && !isFailure(e.status);
    }
    compareGroups(run);
    progress.finish();
    if (gInterrupted) std::fputs("circuit-host: interrupted; the entries measured so far follow\n", stderr);

    if (!o.checkOnly) {
        double fastest = 0;
        for (const EntryResult& e : run.entries)
            if (e.timing.done && (fastest == 0 || e.timing.medianNs < fastest)) fastest = e.timing.medianNs;
        for (EntryResult& e : run.entries)
            if (e.timing.done && e.timing.medianNs > 0) e.timing.relative = fastest / e.timing.medianNs;
    }
    summariseClocks(run);
    for (const EntryResult& e : run.entries)
        if (isFailure(e.status)) ++run.failed;

    if (o.json)
        std::fputs(resultsJson(run).c_str(), stdout);
    else if (o.csv)
        printCsv(run, stdout);
    else
        printTable(run, stdout);
    finishStdout();
    if (svg) svg->write(svgChart(run));
    if (gInterrupted) return 130;
    return run.failed ? 1 : 0;
}

} // namespace
} // namespace host

int main(int argc, char** argv) {
#ifdef _WIN32
    SetConsoleOutputCP(CP_UTF8); // the names are printed as UTF-8
#endif
    std::vector<std::string> args;
#ifdef _WIN32
    // The wide command line: every path, not only those of the ANSI code page.
    (void)argv;
    int wideCount = 0;
    wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &wideCount);
    for (int i = 1; wide != nullptr && i < wideCount; ++i) args.push_back(host::utf8Text(wide[i]));
    if (wide != nullptr) LocalFree(wide);
#else
    args.assign(argv + 1, argv + argc);
#endif
    (void)argc;
    try {
        return host::runHost(args);
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
