// The machine's load between two moments (load.h). /proc/stat counts in
// clock ticks (USER_HZ, 100 a second on every Linux we run on): over a
// round of a few dozen milliseconds a figure is coarse, which is why the
// rounds average them per entry.
#include <algorithm>
#include <cstdio>
#include <cstring>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/resource.h>
#include <unistd.h>
#endif

#include "clock.h"
#include "load.h"

namespace host {

namespace {

#ifdef _WIN32
double seconds(const FILETIME& f) {
    return static_cast<double>((static_cast<unsigned long long>(f.dwHighDateTime) << 32) | f.dwLowDateTime) * 1e-7;
}

void readSystem(LoadSample& s) {
    FILETIME idle, kernel, user;
    if (!GetSystemTimes(&idle, &kernel, &user)) return;
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    s.cpus = static_cast<int>(info.dwNumberOfProcessors);
    s.total = seconds(kernel) + seconds(user); // kernel time includes idle time
    s.busy = s.total - seconds(idle);
    s.known = s.cpus > 0 && s.total > 0;
}

double ownSeconds(bool) {
    FILETIME created, ended, kernel, user;
    if (!GetProcessTimes(GetCurrentProcess(), &created, &ended, &kernel, &user)) return 0;
    return seconds(kernel) + seconds(user);
}
#else
void readSystem(LoadSample& s) {
    FILE* f = std::fopen("/proc/stat", "r");
    if (f == nullptr) return;
    char line[512];
    const double tick = 1.0 / static_cast<double>(sysconf(_SC_CLK_TCK) > 0 ? sysconf(_SC_CLK_TCK) : 100);
    while (std::fgets(line, sizeof line, f) != nullptr) {
        if (std::strncmp(line, "cpu", 3) != 0) continue;
        if (line[3] != ' ') {
            ++s.cpus;
            continue;
        }
        unsigned long long v[8] = {};
        const int n = std::sscanf(line + 3, "%llu %llu %llu %llu %llu %llu %llu %llu", &v[0], &v[1], &v[2], &v[3],
                                  &v[4], &v[5], &v[6], &v[7]);
        if (n < 4) break;
        // user nice system idle iowait irq softirq steal
        s.busy = static_cast<double>(v[0] + v[1] + v[2] + v[5] + v[6]) * tick;
        s.total = static_cast<double>(v[0] + v[1] + v[2] + v[3] + v[4] + v[5] + v[6] + v[7]) * tick;
        if (n >= 8) s.steal = static_cast<double>(v[7]) * tick;
        s.known = true;
    }
    std::fclose(f);
    s.known = s.known && s.cpus > 0;
}

double ownSeconds(bool children) {
    auto cpu = [](int who) {
        rusage u = {};
        if (getrusage(who, &u) != 0) return 0.0;
        return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
               static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) * 1e-6;
    };
    return cpu(RUSAGE_SELF) + (children ? cpu(RUSAGE_CHILDREN) : 0.0);
}
#endif

} // namespace

LoadSample loadNow(bool children) {
    LoadSample s;
    s.wall = steadySeconds();
    readSystem(s);
    s.own = ownSeconds(children);
    return s;
}

LoadShare loadBetween(const LoadSample& a, const LoadSample& b) {
    LoadShare share;
    const double wall = b.wall - a.wall, total = b.total - a.total;
    if (!a.known || !b.known || a.cpus != b.cpus || !(wall > 0) || !(total > 0)) return share;
    if (a.steal >= 0 && b.steal >= 0) share.stealShare = std::min(1.0, std::max(0.0, (b.steal - a.steal) / total));
    if (a.cpus < 2) return share;
    // Our own work held one processor for as long as it ran; what else the
    // processors did, over the others' time.
    const double others = (b.busy - a.busy) - (b.own - a.own);
    share.otherCpusBusy = std::min(1.0, std::max(0.0, others / (wall * (a.cpus - 1))));
    return share;
}

long involuntarySwitches() {
#ifdef _WIN32
    return -1;
#else
    rusage u = {};
    return getrusage(RUSAGE_SELF, &u) == 0 ? u.ru_nivcsw : -1;
#endif
}

} // namespace host
