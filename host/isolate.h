// Running one entry where a fault cannot reach the host: a child process per
// entry, a deadline, and one reading of how the child ended.
#ifndef CIRCUIT_HOST_ISOLATE_H
#define CIRCUIT_HOST_ISOLATE_H

#include <csignal>
#include <functional>
#include <string>

namespace host {

struct Isolated {
    enum Kind { Finished, Crashed, TimedOut } kind = Crashed;
    std::string answer;   // what the work returned (Finished)
    std::string how;      // Crashed: "illegal instruction", "exited with status 0 inside the module"
    double seconds = 0;   // from starting the child to reaping it
};

// How a child that was not killed for its deadline ended: by a signal or an
// exception (`fault`, named), or with an exit status.
struct ChildEnd {
    bool faulted = false;
    std::string fault;
    unsigned long status = 0;
};

// The one place that turns a child's end and its answer into a verdict: a
// fault is a crash, so is an answer cut short or a status other than 0;
// otherwise the answer (without its end mark) is the result.
void classifyEnd(const ChildEnd& end, Isolated& r);

// Runs one entry's work in a child process and waits at most timeoutSeconds.
// POSIX: the child is a fork that calls `work`. Windows: the child is this
// program with --worker, given `job` on stdin; it answers with workerMain.
// A nonzero *stop (set by a signal handler) ends the child at once.
// `waiting` is called every few tens of milliseconds while the child runs.
Isolated runIsolated(const std::function<std::string()>& work, const std::string& job, double timeoutSeconds,
                     const volatile std::sig_atomic_t* stop, const std::function<void()>& waiting);
// The answer a child writes: its text and an end mark.
std::string sealAnswer(std::string answer);
#ifdef _WIN32
// Makes an unhandled exception end the worker with the exception's code.
void prepareWorker();
#endif

} // namespace host

#endif // CIRCUIT_HOST_ISOLATE_H
