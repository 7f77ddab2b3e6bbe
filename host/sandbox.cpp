// What keeps an entry's process from reaching the host (sandbox.h). On
// Linux: the host is not dumpable (no other process of its user may trace
// it or open its memory) and a subreaper (what an entry's process leaves
// behind becomes the host's child, which the host ends); the entry's
// process drops to the user nobody when the host is root and installs a
// seccomp filter (libseccomp), where the build has it.
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>
#else
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/wait.h>
#include <unistd.h>
#endif
#ifdef __linux__
#include <sys/prctl.h>
#include <sys/syscall.h>
#endif
#if CIRCUIT_HAVE_SECCOMP
#include <seccomp.h>
#endif

#include "clock.h"
#include "sandbox.h"

namespace host {

namespace {

#ifndef _WIN32
// The unprivileged user an entry's process of a root host becomes, looked
// up by the host (an entry's process must not read files to find it).
uid_t gNobodyUid = 65534;
gid_t gNobodyGid = 65534;
// What the system lets an entry's process do to itself, as a trial process
// found out (an emulator may refuse the filter, a container the change of
// user).
bool gDrop = false, gFilter = false;

bool dropPrivileges() {
    return setgroups(0, nullptr) == 0 && setgid(gNobodyGid) == 0 && setuid(gNobodyUid) == 0;
}

// Closes every descriptor but 0 to 2 and `keep`, which becomes 3.
int closeOthers(int keep) {
    if (keep != 3) {
        if (dup2(keep, 3) != 3) _exit(125);
        close(keep);
    }
#if defined(__linux__) && defined(SYS_close_range)
    if (syscall(SYS_close_range, 4u, ~0u, 0u) == 0) return 3;
#endif
    const long most = sysconf(_SC_OPEN_MAX);
    for (long fd = 4; fd < (most > 0 ? most : 65536); ++fd) close(static_cast<int>(fd));
    return 3;
}

#if CIRCUIT_HAVE_SECCOMP
// Refuses (EPERM) tracing, reading or writing another process's memory,
// and signals to the host or to whole process groups; everything else is
// allowed. The filter holds for the process and all it starts.
bool installFilter(long hostPid) {
    scmp_filter_ctx f = seccomp_init(SCMP_ACT_ALLOW);
    if (f == nullptr) return false;
    const uint32_t eperm = SCMP_ACT_ERRNO(EPERM);
    const scmp_datum_t host = static_cast<uint32_t>(hostPid);
    bool ok = seccomp_rule_add(f, eperm, SCMP_SYS(ptrace), 0) == 0 &&
              seccomp_rule_add(f, eperm, SCMP_SYS(process_vm_writev), 0) == 0 &&
              seccomp_rule_add(f, eperm, SCMP_SYS(process_vm_readv), 0) == 0;
    // kill(pid): not the host, not a process group (pid < 0: the host's
    // own among them), not every process (-1). The entry's process group is
    // still reached as kill(0, sig).
    ok = ok && seccomp_rule_add(f, eperm, SCMP_SYS(kill), 1, SCMP_A0(SCMP_CMP_MASKED_EQ, 0xFFFFFFFFu, host)) == 0 &&
         seccomp_rule_add(f, eperm, SCMP_SYS(kill), 1, SCMP_A0(SCMP_CMP_MASKED_EQ, 0x80000000u, 0x80000000u)) == 0;
    for (int call : {SCMP_SYS(tgkill), SCMP_SYS(tkill), SCMP_SYS(rt_sigqueueinfo), SCMP_SYS(rt_tgsigqueueinfo),
                     SCMP_SYS(pidfd_open)})
        ok = ok && seccomp_rule_add(f, eperm, call, 1, SCMP_A0(SCMP_CMP_MASKED_EQ, 0xFFFFFFFFu, host)) == 0;
    ok = ok && seccomp_load(f) == 0;
    seccomp_release(f);
    return ok;
}
#endif

// Forks a trial process that confines itself as an entry's process will:
// bit 0 of its status says the change of user worked, bit 1 the filter.
void tryConfinement(bool root) {
    const pid_t pid = fork();
    if (pid == 0) {
        int bits = root && dropPrivileges() ? 1 : 0;
#if CIRCUIT_HAVE_SECCOMP
        if (installFilter(static_cast<long>(getppid()))) bits |= 2;
#endif
        _exit(bits);
    }
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return;
    gDrop = root && (WEXITSTATUS(status) & 1) != 0;
    gFilter = (WEXITSTATUS(status) & 2) != 0;
}

// The numbers in a file of whitespace-separated numbers, appended to `list`;
// false when it cannot be read.
bool readNumbers(const char* path, std::vector<pid_t>& list) {
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    std::string text;
    char buffer[4096];
    ssize_t n;
    while ((n = read(fd, buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<size_t>(n));
    close(fd);
    const char* p = text.c_str();
    char* end = nullptr;
    for (long v = std::strtol(p, &end, 10); end != p; v = std::strtol(p, &end, 10)) {
        list.push_back(static_cast<pid_t>(v));
        p = end;
    }
    return true;
}

// The host's parent process id as /proc/<pid>/stat gives it, or 0.
long parentOf(long pid) {
    char path[64], stat[512] = {};
    std::snprintf(path, sizeof path, "/proc/%ld/stat", pid);
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    const ssize_t n = read(fd, stat, sizeof stat - 1);
    close(fd);
    const char* paren = n > 0 ? std::strrchr(stat, ')') : nullptr;
    char state = 0;
    long ppid = 0;
    return paren != nullptr && std::sscanf(paren + 1, " %c %ld", &state, &ppid) == 2 ? ppid : 0;
}

// The host's children now: after an entry's process ended, only what it
// left behind. The kernel lists each thread's children; where it does not,
// every process is asked for its parent.
std::vector<pid_t> children() {
    std::vector<pid_t> list;
    const long self = static_cast<long>(getpid());
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%ld/task/%ld/children", self, self);
    if (readNumbers(path, list)) return list; // the host's one thread that starts entries
    DIR* proc = opendir("/proc");
    if (proc == nullptr) return list;
    while (dirent* d = readdir(proc)) {
        char* end = nullptr;
        const long pid = std::strtol(d->d_name, &end, 10);
        if (pid > 0 && *end == '\0' && parentOf(pid) == self) list.push_back(static_cast<pid_t>(pid));
    }
    closedir(proc);
    return list;
}
#endif

#ifdef _WIN32
// The host's token without privileges, at low integrity; nullptr where the
// system refuses either.
HANDLE restrictedToken() {
    HANDLE own = nullptr, restricted = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_DUPLICATE | TOKEN_QUERY | TOKEN_ASSIGN_PRIMARY, &own))
        return nullptr;
    const BOOL made = CreateRestrictedToken(own, DISABLE_MAX_PRIVILEGE, 0, nullptr, 0, nullptr, 0, nullptr, &restricted);
    CloseHandle(own);
    if (!made) return nullptr;
    SID_IDENTIFIER_AUTHORITY label = SECURITY_MANDATORY_LABEL_AUTHORITY;
    PSID low = nullptr;
    bool lowered = false;
    if (AllocateAndInitializeSid(&label, 1, SECURITY_MANDATORY_LOW_RID, 0, 0, 0, 0, 0, 0, 0, &low)) {
        TOKEN_MANDATORY_LABEL level = {};
        level.Label.Attributes = SE_GROUP_INTEGRITY;
        level.Label.Sid = low;
        lowered = SetTokenInformation(restricted, TokenIntegrityLevel, &level, sizeof level + GetLengthSid(low)) != 0;
        FreeSid(low);
    }
    if (!lowered) {
        CloseHandle(restricted);
        return nullptr;
    }
    return restricted;
}
HANDLE gEntryToken = nullptr;
bool gTokenTried = false;

// Gives the host's process a DACL that lets every user, its owner included,
// only wait for it and ask its name: no other process (an entry's worker
// among them) may open it to write into, suspend or end it.
bool lockProcess() {
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:P(A;;0x00101000;;;WD)(A;;0x00101000;;;OW)",
                                                              SDDL_REVISION_1, &sd, nullptr))
        return false;
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    const bool ok = GetSecurityDescriptorDacl(sd, &present, &dacl, &defaulted) && present &&
                    SetSecurityInfo(GetCurrentProcess(), SE_KERNEL_OBJECT,
                                    DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, nullptr,
                                    nullptr, dacl, nullptr) == ERROR_SUCCESS;
    LocalFree(sd);
    return ok;
}
#endif

} // namespace

