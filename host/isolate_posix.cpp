// An entry's process on POSIX systems: a fork of the host, with the module
// already loaded, in a process group of its own and confined (sandbox.h),
// answering through a pipe; the host waits until the child has ended,
// stopped or the deadline passed, then kills the child's group and whatever
// the child left behind.
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <initializer_list>
#include <fcntl.h>
#include <poll.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include "clock.h"
#include "errors.h"
#include "isolate.h"
#include "sandbox.h"
#include "signals.h"
#include "text.h"

namespace host {

namespace {

std::string signalName(int sig) {
    const char* s = signalWords(sig);
    if (!s) s = strsignal(sig);
    return s ? s : "signal " + std::to_string(sig);
}

void writeAll(int fd, const std::string& s) {
    size_t done = 0;
    while (done < s.size()) {
        const ssize_t n = write(fd, s.data() + done, s.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        done += static_cast<size_t>(n);
    }
}

// The child: a process group of its own, so that whatever it starts ends
// with it; nothing to read (stdin on /dev/null, and reading or writing the
// terminal from the background is no reason to stop); the module's prints
// go to the prints pipe, the work's answer to the answer pipe; then it is
// confined (sandbox.h) and does the work.
[[noreturn]] void beChild(const std::function<std::string()>& work, int answerFd, int printsFd, long hostPid) {
    setpgid(0, 0);
    for (int sig : {SIGILL, SIGSEGV, SIGFPE, SIGBUS, SIGINT, SIGTERM, SIGHUP, SIGCHLD, SIGPIPE, SIGALRM})
        std::signal(sig, SIG_DFL);
    std::signal(SIGTTIN, SIG_IGN);
    std::signal(SIGTTOU, SIG_IGN);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    const int null = open("/dev/null", O_RDONLY);
    if (null >= 0 && null != 0) {
        dup2(null, 0);
        close(null);
    }
    dup2(printsFd, 1); // what the module prints must not mix with the results
    dup2(printsFd, 2);
    close(printsFd);
    const int fd = confineEntry(answerFd, hostPid);
    writeAll(fd, sealAnswer(work()));
    _exit(0);
}

// The host's ends of the entry's two pipes: its answer, and what the module
// printed, which goes on to the host's stderr with control characters
// escaped.
struct Pipes {
    int answer = -1, prints = -1;
    bool answerOpen = true, printsOpen = true;
};

// Reads what is waiting in `fd` without blocking; false once it is closed.
bool drain(int fd, std::string& text) {
    char buffer[4096];
    for (;;) {
        pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, 0) <= 0) return true;
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        text.append(buffer, static_cast<size_t>(n));
    }
}

// Passes on what the module printed, line by line, made printable.
void relayPrints(int fd, bool& open, std::string& pending, bool all) {
    if (open) open = drain(fd, pending);
    size_t end;
    while ((end = pending.find('\n')) != std::string::npos || (all && !pending.empty())) {
        const size_t n = end == std::string::npos ? pending.size() : end;
        const std::string line = printable(pending.substr(0, n)) + "\n";
        writeAll(2, line);
        pending.erase(0, std::min(pending.size(), n + 1));
    }
}

// Collects the child's answer until the child itself has ended (whatever it
// did with the pipe, and whoever else holds it open); false when the
// deadline passed, the child stopped or *stop was set first. The child is
// reaped on true.
bool awaitChild(pid_t pid, Pipes& pipes, double deadline, const volatile std::sig_atomic_t* stop,
                std::string& answer, int& status, const std::function<void()>& waiting) {
    std::string prints;
    for (;;) {
        waiting();
        const pid_t done = waitpid(pid, &status, WNOHANG | WUNTRACED);
        if (done == pid && !WIFSTOPPED(status)) {
            if (pipes.answerOpen) drain(pipes.answer, answer);
            relayPrints(pipes.prints, pipes.printsOpen, prints, true);
            return true;
        }
        if (done == pid) return false; // stopped: it will not go on by itself
        const double left = deadline - steadySeconds();
        if (left <= 0 || *stop) return false;
        const int wait = static_cast<int>(std::min(left, 0.02) * 1000) + 1;
        pollfd p[2] = {{pipes.answerOpen ? pipes.answer : -1, POLLIN, 0},
                       {pipes.printsOpen ? pipes.prints : -1, POLLIN, 0}};
        if (poll(p, 2, wait) > 0) {
            if (p[0].revents != 0) pipes.answerOpen = drain(pipes.answer, answer);
            if (p[1].revents != 0) relayPrints(pipes.prints, pipes.printsOpen, prints, false);
        }
    }
}

} // namespace

Isolated runIsolated(const std::function<std::string()>& work, const std::string&, double timeoutSeconds,
                     const volatile std::sig_atomic_t* stop, const std::function<void()>& waiting) {
    int answer[2], prints[2];
    if (pipe2(answer, O_CLOEXEC) != 0 || pipe2(prints, O_CLOEXEC) != 0)
        throw Fatal(std::string("cannot create a pipe for an entry's process: ") + std::strerror(errno));
    std::fflush(nullptr);
    const long hostPid = static_cast<long>(getpid());
    const double start = steadySeconds();
    const pid_t pid = fork();
    if (pid < 0) throw Fatal(std::string("cannot start a process for an entry: ") + std::strerror(errno));
    if (pid == 0) {
        close(answer[0]);
        close(prints[0]);
        beChild(work, answer[1], prints[1], hostPid);
    }
    setpgid(pid, pid); // also here, so that no kill below can come before the child's own call
    close(answer[1]);
    close(prints[1]);
    Pipes pipes;
    pipes.answer = answer[0];
    pipes.prints = prints[0];
    Isolated r;
    int status = 0;
    if (!awaitChild(pid, pipes, start + timeoutSeconds, stop, r.answer, status, waiting)) {
        const bool stopped = WIFSTOPPED(status);
        r.kind = stopped ? Isolated::Crashed : Isolated::TimedOut;
        if (stopped) r.how = "stopped by " + signalName(WSTOPSIG(status));
        kill(-pid, SIGKILL);
        kill(pid, SIGKILL);
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
    }
    kill(-pid, SIGKILL); // what the entry started ends with it
    endLeftovers();      // and what left its group
    close(pipes.answer);
    close(pipes.prints);
    r.seconds = steadySeconds() - start;
    if (r.kind == Isolated::TimedOut || !r.how.empty()) return r;
    ChildEnd end;
    end.faulted = WIFSIGNALED(status);
    if (end.faulted) end.fault = signalName(WTERMSIG(status));
    end.status = end.faulted ? 0 : static_cast<unsigned long>(WEXITSTATUS(status));
    classifyEnd(end, r);
    return r;
}

} // namespace host
