// Loading the module and asking it what it serves. Everything the host learns
// comes through the five exports, resolved by their plain names.
#include <cerrno>
#include <cstring>
#include <sys/stat.h>

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#include <sys/mman.h>
#include <unistd.h>
#endif

#include "errors.h"
#include "files.h"
#include "fpstate.h"
#include "module.h"
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
    explicit GuardedBuffer(size_t bytes) : bytes_(bytes) {
        const size_t page = pageSize();
        span_ = (bytes + page - 1) / page * page + page;
#ifdef _WIN32
        base_ = static_cast<unsigned char*>(VirtualAlloc(nullptr, span_, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
        DWORD old;
        if (base_ == nullptr || !VirtualProtect(base_ + span_ - page, page, PAGE_NOACCESS, &old))
            throw Fatal("cannot set up a guarded buffer for the module's answers");
#else
        void* p = mmap(nullptr, span_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED || mprotect(static_cast<unsigned char*>(p) + span_ - page, page, PROT_NONE) != 0)
            throw Fatal("cannot set up a guarded buffer for the module's answers");
        base_ = static_cast<unsigned char*>(p);
#endif
        std::memset(data(), kFill, bytes_);
    }
    ~GuardedBuffer() {
#ifdef _WIN32
        VirtualFree(base_, 0, MEM_RELEASE);
#else
        munmap(base_, span_);
#endif
    }
    GuardedBuffer(const GuardedBuffer&) = delete;
    GuardedBuffer& operator=(const GuardedBuffer&) = delete;
    unsigned char* data() { return base_ + span_ - pageSize() - bytes_; }
    size_t size() const { return bytes_; }

  private:
    static size_t pageSize() {
#ifdef _WIN32
        SYSTEM_INFO si;
        GetSystemInfo(&si);
        return si.dwPageSize;
#else
        return static_cast<size_t>(sysconf(_SC_PAGESIZE));
#endif
    }
    size_t bytes_, span_ = 0;
    unsigned char* base_ = nullptr;
};

// Puts the host's floating-point settings back when a call into the module
// (its constructors, a query, its destructors) returns: a module that turns
// on traps or lowers the x87 precision there changes nothing of the host's.
class HostFpSettings {
  public:
    HostFpSettings() : saved_(readFpState()) {}
    ~HostFpSettings() { restoreFpState(saved_); }

  private:
    FpState saved_;
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

// Calls one query and puts the host's floating-point settings back after it.
template <class Query>
auto callRestoring(const Query& query) -> decltype(query()) {
    HostFpSettings keep;
    return query();
}

} // namespace

Module::Module(const std::string& path) : path_(path) {
    const std::string why = notRegularFile(path);
    if (!why.empty()) throw Fatal("cannot load module " + displayPath(path) + ": " + why);
    const int bits = wordSizeOf(path), hostBits = static_cast<int>(sizeof(void*) * 8);
    if (bits != 0 && bits != hostBits)
        throw Fatal("cannot load module " + displayPath(path) + ": it is a " + std::to_string(bits) +
                    "-bit module and this circuit-host is " + std::to_string(hostBits) + "-bit; run it with the " +
                    std::to_string(bits) + "-bit circuit-host" +
                    (bits == 32 ? " (the i686-linux build, or the win32 build for a DLL)" : " (the portable build)"));
    {
        HostFpSettings keep;
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
    HostFpSettings keep;
#ifdef _WIN32
    FreeLibrary(reinterpret_cast<HMODULE>(handle_));
#else
    dlclose(handle_);
#endif
    handle_ = nullptr;
}

ModuleInfo Module::query() const {
    HostFpSettings keep;
    ModuleInfo info;
    info.path = path_;
    info.circuit = callRestoring(getCircuitSignature_);
    if (info.circuit != CIRCUIT_SIGNATURE)
        throw Fatal("module " + path_ + " serves circuit " + std::to_string(info.circuit) +
                    "; this host runs circuit " + std::to_string(CIRCUIT_SIGNATURE));

    // The creator signature needs 18 bytes; a much larger buffer with a known
    // fill shows whether the string ended inside it.
    GuardedBuffer creatorBuffer(4096);
    char* creator = reinterpret_cast<char*>(creatorBuffer.data());
    char* returned = callRestoring([&] { return getCreatorSignature_(creator); });
    info.creatorReturnedBuffer = returned == creator;
    const void* nul = std::memchr(creator, '\0', creatorBuffer.size());
    if (nul == nullptr)
        throw Fatal("module " + path_ + ": the creator signature has no terminating NUL");
    info.creator.assign(creator, static_cast<size_t>(static_cast<const char*>(nul) - creator));

    int32_t count = callRestoring(getEntryCount_);
    if (count <= 0 || count > kMaxEntries)
        throw Fatal("module " + path_ + " announces " + std::to_string(count) +
                    " entries; this host accepts 1 to " + std::to_string(kMaxEntries));

    // Room for the announced records and as many again as a guard: records
    // written past the announced count mean the count and the table disagree.
    const size_t bytes = sizeof(EntrySpec) * static_cast<size_t>(count);
    GuardedBuffer guarded(2 * sizeof(EntrySpec) * kMaxEntries);
    unsigned char* buffer = guarded.data();
    callRestoring([&] { getEntrySpecs_(reinterpret_cast<EntrySpec*>(buffer)); return 0; });
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