#ifdef _WIN32
void* entryToken() {
    if (!gTokenTried) gEntryToken = restrictedToken();
    gTokenTried = true;
    return gEntryToken;
}
#endif

std::string protectHost() {
    std::vector<std::string> missing;
#ifdef __linux__
    if (prctl(PR_SET_DUMPABLE, 0, 0, 0, 0) != 0) missing.push_back("the host stays dumpable");
    if (prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) != 0)
        missing.push_back("no subreaper: a daemon an entry starts may outlive the host");
#elif !defined(_WIN32)
    missing.push_back("a daemon an entry starts may outlive the host");
#endif
#ifndef _WIN32
    const bool root = geteuid() == 0;
    if (root) {
        if (const passwd* nobody = getpwnam("nobody")) {
            gNobodyUid = nobody->pw_uid;
            gNobodyGid = nobody->pw_gid;
        }
    }
    tryConfinement(root);
    if (root && !gDrop) missing.push_back("the entries run as root (the system refused the user nobody)");
#if CIRCUIT_HAVE_SECCOMP
    if (!gFilter)
        missing.push_back("no system-call filter (the system refuses one): an entry's process may trace or "
                          "signal the host");
#else
    missing.push_back("no system-call filter (built without libseccomp): an entry's process may trace or "
                      "signal the host");
#endif
#endif
#ifdef _WIN32
    if (!lockProcess()) missing.push_back("other processes may open the host's process");
    if (entryToken() == nullptr)
        missing.push_back("the entries run with the host's own token (no restricted, low-integrity one)");
#endif
    std::string note;
    for (const std::string& m : missing) note += (note.empty() ? "" : "; ") + m;
    return note;
}

#ifndef _WIN32
int confineEntry(int answerFd, long hostPid) {
    const int fd = closeOthers(answerFd);
    if (gDrop && !dropPrivileges()) _exit(125);
#if CIRCUIT_HAVE_SECCOMP
    if (gFilter && !installFilter(hostPid)) _exit(125);
#else
    (void)hostPid;
#endif
    return fd;
}

void endLeftovers() {
    const double until = steadySeconds() + 5;
    for (;;) {
        const std::vector<pid_t> left = children();
        for (pid_t pid : left) kill(pid, SIGKILL);
        int status;
        while (waitpid(-1, &status, WNOHANG) > 0) {
        }
        if (left.empty() || steadySeconds() > until) return;
        usleep(1000);
    }
}
#endif

} // namespace host
