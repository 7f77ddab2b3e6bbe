// Entries 3 to 5: each keeps its own summation order (a tree over groups of
// eight, three running sums, six ascending chains on the SOA layout). Every
// check runs on each way the module can compute the entry: the C++ twin, the
// kernel runEntry selected and, on the i686 build, the hand-written kernel
// called directly. Where the x87 kernels exist, they are also checked for an
// empty register stack on return, an unchanged control word and unchanged
// input blocks.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "kernels.h"
#include "support.h"

namespace {

using support::GuardedOutput;

constexpr float kTwo60 = 1152921504606846976.0f; // 2^60
constexpr float kTwoMinus24 = 5.9604644775390625e-08f;

// One way of running an entry: a kernel called with the entry's layout.
struct Variant {
    std::string name;
    EntryKernel kernel; // nullptr: through runEntry
};

std::vector<Variant> variantsOf(uint32_t index) {
    std::vector<Variant> v = {{"runEntry", nullptr}};
    switch (index) {
    case 3:
        v.push_back({"portable", &portable::kernelX87});
        break;
    case 4:
        v.push_back({"portable", &portable::kernelX87Fxch});
        break;
    case 5:
        v.push_back({"portable", &portable::kernelX87SoaOoo});
        break;
    }
#if CIRCUIT_NATIVE_KERNELS
    switch (index) {
    case 3:
        v.push_back({"x87 asm", &kernelX87});
        break;
    case 4:
        v.push_back({"x87 asm", &kernelX87Fxch});
        break;
    case 5:
        v.push_back({"x87 asm", &kernelX87SoaOoo});
        break;
    }
#endif
    return v;
}

#if defined(__i386__) || defined(__x86_64__)
// x87 state around a kernel call: control word and tag word (0xFFFF: every
// register free).
struct X87State {
    uint16_t control, tags;
};
X87State x87State() {
    struct {
        uint16_t control, pad0, status, pad1, tags, pad2;
        uint32_t rest[4];
    } env;
    __asm__ volatile("fnstenv %0\n\tfldenv %0" : "=m"(env)); // fnstenv masks exceptions; fldenv undoes it
    return {env.control, env.tags};
}
#endif

// Runs `variant` of entry `index` on `p` laid out for the entry, and checks
// what every run must keep: the input blocks unchanged and, around the x87
// code, the control word unchanged and the register stack left empty. With
// `poisonUnused`, the SOA pad floats and input lanes 1 to 3 hold NaN.
void runVariant(uint32_t index, const Variant& variant, const circuit::Problem& p,
                GuardedOutput& out, int32_t count = 1, bool poisonUnused = false) {
    circuit::Blocks b;
    circuit::layoutFor(support::kEntries[index].flags, p, b, poisonUnused ? NAN : 0.0f);
    if (poisonUnused && (support::kEntries[index].flags & ENTRY_SOA))
        for (int j = 0; j < INPUT_COUNT; ++j)
            for (int lane = 1; lane < SOA_LANES; ++lane) b.input[SOA_LANES * j + lane] = NAN;
    const circuit::Blocks before = b;
#if defined(__i386__) || defined(__x86_64__)
    const X87State entryState = x87State();
    ASSERT_EQ(entryState.tags, 0xFFFF) << "x87 stack not empty before the call";
#endif
    if (variant.kernel)
        variant.kernel(b.coefficients, b.input, out.data(), count);
    else
        runEntry(index, b.coefficients, b.input, out.data(), count);
#if defined(__i386__) || defined(__x86_64__)
    const X87State exitState = x87State();
    EXPECT_EQ(exitState.tags, 0xFFFF) << variant.name << ": x87 stack not empty on return";
    EXPECT_EQ(exitState.control, entryState.control) << variant.name << ": control word changed";
#endif
    EXPECT_EQ(0, std::memcmp(&before, &b, sizeof b)) << variant.name << ": wrote into its input";
}

struct Case {
    const char* what;
    float m[INPUT_COUNT]; // every row; all inputs are `x`
    float x;
    float expected[3];    // entries 3, 4, 5
};

// Vectors on which the three orders give different answers, and ones on
// which they must agree. Zero-initialised coefficients are +0.0.
std::vector<Case> cases() {
    std::vector<Case> c;
    auto add = [&](const char* what, std::initializer_list<std::pair<int, float>> m, float x,
                   float e3, float e4, float e5) {
        Case k{what, {}, x, {e3, e4, e5}};
        for (auto [j, v] : m) k.m[j] = v;
        c.push_back(k);
    };
    // Entries 3 and 4 add p35 to 2^60 before -2^60 comes back; entry 5 adds p34 first.
    add("p1 = 2^60, p34 = -2^60, p35 = 1", {{1, kTwo60}, {34, -kTwo60}, {35, 1.0f}}, 1.0f, 0.0f,
        0.0f, 1.0f);
    // Entry 3 cancels p0 against p7 in its first addition.
    add("p0 = 2^60, p1 = 1, p7 = -2^60", {{0, kTwo60}, {1, 1.0f}, {7, -kTwo60}}, 1.0f, 1.0f, 0.0f,
        0.0f);
    // Entry 3 pairs p2 with p5 and p1 with p6; entry 4 adds p6 into T = p2 + p3
    // while p4 sits in L; entry 5 adds p4 to 2^60.
    add("p2 = 2^60, p4 = 1, p6 = -2^60", {{2, kTwo60}, {4, 1.0f}, {6, -kTwo60}}, 1.0f, 1.0f, 1.0f,
        0.0f);
    add("absorption: p0 = 1, p1 = p2 = 2^-24", {{0, 1.0f}, {1, kTwoMinus24}, {2, kTwoMinus24}},
        1.0f, 1.00000012f, 1.00000012f, 1.00000012f);
    Case zeros{"all products -0.0", {}, -0.0f, {-0.0f, -0.0f, -0.0f}};
    for (float& v : zeros.m) v = 1.0f;
    c.push_back(zeros);
    return c;
}

TEST(X87Orders, VectorsThatTellTheOrdersApart) {
    for (const Case& k : cases()) {
        SCOPED_TRACE(k.what);
        const circuit::Problem p = support::uniformRows(k.m, k.x);
        for (uint32_t index = 3; index <= 5; ++index)
            for (const Variant& variant : variantsOf(index)) {
                GuardedOutput out;
                runVariant(index, variant, p, out);
                for (int i = 0; i < OUTPUT_COUNT; ++i)
                    EXPECT_SAME_BITS(k.expected[index - 3], out[i])
                        << "entry " << index << " (" << variant.name << ") output " << i;
                EXPECT_TRUE(out.onlyWrote(OUTPUT_COUNT)) << variant.name;
            }
    }
}

// The three orders stated plainly, one output at a time, from the rules of
// each entry. `stored` is the one rounding to single precision.
float stored(double v) {
    volatile float f = static_cast<float>(v);
    return f;
}

float referenceOutput(uint32_t index, const circuit::Problem& p, int i) {
    auto pr = [&](int j) { return static_cast<double>(p.m[i][j]) * static_cast<double>(p.x[j]); };
    if (index == 3) {
        // Group g: v0 is p0 (g = 0) or the running S, v1..v7 the next products.
        double s = 0.0;
        int next = 0;
        for (int g = 0; g < 5; ++g) {
            double v[8];
            v[0] = g == 0 ? pr(next++) : s;
            for (int k = 1; k < 8; ++k) v[k] = pr(next++);
            s = ((v[0] + v[7]) + (v[3] + v[4])) + ((v[1] + v[6]) + (v[2] + v[5]));
        }
        return stored(s);
    }
    if (index == 4) {
        // L: (p0 + p1), (p4 + p5), (p7 + p8), ..., (p31 + p32) added in turn;
        // T: ((p2 + p3) + p6) + p9 + ... + p33; N: p34 + p35.
        double sumL = pr(0) + pr(1);
        for (int j = 4; j <= 31; j += 3) sumL = sumL + (pr(j) + pr(j + 1));
        double sumT = pr(2) + pr(3);
        for (int j = 6; j <= 33; j += 3) sumT = sumT + pr(j);
        const double sumN = pr(34) + pr(35);
        return stored((sumL + sumT) + sumN);
    }
    double s = pr(0); // entry 5: ascending from p0
    for (int j = 1; j < INPUT_COUNT; ++j) s = s + pr(j);
    return stored(s);
}

// A random problem on which the orders of addition show. Products of floats
// are exact and each sum is rounded to double precision only, so two orders
// rarely differ after the final rounding to float unless large terms cancel.
// Every row therefore carries, besides terms with full-width significands and
// exponents over +-spread, three pairs of large products that cancel exactly
// (equal inputs, opposite coefficients): what is left of the small terms then
// depends on where the order absorbed them into the large partial sums.
circuit::Problem randomProblem(std::mt19937& rng, int spread) {
    std::uniform_real_distribution<float> significand(-1.0f, 1.0f);
    std::uniform_int_distribution<int> exponent(-spread, spread);
    std::uniform_int_distribution<int> column(0, INPUT_COUNT - 1);
    std::uniform_int_distribution<int> bigExponent(24, 50);
    // Six input values, six times each in shuffled places, so that every
    // product has partners with the same input and can cancel exactly.
    float pool[6];
    for (float& v : pool) v = std::ldexp(significand(rng), exponent(rng) / 2);
    circuit::Problem p{};
    for (int j = 0; j < INPUT_COUNT; ++j) p.x[j] = pool[j % 6];
    std::shuffle(std::begin(p.x), std::end(p.x), rng);
    for (auto& row : p.m) {
        for (float& v : row) v = std::ldexp(significand(rng), exponent(rng));
        for (int pair = 0; pair < 3; ++pair) {
            const int a = column(rng);
            int b = column(rng);
            while (b == a || p.x[b] != p.x[a]) b = (b + 1) % INPUT_COUNT;
            row[a] = std::ldexp(significand(rng), std::min(spread + bigExponent(rng), 120));
            row[b] = -row[a];
        }
    }
    return p;
}

TEST(X87Orders, RandomProblemsFollowEachOrder) {
    constexpr unsigned kSeed = 870503;
    std::mt19937 rng(kSeed);
    const int spreads[] = {0, 10, 60};
    for (int trial = 0; trial < 240; ++trial) {
        SCOPED_TRACE("trial " + std::to_string(trial) + " (seed " + std::to_string(kSeed) + ")");
        const circuit::Problem p = randomProblem(rng, spreads[trial % 3]);
        for (uint32_t index = 3; index <= 5; ++index) {
            float expected[OUTPUT_COUNT];
            for (int i = 0; i < OUTPUT_COUNT; ++i) expected[i] = referenceOutput(index, p, i);
            for (const Variant& variant : variantsOf(index)) {
                GuardedOutput out;
                runVariant(index, variant, p, out, 1 + trial % 3);
                for (int i = 0; i < OUTPUT_COUNT; ++i)
                    ASSERT_EQ(support::bitsOf(expected[i]), support::bitsOf(out[i]))
                        << "entry " << index << " (" << variant.name << ") output " << i << ": expected "
                        << support::describe(expected[i]) << ", got " << support::describe(out[i]);
                ASSERT_TRUE(out.onlyWrote(OUTPUT_COUNT)) << variant.name;
            }
        }
    }
}

// Entry 5 never reads the pad floats of a coefficient row or lanes 1 to 3 of
// an input group, and never writes y[18] or y[19]: NaN there changes nothing.
TEST(X87Orders, SoaPadsAndSpareLanesAreNeverRead) {
    std::mt19937 rng(5);
    const circuit::Problem p = randomProblem(rng, 20);
    for (const Variant& variant : variantsOf(5)) {
        GuardedOutput clean, poisoned;
        runVariant(5, variant, p, clean);
        runVariant(5, variant, p, poisoned, 1, true);
        for (int i = 0; i < OUTPUT_COUNT; ++i)
            EXPECT_SAME_BITS(clean[i], poisoned[i]) << variant.name << " output " << i;
        EXPECT_TRUE(poisoned.onlyWrote(OUTPUT_COUNT)) << variant.name << " wrote y[18] or y[19]";
    }
}

// Repetitions recompute the same values from the same blocks; a count of 0 or
// less returns without writing.
TEST(X87Orders, CountsGiveTheSameOutputs) {
    std::mt19937 rng(33);
    const circuit::Problem p = randomProblem(rng, 30);
    for (uint32_t index = 3; index <= 5; ++index)
        for (const Variant& variant : variantsOf(index)) {
            GuardedOutput once, many, none;
            runVariant(index, variant, p, once, 1);
            runVariant(index, variant, p, many, 37);
            for (int i = 0; i < OUTPUT_COUNT; ++i)
                EXPECT_SAME_BITS(once[i], many[i]) << "entry " << index << " (" << variant.name << ")";
            runVariant(index, variant, p, none, 0);
            runVariant(index, variant, p, none, -1);
            EXPECT_TRUE(none.untouched()) << "entry " << index << " (" << variant.name << ")";
        }
}

#if CIRCUIT_NATIVE_KERNELS
// The hand-written kernels against their C++ twins on the same blocks,
// including values whose products and sums come near the float range limits.
TEST(X87Native, MatchesPortableTwinsBitForBit) {
    struct Pair {
        uint32_t index;
        EntryKernel native, twin;
    };
    const Pair pairs[] = {{3, &kernelX87, &portable::kernelX87},
                          {4, &kernelX87Fxch, &portable::kernelX87Fxch},
                          {5, &kernelX87SoaOoo, &portable::kernelX87SoaOoo}};
    constexpr unsigned kSeed = 4711;
    std::mt19937 rng(kSeed);
    for (int trial = 0; trial < 120; ++trial) {
        SCOPED_TRACE("trial " + std::to_string(trial) + " (seed " + std::to_string(kSeed) + ")");
        const circuit::Problem p = randomProblem(rng, trial % 2 ? 126 : 40);
        for (const Pair& pair : pairs) {
            GuardedOutput native, twin;
            runVariant(pair.index, {"x87 asm", pair.native}, p, native);
            runVariant(pair.index, {"portable", pair.twin}, p, twin);
            for (int i = 0; i < SOA_OUTPUT_FLOATS; ++i)
                ASSERT_EQ(twin.bits(i), native.bits(i)) << "entry " << pair.index << " output " << i;
        }
    }
}
#endif

} // namespace
