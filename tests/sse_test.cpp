// Entries 10 and 11: five four-lane chains, each product and sum rounded to
// single precision. Every case runs each implementation of the entries that
// this build carries: the C++ kernels always, and on the i686 build the
// hand-written kernels too when the processor has SSE. Hand-checkable cases
// come first; then random problems, checked bit for bit against a plain
// statement of the chain order written here; then blocks off a 16-byte
// boundary, which the hand-written kernels copy to aligned stack blocks.
//
// Random problems use fixed seeds, printed with every failure; the
// environment variable CIRCUIT_TEST_SEED replaces the base seed.
#include <climits>
#include <cmath>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "dispatch.h"
#include "kernels.h"
#include "support.h"

namespace {

using support::bitsOf;
using support::GuardedOutput;

struct Implementation {
    const char* name;
    EntryKernel kernel;
};

std::vector<Implementation> implementations() {
    std::vector<Implementation> list = {{"portable::kernelSseSoa", &portable::kernelSseSoa},
                                        {"portable::kernelSseSoaOoo", &portable::kernelSseSoaOoo}};
#if CIRCUIT_NATIVE_KERNELS
    if (circuit::cpuExtensions() & ENTRY_SSE) {
        list.push_back({"kernelSseSoa", &kernelSseSoa});
        list.push_back({"kernelSseSoaOoo", &kernelSseSoaOoo});
    }
#endif
    return list;
}

// The rounding of a product or a sum to single precision (a store, also on x87).
float stored(double v) {
    volatile float f = static_cast<float>(v);
    return f;
}

// Output i as both entries define it: one chain over the input groups in
// ascending order, from the first product, taking lane i mod 4 of each group.
float referenceOutput(const float* coefficients, const float* input, int i) {
    auto product = [&](int j) {
        return stored(static_cast<double>(coefficients[SOA_ROW_FLOATS * j + i]) *
                      input[SOA_LANES * j + i % SOA_LANES]);
    };
    float y = product(0);
    for (int j = 1; j < INPUT_COUNT; ++j) y = stored(static_cast<double>(y) + product(j));
    return y;
}

::testing::AssertionResult sameOutputs(const float* expected, const float* actual) {
    for (int i = 0; i < SOA_OUTPUT_FLOATS; ++i)
        if (bitsOf(expected[i]) != bitsOf(actual[i]))
            return ::testing::AssertionFailure() << "output " << i << ": expected "
                                                 << support::describe(expected[i]) << ", got "
                                                 << support::describe(actual[i]);
    return ::testing::AssertionSuccess();
}

// Runs every implementation on the blocks (count 1) and hands each output,
// already checked for writes outside its 20 floats, to `check`.
template <class Check>
void forEachImplementation(const circuit::Blocks& b, Check check) {
    for (const Implementation& impl : implementations()) {
        SCOPED_TRACE(impl.name);
        GuardedOutput out;
        impl.kernel(b.coefficients, b.input, out.data(), 1);
        EXPECT_TRUE(out.onlyWrote(SOA_OUTPUT_FLOATS));
        check(out);
    }
}

void expectEveryOutput(const circuit::Blocks& b, float expected) {
    forEachImplementation(b, [&](const GuardedOutput& out) {
        for (int i = 0; i < SOA_OUTPUT_FLOATS; ++i) EXPECT_SAME_BITS(expected, out[i]) << "output " << i;
    });
}

circuit::Problem ones() {
    circuit::Problem p{};
    for (auto& row : p.m)
        for (float& v : row) v = 1.0f;
    return p;
}

TEST(SseChains, EverySumIsRoundedToSinglePrecision) {
    // 2^24 + 1 rounds back to 2^24, so the chain ends at 0, not 1.
    circuit::Problem p = ones();
    p.x[0] = 16777216.0f;
    p.x[1] = 1.0f;
    p.x[2] = -16777216.0f;
    circuit::Blocks b;
    circuit::layoutSoa(p, b.coefficients, b.input, 1.0f);
    expectEveryOutput(b, 0.0f);
}

TEST(SseChains, EveryProductIsRoundedBeforeItsAdd) {
    // p(1) = (1 + 2^-12)^2 = 1 + 2^-11 + 2^-24 rounds (to even) to 1 + 2^-11;
    // added to p(0) = -1 that leaves 2^-11. A fused multiply-add, or a product
    // kept wider than single precision, gives 2^-11 + 2^-24.
    circuit::Problem p{};
    const float a = 1.0f + std::ldexp(1.0f, -12);
    for (auto& row : p.m) {
        row[0] = -1.0f;
        row[1] = a;
    }
    p.x[0] = 1.0f;
    p.x[1] = a;
    circuit::Blocks b;
    circuit::layoutSoa(p, b.coefficients, b.input);
    const float expected = std::ldexp(1.0f, -11);
    forEachImplementation(b, [&](const GuardedOutput& out) {
        for (int i = 0; i < OUTPUT_COUNT; ++i) EXPECT_SAME_BITS(expected, out[i]) << "output " << i;
        EXPECT_SAME_BITS(0.0f, out[18]);
        EXPECT_SAME_BITS(0.0f, out[19]);
    });
}

TEST(SseChains, ChainsStartFromTheFirstProductNotFromZero) {
    // +0 * negative = -0 in every term; a start from +0.0 would give +0.
    circuit::Problem p{};
    for (int j = 0; j < INPUT_COUNT; ++j) p.x[j] = -0.75f * static_cast<float>(j + 1);
    circuit::Blocks b;
    circuit::layoutSoa(p, b.coefficients, b.input, 0.0f);
    expectEveryOutput(b, -0.0f);
}

TEST(SseChains, OutputIUsesLaneIMod4) {
    circuit::Problem p = ones();
    circuit::Blocks b;
    circuit::layoutSoa(p, b.coefficients, b.input, 1.0f);
    for (int j = 0; j < INPUT_COUNT; ++j)
        for (int lane = 0; lane < SOA_LANES; ++lane) b.input[SOA_LANES * j + lane] = lane + 1.0f;
    forEachImplementation(b, [&](const GuardedOutput& out) {
        for (int i = 0; i < SOA_OUTPUT_FLOATS; ++i)
            EXPECT_SAME_BITS(36.0f * static_cast<float>(i % SOA_LANES + 1), out[i]) << "output " << i;
    });
}

// A problem with distinct values of moderate range in every coefficient.
circuit::Problem moderateProblem(uint32_t seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> value(-4.0f, 4.0f);
    circuit::Problem p;
    for (auto& row : p.m)
        for (float& v : row) v = value(rng);
    for (float& v : p.x) v = value(rng);
    return p;
}

TEST(SseChains, PadResultsAreWrittenAndNeverReachOutputs0To17) {
    const circuit::Problem p = moderateProblem(1010);
    circuit::Blocks zeroPads, finitePads, nanPads;
    circuit::layoutSoa(p, zeroPads.coefficients, zeroPads.input, 0.0f);
    circuit::layoutSoa(p, finitePads.coefficients, finitePads.input, -3.25e7f);
    circuit::layoutSoa(p, nanPads.coefficients, nanPads.input, std::nanf(""));
    for (const Implementation& impl : implementations()) {
        SCOPED_TRACE(impl.name);
        GuardedOutput zero, finite, nan;
        impl.kernel(zeroPads.coefficients, zeroPads.input, zero.data(), 1);
        impl.kernel(finitePads.coefficients, finitePads.input, finite.data(), 1);
        impl.kernel(nanPads.coefficients, nanPads.input, nan.data(), 1);
        EXPECT_EQ(zero[18], 0.0f);
        EXPECT_EQ(zero[19], 0.0f);
        EXPECT_TRUE(std::isfinite(finite[18]) && finite[18] != 0.0f) << support::describe(finite[18]);
        EXPECT_TRUE(std::isnan(nan[18])) << support::describe(nan[18]);
        EXPECT_TRUE(std::isnan(nan[19])) << support::describe(nan[19]);
        for (int i = 0; i < OUTPUT_COUNT; ++i) {
            EXPECT_SAME_BITS(zero[i], finite[i]) << "output " << i;
            EXPECT_SAME_BITS(zero[i], nan[i]) << "output " << i;
        }
    }
}

// ---------------------------------------------------------------------------
// Random problems.

uint32_t baseSeed() {
    const char* text = std::getenv("CIRCUIT_TEST_SEED");
    return text != nullptr ? static_cast<uint32_t>(std::strtoul(text, nullptr, 0)) : 0x55E10u;
}

// Random sign and significand; binary exponent uniform in [low, high]. Below
// -126 the value is subnormal (or zero), as the rounding of ldexp makes it.
float randomFloat(std::mt19937& rng, int low, int high) {
    std::uniform_int_distribution<uint32_t> significand(0, (1u << 23) - 1);
    std::uniform_int_distribution<int> exponent(low, high);
    const float unit = 1.0f + static_cast<float>(significand(rng)) * std::ldexp(1.0f, -23);
    const float v = std::ldexp(unit, exponent(rng));
    return (rng() & 1) ? -v : v;
}

// Ranges of binary exponents for coefficients and inputs. None lets a sum
// overflow, so no problem produces a NaN.
struct Family {
    const char* name;
    int coefficientLow, coefficientHigh, inputLow, inputHigh;
    int problems;
};

constexpr Family kFamilies[] = {
    {"moderate", -6, 6, -6, 6, 500},
    {"absorbing", -24, 24, -24, 24, 500},
    {"wide", -75, 58, -75, 58, 500},
    {"near denormal", -135, -100, -30, 0, 500},
};

// Fills the blocks of problem `n` of a family: random pads, and in every
// other problem four unequal lanes per input group.
void randomBlocks(const Family& f, std::mt19937& rng, int n, circuit::Blocks& b) {
    for (float& v : b.coefficients) v = randomFloat(rng, f.coefficientLow, f.coefficientHigh);
    for (int j = 0; j < INPUT_COUNT; ++j)
        for (int lane = 0; lane < SOA_LANES; ++lane)
            b.input[SOA_LANES * j + lane] = (n % 2 == 0 && lane > 0)
                                                ? b.input[SOA_LANES * j]
                                                : randomFloat(rng, f.inputLow, f.inputHigh);
}

TEST(SseChains, RandomProblemsFollowTheChainOrder) {
    const std::vector<Implementation> impls = implementations();
    for (const Family& f : kFamilies) {
        const uint32_t seed = baseSeed() + static_cast<uint32_t>(&f - kFamilies);
        SCOPED_TRACE(std::string(f.name) + " problems, seed " + std::to_string(seed));
        std::mt19937 rng(seed);
        for (int n = 0; n < f.problems; ++n) {
            circuit::Blocks b;
            randomBlocks(f, rng, n, b);
            const circuit::Blocks before = b;
            float expected[SOA_OUTPUT_FLOATS];
            for (int i = 0; i < SOA_OUTPUT_FLOATS; ++i)
                expected[i] = referenceOutput(b.coefficients, b.input, i);
            for (const Implementation& impl : impls) {
                GuardedOutput out;
                impl.kernel(b.coefficients, b.input, out.data(), 1);
                ASSERT_TRUE(sameOutputs(expected, out.data())) << impl.name << ", problem " << n;
                ASSERT_TRUE(out.onlyWrote(SOA_OUTPUT_FLOATS)) << impl.name << ", problem " << n;
            }
            ASSERT_EQ(std::memcmp(&before, &b, sizeof b), 0) << "an input block was written";
        }
    }
}

// The two entries as the host runs them: same bits on NaN-free data.
TEST(SseChains, Entries10And11Agree) {
    const Family& wide = kFamilies[2];
    const uint32_t seed = baseSeed() + 100;
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 rng(seed);
    for (int n = 0; n < 200; ++n) {
        circuit::Blocks b;
        randomBlocks(wide, rng, n, b);
        GuardedOutput ten, eleven;
        runEntry(10, b.coefficients, b.input, ten.data(), 2);
        runEntry(11, b.coefficients, b.input, eleven.data(), 2);
        ASSERT_TRUE(sameOutputs(ten.data(), eleven.data())) << "problem " << n;
    }
}

// ---------------------------------------------------------------------------
// Blocks off a 16-byte boundary: outside the host's contract, but they must
// neither fault nor change a bit of the result.

// Copies of three blocks, each placed `shift` floats past a 16-byte boundary,
// with guard floats after the output.
struct ShiftedBlocks {
    alignas(16) float coefficients[SOA_COEFFICIENT_FLOATS + 4];
    alignas(16) float input[SOA_INPUT_FLOATS + 4];
    alignas(16) float output[SOA_OUTPUT_FLOATS + 12];
};

TEST(SseChains, MisalignedBlocksGiveTheSameBits) {
    const struct {
        int coefficients, input, output;
    } shifts[] = {{1, 0, 0}, {0, 2, 0}, {0, 0, 3}, {3, 1, 2}};
    const uint32_t seed = baseSeed() + 200;
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 rng(seed);
    circuit::Blocks b;
    randomBlocks(kFamilies[1], rng, 1, b);
    float expected[SOA_OUTPUT_FLOATS];
    for (int i = 0; i < SOA_OUTPUT_FLOATS; ++i) expected[i] = referenceOutput(b.coefficients, b.input, i);

    for (const Implementation& impl : implementations()) {
        for (const auto& s : shifts) {
            SCOPED_TRACE(std::string(impl.name) + ", shifts " + std::to_string(s.coefficients) +
                         "/" + std::to_string(s.input) + "/" + std::to_string(s.output));
            ShiftedBlocks m;
            const uint32_t sentinel = GuardedOutput::kSentinel;
            for (float& f : m.output) std::memcpy(&f, &sentinel, 4);
            float* coefficients = m.coefficients + s.coefficients;
            float* input = m.input + s.input;
            float* output = m.output + 4 + s.output;
            std::memcpy(coefficients, b.coefficients, sizeof b.coefficients);
            std::memcpy(input, b.input, sizeof b.input);
            impl.kernel(coefficients, input, output, 2);
            EXPECT_TRUE(sameOutputs(expected, output));
            for (float* f = m.output; f < m.output + SOA_OUTPUT_FLOATS + 12; ++f)
                if (f < output || f >= output + SOA_OUTPUT_FLOATS)
                    EXPECT_EQ(bitsOf(*f), sentinel) << "float " << (f - output) << " written";
        }
    }
}

#if CIRCUIT_NATIVE_KERNELS
TEST(SseChains, HandWrittenKernelsAreChosenWhereSseExists) {
    if (!(circuit::cpuExtensions() & ENTRY_SSE)) GTEST_SKIP() << "processor lacks SSE";
    EXPECT_EQ(circuit::selectedKernel(10), &kernelSseSoa);
    EXPECT_EQ(circuit::selectedKernel(11), &kernelSseSoaOoo);
}
#endif

// On a processor model of known extensions (circuit_tests.pentium3: qemu's
// Pentium III, SSE without SSE2) CIRCUIT_TEST_MODEL_EXTENSIONS names them,
// e.g. "FPU,MMX,SSE": the module's probe finds exactly those. Elsewhere
// there is nothing to compare with.
TEST(SseChains, ProbeFindsTheModelsExtensions) {
    const char* named = std::getenv("CIRCUIT_TEST_MODEL_EXTENSIONS");
    if (named == nullptr) return;
    const struct {
        const char* name;
        EntryFlags flag;
    } kNames[] = {{"FPU", ENTRY_FPU}, {"MMX", ENTRY_MMX}, {"3DNOW", ENTRY_3DNOW}, {"SSE", ENTRY_SSE}};
    EntryFlags expected = 0;
    const std::string list = std::string(",") + named + ",";
    for (const auto& n : kNames)
        if (list.find(std::string(",") + n.name + ",") != std::string::npos) expected |= n.flag;
    EXPECT_EQ(circuit::cpuExtensions(), expected) << "the model has " << named;
}

} // namespace
