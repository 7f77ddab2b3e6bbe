// Running one entry where a fault cannot reach the host: a child process per
// entry. On POSIX systems the child is a fork of the host, with the module
// already loaded; on Windows it is the host started again with --worker,
// which reads its job on stdin and loads the module itself. Either way the
// child's answer comes back through a pipe, and a child that crashes, exits
// early or outlives the timeout marks only its own entry.
#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstring>
#include <thread>

#ifdef _WIN32
#include <windows.h>
#else
#include <cerrno>
#include <poll.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "host.h"

namespace host {

namespace {

// The answer ends with this line, so that an answer cut short by an exit
// inside the module is told apart from a whole one.
const char kAnswerEnd[] = "end\n";

bool whole(const std::string& answer) {
    const size_t n = sizeof kAnswerEnd - 1;
    return answer.size() >= n && answer.compare(answer.size() - n, n, kAnswerEnd) == 0;
}

} // namespace

std::string sealAnswer(const std::string& answer) { return answer + kAnswerEnd; }

#ifndef _WIN32

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
        for (int sig : {SIGILL, SIGSEGV, SIGFPE, SIGBUS, SIGINT}) std::signal(sig, SIG_DFL);
        dup2(2, 1); // what the module prints must not mix with the results
        std::string answer;
        try {
            answer = sealAnswer(work());
        } catch (const std::exception& e) {
            answer = sealAnswer(std::string("error ") + e.what() + "\n");
        }
        writeAll(fds[1], answer);
        _exit(0);
    }
    close(fds[1]);
    Isolated r;
    const double deadline = start + timeoutSeconds;
    char buffer[4096];
    for (;;) {
        const double left = deadline - steadySeconds();
        if (left <= 0 || *stop) {
            r.kind = Isolated::TimedOut;
            break;
        }
        pollfd p = {fds[0], POLLIN, 0};
        const int ready = poll(&p, 1, static_cast<int>(std::min(left, 0.1) * 1000) + 1);
        if (ready < 0 && errno != EINTR) break;
        if (ready <= 0) continue;
        const ssize_t n = read(fds[0], buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break; // the child closed its end: it finished or died
        r.answer.append(buffer, static_cast<size_t>(n));
    }
    if (r.kind == Isolated::TimedOut) kill(pid, SIGKILL);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    close(fds[0]);
    r.seconds = steadySeconds() - start;
    if (r.kind == Isolated::TimedOut) return r;
    if (WIFSIGNALED(status)) {
        r.kind = Isolated::Crashed;
        r.how = signalName(WTERMSIG(status));
    } else if (!whole(r.answer) || WEXITSTATUS(status) != 0) {
        r.kind = Isolated::Crashed;
        r.how = "exited with status " + std::to_string(WEXITSTATUS(status)) + " inside the module";
    } else {
        r.kind = Isolated::Finished;
        r.answer.resize(r.answer.size() - (sizeof kAnswerEnd - 1));
    }
    return r;
}

#else // _WIN32

namespace {

std::string exceptionName(DWORD code) {
    switch (code) {
    case EXCEPTION_ACCESS_VIOLATION: return "memory access violation";
    case EXCEPTION_ILLEGAL_INSTRUCTION: return "illegal instruction";
    case EXCEPTION_PRIV_INSTRUCTION: return "privileged instruction";
    case EXCEPTION_INT_DIVIDE_BY_ZERO:
    case EXCEPTION_INT_OVERFLOW:
    case EXCEPTION_FLT_DIVIDE_BY_ZERO:
    case EXCEPTION_FLT_INVALID_OPERATION:
    case EXCEPTION_FLT_OVERFLOW:
    case EXCEPTION_FLT_UNDERFLOW:
    case EXCEPTION_FLT_INEXACT_RESULT:
    case EXCEPTION_FLT_DENORMAL_OPERAND:
    case EXCEPTION_FLT_STACK_CHECK:
    case 0xC00002B4: // multiple floating-point faults (SSE)
    case 0xC00002B5: // multiple floating-point traps (SSE)
        return "arithmetic fault";
    case EXCEPTION_STACK_OVERFLOW: return "stack overflow";
    case EXCEPTION_DATATYPE_MISALIGNMENT: return "misaligned access";
    case EXCEPTION_BREAKPOINT: return "breakpoint";
    case EXCEPTION_IN_PAGE_ERROR: return "page error";
    default: {
        char text[40];
        std::snprintf(text, sizeof text, "exception 0x%08lX", static_cast<unsigned long>(code));
        return text;
    }
    }
}

// An unhandled exception in the worker ends it with the exception's code as
// its exit status, without a dialog or a debugger.
LONG WINAPI endWithExceptionCode(EXCEPTION_POINTERS* info) {
    TerminateProcess(GetCurrentProcess(), info->ExceptionRecord->ExceptionCode);
    return EXCEPTION_EXECUTE_HANDLER;
}

void closeHandle(HANDLE& h) {
    if (h != nullptr && h != INVALID_HANDLE_VALUE) CloseHandle(h);
    h = nullptr;
}

} // namespace

