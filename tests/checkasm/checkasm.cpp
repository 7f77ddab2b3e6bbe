// The checker's machinery: data sets, guarded blocks, the checked call and
// the comparison with the C++ twin. See checkasm.h for what it catches; to add
// a data set, add a generator and one line to kDataSets.
#include "checkasm.h"

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <cstddef>
#include <cmath>
#include <csetjmp>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#if defined(_WIN32)
#include <windows.h>
#else
#include <sys/mman.h>
#include <unistd.h>
#endif

#include "dispatch.h"
#include "floatbits.h"
#include "splitmix64.h"

checkasm::CheckedCallState checkasm_state;

namespace checkasm {

constexpr size_t kWordFields = (2 * kSavedRegisters + 3) * sizeof(Word);
static_assert(offsetof(CheckedCallState, after) == kSavedRegisters * sizeof(Word), "checked_call.asm ST_AFTER");
static_assert(offsetof(CheckedCallState, savedEsp) == kWordFields - sizeof(Word), "checked_call.asm ST_SAVED_ESP");
static_assert(offsetof(CheckedCallState, canary) == kWordFields, "checked_call.asm ST_CANARY");
static_assert(offsetof(CheckedCallState, fpuEnv) == kWordFields + 20, "checked_call.asm ST_FPU_ENV");
static_assert(offsetof(CheckedCallState, eflagsAfter) == kWordFields + 56, "checked_call.asm ST_EFLAGS_AFTER");

namespace {

constexpr int kCanaries = 8;
constexpr uint32_t kCanaryStep = 0x9E3779B9u;
constexpr uint32_t kSentinel = kSentinelBits; // quiet NaN that no kernel produces
constexpr uint32_t kPoison = 0x7FBADBADu;   // fills the page around the input blocks
constexpr int kGuardFloats = 16;            // guard zone on each side of the output
constexpr int kMaxReportsPerRow = 3;        // failing calls printed in full per row
constexpr int kMaxLinesPerMismatch = 8;

// ---------------------------------------------------------------- floats

// bitsOf from common/floatbits.h.
float floatOf(uint32_t u) { return floatOfBits(u); }
bool isNanBits(uint32_t u) { return (u & 0x7F800000u) == 0x7F800000u && (u & 0x007FFFFFu) != 0; }
bool isSubnormalBits(uint32_t u) { return (u & 0x7F800000u) == 0 && (u & 0x007FFFFFu) != 0; }

std::string hexAndValue(uint32_t u) {
    char text[64];
    std::snprintf(text, sizeof text, "0x%08X (%.9g)", u, static_cast<double>(floatOf(u)));
    return text;
}

// ---------------------------------------------------------------- random

// SplitMix64 (common/splitmix64.h): the same sequence on every compiler and platform.
struct Rng {
    uint64_t state;
    explicit Rng(uint64_t seed) : state(seed) {}
    uint64_t next() { return splitmix64(state); }
    int below(int n) { return static_cast<int>(next() % static_cast<uint64_t>(n)); }
    int range(int lo, int hi) { return lo + below(hi - lo + 1); } // inclusive
    double unit() { return static_cast<double>(next() >> 11) * (1.0 / 9007199254740992.0); }
    float uniform(float lo, float hi) { return static_cast<float>(lo + (hi - lo) * unit()); }
    float sign() { return (next() & 1) ? -1.0f : 1.0f; }
    // Sign, exponent in [lo, hi] and a random 24-bit significand.
    float scaled(int lo, int hi) {
        return sign() * static_cast<float>(std::ldexp(1.0 + unit(), range(lo, hi)));
    }
    template <typename T, size_t N> T pick(const T (&a)[N]) { return a[below(static_cast<int>(N))]; }
};

// ---------------------------------------------------------------- data sets

// One problem in plain form plus what the SOA layout adds: the four lanes of
// every input group (equal unless a data set says otherwise) and the two pad
// floats of every coefficient row.
struct Data {
    float m[OUTPUT_COUNT][INPUT_COUNT];
    float x[INPUT_COUNT];
    float lane[INPUT_COUNT][SOA_LANES];
    float pad[INPUT_COUNT][2];
    bool unequalLanes;
};

void finish(Data& d, Rng& r) {
    for (int j = 0; j < INPUT_COUNT; ++j) {
        if (!d.unequalLanes)
            for (int k = 0; k < SOA_LANES; ++k) d.lane[j][k] = d.x[j];
        d.pad[j][0] = r.uniform(-1.0f, 1.0f);
        d.pad[j][1] = r.uniform(-1.0f, 1.0f);
    }
}

void fill(Data& d, float v) {
    for (auto& row : d.m)
        for (float& f : row) f = v;
}

void uniformSmall(Rng& r, Data& d) {
    for (auto& row : d.m)
        for (float& f : row) f = r.uniform(-1.0f, 1.0f);
    for (float& f : d.x) f = r.uniform(-1.0f, 1.0f);
}

// Exponents from 2^-40 to 2^40: many absorptions, so every order shows.
void wideExponents(Rng& r, Data& d) {
    for (auto& row : d.m)
        for (float& f : row) f = r.scaled(-40, 40);
    for (float& f : d.x) f = r.scaled(-40, 40);
}

// Rows that live at the bottom of the range: subnormal coefficients, tiny
// normal ones, and ordinary ones with a few of either, against inputs from
// 2^-24 to 2, so that products and sums fall at and below the normal range,
// where 3DNow! hardware and IEEE arithmetic part ways.
void nearDenormal(Rng& r, Data& d) {
    auto subnormal = [&r] {
        return floatOf(static_cast<uint32_t>(r.range(1, 0x7FFFFF)) | (r.below(2) ? 0x80000000u : 0u));
    };
    for (int i = 0; i < OUTPUT_COUNT; ++i)
        for (float& f : d.m[i]) {
            switch (i % 3) {
            case 0: f = subnormal(); break;
            case 1: f = r.scaled(-126, -118); break;
            default: f = r.below(4) ? r.uniform(-1.0f, 1.0f) : subnormal(); break;
            }
        }
    for (float& f : d.x) f = r.scaled(-24, 1);
}

// Small integers: every order gives the exact sum, so a wrong element or a
// wrong lane shows as a plain wrong number.
void integers(Rng& r, Data& d) {
    for (auto& row : d.m)
        for (float& f : row) f = static_cast<float>(r.range(-64, 64));
    for (float& f : d.x) f = static_cast<float>(r.range(-16, 16));
}

// Values inside the fixed-point ranges of the MMX entries (coefficients
// -32..32, inputs -1..1): on the grid, halfway between grid points (ties of
// the conversion) and anywhere.
void fixedRange(Rng& r, Data& d) {
    auto value = [&r](double scale, int limit) {
        switch (r.below(3)) {
        case 0: return static_cast<float>(r.range(-limit, limit - 1) / scale);
        case 1: return static_cast<float>((r.range(-limit, limit - 2) + 0.5) / scale);
        default: return r.uniform(static_cast<float>(-limit / scale), static_cast<float>(limit / scale));
        }
    };
    for (auto& row : d.m)
        for (float& f : row) f = value(1024.0, 32768);
    for (float& f : d.x) f = value(32768.0, 32768);
}

// SOA inputs whose four copies differ: each kernel must take the lanes its
// rule names (the twin says which).
void unequalLanes(Rng& r, Data& d) {
    uniformSmall(r, d);
    d.unequalLanes = true;
    for (int j = 0; j < INPUT_COUNT; ++j)
        for (int k = 0; k < SOA_LANES; ++k) d.lane[j][k] = r.uniform(-1.0f, 1.0f);
}

// Rows built to cancel: 2^60, -2^60 and 1 at three positions, so that the
// result is 1 or 0 depending on which two terms meet first. Rows 0 to 2 are
// the textbook cases, the others take random positions.
void cancellation(Rng& r, Data& d) {
    fill(d, 0.0f);
    for (float& f : d.x) f = 1.0f;
    const float big = std::ldexp(1.0f, 60);
    const int fixed[3][3] = {{1, 34, 35}, {0, 7, 1}, {2, 6, 4}};
    for (int i = 0; i < OUTPUT_COUNT; ++i) {
        int a, b, c;
        if (i < 3) {
            a = fixed[i][0], b = fixed[i][1], c = fixed[i][2];
        } else {
            a = r.below(INPUT_COUNT);
            do b = r.below(INPUT_COUNT); while (b == a);
            do c = r.below(INPUT_COUNT); while (c == a || c == b);
        }
        d.m[i][a] = big;
        d.m[i][b] = -big;
        d.m[i][c] = (i & 1) ? -1.0f : 1.0f;
    }
}

// Absorption: 2^24 or 2^27 against ones, which single-precision sums lose
// and double-precision sums keep; and 2^24, 1, -2^24 in a row.
void absorption(Rng& r, Data& d) {
    fill(d, 0.0f);
    for (float& f : d.x) f = 1.0f;
    for (int i = 0; i < OUTPUT_COUNT; ++i) {
        const int a = r.below(INPUT_COUNT);
        const float big = std::ldexp(1.0f, (i % 2) ? 27 : 24);
        switch (i % 3) {
        case 0:
            for (float& f : d.m[i]) f = 1.0f;
            d.m[i][a] = big;
            break;
        case 1:
            d.m[i][a] = big;
            d.m[i][(a + 1 + r.below(INPUT_COUNT - 1)) % INPUT_COUNT] = 1.0f;
            d.m[i][(a + 1 + r.below(INPUT_COUNT - 1)) % INPUT_COUNT] = 1.0f;
            break;
        default: {
            const int b = (a + 1 + r.below(INPUT_COUNT - 2)) % INPUT_COUNT;
            d.m[i][a] = big;
            d.m[i][b] = -big;
            for (int j = 0; j < INPUT_COUNT; ++j)
                if (j != a && j != b && r.below(4) == 0) d.m[i][j] = 1.0f;
        }
        }
    }
}

// Signed zeros: sums of -0.0 products come out -0.0 when the chain starts
// from a product and +0.0 when it starts from +0.0; pairs that cancel give +0.
void signedZeros(Rng& r, Data& d) {
    for (int j = 0; j < INPUT_COUNT; ++j) d.x[j] = (j % 2) ? -0.0f : -1.0f;
    for (int i = 0; i < OUTPUT_COUNT; ++i)
        for (int j = 0; j < INPUT_COUNT; ++j) {
            switch (i % 4) {
            case 0: d.m[i][j] = 0.0f; break;                     // all products -0
            case 1: d.m[i][j] = (j % 2) ? 1.0f : 0.0f; break;    // all products -0
            case 2: d.m[i][j] = -0.0f; break;                    // all products +0
            default: d.m[i][j] = r.below(2) ? 0.0f : -0.0f; break;
            }
        }
    for (int i = 3; i < OUTPUT_COUNT; i += 4) { // a pair that cancels exactly
        const int a = 2 * r.below(INPUT_COUNT / 2);
        const int b = (a + 2 * (1 + r.below(INPUT_COUNT / 2 - 1))) % INPUT_COUNT;
        d.m[i][a] = 1.0f;
        d.m[i][b] = -1.0f;
    }
}

// Infinities, NaNs (quiet, with payloads, signalling, negative; two different
// ones meeting in a row), inf * 0 and overflow of finite sums.
void specials(Rng& r, Data& d) {
    uniformSmall(r, d);
    d.x[0] = 0.0f;
    for (int j = 1; j < INPUT_COUNT; ++j)
        if (d.x[j] == 0.0f) d.x[j] = 0.5f;
    const float inf = floatOf(0x7F800000u);
    for (int i = 0; i < OUTPUT_COUNT; ++i) {
        const int a = 1 + r.below(INPUT_COUNT - 2);
        const int b = a + 1 + r.below(INPUT_COUNT - 1 - a);
        switch (i % 12) {
        case 0: d.m[i][a] = inf; break;
        case 1: d.m[i][a] = -inf; break;
        case 2: d.m[i][a] = inf, d.m[i][b] = -inf; break; // inf - inf
        case 3: d.m[i][0] = inf; break;                      // inf * 0
        case 4: d.m[i][a] = floatOf(0x7FC00000u); break;
        case 5: d.m[i][a] = floatOf(0x7FC12345u); break;
        case 6: d.m[i][a] = floatOf(0x7F800001u); break;     // signalling
        case 7: d.m[i][a] = floatOf(0xFFC00000u); break;
        case 8: d.m[i][a] = floatOf(0x7FC00001u), d.m[i][b] = floatOf(0x7FD55555u); break;
        case 9: d.m[i][a] = floatOf(0xFFD55555u), d.m[i][b] = floatOf(0x7FC00001u); break;
        case 10: // finite terms whose sum overflows single precision
            d.m[i][a] = std::ldexp(1.0f, 127) / (d.x[a] == 0.0f ? 1.0f : std::fabs(d.x[a]));
            d.m[i][b] = std::ldexp(1.0f, 127) / (d.x[b] == 0.0f ? 1.0f : std::fabs(d.x[b]));
            if (d.x[a] < 0) d.m[i][a] = -d.m[i][a];
            if (d.x[b] < 0) d.m[i][b] = -d.m[i][b];
            break;
        default: d.m[i][a] = std::ldexp(1.0f, 100), d.m[i][b] = std::ldexp(1.0f, 100); break;
        }
    }
}

// The limits of the fixed-point conversions: inputs at 0.9999847412109375
// (rounds to 32768 and wraps), 1.0, -1.0; coefficients at 31.99951171875,
// 32.0, -32.0; grid points beside them and halfway ties.
void fixedLimits(Rng& r, Data& d) {
    const float coefficients[] = {31.99951171875f, 32.0f, -32.0f, 31.9990234375f, -31.9990234375f,
                                  31.999755859375f, 1.0f, -1.0f, 0.0f, -0.0f, 0.00048828125f,
                                  -0.00048828125f, 0.00146484375f, 0.0009765625f, 2.0f, 64.0f,
                                  -40.0f};
    const float inputs[] = {0.9999847412109375f, 1.0f, -1.0f, 0.99996f, 0.999969482421875f,
                            -0.9999847412109375f, -0.99998474f, 0.5f, 0.9f, -0.5f,
                            0.000030517578125f, 0.0000152587890625f, 0.0000457763671875f,
                            -0.0000152587890625f, 0.0f, 1.5f};
    for (auto& row : d.m)
        for (float& f : row) f = r.pick(coefficients);
    for (float& f : d.x) f = r.pick(inputs);
}

// Sums far outside the Q9 result range, which wrap around.
void fixedWrap(Rng& r, Data& d) {
    const float coefficients[] = {2.0f, 1.0f, 31.99f, -32.0f, 16.5f, -7.25f};
    const float inputs[] = {0.9f, 0.5f, -0.5f, 0.99f, -0.75f};
    for (auto& row : d.m)
        for (float& f : row) f = r.pick(coefficients);
    for (float& f : d.x) f = r.pick(inputs);
}

// NaN in every pad float of the SOA coefficient rows: the entries that read
// the pads carry it into outputs 18 and 19, the others must not see it.
void nanPads(Rng& r, Data& d) { uniformSmall(r, d); }

struct DataSet {
    const char* name;
    void (*make)(Rng&, Data&);
    int repeats; // independent draws per row
};

const DataSet kDataSets[] = {
    {"uniform small", uniformSmall, 2},   {"wide exponents", wideExponents, 2},
    {"near denormal", nearDenormal, 2},   {"integers", integers, 1},
    {"fixed-point range", fixedRange, 2}, {"unequal lanes", unequalLanes, 1},
    {"NaN pads", nanPads, 1},             {"cancellation", cancellation, 4},
    {"absorption", absorption, 2},        {"signed zeros", signedZeros, 1},
    {"NaN and infinities", specials, 2},  {"fixed-point limits", fixedLimits, 3},
    {"fixed-point wrap", fixedWrap, 1},
};
constexpr int kDataSetCount = static_cast<int>(sizeof kDataSets / sizeof kDataSets[0]);

uint64_t dataSeed(uint32_t seed, int row, int set, int draw) {
    Rng r((static_cast<uint64_t>(seed) << 32) ^ (static_cast<uint64_t>(row) << 20) ^
          (static_cast<uint64_t>(set) << 8) ^ static_cast<uint64_t>(draw));
    return r.next();
}

void makeData(int set, uint64_t seed, Data& d) {
    Rng r(seed);
    std::memset(&d, 0, sizeof d);
    kDataSets[set].make(r, d);
    finish(d, r);
    if (kDataSets[set].make == nanPads)
        for (auto& p : d.pad) p[0] = floatOf(0x7FC00000u), p[1] = floatOf(0xFFC01234u);
}

// ---------------------------------------------------------------- memory

// A block placed against an inaccessible page, so that reading past its end
// (tail placement) or before its start (head placement) faults instead of
// passing unseen. The rest of the accessible page holds poison NaNs.
class PageGuardedBlock {
  public:
    PageGuardedBlock() {
#if defined(_WIN32)
        SYSTEM_INFO info;
        GetSystemInfo(&info);
        page_ = info.dwPageSize;
        base_ = static_cast<unsigned char*>(
            VirtualAlloc(nullptr, 3 * page_, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
        DWORD old;
        if (base_) {
            VirtualProtect(base_, page_, PAGE_NOACCESS, &old);
            VirtualProtect(base_ + 2 * page_, page_, PAGE_NOACCESS, &old);
        }
#else
        page_ = static_cast<size_t>(sysconf(_SC_PAGESIZE));
        void* p = mmap(nullptr, 3 * page_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        base_ = (p == MAP_FAILED) ? nullptr : static_cast<unsigned char*>(p);
        if (base_) {
            mprotect(base_, page_, PROT_NONE);
            mprotect(base_ + 2 * page_, page_, PROT_NONE);
        }
#endif
        if (!base_) {
            std::fprintf(stderr, "checkasm: cannot map guarded pages\n");
            std::exit(2);
        }
    }
    // `misalign` bytes off a 16-byte boundary (0, 4, 8 or 12): at the tail the block
    // then ends `misalign` bytes before the guard page.
    float* place(size_t bytes, bool tail, size_t misalign) {
        unsigned char* page = base_ + page_;
        for (size_t i = 0; i < page_ / 4; ++i) std::memcpy(page + 4 * i, &kPoison, 4);
        // Every block size is a multiple of 16 bytes, so a tail block with no
        // misalignment ends exactly at the guard page.
        if (tail) return reinterpret_cast<float*>(page + page_ - bytes - misalign);
        return reinterpret_cast<float*>(page + misalign);
    }

  private:
    size_t page_ = 0;
    unsigned char* base_ = nullptr;
};

// Where the three blocks lie: each `misalign` bytes past a 16-byte boundary
// (at the tail: ending that many bytes before the guard page). Besides the
// placements of every block alike, each block alone sits 4, 8 and 12 bytes
// past a boundary, so that an alignment test that looks at one pointer only,
// or at 8 bytes instead of 16, is caught.
struct Placement {
    bool tail;
    size_t coefficients, input, output; // misalignment of each block
    const char* text;
};
#define CHECKASM_ALONE(block, bytes, c, x, y) \
    {false, c, x, y, "the " block " block alone " bytes " bytes past a 16-byte boundary"}
const Placement kPlacements[] = {
    {true, 0, 0, 0, "blocks on 16-byte boundaries, ending at a guard page"},
    {false, 0, 0, 0, "blocks on 16-byte boundaries, starting at a guard page"},
    {true, 4, 4, 4, "blocks aligned to 4 bytes only (12 mod 16), ending 4 bytes before a guard page"},
    {false, 4, 4, 4, "blocks aligned to 4 bytes only (4 mod 16), starting 4 bytes after a guard page"},
    CHECKASM_ALONE("coefficient", "4", 4, 0, 0),
    CHECKASM_ALONE("coefficient", "8", 8, 0, 0),
    CHECKASM_ALONE("coefficient", "12", 12, 0, 0),
    CHECKASM_ALONE("input", "4", 0, 4, 0),
    CHECKASM_ALONE("input", "8", 0, 8, 0),
    CHECKASM_ALONE("input", "12", 0, 12, 0),
    CHECKASM_ALONE("output", "4", 0, 0, 4),
    CHECKASM_ALONE("output", "8", 0, 0, 8),
    CHECKASM_ALONE("output", "12", 0, 0, 12),
};
#undef CHECKASM_ALONE

// Output block with guard floats on both sides, all set to the sentinel.
struct OutputArea {
    alignas(16) float area[kGuardFloats + SOA_OUTPUT_FLOATS + kGuardFloats + 4];
    size_t misalign = 0;
    void reset(size_t m) {
        misalign = m;
        for (float& f : area) f = floatOf(kSentinel);
    }
    float* block() { return area + kGuardFloats + misalign / 4; }
    uint32_t bits(int i) { return bitsOf(block()[i]); }
};

// ---------------------------------------------------------------- layout

bool isSoa(EntryFlags flags) { return (flags & ENTRY_SOA) != 0; }
// Floats the row's kernel writes: 20 for the SSE entries on SOA, else 18.
int writtenFloats(EntryFlags flags) {
    return (isSoa(flags) && (flags & ENTRY_SSE)) ? SOA_OUTPUT_FLOATS : AOS_OUTPUT_FLOATS;
}
int blockFloats(EntryFlags flags) { return isSoa(flags) ? SOA_OUTPUT_FLOATS : AOS_OUTPUT_FLOATS; }
size_t coefficientBytes(EntryFlags flags) {
    return 4u * (isSoa(flags) ? SOA_COEFFICIENT_FLOATS : AOS_COEFFICIENT_FLOATS);
}
size_t inputBytes(EntryFlags flags) { return 4u * (isSoa(flags) ? SOA_INPUT_FLOATS : AOS_INPUT_FLOATS); }

void layout(EntryFlags flags, const Data& d, float* c, float* x) {
    if (isSoa(flags)) {
        for (int j = 0; j < INPUT_COUNT; ++j) {
            for (int i = 0; i < OUTPUT_COUNT; ++i) c[SOA_ROW_FLOATS * j + i] = d.m[i][j];
            c[SOA_ROW_FLOATS * j + 18] = d.pad[j][0];
            c[SOA_ROW_FLOATS * j + 19] = d.pad[j][1];
            for (int k = 0; k < SOA_LANES; ++k) x[SOA_LANES * j + k] = d.lane[j][k];
        }
    } else {
        for (int i = 0; i < OUTPUT_COUNT; ++i)
            for (int j = 0; j < INPUT_COUNT; ++j) c[INPUT_COUNT * i + j] = d.m[i][j];
        for (int j = 0; j < INPUT_COUNT; ++j) x[j] = d.x[j];
    }
}

// True when output i of the problem meets the subnormal range: a subnormal
// operand, an exact product below the normal range, or a subnormal result.
bool touchesSubnormal(EntryFlags flags, const float* c, const float* x, int i, uint32_t a,
                      uint32_t b) {
    if (isSubnormalBits(a) || isSubnormalBits(b)) return true;
    if (i >= OUTPUT_COUNT) return false;
    for (int j = 0; j < INPUT_COUNT; ++j) {
        const float m = isSoa(flags) ? c[SOA_ROW_FLOATS * j + i] : c[INPUT_COUNT * i + j];
        const int lanes = isSoa(flags) ? SOA_LANES : 1;
        for (int k = 0; k < lanes; ++k) {
            const float v = isSoa(flags) ? x[SOA_LANES * j + k] : x[j];
            const double p = static_cast<double>(m) * static_cast<double>(v);
            if (isSubnormalBits(bitsOf(m)) || isSubnormalBits(bitsOf(v))) return true;
            if (p != 0.0 && std::fabs(p) < 1.1754943508222875e-38) return true;
        }
    }
    return false;
}

// What a family's hardware may legitimately do differently from the twin,
// excused for that family only. The bits are otherwise the contract.
//  - SSE and 3DNow!: when two NaNs meet, the hardware keeps the first
//    operand's payload while the twins (x87 code on the i686 build) keep the
//    larger one; so a difference where both sides are NaN is excused.
//  - 3DNow! also flushes subnormal operands and results to zero on the
//    processors it comes from; a difference in an output that meets the
//    subnormal range is excused.
//  - x87, on x86-64 only: the twins compute with SSE there, so where two
//    NaNs meet the payloads differ as above. On x86-32 the x87 entries run on
//    the same unit as their twins, and nothing is excused for them.
// The fixed-point entries turn every NaN into the same word: nothing is
// excused for them.
const char* excuse(EntryFlags flags, bool subnormal, uint32_t twin, uint32_t kernel) {
#if defined(__x86_64__)
    if ((flags & ENTRY_EXTENSION_MASK) == ENTRY_FPU && isNanBits(twin) && isNanBits(kernel))
        return "x87: NaN payload (the twin computes with SSE)";
#endif
    if ((flags & (ENTRY_SSE | ENTRY_3DNOW)) && isNanBits(twin) && isNanBits(kernel))
        return (flags & ENTRY_3DNOW) ? "3DNow!: NaN payload" : "SSE: NaN payload";
    if ((flags & ENTRY_3DNOW) && subnormal) return "3DNow!: subnormal operand or result";
    return nullptr;
}

const char* missingExtension(EntryFlags needed, EntryFlags have) {
    const EntryFlags lacking = needed & ~have;
    if (lacking & ENTRY_3DNOW) return "3DNow!";
    if (lacking & ENTRY_SSE) return "SSE";
    if (lacking & ENTRY_MMX) return "MMX";
    if (lacking & ENTRY_FPU) return "x87";
    return nullptr;
}

// ---------------------------------------------------------------- crashes

#if !defined(_WIN32)
sigjmp_buf gCrashJump;
volatile sig_atomic_t gArmed = 0;
unsigned char gAltStack[64 * 1024];

void onCrash(int sig) {
    if (gArmed) {
        gArmed = 0;
        siglongjmp(gCrashJump, sig);
    }
    signal(sig, SIG_DFL);
    raise(sig);
}

void installCrashHandlers() {
    static bool done = false;
    if (done) return;
    done = true;
    stack_t ss{};
    ss.ss_sp = gAltStack;
    ss.ss_size = sizeof gAltStack;
    sigaltstack(&ss, nullptr);
    struct sigaction sa {};
    sa.sa_handler = onCrash;
    sa.sa_flags = SA_ONSTACK | SA_NODEFER;
    sigemptyset(&sa.sa_mask);
    for (int sig : {SIGSEGV, SIGBUS, SIGILL, SIGFPE}) sigaction(sig, &sa, nullptr);
}

const char* signalText(int sig) {
    switch (sig) {
    case SIGSEGV: return "SIGSEGV: memory access outside the blocks, or a broken stack";
    case SIGBUS: return "SIGBUS: bad memory access";
    case SIGILL: return "SIGILL: an instruction this CPU does not have";
    case SIGFPE: return "SIGFPE: unmasked arithmetic exception";
    default: return "unexpected signal";
    }
}
#endif

// ---------------------------------------------------------------- one call

struct CallSetup {
    const Row* row;
    int set, draw, count;
    const Placement* placement;
    uint32_t seed;
};

std::string context(const CallSetup& s) {
    char text[320];
    std::snprintf(text, sizeof text,
                  "  data \"%s\" draw %d, count %d, %s, stack skew %u words\n"
                  "  seed %u: rerun with checkasm --entry %d --seed %u",
                  kDataSets[s.set].name, s.draw, s.count, s.placement->text, checkasm_state.skew,
                  s.seed, s.row->index, s.seed);
    return text;
}

#if defined(__x86_64__)
const char* const kRegisterNames[kSavedRegisters] = {"rbx", "rbp", "r12", "r13", "r14", "r15"};
#else
const char* const kRegisterNames[kSavedRegisters] = {"ebx", "esi", "edi", "ebp"};
#endif

// The calling-convention faults recorded by the trampoline, one text each.
void abiFaults(std::vector<std::string>& faults) {
    const CheckedCallState& st = checkasm_state;
    char text[200];
    for (int k = 0; k < kSavedRegisters; ++k)
        if (st.seed[k] != st.after[k]) {
            std::snprintf(text, sizeof text, "callee-saved register %s clobbered (0x%0*llX on entry, 0x%0*llX on return)",
                          kRegisterNames[k], static_cast<int>(2 * sizeof(Word)),
                          static_cast<unsigned long long>(st.seed[k]), static_cast<int>(2 * sizeof(Word)),
                          static_cast<unsigned long long>(st.after[k]));
            faults.push_back(text);
        }
    if (st.espAfter != st.espExpected) {
        std::snprintf(text, sizeof text, "stack pointer not restored (moved by %+d bytes)",
                      static_cast<int>(st.espAfter - st.espExpected));
        faults.push_back(text);
    }
    if (st.canariesChanged) {
        std::snprintf(text, sizeof text, "stack canary above the arguments overwritten (mask 0x%02X of %d words)",
                      st.canariesChanged, kCanaries);
        faults.push_back(text);
    }
    const uint32_t tag = st.fpuEnv[2] & 0xFFFFu, status = st.fpuEnv[1] & 0xFFFFu;
    if (tag != 0xFFFFu) {
        std::snprintf(text, sizeof text, "x87 register stack not empty on return (tag word 0x%04X: values left on the stack, or no EMMS/FEMMS after MMX)", tag);
        faults.push_back(text);
    }
    if (status & 0x0040u) {
        std::snprintf(text, sizeof text, "x87 stack overflow or underflow during the call (status word 0x%04X)", status);
        faults.push_back(text);
    }
    const uint32_t cwBefore = st.controlWordBefore & 0xFFFFu, cwAfter = st.fpuEnv[0] & 0xFFFFu;
    if (cwBefore != cwAfter) {
        std::snprintf(text, sizeof text, "x87 control word changed (0x%04X before, 0x%04X after)", cwBefore, cwAfter);
        faults.push_back(text);
    }
    // The six exception flags of MXCSR are sticky status, set by ordinary
    // arithmetic; the rest (masks, rounding, DAZ, FZ) must not change.
    if (st.useMxcsr && ((st.mxcsrBefore ^ st.mxcsrAfter) & ~0x3Fu)) {
        std::snprintf(text, sizeof text, "MXCSR control bits changed (0x%08X before, 0x%08X after)",
                      st.mxcsrBefore, st.mxcsrAfter);
        faults.push_back(text);
    }
    if (st.eflagsAfter & 0x400u) faults.push_back("direction flag left set");
}

// Floats outside what the row may write, by where they are.
void guardFaults(OutputArea& out, EntryFlags flags, const char* who, std::vector<std::string>& faults) {
    const int written = writtenFloats(flags), block = blockFloats(flags);
    int before = 0, pads = 0, past = 0, firstBefore = 0, firstPast = 0;
    for (int i = -kGuardFloats; i < block + kGuardFloats; ++i) {
        if (i >= 0 && i < written) continue;
        if (out.bits(i) == kSentinel) continue;
        if (i < 0) {
            if (!before++) firstBefore = i;
        } else if (i < block) {
            ++pads;
        } else if (!past++) {
            firstPast = i;
        }
    }
    char text[200];
    if (before) {
        std::snprintf(text, sizeof text, "%s wrote before the output block (%d floats, first at index %d)", who, before, firstBefore);
        faults.push_back(text);
    }
    if (pads) {
        std::snprintf(text, sizeof text, "%s wrote output pad floats 18/19, which this entry leaves alone", who);
        faults.push_back(text);
    }
    if (past) {
        std::snprintf(text, sizeof text, "%s wrote past the end of the output block (%d floats from index %d)", who, past,
                      firstPast);
        faults.push_back(text);
    }
}

// The ./x map of the output block and its guard zones.
std::string differenceMap(OutputArea& a, OutputArea& b, EntryFlags flags) {
    std::string map = "  map (. same, x differs, | block edges): ";
    const int block = blockFloats(flags);
    for (int i = -kGuardFloats; i < block + kGuardFloats; ++i) {
        if (i == 0 || i == block) map += '|';
        map += (a.bits(i) == b.bits(i)) ? '.' : 'x';
    }
    return map;
}

struct RowState {
    int reports = 0;
    std::vector<std::string> shown; // data set and faults of each report printed
    int failedCalls = 0;
    int excused = 0;
    std::string excusedWhy;
    bool crashed = false;
};

void reportFailure(const CallSetup& s, const std::vector<std::string>& faults,
                   const std::vector<std::string>& details, RowState& state, Report& report) {
    ++state.failedCalls;
    // The same faults on the same data set in another placement or count add
    // nothing: one report of each, and at most kMaxReportsPerRow in all.
    std::string key = kDataSets[s.set].name;
    for (const std::string& f : faults) key += "\n" + f;
    for (const std::string& k : state.shown)
        if (k == key) return;
    if (state.reports++ >= kMaxReportsPerRow) return;
    state.shown.push_back(key);
    char head[160];
    std::snprintf(head, sizeof head, "FAIL entry %d (kernel%s):", s.row->index, s.row->stem);
    report.line(head);
    for (const std::string& f : faults) report.line("  " + f);
    report.line(context(s));
    for (const std::string& d : details) report.line(d);
}

// Runs kernel and twin on one data set, one count, one placement.
// Returns false when the row cannot go on (the kernel crashed).
bool checkCall(const CallSetup& s, const Options& options, RowState& state, Report& report,
               uint64_t callSalt) {
    static PageGuardedBlock coefficientPages, inputPages;
    static OutputArea kernelOut, twinOut;
    const Row& row = *s.row;
    const EntryFlags flags = row.flags;
    Data d;
    makeData(s.set, dataSeed(s.seed, row.index, s.set, s.draw), d);

    float* c = coefficientPages.place(coefficientBytes(flags), s.placement->tail, s.placement->coefficients);
    float* x = inputPages.place(inputBytes(flags), s.placement->tail, s.placement->input);
    layout(flags, d, c, x);
    std::vector<float> cCopy(c, c + coefficientBytes(flags) / 4), xCopy(x, x + inputBytes(flags) / 4);
    kernelOut.reset(s.placement->output);
    twinOut.reset(s.placement->output);

    Rng r(callSalt);
    CheckedCallState& st = checkasm_state;
    for (Word& v : st.seed) v = static_cast<Word>(r.next());
    st.canary = static_cast<uint32_t>(r.next());
    st.skew = static_cast<uint32_t>(callSalt & 3);
    st.useMxcsr = (cpuExtensions() & ENTRY_SSE) ? 1 : 0;

    std::vector<std::string> faults, details;
#if !defined(_WIN32)
    installCrashHandlers();
    const int sig = sigsetjmp(gCrashJump, 1);
    if (sig != 0) {
        checkasm_restore_fpu();
        faults.push_back(std::string("crashed (") + signalText(sig) + ")");
        reportFailure(s, faults, details, state, report);
        state.crashed = true;
        return false;
    }
    gArmed = 1;
#endif
    checkasm_checked_call(row.kernel, c, x, kernelOut.block(), s.count);
#if !defined(_WIN32)
    gArmed = 0;
#endif
    abiFaults(faults);
    if (std::memcmp(c, cCopy.data(), cCopy.size() * 4) != 0) faults.push_back("coefficient block written");
    if (std::memcmp(x, xCopy.data(), xCopy.size() * 4) != 0) faults.push_back("input block written");
    guardFaults(kernelOut, flags, "kernel", faults);

    layout(flags, d, c, x); // the twin gets the very blocks the kernel got
    row.twin(c, x, twinOut.block(), s.count);
    guardFaults(twinOut, flags, "C++ twin", faults);

    const int written = writtenFloats(flags);
    if (s.count <= 0) {
        for (int i = 0; i < written; ++i)
            if (kernelOut.bits(i) != kSentinel) {
                char text[120];
                std::snprintf(text, sizeof text, "count %d wrote the output (float %d); it must do nothing", s.count, i);
                faults.push_back(text);
                break;
            }
    } else {
        int mismatches = 0, lines = 0;
        for (int i = 0; i < written; ++i) {
            const uint32_t t = twinOut.bits(i), k = kernelOut.bits(i);
            if (k == kSentinel && t != kSentinel) {
                char text[80];
                std::snprintf(text, sizeof text, "output float %d not written", i);
                faults.push_back(text);
                continue;
            }
            if (t == k) continue;
            const char* why = excuse(flags, touchesSubnormal(flags, c, x, i, t, k), t, k);
            if (why) {
                ++state.excused;
                if (state.excusedWhy.find(why) == std::string::npos)
                    state.excusedWhy += std::string(state.excusedWhy.empty() ? "" : ", ") + why;
                if (options.verbose)
                    report.line("  excused (" + std::string(why) + "): y[" + std::to_string(i) + "] twin " +
                                hexAndValue(t) + ", kernel " + hexAndValue(k));
                continue;
            }
            if (mismatches++ == 0) faults.push_back("output differs from the C++ twin");
            if (lines++ < kMaxLinesPerMismatch)
                details.push_back("  y[" + std::to_string(i) + "]: twin " + hexAndValue(t) + ", kernel " +
                                  hexAndValue(k));
        }
        if (mismatches) {
            if (mismatches > kMaxLinesPerMismatch)
                details.push_back("  ... " + std::to_string(mismatches - kMaxLinesPerMismatch) + " more");
            details.push_back(differenceMap(twinOut, kernelOut, flags));
        }
    }
    if (!faults.empty()) reportFailure(s, faults, details, state, report);
    return true;
}

void bench(const Row& row, Report& report) {
    static PageGuardedBlock cPages, xPages;
    static OutputArea out;
    Data d;
    makeData(0, 1, d);
    float* c = cPages.place(coefficientBytes(row.flags), true, 0);
    float* x = xPages.place(inputBytes(row.flags), true, 0);
    layout(row.flags, d, c, x);
    out.reset(0);
    constexpr int32_t kCount = 1000;
    auto time = [&](EntryKernel k) {
        double best = 1e30;
        for (int run = 0; run < 5; ++run) {
            const auto t0 = std::chrono::steady_clock::now();
            k(c, x, out.block(), kCount);
            const auto t1 = std::chrono::steady_clock::now();
            best = std::min(best, std::chrono::duration<double, std::nano>(t1 - t0).count() / kCount);
        }
        return best;
    };
    const double kernel = time(row.kernel), twin = time(row.twin);
    char text[200];
    std::snprintf(text, sizeof text, "  bench: kernel %.1f ns, twin %.1f ns per repetition, twin/kernel %.2f",
                  kernel, twin, twin / kernel);
    report.line(text);
}

} // namespace

void Report::line(const std::string& s) {
    text += s;
    text += '\n';
    if (echo) {
        std::fputs(s.c_str(), stdout);
        std::fputc('\n', stdout);
        std::fflush(stdout);
    }
}

EntryFlags cpuExtensions() {
    static const EntryFlags flags = circuit::cpuExtensions();
    return flags;
}

Verdict checkRow(const Row& row, const Options& options, Report& report) {
    char head[160];
    std::snprintf(head, sizeof head, "entry %2d %-14s", row.index, row.stem);
    if (!row.kernel) {
        report.line(std::string(head) + " no native kernel in this build");
        ++report.missing;
        return Verdict::NoKernel;
    }
    if (const char* lacking = missingExtension(row.flags & ENTRY_EXTENSION_MASK, cpuExtensions())) {
        report.line(std::string(head) + " skipped: this CPU lacks " + lacking);
        ++report.skipped;
        return Verdict::Skipped;
    }
    circuit::setX87DoublePrecision();
    RowState state;
    int calls = 0;
    uint64_t salt = options.seed * 0x100000001B3ull + static_cast<uint64_t>(row.index);
    // Every row gets every placement: the SSE entries hand blocks off a
    // 16-byte boundary to other code, whose way there must keep the ABI too.
    const int placements = static_cast<int>(sizeof kPlacements / sizeof kPlacements[0]);
    for (int set = 0; set < kDataSetCount && !state.crashed; ++set)
        for (int draw = 0; draw < kDataSets[set].repeats && !state.crashed; ++draw)
            for (int count : {1, 7})
                for (int p = 0; p < placements && !state.crashed; ++p) {
                    CallSetup s{&row, set, draw, count, &kPlacements[p], options.seed};
                    checkCall(s, options, state, report, ++salt);
                    ++calls;
                }
    // A count of 0 or -1 must leave the output alone.
    for (int count : {0, -1}) {
        if (state.crashed) break;
        CallSetup s{&row, 0, 0, count, &kPlacements[2], options.seed};
        checkCall(s, options, state, report, ++salt);
        ++calls;
    }
    std::string summary = head;
    if (state.failedCalls || state.crashed) {
        summary += " FAILED: " + std::to_string(state.failedCalls) + " of " + std::to_string(calls) + " calls";
        summary += " (" + std::to_string(state.shown.size()) + " shown)";
    } else {
        summary += " ok: " + std::to_string(calls) + " calls match the C++ twin and keep the ABI";
    }
    if (state.excused)
        summary += "; " + std::to_string(state.excused) + " differences excused (" + state.excusedWhy + ")";
    report.line(summary);
    if (options.bench && !state.crashed) bench(row, report);
    if (state.failedCalls || state.crashed) {
        ++report.failed;
        return Verdict::Failed;
    }
    ++report.passed;
    return Verdict::Passed;
}

int checkRows(const Row* rows, int count, const Options& options, Report& report) {
    bool any = false;
    for (int i = 0; i < count; ++i) any = any || options.entry < 0 || rows[i].index == options.entry;
    if (!any) {
        std::fprintf(stderr, "checkasm: there is no entry %d\n", options.entry);
        return 2;
    }
    const EntryFlags have = cpuExtensions();
    char text[200];
    std::snprintf(text, sizeof text, "checkasm: seed %u, CPU has%s%s%s%s", options.seed,
                  (have & ENTRY_FPU) ? " x87" : "", (have & ENTRY_MMX) ? " MMX" : "",
                  (have & ENTRY_3DNOW) ? " 3DNow!" : "", (have & ENTRY_SSE) ? " SSE" : "");
    report.line(text);
    for (int i = 0; i < count; ++i)
        if (options.entry < 0 || rows[i].index == options.entry) checkRow(rows[i], options, report);
    std::snprintf(text, sizeof text, "%d passed, %d failed", report.passed, report.failed);
    std::string last = text;
    if (report.skipped) last += ", " + std::to_string(report.skipped) + " skipped (CPU lacks the extension)";
    if (report.missing) last += ", " + std::to_string(report.missing) + " without a native kernel";
    report.line(last);
    return report.failed ? 1 : 0;
}

bool parseOptions(int argc, char** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto number = [&](long long lo, long long hi, long long& v) {
            if (i + 1 >= argc) return false;
            const char* text = argv[++i];
            char* end = nullptr;
            errno = 0;
            v = std::strtoll(text, &end, 0);
            // An empty or partly numeric word is not a number; strtoll would read it as 0.
            return end != text && *end == '\0' && errno == 0 && v >= lo && v <= hi;
        };
        long long v = 0;
        if (a == "--entry") {
            if (!number(0, 1000, v)) {
                std::fprintf(stderr, "checkasm: --entry needs an entry index\n");
                return false;
            }
            options.entry = static_cast<int>(v);
        } else if (a == "--seed") {
            if (!number(0, 0xFFFFFFFFll, v)) {
                std::fprintf(stderr, "checkasm: --seed needs a number from 0 to 4294967295\n");
                return false;
            }
            options.seed = static_cast<uint32_t>(v);
        } else if (a == "--bench") {
            options.bench = true;
        } else if (a == "--verbose") {
            options.verbose = true;
        } else {
            std::fprintf(stderr,
                         "usage: %s [--entry N] [--seed N] [--bench] [--verbose]\n"
                         "  --entry N  check only entry N\n"
                         "  --seed N   seed of the random data (printed with every failure)\n"
                         "  --bench    also time kernel and twin (ratios only; meaningless under an emulator)\n"
                         "  --verbose  list every excused difference\n",
                         argv[0]);
            return false;
        }
    }
    return true;
}

} // namespace checkasm
