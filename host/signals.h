// The signals the host handles: a module that stops the host's own process
// while it loads or answers queries, and an interruption (Ctrl-C) that ends
// the run with the entries measured so far.
#ifndef CIRCUIT_HOST_SIGNALS_H
#define CIRCUIT_HOST_SIGNALS_H

#include <csignal>

namespace host {

// What a signal that ends a process says of it: "memory access violation",
// "illegal instruction", "arithmetic fault", "bus error", "abort", "killed";
// nullptr for another. A plain string, for a signal handler too.
const char* signalWords(int sig);

// From here on a fatal signal in the host's own process ends it with a
// message naming `inside` (what the host is doing inside the module) and
// exit status 3.
void reportModuleFaults(const char* inside);
// A module that ends the program while the host is inside it (from
// reportModuleFaults on until leaveModule) gets a message and exit status 3.
void leaveModule();
// Puts back the dispositions the host relies on, whatever the module's
// constructor did: SIGCHLD default (entries' processes are waited for),
// SIGPIPE ignored (a closed stdout is a write error).
void restoreHostSignals();
// Changes what that message says the host is doing.
void setInsideModule(const char* inside);
// A call into the module in the host's own process that has not returned
// after `seconds` (0: no deadline) ends the host with a message naming what
// it was doing and exit status 3; disarm when the call returned.
void armModuleDeadline(double seconds);
void disarmModuleDeadline();

// From here on Ctrl-C, SIGTERM and SIGHUP set the flag that interrupted()
// returns; interruptedStatus() is the exit status for it (130, 143, 129).
void catchInterruption();
bool interrupted();
int interruptedStatus();
const volatile std::sig_atomic_t* interruptionFlag();

} // namespace host

#endif // CIRCUIT_HOST_SIGNALS_H
