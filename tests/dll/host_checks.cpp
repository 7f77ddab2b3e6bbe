#include "host_checks.h"

#include <initializer_list>

#include "dispatch.h"
#include "floatbits.h"
#include "layout.h"

#if defined(_WIN32)
#define HOST_SYMBOL(name) "_" #name
#else
#define HOST_SYMBOL(name) #name
#endif

// checkedCall(fn, args, count, record). Saves the caller's registers, keeps
// esp in a variable, loads canaries into ebx, esi, edi and ebp, pushes the
// arguments and calls; afterwards it measures esp against the saved value,
// compares the canaries and restores everything from the saved esp, so that a
// callee that pops the wrong amount is reported rather than fatal.
__asm__(".text\n"
        ".globl " HOST_SYMBOL(checkedCall) "\n"
        HOST_SYMBOL(checkedCall) ":\n"
        "    pushl %ebp\n"
        "    pushl %ebx\n"
        "    pushl %esi\n"
        "    pushl %edi\n"
        "    movl %esp, hostSavedEsp\n"
        "    movl 20(%esp), %eax\n"   // fn
        "    movl %eax, hostCallTarget\n"
        "    movl 24(%esp), %edx\n"   // args
        "    movl 28(%esp), %ecx\n"   // count
        "1:  testl %ecx, %ecx\n"
        "    jz 2f\n"
        "    decl %ecx\n"
        "    pushl (%edx,%ecx,4)\n"
        "    jmp 1b\n"
        "2:  movl $0xB0B0B0B0, %ebx\n"
        "    movl $0x51515151, %esi\n"
        "    movl $0xD1D1D1D1, %edi\n"
        "    movl $0xEBEBEBEB, %ebp\n"
        "    call *hostCallTarget\n"
        "    movl %esp, %ecx\n"
        "    subl hostSavedEsp, %ecx\n"
        "    xorl %edx, %edx\n"
        "    cmpl $0xB0B0B0B0, %ebx\n"
        "    je 3f\n"
        "    orl $1, %edx\n"
        "3:  cmpl $0x51515151, %esi\n"
        "    je 4f\n"
        "    orl $2, %edx\n"
        "4:  cmpl $0xD1D1D1D1, %edi\n"
        "    je 5f\n"
        "    orl $4, %edx\n"
        "5:  cmpl $0xEBEBEBEB, %ebp\n"
        "    je 6f\n"
        "    orl $8, %edx\n"
        "6:  movl hostSavedEsp, %esp\n"
        "    movl 32(%esp), %ebx\n"   // record
        "    movl %ecx, (%ebx)\n"
        "    movl %edx, 4(%ebx)\n"
        "    popl %edi\n"
        "    popl %esi\n"
        "    popl %ebx\n"
        "    popl %ebp\n"
        "    ret\n"
        ".data\n"
        ".balign 4\n"
        "hostSavedEsp: .long 0\n"
        "hostCallTarget: .long 0\n"
        ".text\n");

