// An entry's process on POSIX systems: a fork of the host, with the module
// already loaded, answering through a pipe that the host reads until the
// child closes it or the deadline passes.
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

// The child: the module's prints go to stderr, the work's answer to the pipe.
[[noreturn]] void beChild(const std::function<std::string()>& work, int answerFd) {
    for (int sig : {SIGILL, SIGSEGV, SIGFPE, SIGBUS, SIGINT}) std::signal(sig, SIG_DFL);
    dup2(2, 1); // what the module prints must not mix with the results
    writeAll(answerFd, sealAnswer(work()));
    _exit(0);
}

// Reads the child's answer until it closes the pipe; false when the deadline
// passed or *stop was set first.
bool readAnswer(int fd, double deadline, const volatile std::sig_atomic_t* stop, std::string& answer) {
    char buffer[4096];
    for (;;) {
        const double left = deadline - steadySeconds();
        if (left <= 0 || *stop) return false;
        pollfd p = {fd, POLLIN, 0};
        const int ready = poll(&p, 1, static_cast<int>(std::min(left, 0.1) * 1000) + 1);
        if (ready < 0 && errno != EINTR) return true;
        if (ready <= 0) continue;
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return true; // the child closed its end: it finished or died
        answer.append(buffer, static_cast<size_t>(n));
    }
}

} // namespace

Isolated runIsolated(const std::function<std::string()>& work, const std::string&, double timeoutSeconds,
                     const volatile std::sig_atomic_t* stop) {
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
    close(fds[1]);
    Isolated r;
    if (!readAnswer(fds[0], start + timeoutSeconds, stop, r.answer)) {
        r.kind = Isolated::TimedOut;
        kill(pid, SIGKILL);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
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
