// The signals the host handles: a module that stops the host's own process
// while it loads or answers queries, and an interruption (Ctrl-C) that ends
// the run with the entries measured so far.
#ifndef CIRCUIT_HOST_SIGNALS_H
#define CIRCUIT_HOST_SIGNALS_H

#include <csignal>

namespace host {

// From here on a fatal signal in the host's own process ends it with a
// message naming `inside` (what the host is doing inside the module) and
// exit status 3.
void reportModuleFaults(const char* inside);
// Changes what that message says the host is doing.
void setInsideModule(const char* inside);

// From here on Ctrl-C sets the flag that interrupted() returns.
void catchInterruption();
bool interrupted();
const volatile std::sig_atomic_t* interruptionFlag();

} // namespace host

#endif // CIRCUIT_HOST_SIGNALS_H
