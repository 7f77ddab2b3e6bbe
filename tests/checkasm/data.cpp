// The checker's data: the data sets, the guarded blocks and their
// placements, and the layouts (see data.h).
#include "data.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <exception>

namespace checkasm {

std::string hexAndValue(uint32_t u) {
    char text[64];
    std::snprintf(text, sizeof text, "0x%08X (%.9g)", u, static_cast<double>(floatOf(u)));
    return text;
}

// ---------------------------------------------------------------- data sets

namespace {

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

} // namespace

const DataSet kDataSets[] = {
    {"uniform small", uniformSmall, 2},   {"wide exponents", wideExponents, 2},
    {"near denormal", nearDenormal, 2},   {"integers", integers, 1},
    {"fixed-point range", fixedRange, 2}, {"unequal lanes", unequalLanes, 1},
    {"NaN pads", nanPads, 1},             {"cancellation", cancellation, 4},
    {"absorption", absorption, 2},        {"signed zeros", signedZeros, 1},
    {"NaN and infinities", specials, 2},  {"fixed-point limits", fixedLimits, 3},
    {"fixed-point wrap", fixedWrap, 1},
};
const int kDataSetCount = static_cast<int>(sizeof kDataSets / sizeof kDataSets[0]);

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

constexpr uint32_t kPoison = 0x7FBADBADu; // fills the page around the input blocks

PageGuardedBlock::PageGuardedBlock() {
    try {
        span_ = std::make_unique<circuit::GuardedSpan>(circuit::GuardedSpan::pageSize());
    } catch (const std::exception&) {
        std::fprintf(stderr, "checkasm: cannot map guarded pages\n");
        std::exit(2);
    }
}

float* PageGuardedBlock::place(size_t bytes, bool tail, size_t misalign) {
    unsigned char* page = span_->begin();
    const size_t bytesOnPage = span_->size();
    for (size_t i = 0; i < bytesOnPage / 4; ++i) std::memcpy(page + 4 * i, &kPoison, 4);
    // Every block size is a multiple of 16 bytes, so a tail block with no
    // misalignment ends exactly at the guard page.
    if (tail) return reinterpret_cast<float*>(page + bytesOnPage - bytes - misalign);
    return reinterpret_cast<float*>(page + misalign);
}

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
const int kPlacementCount = static_cast<int>(sizeof kPlacements / sizeof kPlacements[0]);

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

} // namespace checkasm
