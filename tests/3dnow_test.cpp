// Entries 6 to 9 (3DNow!): the two chains of entry 6 against the one chain
// of entries 7 to 9 on vectors where they part, rounding of every product
// before its add, what the SOA kernels read and write, random problems
// against a plain statement of each order, and, on the i686 build, every
// hand-written kernel against its C++ twin.
//
// A 3DNow! unit may flush denormals to zero and does not follow IEEE for
// infinities and NaNs; the C++ twins do follow IEEE. So every comparison
// that may run on a 3DNow! unit keeps operands, products and partial sums
// normal or zero (non-zero products here lie between 2^-62 and 2^60, so no
// partial sum can be denormal or overflow), and NaN appears only where the
// kernels never read. The twins' IEEE underflow is checked on
// the twins alone.
#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>

#include "dispatch.h"
#include "kernels.h"
#include "support.h"

namespace {

using support::bitsOf;
using support::floatOf;
using support::GuardedOutput;

constexpr uint32_t kSplit = 6;                  // even and odd sums, joined
constexpr uint32_t kChains[] = {7, 8, 9};       // one chain per output
constexpr float kTwo24 = 16777216.0f;
constexpr float kTwo27 = 134217728.0f;

// One IEEE single-precision operation: the exact (or double) result of two
// floats, rounded once to single precision by a store.
float single(double v) {
    volatile float f = static_cast<float>(v);
    return f;
}
float mul(float a, float b) { return single(static_cast<double>(a) * b); }
float add(float a, float b) { return single(static_cast<double>(a) + b); }

// Entry 6 stated plainly, on the AOS blocks: E and O from +0.0, then E + O.
float splitReference(const float* m, const float* x, int i) {
    float even = 0.0f, odd = 0.0f;
    for (int j = 0; j < INPUT_COUNT; j += 2) even = add(even, mul(m[INPUT_COUNT * i + j], x[j]));
    for (int j = 1; j < INPUT_COUNT; j += 2) odd = add(odd, mul(m[INPUT_COUNT * i + j], x[j]));
    return add(even, odd);
}

// Entries 7 to 9 stated plainly, on the SOA blocks: one chain from the first
// product, x[j] from lane i mod 2 of group j.
float chainReference(const float* m, const float* x, int i) {
    const int lane = i % 2;
    float y = mul(m[i], x[lane]);
    for (int j = 1; j < INPUT_COUNT; ++j)
        y = add(y, mul(m[SOA_ROW_FLOATS * j + i], x[SOA_LANES * j + lane]));
    return y;
}

float reference(uint32_t index, const circuit::Blocks& b, int i) {
    return index == kSplit ? splitReference(b.coefficients, b.input, i)
                           : chainReference(b.coefficients, b.input, i);
}

void run(uint32_t index, const circuit::Blocks& b, GuardedOutput& out, int32_t count = 1) {
    runEntry(index, b.coefficients, b.input, out.data(), count);
}

// Every output of `index` on the problem whose rows are all m and inputs all x.
void expectAllOutputs(uint32_t index, const float (&m)[INPUT_COUNT], float x, float expected) {
    GuardedOutput out;
    support::runProblem(index, support::uniformRows(m, x), out);
    for (int i = 0; i < OUTPUT_COUNT; ++i)
        EXPECT_SAME_BITS(expected, out[i]) << "entry " << index << " output " << i;
    EXPECT_TRUE(out.onlyWrote(OUTPUT_COUNT)) << "entry " << index;
}

TEST(ThreeDNowOrders, SplitSumsKeepWhatOneChainLoses) {
    // 2^24 in column 0, 1.0 in columns 1 and 3: the odd sum collects 2.0 apart
    // from 2^24; a single chain drops each 1.0 (half an ulp, tie to even).
    float m[INPUT_COUNT] = {kTwo24, 1.0f, 0.0f, 1.0f};
    expectAllOutputs(kSplit, m, 1.0f, kTwo24 + 2.0f);
    for (uint32_t e : kChains) expectAllOutputs(e, m, 1.0f, kTwo24);

    // 2^27 then 35 ones: a chain stays at 2^27 (each 1.0 is 1/16 ulp); entry 6
    // loses the 17 even ones but adds the odd sum 18.0 whole: 2^27 + 18 -> 2^27 + 16.
    float n[INPUT_COUNT];
    for (float& v : n) v = 1.0f;
    n[0] = kTwo27;
    expectAllOutputs(kSplit, n, 1.0f, kTwo27 + 16.0f);
    for (uint32_t e : kChains) expectAllOutputs(e, n, 1.0f, kTwo27);
}

TEST(ThreeDNowOrders, SignOfZeroFollowsTheStartOfTheSum) {
    const float zero[INPUT_COUNT] = {}; // every product is +0 * -1 = -0.0
    expectAllOutputs(kSplit, zero, -1.0f, 0.0f); // sums start at +0.0
    for (uint32_t e : kChains) expectAllOutputs(e, zero, -1.0f, -0.0f); // start at -0.0
}

// (1 + 2^-12)^2 = 1 + 2^-11 + 2^-24 rounds (tie to even) to 1 + 2^-11, which
// the earlier term cancels exactly: +0.0. Adding the unrounded product, as a
// fused multiply-add or a wider intermediate would, leaves 2^-24.
TEST(ThreeDNowOrders, ProductIsRoundedBeforeItIsAdded) {
    const float a = 1.0f + 1.0f / 4096.0f;
    circuit::Problem p{};
    for (auto& row : p.m) {
        row[0] = -(1.0f + 1.0f / 2048.0f);
        row[2] = a;
    }
    for (float& v : p.x) v = 1.0f;
    p.x[2] = a;
    for (uint32_t e : {6u, 7u, 8u, 9u}) {
        GuardedOutput out;
        support::runProblem(e, p, out);
        for (int i = 0; i < OUTPUT_COUNT; ++i) EXPECT_SAME_BITS(0.0f, out[i]) << "entry " << e << " output " << i;
    }
}

// One non-zero input: every output is that one product, whichever input it is.
TEST(ThreeDNowOrders, SingleInputGivesItsProduct) {
    std::mt19937 rng(606);
    std::uniform_real_distribution<float> magnitude(0.5f, 2.0f);
    circuit::Problem p{};
    for (auto& row : p.m)
        for (float& v : row) v = std::ldexp(rng() % 2 ? magnitude(rng) : -magnitude(rng), int(rng() % 41) - 20);
    for (int j = 0; j < INPUT_COUNT; ++j) {
        for (float& v : p.x) v = 0.0f;
        p.x[j] = -1.75f * static_cast<float>(j + 1);
        for (uint32_t e : {6u, 7u, 8u, 9u}) {
            GuardedOutput out;
            support::runProblem(e, p, out);
            for (int i = 0; i < OUTPUT_COUNT; ++i)
                ASSERT_EQ(bitsOf(mul(p.m[i][j], p.x[j])), bitsOf(out[i]))
                    << "entry " << e << " input " << j << " output " << i;
        }
    }
}

// Random values with magnitudes 2^(lo-1) .. 2^hi, or zero where zeroShare hits.
struct Values {
    std::mt19937& rng;
    int lo, hi;
    unsigned zeroShare; // one in zeroShare values is a signed zero (0: none)
    float operator()() {
        if (zeroShare && rng() % zeroShare == 0) return rng() % 2 ? 0.0f : -0.0f;
        const float mantissa = std::uniform_real_distribution<float>(0.5f, 1.0f)(rng);
        const int exponent = lo + static_cast<int>(rng() % static_cast<unsigned>(hi - lo + 1));
        return std::ldexp(rng() % 2 ? mantissa : -mantissa, exponent);
    }
};

// A random problem of one of four kinds: narrow, medium or wide exponents, or
// rows in which large terms cancel so that the order decides the low bits.
circuit::Problem randomProblem(std::mt19937& rng, int kind) {
    circuit::Problem p{};
    const int spread = kind == 0 ? 0 : kind == 1 ? 8 : 30;
    Values value{rng, -spread, spread, kind == 2 ? 16u : 0u};
    for (auto& row : p.m)
        for (float& v : row) v = value();
    for (float& v : p.x) v = value();
    if (kind == 3) // pairs of equal and opposite large products among small ones
        for (auto& row : p.m)
            for (int k = 0; k < 4; ++k) {
                const int j = static_cast<int>(rng() % INPUT_COUNT), l = static_cast<int>(rng() % INPUT_COUNT);
                row[j] = std::ldexp(1.0f, 24) / p.x[j];
                row[l] = -std::ldexp(1.0f, 24) / p.x[l];
            }
    return p;
}

// Lays the problem out for `index`, with random finite pads for SOA entries.
void layOut(uint32_t index, const circuit::Problem& p, circuit::Blocks& b, float pad) {
    circuit::layoutFor(support::kEntries[index].flags, p, b, pad);
}

TEST(ThreeDNowOrders, RandomProblemsFollowEachOrder) {
    constexpr unsigned kSeed = 3006;
    constexpr int kProblems = 1200;
    std::mt19937 rng(kSeed);
    for (int trial = 0; trial < kProblems; ++trial) {
        SCOPED_TRACE("seed " + std::to_string(kSeed) + ", problem " + std::to_string(trial));
        const circuit::Problem p = randomProblem(rng, trial % 4);
        const float pad = std::ldexp(1.0f, static_cast<int>(rng() % 61) - 30);
        GuardedOutput chain[3];
        for (uint32_t e : {6u, 7u, 8u, 9u}) {
            circuit::Blocks b;
            layOut(e, p, b, pad);
            GuardedOutput out;
            run(e, b, out);
            ASSERT_TRUE(out.onlyWrote(OUTPUT_COUNT)) << "entry " << e;
            for (int i = 0; i < OUTPUT_COUNT; ++i)
                ASSERT_EQ(bitsOf(reference(e, b, i)), bitsOf(out[i])) << "entry " << e << " output " << i;
            if (e != kSplit) chain[e - 7] = out;
        }
        for (int i = 0; i < OUTPUT_COUNT; ++i) { // entries 8 and 9 write entry 7's bits
            ASSERT_EQ(chain[0].bits(i), chain[1].bits(i)) << "entries 7 and 8, output " << i;
            ASSERT_EQ(chain[0].bits(i), chain[2].bits(i)) << "entries 7 and 9, output " << i;
        }
    }
}

// Pads of the coefficient rows and lanes 2 and 3 of the input groups are
// never read: NaN there changes no bit, and floats 18 and 19 stay as they were.
TEST(ThreeDNowSoa, PadsAndUpperLanesAreNeverRead) {
    std::mt19937 rng(707);
    const circuit::Problem p = randomProblem(rng, 1);
    circuit::Blocks clean, poisoned;
    circuit::layoutSoa(p, clean.coefficients, clean.input);
    circuit::layoutSoa(p, poisoned.coefficients, poisoned.input, floatOf(0x7FC00001u));
    for (int j = 0; j < INPUT_COUNT; ++j) {
        poisoned.input[SOA_LANES * j + 2] = floatOf(0xFFC00002u);
        poisoned.input[SOA_LANES * j + 3] = floatOf(0x7F800000u); // +infinity
    }
    for (uint32_t e : kChains) {
        GuardedOutput expected, actual;
        run(e, clean, expected);
        run(e, poisoned, actual);
        EXPECT_TRUE(actual.onlyWrote(OUTPUT_COUNT)) << "entry " << e;
        for (int i = 0; i < OUTPUT_COUNT; ++i)
            EXPECT_EQ(expected.bits(i), actual.bits(i)) << "entry " << e << " output " << i;
    }
}

// Lane 0 of every input group feeds the even outputs, lane 1 the odd ones.
TEST(ThreeDNowSoa, UnequalLanesFeedEvenAndOddOutputs) {
    circuit::Problem ones{};
    for (auto& row : ones.m)
        for (float& v : row) v = 1.0f;
    circuit::Blocks b;
    circuit::layoutSoa(ones, b.coefficients, b.input);
    for (int j = 0; j < INPUT_COUNT; ++j) {
        b.input[SOA_LANES * j] = 1.0f;
        b.input[SOA_LANES * j + 1] = 2.0f;
    }
    std::mt19937 rng(808);
    const circuit::Problem p = randomProblem(rng, 2);
    circuit::Blocks r;
    circuit::layoutSoa(p, r.coefficients, r.input);
    for (int j = 0; j < INPUT_COUNT; ++j) r.input[SOA_LANES * j + 1] = Values{rng, -30, 30, 0}();
    for (uint32_t e : kChains) {
        GuardedOutput out, random;
        run(e, b, out);
        run(e, r, random);
        for (int i = 0; i < OUTPUT_COUNT; ++i) {
            EXPECT_SAME_BITS(i % 2 ? 72.0f : 36.0f, out[i]) << "entry " << e << " output " << i;
            EXPECT_SAME_BITS(chainReference(r.coefficients, r.input, i), random[i])
                << "entry " << e << " output " << i;
        }
    }
}

// The twins follow IEEE below the normal range: 2^-70 * 2^-70 = 2^-140 is
// kept as a denormal, not flushed. (A 3DNow! unit may flush it, which is why
// the comparisons with the hand-written kernels stay in the normal range.)
TEST(ThreeDNowTwins, KeepDenormalResults) {
    const float tiny = std::ldexp(1.0f, -70), denormal = std::ldexp(1.0f, -140);
    ASSERT_NE(denormal, 0.0f);
    circuit::Problem p{};
    for (auto& row : p.m) row[5] = tiny;
    p.x[5] = tiny;
    const EntryKernel twins[] = {portable::kernel3DNow, portable::kernel3DNowSoa,
                                 portable::kernel3DNowSoaK6, portable::kernel3DNowSoaK7};
    for (int t = 0; t < 4; ++t) {
        circuit::Blocks b;
        layOut(kSplit + t, p, b, 0.0f);
        GuardedOutput out;
        twins[t](b.coefficients, b.input, out.data(), 1);
        for (int i = 0; i < OUTPUT_COUNT; ++i) EXPECT_SAME_BITS(denormal, out[i]) << "entry " << kSplit + t;
    }
}

#if CIRCUIT_NATIVE_KERNELS

// The x87 tag word after a call: 0xFFFF when every register is empty, as
// FEMMS leaves them.
uint16_t x87TagWord() {
    unsigned char environment[28];
    __asm__ volatile("fnstenv %0\n\tfldcw %0" : "=m"(environment));
    return static_cast<uint16_t>(environment[8] | environment[9] << 8);
}

// Each hand-written kernel against its twin, called directly, on the vectors
// above and on random problems: the same bits in all 20 floats and the guards.
TEST(ThreeDNowNative, KernelsMatchTheirTwins) {
    constexpr EntryFlags kNeeds = ENTRY_MMX | ENTRY_3DNOW;
    if ((circuit::cpuExtensions() & kNeeds) != kNeeds) GTEST_SKIP() << "processor lacks 3DNow!";
    struct Pair {
        uint32_t index;
        EntryKernel native, twin;
    };
    const Pair pairs[] = {{6, kernel3DNow, portable::kernel3DNow},
                          {7, kernel3DNowSoa, portable::kernel3DNowSoa},
                          {8, kernel3DNowSoaK6, portable::kernel3DNowSoaK6},
                          {9, kernel3DNowSoaK7, portable::kernel3DNowSoaK7}};
    constexpr unsigned kSeed = 9006;
    std::mt19937 rng(kSeed);
    for (int trial = 0; trial < 400; ++trial) {
        SCOPED_TRACE("seed " + std::to_string(kSeed) + ", problem " + std::to_string(trial));
        const circuit::Problem p = randomProblem(rng, trial % 4);
        for (const Pair& k : pairs) {
            circuit::Blocks b;
            layOut(k.index, p, b, std::ldexp(1.0f, trial % 40 - 20));
            GuardedOutput expected, actual;
            k.twin(b.coefficients, b.input, expected.data(), 2);
            k.native(b.coefficients, b.input, actual.data(), 2);
            ASSERT_EQ(x87TagWord(), 0xFFFF) << "entry " << k.index << " left the MMX state in use";
            for (int i = -GuardedOutput::kGuard; i < SOA_OUTPUT_FLOATS + GuardedOutput::kGuard; ++i)
                ASSERT_EQ(expected.bits(i), actual.bits(i)) << "entry " << k.index << " float " << i;
        }
    }
}

#endif

} // namespace
