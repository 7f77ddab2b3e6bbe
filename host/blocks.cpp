// The guarded blocks an entry runs on: its data in its layout, an output
// block between sentinel floats, and a pristine copy of the data to see
// whether a call changed it.
#include <cstdint>
#include <cstring>
#include <new>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/mman.h>
#include <unistd.h>
#endif

#include "blocks.h"
#include "errors.h"
#include "floatbits.h"

namespace host {

namespace {

size_t pageSize() {
#ifdef _WIN32
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    return info.dwPageSize;
#else
    return static_cast<size_t>(sysconf(_SC_PAGESIZE));
#endif
}

// `size` bytes of pages whose first and last pages are inaccessible.
unsigned char* guardedPages(size_t size, size_t page) {
#ifdef _WIN32
    void* p = VirtualAlloc(nullptr, size, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    DWORD old = 0;
    if (p == nullptr || !VirtualProtect(p, page, PAGE_NOACCESS, &old) ||
        !VirtualProtect(static_cast<unsigned char*>(p) + size - page, page, PAGE_NOACCESS, &old))
        throw Fatal("cannot set up the guarded blocks of an entry");
#else
    void* p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED || mprotect(p, page, PROT_NONE) != 0 ||
        mprotect(static_cast<unsigned char*>(p) + size - page, page, PROT_NONE) != 0)
        throw Fatal("cannot set up the guarded blocks of an entry");
#endif
    return static_cast<unsigned char*>(p);
}

} // namespace

EntryBlocks::EntryBlocks(EntryFlags flags, const circuit::Problem& p) : flags_(flags) {
    static_assert(sizeof(Storage) % 16 == 0, "the storage ends where a page ends, on a 16-byte boundary");
    const size_t page = pageSize();
    pagesSize_ = ((sizeof(Storage) + page - 1) / page + 2) * page;
    pages_ = guardedPages(pagesSize_, page);
    s_ = new (pages_ + pagesSize_ - page - sizeof(Storage)) Storage;
    std::memset(&s_->data, 0, sizeof s_->data);
    circuit::layoutFor(flags, p, s_->data);
    s_->pristine = s_->data;
    resetOutput();
}

EntryBlocks::~EntryBlocks() {
#ifdef _WIN32
    VirtualFree(pages_, 0, MEM_RELEASE);
#else
    munmap(pages_, pagesSize_);
#endif
}

void EntryBlocks::checkAlignment() const {
    for (const void* block : {static_cast<const void*>(s_->data.coefficients), static_cast<const void*>(s_->data.input),
                              static_cast<const void*>(s_->out + kGuardBefore)})
        if (reinterpret_cast<uintptr_t>(block) % 16 != 0)
            throw Fatal("internal error: a data block is not on a 16-byte boundary");
}

void EntryBlocks::resetOutput() {
    fillSentinel(s_->out, sizeof s_->out / sizeof s_->out[0]);
}

std::string EntryBlocks::damage() const {
    const int floats = circuit::outputFloats(flags_);
    std::string what;
    for (int i = 0; i < kGuardBefore; ++i)
        if (!isSentinel(s_->out + i)) what = "wrote before its output block";
    for (int i = kGuardBefore + floats; i < kGuardBefore + SOA_OUTPUT_FLOATS + kGuardAfter; ++i)
        if (!isSentinel(s_->out + i)) {
            what = "wrote past its " + std::to_string(floats) + " output floats (float " +
                   std::to_string(i - kGuardBefore) + ")";
            break;
        }
    if (what.empty() && std::memcmp(&s_->data, &s_->pristine, sizeof s_->data) != 0)
        what = "changed its coefficient or input block";
    return what;
}

std::vector<int> EntryBlocks::unwritten() const {
    std::vector<int> list;
    for (int i = 0; i < OUTPUT_COUNT; ++i)
        if (isSentinel(s_->out + kGuardBefore + i)) list.push_back(i);
    return list;
}

} // namespace host
