// Loading the module and asking it what it serves. Everything the host learns
// comes through the five exports, resolved by their plain names.
#include <csignal>
#include <cstdio>
#include <cstring>

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>
#endif

#include "errors.h"
#include "files.h"
#include "fpstate.h"
#include "guarded.h"
#include "module.h"
#include "signals.h"
#include "text.h"

namespace host {

namespace {

#ifdef _WIN32
std::string lastErrorText() {
    DWORD code = GetLastError();
    char* text = nullptr;
    FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                       FORMAT_MESSAGE_IGNORE_INSERTS,
                   nullptr, code, 0, reinterpret_cast<char*>(&text), 0, nullptr);
    std::string s = text ? text : "error " + std::to_string(code);
    if (text) LocalFree(text);
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == ' ')) s.pop_back();
    return s;
}
#endif

void* openModule(const std::string& path) {
#ifdef _WIN32
    // A bare name would be looked for in the system directories too; the user
    // means the file in the current directory. Its dependencies are looked
    // for next to it.
    std::string file = path.find_first_of("/\\:") == std::string::npos ? ".\\" + path : path;
    HMODULE h = LoadLibraryExW(widePath(file).c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    if (h == nullptr) throw Fatal("cannot load module " + path + ": " + lastErrorText());
    return reinterpret_cast<void*>(h);
#else
    // dlopen searches the library path for a name without a slash; the user
    // means the file in the current directory.
    std::string file = path.find('/') == std::string::npos ? "./" + path : path;
    void* h = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (h == nullptr) {
        const char* e = dlerror();
        throw Fatal("cannot load module " + path + ": " + (e ? e : "unknown error"));
    }
    return h;
#endif
}

void* symbol(void* handle, const char* name) {
#ifdef _WIN32
    return reinterpret_cast<void*>(GetProcAddress(reinterpret_cast<HMODULE>(handle), name));
#else
    dlerror();
    return dlsym(handle, name);
#endif
}

template <class Fn>
void resolve(void* handle, const std::string& path, const char* name, Fn& fn) {
    void* p = symbol(handle, name);
    if (p == nullptr) throw Fatal("module " + path + " does not export " + name);
    static_assert(sizeof(Fn) == sizeof(void*), "function pointers are data-pointer sized");
    std::memcpy(&fn, &p, sizeof fn);
}

constexpr unsigned char kFill = 0xA5; // what the host's buffers hold before a query

// A buffer for a query that ends where an inaccessible page begins: a module
// that writes past it stops the host with a fault, reported as the module's,
// instead of overwriting the host's heap.
class GuardedBuffer {
  public:
    explicit GuardedBuffer(size_t bytes) : bytes_(bytes), span_(pages(bytes)) { std::memset(data(), kFill, bytes_); }
    unsigned char* data() { return span_.end() - bytes_; }
    size_t size() const { return bytes_; }

  private:
    static circuit::GuardedSpan pages(size_t bytes) {
        try {
            return circuit::GuardedSpan(bytes);
        } catch (const std::exception&) {
            throw Fatal("cannot set up a guarded buffer for the module's answers");
        }
    }
    size_t bytes_;
    circuit::GuardedSpan span_;
};

// What a call into the module (its constructors, a query, its destructors)
// may change of the host's process, put back when the call returns: the
// floating-point settings, the signal mask and the working directory. The
// call runs under the deadline of signals.h. A copy of the host that the
// module forked inside the call returns from it too; it ends here without a
// word, so that only the host's own process goes on to run and report (and
// the host flushed its output before the call, so the copy holds none).
class HostState {
  public:
    explicit HostState(double deadlineSeconds) : fp_(readFpState()) {
        std::fflush(nullptr);
#ifdef _WIN32
        const DWORD n = GetCurrentDirectoryW(0, nullptr);
        cwd_.resize(n);
        if (n == 0 || GetCurrentDirectoryW(n, &cwd_[0]) == 0) cwd_.clear();
#else
        pid_ = getpid();
        sigprocmask(SIG_SETMASK, nullptr, &mask_);
        cwd_ = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
#endif
        armModuleDeadline(deadlineSeconds);
    }
    ~HostState() {
#ifndef _WIN32
        if (getpid() != pid_) _exit(0);
#endif
        disarmModuleDeadline();
        restoreFpState(fp_);
#ifdef _WIN32
        if (!cwd_.empty()) SetCurrentDirectoryW(cwd_.c_str());
#else
        sigprocmask(SIG_SETMASK, &mask_, nullptr);
        if (cwd_ >= 0 && (fchdir(cwd_), true)) close(cwd_);
#endif
    }
    HostState(const HostState&) = delete;
    HostState& operator=(const HostState&) = delete;

  private:
    FpState fp_;
#ifdef _WIN32
    std::wstring cwd_;
#else
    pid_t pid_ = 0;
    sigset_t mask_;
    int cwd_ = -1;
#endif
};

// The word size an ELF or PE file is built for, from its header; 0 when the
// header says neither (the loader then gives its own reason).
int wordSizeOf(const std::string& path) {
    std::FILE* f = openFile(path, "rb");
    if (f == nullptr) return 0;
    unsigned char h[512] = {};
    const size_t n = std::fread(h, 1, sizeof h, f);
    std::fclose(f);
    if (n >= 5 && h[0] == 0x7F && h[1] == 'E' && h[2] == 'L' && h[3] == 'F') return h[4] == 1 ? 32 : h[4] == 2 ? 64 : 0;
    if (n >= 0x40 && h[0] == 'M' && h[1] == 'Z') {
        const size_t pe = h[0x3C] | h[0x3D] << 8;
        if (pe + 6 > n || std::memcmp(h + pe, "PE\0\0", 4) != 0) return 0;
        const unsigned machine = h[pe + 4] | h[pe + 5] << 8;
        return machine == 0x14C ? 32 : machine == 0x8664 ? 64 : 0;
    }
    return 0;
}


} // namespace