namespace host {
namespace {

void fill(void* p, unsigned char value, unsigned bytes) {
    unsigned char* b = static_cast<unsigned char*>(p);
    for (unsigned i = 0; i < bytes; ++i) b[i] = value;
}

bool same(const void* a, const void* b, unsigned bytes) {
    const unsigned char* x = static_cast<const unsigned char*>(a);
    const unsigned char* y = static_cast<const unsigned char*>(b);
    for (unsigned i = 0; i < bytes; ++i)
        if (x[i] != y[i]) return false;
    return true;
}

uint32_t word(const void* p) { return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(p)); }

// An output block with 8 guard floats on each side, all set to a quiet NaN
// that no kernel produces; the block starts on a 16-byte boundary.
struct Guarded {
    static constexpr unsigned kGuard = 8;
    static constexpr unsigned kFloats = kGuard + SOA_OUTPUT_FLOATS + kGuard;
    alignas(16) uint32_t bits[kFloats];
    Guarded() { reset(); }
    void reset() {
        for (uint32_t& b : bits) b = kSentinelBits;
    }
    float* block() { return reinterpret_cast<float*>(bits + kGuard); }
    bool untouched() const {
        for (uint32_t b : bits)
            if (b != kSentinelBits) return false;
        return true;
    }
};

// Distinct, order-sensitive values; `seed` varies them.
void makeProblem(circuit::Problem& p, unsigned seed) {
    for (int i = 0; i < OUTPUT_COUNT; ++i)
        for (int j = 0; j < INPUT_COUNT; ++j) {
            const int k = static_cast<int>((i * 37u + j * 11u + seed * 5u) % 23u) - 11;
            float v = static_cast<float>(k) / 16.0f + 0.001f * static_cast<float>(j);
            if ((i + j + seed) % 7 == 0) v *= 1048576.0f; // large terms so orders disagree
            p.m[i][j] = v;
        }
    for (int j = 0; j < INPUT_COUNT; ++j)
        p.x[j] = static_cast<float>(static_cast<int>((j * 7u + seed) % 13u) - 6) / 8.0f;
}

constexpr uint32_t kFlags[ENTRY_COUNT] = {0x001, 0x001, 0x001, 0x001, 0x001, 0x101, 0x006,
                                          0x106, 0x106, 0x106, 0x108, 0x108, 0x003, 0x103};

} // namespace

void Tally::expect(bool ok, const char* what, uint32_t detail) {
    ++checks;
    if (ok) return;
    ++failures;
    sayHex(what, detail);
}

void sayHex(const char* text, uint32_t value) {
    char digits[] = " 0x00000000\n";
    for (int i = 0; i < 8; ++i) digits[3 + i] = "0123456789ABCDEF"[(value >> (28 - 4 * i)) & 15];
    say(text);
    say(digits);
}

void sayNumber(const char* text, uint32_t value) {
    char digits[16];
    char* p = digits + sizeof digits;
    *--p = '\0';
    *--p = '\n';
    do *--p = static_cast<char>('0' + value % 10); while ((value /= 10) != 0);
    *--p = ' ';
    say(text);
    say(p);
}

uint32_t call(Tally& tally, const char* name, const void* fn, const uint32_t* args, uint32_t count) {
    CallRecord record{};
    const uint32_t result = checkedCall(fn, args, count, &record);
    if (record.stackDelta != 0) {
        say(name);
        sayHex(": stack pointer moved by (bytes, 0 for a callee that pops its arguments)",
               static_cast<uint32_t>(record.stackDelta));
    }
    tally.expect(record.stackDelta == 0, "  stack check failed for the call above", 0);
    if (record.registersChanged != 0) say(name);
    tally.expect(record.registersChanged == 0,
                 ": callee-saved registers changed (bit 0 ebx, 1 esi, 2 edi, 3 ebp)",
                 record.registersChanged);
    return result;
}

uint16_t controlWord() {
    uint16_t control;
    __asm__ volatile("fnstcw %0" : "=m"(control));
    return control;
}

uint16_t statusWord() {
    uint16_t status;
    __asm__ volatile("fnstsw %0" : "=m"(status));
    return status;
}

void setControlWord(uint16_t control) {
    __asm__ volatile("fnclex\n\tfldcw %0" : : "m"(control));
}

void raiseZeroDivide() {
    __asm__ volatile("fld1\n\tfldz\n\tfdivrp\n\tfstp %%st(0)" ::: "st");
}

