// What else ran on the machine: the CPU time all its processors spent busy,
// the time the hypervisor gave to other guests (steal), and the CPU time of
// the host's own processes, read twice so that the other processors' load
// in between follows (Linux: /proc/stat and getrusage; Windows:
// GetSystemTimes and GetProcessTimes).
#ifndef CIRCUIT_HOST_LOAD_H
#define CIRCUIT_HOST_LOAD_H

namespace host {

struct LoadSample {
    bool known = false;
    int cpus = 0;
    double wall = 0;           // seconds, steady clock
    double busy = 0;           // CPU seconds of all processors, not idle and not stolen
    double steal = -1;         // CPU seconds the hypervisor gave to others; -1 unknown
    double total = 0;          // all CPU seconds the processors counted
    double own = 0;            // CPU seconds of this process (and, with children, of its waited children)
};

// Now; `children` adds the CPU time of the processes this one has waited for.
LoadSample loadNow(bool children);

struct LoadShare {
    double otherCpusBusy = -1; // share (0..1) of the other processors busy, less our own; -1 unknown
    double stealShare = -1;    // share of the processors' time stolen; -1 unknown
};

// Between two samples: of the processors other than the one our own work
// occupied, the share busy with something else.
LoadShare loadBetween(const LoadSample& before, const LoadSample& after);

// The involuntary context switches of this process so far; -1 unknown.
long involuntarySwitches();

} // namespace host

#endif // CIRCUIT_HOST_LOAD_H
