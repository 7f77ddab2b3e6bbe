// An entry's process on POSIX systems: a fork of the host, with the module
// already loaded, in a process group of its own, answering through a pipe;
// the host waits until the child has ended or the deadline passed, then
// kills the child's group.
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <initializer_list>
#include <poll.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include "clock.h"
#include "errors.h"
#include "isolate.h"

namespace host {

namespace {

std::string signalName(int sig) {
    switch (sig) {
    case SIGSEGV: return "memory access violation";
    case SIGILL: return "illegal instruction";
    case SIGFPE: return "arithmetic fault";
    case SIGBUS: return "bus error";
    case SIGABRT: return "abort";
    case SIGKILL: return "killed";
    default: {
        const char* s = strsignal(sig);
        return s ? s : "signal " + std::to_string(sig);
    }
    }
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
// with it; the module's prints go to stderr, the work's answer to the pipe.
[[noreturn]] void beChild(const std::function<std::string()>& work, int answerFd) {
    setpgid(0, 0);
    for (int sig : {SIGILL, SIGSEGV, SIGFPE, SIGBUS, SIGINT, SIGTERM, SIGHUP, SIGCHLD, SIGPIPE})
        std::signal(sig, SIG_DFL);
    dup2(2, 1); // what the module prints must not mix with the results
    writeAll(answerFd, sealAnswer(work()));
    _exit(0);
}

// Reads what is waiting in the pipe without blocking; false once it is
// closed.
bool drain(int fd, std::string& answer) {
    char buffer[4096];
    for (;;) {
        pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, 0) <= 0) return true;
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        answer.append(buffer, static_cast<size_t>(n));
    }
}

// Collects the child's answer until the child itself has ended (whatever it
// did with the pipe, and whoever else holds it open); false when the
// deadline passed or *stop was set first. The child is reaped on true.
bool awaitChild(pid_t pid, int fd, double deadline, const volatile std::sig_atomic_t* stop, std::string& answer,
                int& status, const std::function<void()>& waiting) {
    bool open = true;
    for (;;) {
        waiting();
        const pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid) {
            if (open) drain(fd, answer);
            return true;
        }
        const double left = deadline - steadySeconds();
        if (left <= 0 || *stop) return false;
        const int wait = static_cast<int>(std::min(left, 0.02) * 1000) + 1;
        if (!open) {
            poll(nullptr, 0, wait); // the pipe is closed: only the child's end is awaited
            continue;
        }
        pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, wait) > 0) open = drain(fd, answer);
    }
}

} // namespace

Isolated runIsolated(const std::function<std::string()>& work, const std::string&, double timeoutSeconds,
                     const volatile std::sig_atomic_t* stop, const std::function<void()>& waiting) {
    int fds[2];
    if (pipe(fds) != 0) throw Fatal(std::string("cannot create a pipe for an entry's process: ") + std::strerror(errno));
    std::fflush(stdout);
    std::fflush(stderr);
    const double start = steadySeconds();
    const pid_t pid = fork();
    if (pid < 0) throw Fatal(std::string("cannot start a process for an entry: ") + std::strerror(errno));
    if (pid == 0) {
        close(fds[0]);
        beChild(work, fds[1]);
    }
    setpgid(pid, pid); // also here, so that no kill below can come before the child's own call
    close(fds[1]);
    Isolated r;
    int status = 0;
    if (!awaitChild(pid, fds[0], start + timeoutSeconds, stop, r.answer, status, waiting)) {
        r.kind = Isolated::TimedOut;
        kill(-pid, SIGKILL);
        kill(pid, SIGKILL);
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
    }
    kill(-pid, SIGKILL); // what the entry started ends with it
    close(fds[0]);
    r.seconds = steadySeconds() - start;
    if (r.kind == Isolated::TimedOut) return r;
    ChildEnd end;
    end.faulted = WIFSIGNALED(status);
    if (end.faulted) end.fault = signalName(WTERMSIG(status));
    end.status = end.faulted ? 0 : static_cast<unsigned long>(WEXITSTATUS(status));
    classifyEnd(end, r);
    return r;
}

} // namespace host
