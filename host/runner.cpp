// Running the planned entries in turn, each in a process of its own, with
// progress on the terminal; how each process ended becomes its result.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <new>

#ifdef _WIN32
#include <io.h>
#define isatty _isatty
#define fileno _fileno
#else
#include <unistd.h>
#endif

#include "errors.h"
#include "runner.h"
#include "signals.h"
#include "text.h"

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

} // namespace

namespace {

// What an entry's process answers when the entry ended its work by throwing.
std::string thrown(EntryResult mine, const char* why) {
    mine.ran = true;
    mine.status = Status::Crashed;
    mine.reason = why;
    mine.timing = Timing();
    mine.check = Check();
    mine.check.maxError = mine.check.bound = mine.check.worstRatio = NAN;
    for (float& y : mine.check.y) y = NAN;
    return encodeOutcome(mine, 0);
}

} // namespace

std::string answerEntry(const Module& module, EntryResult mine, const circuit::Problem& problem,
                        const Reference& reference, const WorkSettings& w) {
    try {
        const double seconds = runEntryWork(module, mine, problem, reference, w);
        return encodeOutcome(mine, seconds);
    } catch (const Fatal& error) {
        return encodeError(error.what()); // the host's own failure
    } catch (const std::bad_alloc&) {
        return thrown(mine, "ran out of memory");
    } catch (...) {
        return thrown(mine, "threw an exception");
    }
}

void takeOutcome(const Isolated& r, bool interrupted, double timeoutSeconds, EntryResult& e, double& workSeconds) {
    workSeconds = 0;
    if (interrupted && r.kind != Isolated::Finished) {
        e.reason = "interrupted";
    } else if (r.kind == Isolated::Finished) {
        workSeconds = decodeOutcome(r.answer, e);
    } else {
        e.ran = true;
        e.status = r.kind == Isolated::TimedOut ? Status::TimedOut : Status::Crashed;
        char limit[32];
        std::snprintf(limit, sizeof limit, "%g", timeoutSeconds);
        e.reason = r.kind == Isolated::TimedOut ? std::string("after ") + limit + " s" : r.how;
        e.check = Check();
        e.check.maxError = e.check.bound = e.check.worstRatio = NAN;
        for (float& y : e.check.y) y = NAN;
    }
}

void runEntries(const Module& module, const circuit::Problem& problem, const Reference& reference,
                const RunSettings& s, const std::vector<size_t>& toRun, RunInfo& run) {
    Progress progress(static_cast<int>(toRun.size()));
    int step = 0;
    catchInterruption();
    for (size_t k : toRun) {
        EntryResult& e = run.entries[k];
        if (interrupted()) {
            e.reason = "not run: interrupted";
            continue;
        }
        progress.show(step++, (s.work.checkOnly ? "checking " : "checking and timing ") + e.name);
        const Isolated r = runIsolated(
            [&] { return answerEntry(module, e, problem, reference, s.work); },
            encodeJob(s.modulePath, e, problem, s.work), s.timeoutSeconds, interruptionFlag());
        ++run.children;
        double workSeconds = 0;
        takeOutcome(r, interrupted(), s.timeoutSeconds, e, workSeconds);
        run.isolationSeconds += std::max(0.0, r.seconds - workSeconds);
        e.substitute = e.ran && !e.runnable && !isFailure(e.status);
    }
    progress.finish();
    if (interrupted()) std::fputs("circuit-host: interrupted; the entries measured so far follow\n", stderr);
}

} // namespace host
