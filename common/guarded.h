// A span of bytes on pages of its own with an inaccessible page before and
// after it: a read or write past either end is a fault at once instead of
// damage to whatever lies beside it. Each user places its data inside the
// span (at its start, its end, or on a boundary of its own); the pages are
// unmapped when the span goes. Header only, for the host and the tests.
#ifndef CIRCUIT_GUARDED_H
#define CIRCUIT_GUARDED_H

#include <cstddef>
#include <stdexcept>

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
// <windows.h> defines near and far as nothing, which would rename whatever
// bears those names in the files that include this one.
#undef near
#undef far
#else
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace circuit {

class GuardedSpan {
  public:
    // At least `bytes` accessible bytes, rounded up to whole pages; throws
    // std::runtime_error when the system refuses the pages.
    explicit GuardedSpan(size_t bytes) {
        const size_t page = pageSize();
        size_ = (bytes + page - 1) / page * page;
        if (size_ == 0) size_ = page;
        const size_t whole = size_ + 2 * page;
#ifdef _WIN32
        base_ = static_cast<unsigned char*>(VirtualAlloc(nullptr, whole, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
        DWORD old = 0;
        const bool ok = base_ != nullptr && VirtualProtect(base_, page, PAGE_NOACCESS, &old) &&
                        VirtualProtect(base_ + page + size_, page, PAGE_NOACCESS, &old);
#else
        void* p = mmap(nullptr, whole, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        base_ = p == MAP_FAILED ? nullptr : static_cast<unsigned char*>(p);
        const bool ok = base_ != nullptr && mprotect(base_, page, PROT_NONE) == 0 &&
                        mprotect(base_ + page + size_, page, PROT_NONE) == 0;
#endif
        if (!ok) {
            release();
            throw std::runtime_error("cannot map guarded pages");
        }
    }
    ~GuardedSpan() { release(); }
    GuardedSpan(const GuardedSpan&) = delete;
    GuardedSpan& operator=(const GuardedSpan&) = delete;

    // The first accessible byte; begin() + size() is the first byte of the
    // guard page after the span.
    unsigned char* begin() const { return base_ + pageSize(); }
    unsigned char* end() const { return begin() + size_; }
    size_t size() const { return size_; }

    // The system's page size, asked once.
    static size_t pageSize() {
        static const size_t page = [] {
#ifdef _WIN32
            SYSTEM_INFO info;
            GetSystemInfo(&info);
            return static_cast<size_t>(info.dwPageSize);
#else
            return static_cast<size_t>(sysconf(_SC_PAGESIZE));
#endif
        }();
        return page;
    }

  private:
    void release() {
        if (base_ == nullptr) return;
#ifdef _WIN32
        VirtualFree(base_, 0, MEM_RELEASE);
#else
        munmap(base_, size_ + 2 * pageSize());
#endif
        base_ = nullptr;
    }
    unsigned char* base_ = nullptr;
    size_t size_ = 0;
};

} // namespace circuit

#endif // CIRCUIT_GUARDED_H
