// A stand-in circuit-2 module whose verdicts the host must get right: the
// real module's names and flags (so the groups that must agree bit for bit
// apply), correct arithmetic for every entry, and one fault chosen by the
// environment variable FAKE_VERDICT_FAULT, read when the module is loaded:
//   ulp           entry 9's last output one ulp farther from the exact sum
//   renamed       as ulp, with entry 0 renamed: not circuit 2's own table
//   exit7         entry 3 ends its process with status 7
//   off128        entry 12 converts its 16-bit sums as unsigned
//   x87cw         entry 1 leaves the x87 precision at 24 bits
//   x87stack      entry 2 leaves a value on the x87 stack
//   mmx           entry 6 leaves the MMX state (no EMMS)
//   mxcsr         entry 10 leaves MXCSR rounding toward zero
//   seventh       entry 4 is wrong on every seventh call
//   specs_far     getEntrySpecs writes 20,000 bytes past the records
//   creator_long  a creator signature of 200 bytes
//   ctor_traps    the constructor unmasks floating-point exceptions
//   ctor_single   the constructor sets the x87 precision to 24 bits
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "circuit.h"
#include "entries.h"

#ifdef _WIN32
#define FAKE_EXPORT extern "C" __declspec(dllexport)
#else
#define FAKE_EXPORT extern "C" __attribute__((visibility("default")))
#endif

namespace {

#define FAKE_RECORD(index, stem, name, flags, native) {name, flags},
EntrySpec gRecords[14] = {CIRCUIT_ENTRIES(FAKE_RECORD)};
#undef FAKE_RECORD

char gFault[32] = "";
bool fault(const char* name) { return std::strcmp(gFault, name) == 0; }

void setX87Control(uint16_t keep, uint16_t set) {
#if defined(__i386__) || defined(__x86_64__)
    uint16_t cw;
    __asm__ volatile("fnstcw %0" : "=m"(cw));
    cw = static_cast<uint16_t>((cw & keep) | set);
    __asm__ volatile("fldcw %0" : : "m"(cw));
#endif
}

void setMxcsr(uint32_t keep, uint32_t set) {
#if defined(__i386__) || defined(__x86_64__)
    __builtin_cpu_init(); // also from the module's constructor
    if (!__builtin_cpu_supports("sse")) return;
    uint32_t m;
    __asm__ volatile("stmxcsr %0" : "=m"(m));
    m = (m & keep) | set;
    __asm__ volatile("ldmxcsr %0" : : "m"(m));
#endif
}

struct Load {
    Load() {
        const char* f = std::getenv("FAKE_VERDICT_FAULT");
        if (f != nullptr) std::strncpy(gFault, f, sizeof gFault - 1);
        if (fault("renamed")) std::strcpy(gRecords[0].name, "renamed");
        if (fault("ctor_traps")) {
            setX87Control(static_cast<uint16_t>(~0x0D), 0);   // invalid, divide by zero, overflow
            setMxcsr(~(0x80u | 0x200u | 0x400u), 0);
        }
        if (fault("ctor_single")) setX87Control(static_cast<uint16_t>(~0x300), 0);
    }
} gLoad;

float coefficient(const float* c, bool soa, int i, int j) {
    return soa ? c[SOA_ROW_FLOATS * j + i] : c[INPUT_COUNT * i + j];
}
float input(const float* x, bool soa, int j) { return soa ? x[SOA_LANES * j] : x[j]; }

double x87Sum(const float* c, const float* x, bool soa, int i) {
    double s = 0;
    for (int j = 0; j < INPUT_COUNT; ++j) s += static_cast<double>(coefficient(c, soa, i, j)) * input(x, soa, j);
    return s;
}

float singleSum(const float* c, const float* x, bool soa, int i) {
    volatile float s = 0;
    for (int j = 0; j < INPUT_COUNT; ++j) {
        volatile float p = coefficient(c, soa, i, j) * input(x, soa, j);
        s = s + p;
    }
    return s;
}

int16_t toFixed(float v, float scale) {
    double r = std::nearbyint(static_cast<double>(v) * scale);
    return (r < -32768 || r > 32767 || std::isnan(r)) ? int16_t(-32768) : static_cast<int16_t>(r);
}

float fixedSum(const float* c, const float* x, bool soa, int i, bool asUnsigned) {
    uint16_t s = 0;
    for (int j = 0; j < INPUT_COUNT; ++j) {
        int32_t p = toFixed(coefficient(c, soa, i, j), 1024.0f) * toFixed(input(x, soa, j), 32768.0f);
        s = static_cast<uint16_t>(s + static_cast<uint16_t>(p >> 16));
    }
    return static_cast<float>(asUnsigned ? static_cast<int32_t>(s) : static_cast<int16_t>(s)) / 512.0f;
}

void compute(uint32_t index, const float* c, const float* x, float* y) {
    const bool soa = (gRecords[index].flags & ENTRY_SOA) != 0;
    for (int i = 0; i < OUTPUT_COUNT; ++i)
        y[i] = index <= 5    ? static_cast<float>(x87Sum(c, x, soa, i))
               : index <= 11 ? singleSum(c, x, soa, i)
                             : fixedSum(c, x, soa, i, index == 12 && fault("off128"));
    if (index == 10 || index == 11) y[18] = y[19] = 0; // whole 4-wide groups
    if (index == 9 && (fault("ulp") || fault("renamed"))) {
        const double exact = x87Sum(c, x, soa, 17);
        y[17] = std::nextafter(y[17], y[17] >= exact ? INFINITY : -INFINITY);
    }
}

// The contract breaks, after the entry's work.
void breakContract(uint32_t index, float* y) {
    static int calls = 0;
    if (index == 4 && fault("seventh") && ++calls % 7 == 0) y[0] += 1.0f;
    if (index == 3 && fault("exit7")) std::exit(7);
    if (index == 1 && fault("x87cw")) setX87Control(static_cast<uint16_t>(~0x300), 0);
    if (index == 10 && fault("mxcsr")) setMxcsr(~0x6000u, 0x6000u);
#if defined(__i386__) || defined(__x86_64__)
    if (index == 2 && fault("x87stack")) __asm__ volatile("fld1");
    if (index == 6 && fault("mmx")) __asm__ volatile("pxor %mm0, %mm0");
#endif
}

} // namespace

FAKE_EXPORT int32_t CIRCUIT_CALL getCircuitSignature(void) { return 2; }

FAKE_EXPORT char* CIRCUIT_CALL getCreatorSignature(char* buffer) {
    if (fault("creator_long")) {
        std::memset(buffer, 'c', 199);
        buffer[199] = '\0';
    } else {
        std::strcpy(buffer, "Fake 2001/02/03");
    }
    return buffer;
}

FAKE_EXPORT int32_t CIRCUIT_CALL getEntryCount(void) { return 14; }

FAKE_EXPORT void CIRCUIT_CALL getEntrySpecs(EntrySpec* records) {
    std::memcpy(records, gRecords, sizeof gRecords);
    if (fault("specs_far")) std::memset(reinterpret_cast<char*>(records + 14), 0, 20000);
}

FAKE_EXPORT void CIRCUIT_CALL runEntry(uint32_t index, const float* c, const float* x, float* y, int32_t count) {
    if (index >= 14 || count <= 0) return;
    for (int32_t n = 0; n < count; ++n) compute(index, c, x, y);
    breakContract(index, y);
}
