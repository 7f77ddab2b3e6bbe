// Tells whether this 64-bit process can run 32-bit x86 code natively by
// switching to the 32-bit compatibility code segment, the way a native timing
// of the i686 kernels from a 64-bit benchmark would have to. It copies the
// thunk (thunk.asm) and a stack below 4 GB, far-returns into selector 0x23,
// runs `mov eax, 42` there and far-returns to selector 0x33. Where the
// kernel or the hypervisor has no 32-bit code segment, the far return faults;
// the fault is caught and reported. It also tries a 32-bit code segment of
// its own in the LDT (modify_ldt).
//
// Exit status: 0 when 32-bit code ran, 2 when compatibility mode is
// unavailable, 1 when the probe itself could not be set up.
#include <asm/ldt.h>
#include <setjmp.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

extern "C" const unsigned char compat32Stub[];
extern "C" const unsigned char compat32StubEnd[];

namespace {

sigjmp_buf gEscape;
volatile sig_atomic_t gSignal = 0;

void onFault(int signal) {
    gSignal = signal;
    siglongjmp(gEscape, 1);
}

using Call32 = uint64_t (*)(uint32_t function, uint32_t stack, uint32_t selector);

// Returns true and the 32-bit function's result when the switch worked.
bool attempt(Call32 call, uint32_t function, uint32_t stack, uint32_t selector, uint64_t& result) {
    gSignal = 0;
    if (sigsetjmp(gEscape, 1) != 0) return false;
    result = call(function, stack, selector);
    return true;
}

} // namespace

int main() {
    const size_t size = static_cast<size_t>(compat32StubEnd - compat32Stub);
    void* code = mmap(nullptr, 4096, PROT_READ | PROT_WRITE | PROT_EXEC,
                      MAP_PRIVATE | MAP_ANONYMOUS | MAP_32BIT, -1, 0);
    void* stack = mmap(nullptr, 1 << 20, PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS | MAP_32BIT, -1, 0);
    if (code == MAP_FAILED || stack == MAP_FAILED || size > 4096) {
        std::fprintf(stderr, "compat32_probe: cannot map memory below 4 GB\n");
        return 1;
    }
    std::memcpy(code, compat32Stub, size);
    uint32_t answerOffset;
    std::memcpy(&answerOffset, compat32Stub + 8, 4);
    const auto base = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(code));
    const auto top = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(stack)) + (1u << 20) - 64;
    const Call32 call = reinterpret_cast<Call32>(code);

    struct sigaction action {};
    action.sa_handler = onFault;
    sigemptyset(&action.sa_mask);
    sigaction(SIGSEGV, &action, nullptr);
    sigaction(SIGILL, &action, nullptr);
    sigaction(SIGBUS, &action, nullptr);

    bool ran = false;
    uint64_t result = 0;
    if (attempt(call, base + answerOffset, top, 0x23, result)) {
        std::printf("selector 0x23 (the kernel's 32-bit code segment): 32-bit code ran, eax = %u\n",
                    static_cast<unsigned>(result));
        ran = result == 42;
    } else {
        std::printf("selector 0x23 (the kernel's 32-bit code segment): far return raised %s\n",
                    strsignal(gSignal));
    }

    user_desc segment{};
    segment.entry_number = 0;
    segment.limit = 0xfffff;
    segment.seg_32bit = 1;
    segment.contents = MODIFY_LDT_CONTENTS_CODE;
    segment.limit_in_pages = 1;
    segment.useable = 1;
    if (syscall(SYS_modify_ldt, 1, &segment, sizeof segment) != 0) {
        std::printf("selector 0x07 (own LDT code segment): modify_ldt refused\n");
    } else if (attempt(call, base + answerOffset, top, 0x07, result)) {
        std::printf("selector 0x07 (own LDT code segment): 32-bit code ran, eax = %u\n",
                    static_cast<unsigned>(result));
        ran = ran || result == 42;
    } else {
        std::printf("selector 0x07 (own LDT code segment): far return raised %s\n",
                    strsignal(gSignal));
    }

    std::printf(ran ? "32-bit compatibility mode is available: the i686 kernels can be timed natively\n"
                    : "32-bit compatibility mode is unavailable on this machine\n");
    return ran ? 0 : 2;
}
