// Running the planned entries in turn, each in a process of its own, with
// progress on the terminal; how each process ended becomes its result.
#include <algorithm>
#include <cstdio>

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#define isatty _isatty
#define fileno _fileno
#else
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>
#endif

#include "answer.h"
#include "clock.h"
#include "console.h"
#include "errors.h"
#include "reference.h"
#include "runner.h"
#include "sandbox.h"
#include "signals.h"
#include "text.h"
#include "verify.h"

namespace host {

namespace {

// Columns of the terminal on stderr; 80 when it does not say.
int terminalColumns() {
#ifdef _WIN32
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (GetConsoleScreenBufferInfo(GetStdHandle(STD_ERROR_HANDLE), &info))
        return info.srWindow.Right - info.srWindow.Left + 1;
#else
    winsize size = {};
    if (ioctl(2, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
#endif
    return 80;
}

// The longest start of `utf8` that fits in `columns` terminal columns, cut
// between characters.
std::string fitColumns(const std::string& utf8, int columns) {
    size_t end = 0;
    int used = 0;
    while (end < utf8.size()) {
        const size_t n = std::max<size_t>(1, utf8Length(static_cast<unsigned char>(utf8[end])));
        const int w = displayWidth(utf8.substr(end, n));
        if (used + w > columns) break;
        used += w;
        end += n;
    }
    return utf8.substr(0, end);
}

// The progress line on stderr, only when a person watches it: which entry
// runs, whether it is being checked or timed, and how long it has run of its
// timeout; redrawn about twice a second and cleared when the entry ends.
class Progress {
  public:
    Progress(size_t total, double timeout) : total_(total), timeout_(timeout), on_(isatty(fileno(stderr)) != 0) {}
    void start(const EntryResult& e, const volatile int* checked, bool checkOnly) {
        entry_ = &e;
        checked_ = checked;
        checkOnly_ = checkOnly;
        started_ = steadySeconds();
        drawn_ = -1;
        tick();
    }
    void tick() {
        const double now = steadySeconds();
        if (!on_ || entry_ == nullptr || (drawn_ >= 0 && now - drawn_ < 0.5)) return;
        drawn_ = now;
        const char* phase = checkOnly_ || (checked_ != nullptr && *checked_ == 0) ? "checking"
                            : checked_ != nullptr                                ? "timing"
                                                                                 : "checking and timing";
        char tail[128];
        std::snprintf(tail, sizeof tail, "): %s, %.1f s of %g s timeout", phase, now - started_, timeout_);
        const std::string line = "circuit-host: entry " + std::to_string(entry_->index) + " of " +
                                 std::to_string(total_) + " (" + printable(entry_->name) + tail;
        drawProgressLine(fitColumns(line, terminalColumns() - 1));
    }
    void end() {
        if (on_ && entry_ != nullptr) drawProgressLine("");
        entry_ = nullptr;
    }

  private:
    size_t total_;
    double timeout_;
    bool on_;
    const EntryResult* entry_ = nullptr;
    const volatile int* checked_ = nullptr;
    bool checkOnly_ = false;
    double started_ = 0, drawn_ = -1;
};

// One int the entry's forked process sets and the host reads: whether the
// checked call is done. None on Windows, whose worker is not a fork.
volatile int* sharedFlag() {
#ifdef _WIN32
    return nullptr;
#else
    static void* page = mmap(nullptr, sizeof(int), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    return page == MAP_FAILED ? nullptr : static_cast<volatile int*>(page);
#endif
}

} // namespace

void takeOutcome(const Isolated& r, const Judge& judge, EntryResult& e, double& workSeconds) {
    workSeconds = 0;
    if (judge.interrupted && r.kind != Isolated::Finished) {
        e.reason = "interrupted";
    } else if (r.kind == Isolated::Finished) {
        try {
            const EntryResult planned = e;
            workSeconds = decodeOutcome(r.answer, e);
            e.index = planned.index;
            e.record = planned.record;
            verifyAnswer(e, judge.reference, judge.ownTable, r.seconds);
        } catch (const Fatal& nonsense) {
            endWithoutOutput(e, Status::Crashed, printable(std::string("answered nonsense: ") + nonsense.what()));
        }
        if (!(workSeconds >= 0 && workSeconds <= r.seconds)) workSeconds = r.seconds;
    } else {
        char limit[32];
        std::snprintf(limit, sizeof limit, "%g", judge.timeoutSeconds);
        endWithoutOutput(e, r.kind == Isolated::TimedOut ? Status::TimedOut : Status::Crashed,
                 r.kind == Isolated::TimedOut ? std::string("after ") + limit + " s" : r.how);
    }
}

void runEntries(const Module& module, const circuit::Problem& problem, const Reference& reference,
                const RunSettings& s, const std::vector<size_t>& toRun, RunInfo& run) {
    run.protectionNote = protectHost();
    Progress progress(run.entries.size(), s.timeoutSeconds);
    WorkSettings work = s.work;
    work.checked = sharedFlag();
    work.ownTable = isOwnTable(run.module);
    Judge judge{reference, work.ownTable, s.timeoutSeconds, false};
    catchInterruption();
    for (size_t k : toRun) {
        EntryResult& e = run.entries[k];
        if (interrupted()) {
            e.reason = "not run: interrupted";
            continue;
        }
        if (work.checked != nullptr) *work.checked = 0;
        progress.start(e, work.checked, work.checkOnly);
#ifdef _WIN32
        const std::string job = encodeJob(s.modulePath, e, problem, work);
#else
        const std::string job;
#endif
        const Isolated r = runIsolated([&] { return answerEntry(module, e, problem, reference, work); }, job,
                                       s.timeoutSeconds, interruptionFlag(), [&] { progress.tick(); });
        progress.end();
        ++run.children;
        double workSeconds = 0;
        judge.interrupted = interrupted();
        takeOutcome(r, judge, e, workSeconds);
        run.isolationSeconds += std::max(0.0, r.seconds - workSeconds);
        e.substitute = e.ran && !e.runnable && !isFailure(e.status);
    }
    if (interrupted()) std::fputs("circuit-host: interrupted; the entries measured so far follow\n", stderr);
}

} // namespace host