namespace {

// Queries: constant answers on every call.
void checkQueries(Tally& tally, const Exports& e) {
    for (int round = 0; round < 2; ++round) {
        tally.expect(call(tally, "getCircuitSignature", e.getCircuitSignature, nullptr, 0) == 2,
                     "getCircuitSignature is not 2");
        tally.expect(call(tally, "getEntryCount", e.getEntryCount, nullptr, 0) == ENTRY_COUNT,
                     "getEntryCount is not 14");
    }
}

// The creator signature: exactly 18 bytes, NUL included, and the buffer back.
void checkCreator(Tally& tally, const Exports& e) {
    unsigned char creator[32];
    fill(creator, 0xFF, sizeof creator);
    uint32_t args[5] = {word(creator)};
    tally.expect(call(tally, "getCreatorSignature", e.getCreatorSignature, args, 1) == word(creator),
                 "getCreatorSignature did not return its argument");
    tally.expect(same(creator, "Ostrel 2000/01/05", 18), "creator signature bytes differ");
    bool tail = true;
    for (unsigned i = 18; i < sizeof creator; ++i) tail = tail && creator[i] == 0xFF;
    tally.expect(tail, "getCreatorSignature wrote past its 18 bytes");
}

// The entry records, against the statically linked table: same bytes,
// bytes after each NUL and after the last record left alone.
void checkRecords(Tally& tally, const Exports& e) {
    static unsigned char specs[ENTRY_COUNT * sizeof(EntrySpec) + 16];
    static unsigned char reference[sizeof specs];
    fill(specs, 0xFF, sizeof specs);
    fill(reference, 0xFF, sizeof reference);
    uint32_t args[5] = {word(specs)};
    call(tally, "getEntrySpecs", e.getEntrySpecs, args, 1);
    getEntrySpecs(reinterpret_cast<EntrySpec*>(reference));
    tally.expect(same(specs, reference, sizeof specs), "entry records differ from the module's table");
    for (unsigned i = 0; i < ENTRY_COUNT; ++i) {
        const unsigned char* f = specs + 68 * i + 64;
        const uint32_t flags = f[0] | f[1] << 8 | f[2] << 16 | static_cast<uint32_t>(f[3]) << 24;
        tally.expect(flags == kFlags[i], "entry flags differ; entry", i);
    }
}

// Indices outside the table touch nothing.
void checkOutsideIndices(Tally& tally, const Exports& e, circuit::Blocks& blocks) {
    circuit::Problem problem;
    makeProblem(problem, 0);
    circuit::layoutSoa(problem, blocks.coefficients, blocks.input);
    for (uint32_t index : {14u, 0x7FFFFFFFu, 0xFFFFFFFFu}) {
        Guarded out;
        const uint32_t a[5] = {index, word(blocks.coefficients), word(blocks.input), word(out.block()), 1};
        call(tally, "runEntry", e.runEntry, a, 5);
        tally.expect(out.untouched(), "runEntry wrote for an index outside the table", index);
    }
}

// Every entry: the loaded module and the statically linked portable
// kernels give the same bits and write the same floats, guards included.
// The module picked its kernels for this processor when it was attached;
// where it lacks an extension the module runs the portable kernel itself.
void checkEntries(Tally& tally, const Exports& e, circuit::Blocks& blocks) {
    circuit::Problem problem;
    circuit::selectKernels(0);
    for (unsigned seed = 1; seed <= 2; ++seed) {
        makeProblem(problem, seed);
        for (uint32_t index = 0; index < ENTRY_COUNT; ++index) {
            circuit::layoutFor(kFlags[index], problem, blocks, 0.5f);
            for (int32_t count : {1, 5, 0, -1}) {
                Guarded loaded, linked;
                const uint32_t a[5] = {index, word(blocks.coefficients), word(blocks.input),
                                       word(loaded.block()), static_cast<uint32_t>(count)};
                call(tally, "runEntry", e.runEntry, a, 5);
                runEntry(index, blocks.coefficients, blocks.input, linked.block(), count);
                tally.expect(same(loaded.bits, linked.bits, sizeof loaded.bits),
                             "results differ from the portable kernel; entry", index);
                if (count <= 0) tally.expect(loaded.untouched(), "count <= 0 wrote output; entry", index);
            }
        }
    }
}

} // namespace

void checkModule(Tally& tally, const Exports& e) {
    static circuit::Blocks blocks;
    checkQueries(tally, e);
    checkCreator(tally, e);
    checkRecords(tally, e);
    checkOutsideIndices(tally, e, blocks);
    checkEntries(tally, e, blocks);
}

} // namespace host
