// An entry's process on Windows: this program started again with --worker,
// given its job on stdin, answering on stdout; an unhandled exception ends it
// with the exception's code, which names the crash.
#include <algorithm>
#include <cstdio>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <windows.h>

#include "clock.h"
#include "errors.h"
#include "isolate.h"
#include "sandbox.h"
#include "text.h"

namespace host {


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
    case 0xE06D7363: return "a C++ exception the module did not catch";
    case 0x20474343: return "a C++ exception the module did not catch"; // GCC's code
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

// The worker's pipes and process; the host's ends of the pipes stay open.
struct Worker {
    PROCESS_INFORMATION pi = {};
    HANDLE inWrite = nullptr, outRead = nullptr, errRead = nullptr;
    HANDLE job = nullptr;  // the worker and whatever it starts, ended together
};

// A job object whose processes all end when it is closed; nullptr where the
// system refuses one (the worker then runs without it).
HANDLE killingJob() {
    HANDLE job = CreateJobObjectW(nullptr, nullptr);
    if (job == nullptr) return nullptr;
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits);
    return job;
}

// The process's handles the worker inherits, and no other: its two pipes
// and stderr (not the results, nor any handle the host holds).
struct Inherited {
    std::vector<HANDLE> handles;
    std::vector<unsigned char> storage;
    LPPROC_THREAD_ATTRIBUTE_LIST list = nullptr;
    explicit Inherited(std::vector<HANDLE> h) : handles(std::move(h)) {
        SIZE_T size = 0;
        InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
        storage.resize(size);
        list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage.data());
        if (!InitializeProcThreadAttributeList(list, 1, 0, &size) ||
            !UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handles.data(),
                                       handles.size() * sizeof(HANDLE), nullptr, nullptr))
            list = nullptr;
    }
    ~Inherited() {
        if (list != nullptr) DeleteProcThreadAttributeList(list);
    }
};

// Starts the worker suspended: with the restricted token where there is one
// (sandbox.h), else as the host runs.
BOOL createWorker(wchar_t* self, std::wstring& command, STARTUPINFOEXW& si, PROCESS_INFORMATION& pi) {
    const DWORD flags = CREATE_SUSPENDED | (si.lpAttributeList != nullptr ? EXTENDED_STARTUPINFO_PRESENT : 0);
    HANDLE token = entryToken();
    if (token != nullptr && CreateProcessAsUserW(token, self, &command[0], nullptr, nullptr, TRUE, flags, nullptr,
                                                 nullptr, &si.StartupInfo, &pi))
        return TRUE;
    return CreateProcessW(self, &command[0], nullptr, nullptr, TRUE, flags, nullptr, nullptr, &si.StartupInfo, &pi);
}

