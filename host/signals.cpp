// Signals in the host's own process. While the host loads and queries the
// module in its own process, a fault there ends it with a message saying
// what it was doing; Ctrl-C during the entries sets a flag that the runner
// reads (the entry's process gets the signal too).
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#ifdef _WIN32
#include <windows.h>
#endif

#include "signals.h"

namespace host {

namespace {

// What the host is doing inside the module, for the message when the module
// stops the program there.
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

volatile std::sig_atomic_t gInterrupted = 0;
extern "C" void onInterrupt(int) { gInterrupted = 1; }
#ifdef _WIN32
BOOL WINAPI consoleInterrupt(DWORD event) {
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) return FALSE;
    gInterrupted = 1;
    return TRUE;
}
#endif

} // namespace

void setInsideModule(const char* inside) { std::snprintf(gInside, sizeof gInside, "%s", inside); }

void reportModuleFaults(const char* inside) {
    setInsideModule(inside);
    for (int sig : {SIGILL, SIGSEGV, SIGFPE}) std::signal(sig, moduleCrashed);
#ifdef SIGBUS
    std::signal(SIGBUS, moduleCrashed);
#endif
}

void catchInterruption() {
    std::signal(SIGINT, onInterrupt);
#ifdef _WIN32
    SetConsoleCtrlHandler(consoleInterrupt, TRUE);
#endif
}

bool interrupted() { return gInterrupted != 0; }
const volatile std::sig_atomic_t* interruptionFlag() { return &gInterrupted; }

} // namespace host