void prepareWorker() {
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
    SetUnhandledExceptionFilter(endWithExceptionCode);
}

Isolated runIsolated(const std::function<std::string()>&, const std::string& job, double timeoutSeconds,
                     const volatile std::sig_atomic_t* stop) {
    wchar_t self[32768];
    const DWORD length = GetModuleFileNameW(nullptr, self, 32768);
    if (length == 0 || length >= 32768) throw Fatal("cannot find the host's own program file");
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE inRead = nullptr, inWrite = nullptr, outRead = nullptr, outWrite = nullptr;
    if (!CreatePipe(&inRead, &inWrite, &inherit, 0) || !CreatePipe(&outRead, &outWrite, &inherit, 0))
        throw Fatal("cannot create a pipe for an entry's process");
    SetHandleInformation(inWrite, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(outRead, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = inRead;
    si.hStdOutput = outWrite;
    // An inheritable copy of stderr: the handle we were given may not be.
    HANDLE errCopy = nullptr;
    if (!DuplicateHandle(GetCurrentProcess(), GetStdHandle(STD_ERROR_HANDLE), GetCurrentProcess(), &errCopy, 0,
                         TRUE, DUPLICATE_SAME_ACCESS))
        errCopy = nullptr;
    si.hStdError = errCopy;
    std::wstring command = L"\"" + std::wstring(self) + L"\" --worker";
    PROCESS_INFORMATION pi = {};
    const double start = steadySeconds();
    const BOOL started = CreateProcessW(self, &command[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi);
    closeHandle(inRead);
    closeHandle(outWrite);
    closeHandle(errCopy);
    if (!started) {
        closeHandle(inWrite);
        closeHandle(outRead);
        throw Fatal("cannot start a process for an entry (error " + std::to_string(GetLastError()) + ")");
    }
    Isolated r;
    std::thread reader([&] {
        char buffer[4096];
        DWORD n = 0;
        while (ReadFile(outRead, buffer, sizeof buffer, &n, nullptr) && n > 0) r.answer.append(buffer, n);
    });
    DWORD written = 0;
    WriteFile(inWrite, job.data(), static_cast<DWORD>(job.size()), &written, nullptr);
    closeHandle(inWrite);
    // Waits in slices, so that a Ctrl-C is seen within a tenth of a second.
    DWORD waited;
    do {
        const double ms = (start + timeoutSeconds - steadySeconds()) * 1000;
        waited = WaitForSingleObject(pi.hProcess, ms > 0 ? static_cast<DWORD>(std::min(ms, 100.0)) : 0);
    } while (waited == WAIT_TIMEOUT && !*stop && steadySeconds() < start + timeoutSeconds);
    if (waited == WAIT_TIMEOUT) {
        r.kind = Isolated::TimedOut;
        TerminateProcess(pi.hProcess, 1);
        WaitForSingleObject(pi.hProcess, INFINITE);
    }
    reader.join();
    closeHandle(outRead);
    DWORD code = 0;
    GetExitCodeProcess(pi.hProcess, &code);
    closeHandle(pi.hProcess);
    closeHandle(pi.hThread);
    r.seconds = steadySeconds() - start;
    if (r.kind == Isolated::TimedOut) return r;
    if (code >= 0x80000000u) {
        r.kind = Isolated::Crashed;
        r.how = exceptionName(code);
    } else if (!whole(r.answer) || code != 0) {
        r.kind = Isolated::Crashed;
        r.how = "exited with status " + std::to_string(code) + " inside the module";
    } else {
        r.kind = Isolated::Finished;
        r.answer.resize(r.answer.size() - (sizeof kAnswerEnd - 1));
    }
    return r;
}

#endif

} // namespace host