// Starts this program with --worker, its stdin and stdout on two pipes and
// stderr shared; `start` is set just before it starts.
Worker startWorker(double& start) {
    wchar_t self[32768];
    const DWORD length = GetModuleFileNameW(nullptr, self, 32768);
    if (length == 0 || length >= 32768) throw Fatal("cannot find the host's own program file");
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    Worker w;
    HANDLE inRead = nullptr, outWrite = nullptr, errWrite = nullptr;
    if (!CreatePipe(&inRead, &w.inWrite, &inherit, 0) || !CreatePipe(&w.outRead, &outWrite, &inherit, 0) ||
        !CreatePipe(&w.errRead, &errWrite, &inherit, 0))
        throw Fatal("cannot create a pipe for an entry's process");
    SetHandleInformation(w.inWrite, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(w.outRead, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(w.errRead, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOEXW six = {};
    STARTUPINFOW& si = six.StartupInfo;
    si.cb = sizeof six;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = inRead;
    si.hStdOutput = outWrite;
    // What the worker (and the module in it) prints comes back through a
    // pipe and goes on to the host's stderr made printable.
    si.hStdError = errWrite;
    Inherited inherited({inRead, outWrite, errWrite});
    six.lpAttributeList = inherited.list;
    if (six.lpAttributeList == nullptr) si.cb = sizeof si;
    std::wstring command = L"\"" + std::wstring(self) + L"\" --worker";
    start = steadySeconds();
    const BOOL started = createWorker(self, command, six, w.pi);
    if (started) {
        w.job = killingJob();
        if (w.job != nullptr && !AssignProcessToJobObject(w.job, w.pi.hProcess)) closeHandle(w.job);
        ResumeThread(w.pi.hThread);
    }
    closeHandle(inRead);
    closeHandle(outWrite);
    closeHandle(errWrite);
    if (!started) {
        closeHandle(w.inWrite);
        closeHandle(w.outRead);
        closeHandle(w.errRead);
        throw Fatal("cannot start a process for an entry (error " + std::to_string(GetLastError()) + ")");
    }
    return w;
}

// Waits in slices, so that a Ctrl-C is seen within a tenth of a second;
// false when the deadline passed or *stop was set first.
bool waitWorker(HANDLE process, double deadline, const volatile std::sig_atomic_t* stop,
                const std::function<void()>& waiting) {
    DWORD waited;
    do {
        waiting();
        const double ms = (deadline - steadySeconds()) * 1000;
        waited = WaitForSingleObject(process, ms > 0 ? static_cast<DWORD>(std::min(ms, 50.0)) : 0);
    } while (waited == WAIT_TIMEOUT && !*stop && steadySeconds() < deadline);
    return waited != WAIT_TIMEOUT;
}

// Passes what the worker prints on to the host's stderr, line by line, with
// control characters escaped, until the pipe closes.
void relayPrints(HANDLE pipe) {
    std::string pending;
    char buffer[4096];
    DWORD n = 0;
    for (bool open = true; open;) {
        open = ReadFile(pipe, buffer, sizeof buffer, &n, nullptr) && n > 0;
        if (open) pending.append(buffer, n);
        size_t end;
        while ((end = pending.find('\n')) != std::string::npos || (!open && !pending.empty())) {
            const size_t cut = end == std::string::npos ? pending.size() : end;
            std::string line = pending.substr(0, cut);
            if (!line.empty() && line.back() == '\r') line.pop_back();
            std::fputs((printable(line) + "\n").c_str(), stderr);
            pending.erase(0, std::min(pending.size(), cut + 1));
        }
    }
    std::fflush(stderr);
}

} // namespace

void prepareWorker() {
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
    SetUnhandledExceptionFilter(endWithExceptionCode);
}

Isolated runIsolated(const std::function<std::string()>&, const std::string& job, double timeoutSeconds,
                     const volatile std::sig_atomic_t* stop, const std::function<void()>& waiting) {
    double start = 0;
    Worker w = startWorker(start);
    Isolated r;
    std::thread reader([&] {
        char buffer[4096];
        DWORD n = 0;
        while (ReadFile(w.outRead, buffer, sizeof buffer, &n, nullptr) && n > 0) r.answer.append(buffer, n);
    });
    std::thread prints([&] { relayPrints(w.errRead); });
    DWORD written = 0;
    WriteFile(w.inWrite, job.data(), static_cast<DWORD>(job.size()), &written, nullptr);
    closeHandle(w.inWrite);
    if (!waitWorker(w.pi.hProcess, start + timeoutSeconds, stop, waiting)) {
        r.kind = Isolated::TimedOut;
        TerminateProcess(w.pi.hProcess, 1);
        WaitForSingleObject(w.pi.hProcess, INFINITE);
    }
    if (w.job != nullptr) TerminateJobObject(w.job, 1); // what the entry started ends with it
    closeHandle(w.job);
    reader.join();
    prints.join();
    closeHandle(w.outRead);
    closeHandle(w.errRead);
    DWORD code = 0;
    GetExitCodeProcess(w.pi.hProcess, &code);
    closeHandle(w.pi.hProcess);
    closeHandle(w.pi.hThread);
    r.seconds = steadySeconds() - start;
    if (r.kind == Isolated::TimedOut) return r;
    ChildEnd end;
    end.faulted = code >= 0x80000000u || code == 0x20474343 || code == 3;
    // 3: abort(), where a runtime of the module's own ends the process on
    // an exception it did not catch.
    if (end.faulted) end.fault = code == 3 ? "abort (an exception the module's own runtime did not catch, or abort())"
                                           : exceptionName(code);
    end.status = code;
    classifyEnd(end, r);
    return r;
}

} // namespace host
