// A host built with -ffast-math: its start-up files set flush-to-zero and
// denormals-are-zero in MXCSR (on aarch64: flush-to-zero in FPCR) for the
// whole process before main. It loads the module by path (dlopen), runs
// entries 0 to 9 on a problem whose arithmetic reaches the subnormal range,
// then puts the register back to its default and runs them again: the bits
// must not change. Entries 10 and 11 follow the register by definition and
// are not compared. Usage: fastmath_host path/to/circuit2.so
//
// Exit status 0 when every output kept its bits, 1 otherwise, 2 when the
// module cannot be loaded or the start-up did not set the flush bits.
#include <dlfcn.h>

#include <cstdio>
#include <cstring>

#include "entries.h"
#include "tiny_problem.h"

namespace {

#if defined(__aarch64__)
constexpr const char* kRegister = "FPCR";
constexpr unsigned kFlushBits = 1u << 24; // FZ
constexpr unsigned kDefault = 0;          // to nearest, no flushing, no traps

unsigned control() {
    uint64_t v;
    __asm__ volatile("mrs %0, fpcr" : "=r"(v) : : "memory");
    return static_cast<unsigned>(v);
}

void setControl(unsigned v) { __asm__ volatile("msr fpcr, %0" : : "r"(uint64_t{v}) : "memory"); }
#else
constexpr const char* kRegister = "MXCSR";
constexpr unsigned kFlushBits = 0x8040; // FTZ | DAZ
constexpr unsigned kDefault = 0x1F80;

unsigned control() {
    unsigned v;
    __asm__ volatile("stmxcsr %0" : "=m"(v) : : "memory");
    return v;
}

void setControl(unsigned v) { __asm__ volatile("ldmxcsr %0" : : "m"(v) : "memory"); }
#endif

constexpr EntryFlags kFlags[ENTRY_COUNT] = {
#define FLAGS_OF(index, stem, name, flags, native) flags,
    CIRCUIT_ENTRIES(FLAGS_OF)
#undef FLAGS_OF
};

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: fastmath_host path/to/circuit2.so\n");
        return 2;
    }
    const unsigned atStart = control();
    if ((atStart & kFlushBits) != kFlushBits) {
        std::fprintf(stderr, "fastmath_host: %s 0x%04X at start: the -ffast-math start-up set no flush bits\n",
                     kRegister, atStart);
        return 2;
    }
    void* module = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    RunEntryFn run = module ? reinterpret_cast<RunEntryFn>(dlsym(module, "runEntry")) : nullptr;
    if (run == nullptr) {
        std::fprintf(stderr, "fastmath_host: %s\n", dlerror());
        return 2;
    }
    const circuit::Problem problem = tiny::problem();
    float outputs[2][10][SOA_OUTPUT_FLOATS] = {};
    for (int pass = 0; pass < 2; ++pass) {
        if (pass == 1) setControl(kDefault);
        for (uint32_t e = 0; e < 10; ++e) {
            circuit::Blocks b;
            circuit::layoutFor(kFlags[e], problem, b);
            alignas(16) float y[SOA_OUTPUT_FLOATS];
            run(e, b.coefficients, b.input, y, 2);
            std::memcpy(outputs[pass][e], y, sizeof(float) * circuit::outputFloats(kFlags[e]));
        }
    }
    int changed = 0;
    for (uint32_t e = 0; e < 10; ++e)
        for (int i = 0; i < OUTPUT_COUNT; ++i)
            if (std::memcmp(&outputs[0][e][i], &outputs[1][e][i], 4) != 0) {
                unsigned a, b;
                std::memcpy(&a, &outputs[0][e][i], 4);
                std::memcpy(&b, &outputs[1][e][i], 4);
                std::printf("entry %u y[%d]: 0x%08X under %s 0x%04X, 0x%08X under 0x%04X\n", e, i, a, kRegister,
                            atStart, b, kDefault);
                ++changed;
            }
    std::printf("fastmath_host: %s 0x%04X at start; entries 0 to 9: %d outputs changed\n", kRegister, atStart,
                changed);
    return changed == 0 ? 0 : 1;
}
