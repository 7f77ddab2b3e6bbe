// Signals in the host's own process. While the host loads and queries the
// module in its own process, a fault there ends it with a message saying
// what it was doing, and so does a module that ends the program there;
// Ctrl-C, SIGTERM and SIGHUP during the entries set a flag that the runner
// reads (it then kills the running entry's process group).
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

#include "signals.h"

namespace host {

namespace {

// What the host is doing inside the module, for the message when the module
// stops the program there.
char gInside[160] = "loading the module";

extern "C" void moduleCrashed(int signal) {
    const char* what = signalWords(signal);
    const char* article = !what ? "" : std::strchr("aeiou", what[0]) ? "an " : "a ";
    char text[320];
    std::snprintf(text, sizeof text, "\ncircuit-host: the module stopped the program with %s%s while %s\n",
                  article, what ? what : "a fatal signal", gInside);
    std::fputs(text, stderr);
    std::fflush(stderr);
    std::_Exit(3);
}

// The signal that interrupted the run (SIGINT, SIGTERM, SIGHUP), or 0.
volatile std::sig_atomic_t gInterrupted = 0;
extern "C" void onInterrupt(int signal) { gInterrupted = signal; }

// Set while the host's own process is inside the module (loading, queries):
// a module that ends the program there must not look like a finished run.
// Only the process that set it (never an entry's fork) reacts.
long gInsidePid = 0;
long processId() {
#ifdef _WIN32
    return static_cast<long>(GetCurrentProcessId());
#else
    return static_cast<long>(getpid());
#endif
}
extern "C" void endedInsideModule() {
    if (gInsidePid == 0 || gInsidePid != processId()) return;
    char text[320];
    std::snprintf(text, sizeof text, "\ncircuit-host: the module ended the program while %s\n", gInside);
    std::fputs(text, stderr);
    std::fflush(stderr);
#ifdef _WIN32
    TerminateProcess(GetCurrentProcess(), 3);
#endif
    _exit(3);
}
#ifdef _WIN32
// A module with a runtime of its own ends the process through that
// runtime's exit, which runs none of the host's handlers; the program's TLS
// callback still hears of it (the loader calls it as the process detaches).
void NTAPI processDetaching(PVOID, DWORD reason, PVOID) {
    if (reason == DLL_PROCESS_DETACH) endedInsideModule();
}
extern "C" __attribute__((section(".CRT$XLB"), used)) const PIMAGE_TLS_CALLBACK kProcessDetaching = processDetaching;

BOOL WINAPI consoleInterrupt(DWORD event) {
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) return FALSE;
    gInterrupted = SIGINT;
    return TRUE;
}
#endif

#ifdef _WIN32
HANDLE gDeadlineEvent = nullptr;
DWORD WINAPI watchDeadline(void* ms) {
    if (WaitForSingleObject(gDeadlineEvent, static_cast<DWORD>(reinterpret_cast<uintptr_t>(ms))) == WAIT_TIMEOUT) {
        char text[320];
        std::snprintf(text, sizeof text, "\ncircuit-host: the module did not return in time while %s\n", gInside);
        std::fputs(text, stderr);
        std::fflush(stderr);
        TerminateProcess(GetCurrentProcess(), 3); // the loader lock may be held: no ExitProcess
    }
    return 0;
}
HANDLE gDeadlineThread = nullptr;
#else
extern "C" void deadlinePassed(int) {
    char text[320];
    const int n = std::snprintf(text, sizeof text, "\ncircuit-host: the module did not return in time while %s\n",
                                gInside);
    if (n > 0) (void)!write(2, text, static_cast<size_t>(std::min<int>(n, sizeof text - 1)));
    _exit(3);
}
#endif

} // namespace

const char* signalWords(int sig) {
    switch (sig) {
    case SIGSEGV: return "memory access violation";
    case SIGILL: return "illegal instruction";
    case SIGFPE: return "arithmetic fault";
#ifdef SIGBUS
    case SIGBUS: return "bus error";
#endif
    case SIGABRT: return "abort";
#ifdef SIGKILL
    case SIGKILL: return "killed";
#endif
    default: return nullptr;
    }
}

void armModuleDeadline(double seconds) {
    if (!(seconds > 0)) return;
#ifdef _WIN32
    gDeadlineEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    const uintptr_t ms = static_cast<uintptr_t>(std::min(seconds * 1000, 4e9));
    if (gDeadlineEvent != nullptr)
        gDeadlineThread = CreateThread(nullptr, 0, watchDeadline, reinterpret_cast<void*>(ms), 0, nullptr);
#else
    std::signal(SIGALRM, deadlinePassed);
    alarm(static_cast<unsigned>(std::ceil(std::min(seconds, 1e6))));
#endif
}

void disarmModuleDeadline() {
#ifdef _WIN32
    if (gDeadlineThread != nullptr) {
        SetEvent(gDeadlineEvent);
        WaitForSingleObject(gDeadlineThread, INFINITE);
        CloseHandle(gDeadlineThread);
    }
    if (gDeadlineEvent != nullptr) CloseHandle(gDeadlineEvent);
    gDeadlineThread = gDeadlineEvent = nullptr;
#else
    alarm(0);
#endif
}

void setInsideModule(const char* inside) { std::snprintf(gInside, sizeof gInside, "%s", inside); }

void reportModuleFaults(const char* inside) {
    setInsideModule(inside);
    static const bool registered = std::atexit(endedInsideModule) == 0;
    (void)registered;
    gInsidePid = processId();
    for (int sig : {SIGILL, SIGSEGV, SIGFPE}) std::signal(sig, moduleCrashed);
#ifdef SIGBUS
    std::signal(SIGBUS, moduleCrashed);
#endif
}

void leaveModule() { gInsidePid = 0; }

void restoreHostSignals() {
#ifndef _WIN32
    std::signal(SIGCHLD, SIG_DFL); // the host waits for its entries' processes
    std::signal(SIGPIPE, SIG_IGN); // a closed stdout is a write error with a message
#endif
}

void catchInterruption() {
    std::signal(SIGINT, onInterrupt);
#ifndef _WIN32
    std::signal(SIGTERM, onInterrupt);
    std::signal(SIGHUP, onInterrupt);
#endif
#ifdef _WIN32
    SetConsoleCtrlHandler(consoleInterrupt, TRUE);
#endif
}

bool interrupted() { return gInterrupted != 0; }
int interruptedStatus() { return 128 + static_cast<int>(gInterrupted); }
const volatile std::sig_atomic_t* interruptionFlag() { return &gInterrupted; }

} // namespace host
