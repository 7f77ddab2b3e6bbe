// What keeps an entry's process from reaching the host: the host cannot be
// traced or written into, and it ends whatever an entry leaves behind; the
// entry's process keeps only its answer pipe and descriptors 0 to 2, runs
// as an unprivileged user when the host runs as root, and a system-call
// filter refuses it tracing, writing into other processes and signals to
// the host.
#ifndef CIRCUIT_HOST_SANDBOX_H
#define CIRCUIT_HOST_SANDBOX_H

#include <string>

namespace host {

// In the host, before its first entry runs: what it can do for itself.
// Returns the protections not available here, joined by "; " ("" when all
// are).
std::string protectHost();

#ifdef _WIN32
// The token an entry's worker process runs with: the host's, without its
// privileges and at low integrity (so that it cannot open the host's
// process to write into or end it); nullptr where the system gives none.
void* entryToken();
#else
// In an entry's process, after it has set up and before the module runs:
// descriptors but 0 to 2 and `answerFd` closed (the answer pipe's number is
// returned), privileges dropped, the filter installed. `hostPid` is the
// host's process.
int confineEntry(int answerFd, long hostPid);
// In the host, once an entry's process has ended: every process it left
// behind (daemons too, which the host inherits as their subreaper) is
// killed and reaped.
void endLeftovers();
#endif

} // namespace host

#endif // CIRCUIT_HOST_SANDBOX_H