// Calls one query under the deadline and puts the host's state back after it.
template <class Query>
auto Module::ask(const Query& query) const -> decltype(query()) {
    HostState keep(deadlineSeconds_);
    return query();
}

Module::Module(const std::string& path, double deadlineSeconds) : path_(path), deadlineSeconds_(deadlineSeconds) {
    const std::string why = notRegularFile(path);
    if (!why.empty()) throw Fatal("cannot load module " + printable(path) + ": " + why);
    const int bits = wordSizeOf(path), hostBits = static_cast<int>(sizeof(void*) * 8);
    if (bits != 0 && bits != hostBits)
        throw Fatal("cannot load module " + printable(path) + ": it is a " + std::to_string(bits) +
                    "-bit module and this circuit-host is " + std::to_string(hostBits) + "-bit; run it with the " +
                    std::to_string(bits) + "-bit circuit-host" +
                    (bits == 32 ? " (the i686-linux build, or the win32 build for a DLL)" : " (the portable build)"));
    {
        HostState keep(deadlineSeconds_);
        handle_ = openModule(path);
    }
    try {
        resolve(handle_, path, "getCircuitSignature", getCircuitSignature_);
        resolve(handle_, path, "getCreatorSignature", getCreatorSignature_);
        resolve(handle_, path, "getEntryCount", getEntryCount_);
        resolve(handle_, path, "getEntrySpecs", getEntrySpecs_);
        resolve(handle_, path, "runEntry", runEntry_);
    } catch (...) {
        close();
        throw;
    }
}

Module::~Module() { close(); }

void Module::close() {
    if (handle_ == nullptr) return;
    HostState keep(deadlineSeconds_);
#ifdef _WIN32
    FreeLibrary(reinterpret_cast<HMODULE>(handle_));
#else
    dlclose(handle_);
#endif
    handle_ = nullptr;
}

ModuleInfo Module::query() const {
    ModuleInfo info;
    info.path = path_;
    info.circuit = ask(getCircuitSignature_);
    if (info.circuit != CIRCUIT_SIGNATURE)
        throw Fatal("module " + path_ + " serves circuit " + std::to_string(info.circuit) +
                    "; this host runs circuit " + std::to_string(CIRCUIT_SIGNATURE));

    // The creator signature needs 18 bytes; a much larger buffer with a known
    // fill shows whether the string ended inside it.
    GuardedBuffer creatorBuffer(4096);
    char* creator = reinterpret_cast<char*>(creatorBuffer.data());
    char* returned = ask([&] { return getCreatorSignature_(creator); });
    info.creatorReturnedBuffer = returned == creator;
    const void* nul = std::memchr(creator, '\0', creatorBuffer.size());
    if (nul == nullptr)
        throw Fatal("module " + path_ + ": the creator signature has no terminating NUL");
    info.creator.assign(creator, static_cast<size_t>(static_cast<const char*>(nul) - creator));

    int32_t count = ask(getEntryCount_);
    if (count <= 0 || count > kMaxEntries)
        throw Fatal("module " + path_ + " announces " + std::to_string(count) +
                    " entries; this host accepts 1 to " + std::to_string(kMaxEntries));

    // Room for the announced records and as many again as a guard: records
    // written past the announced count mean the count and the table disagree.
    const size_t bytes = sizeof(EntrySpec) * static_cast<size_t>(count);
    GuardedBuffer guarded(2 * sizeof(EntrySpec) * kMaxEntries);
    unsigned char* buffer = guarded.data();
    ask([&] { getEntrySpecs_(reinterpret_cast<EntrySpec*>(buffer)); return 0; });
    for (size_t i = bytes; i < guarded.size(); ++i)
        if (buffer[i] != kFill)
            throw Fatal("module " + path_ + " wrote more than the " + std::to_string(count) +
                        " entry records that getEntryCount announces");
    info.records.resize(static_cast<size_t>(count));
    std::memcpy(info.records.data(), buffer, bytes);
    for (const EntrySpec& s : info.records)
        info.nameTerminated.push_back(std::memchr(s.name, '\0', ENTRY_NAME_BYTES) != nullptr);
    return info;
}

} // namespace host
