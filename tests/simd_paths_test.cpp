// The vector paths of the C++ kernels on x86-64: the AVX and AVX-512 code
// and the plain code (SSE2 on x86-64) must give the same bits for every
// entry, on every kind of input, including the ones where orders and
// roundings show (a fused multiply-add would show there too).
//
// The other suites check each entry against a plain statement of its order
// with the vector unit the processor offers. Setting CIRCUIT_TEST_VECTOR_UNIT
// to "sse2", "avx" or "avx512" makes the whole test program run on that unit
// instead (tests/CMakeLists.txt runs it once more with "sse2"), so those
// checks reach every path.
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>

#include "kernels.h"
#include "simd.h"
#include "support.h"

namespace {

using support::GuardedOutput;

#if CIRCUIT_SIMD
using portable::simd::VectorUnit;

// Applied before any test runs.
[[maybe_unused]] const bool kUnitFromEnvironment = [] {
    const char* unit = std::getenv("CIRCUIT_TEST_VECTOR_UNIT");
    if (unit == nullptr || *unit == '\0') return true;
    const VectorUnit chosen = std::strcmp(unit, "avx512") == 0 ? portable::simd::kAvx512
                              : std::strcmp(unit, "avx") == 0  ? portable::simd::kAvx
                                                               : portable::simd::kSse2;
    if (chosen == portable::simd::kSse2 && std::strcmp(unit, "sse2") != 0) {
        std::fprintf(stderr, "CIRCUIT_TEST_VECTOR_UNIT must be sse2, avx or avx512, not '%s'\n", unit);
        std::exit(2);
    }
    if (!portable::simd::useVectorUnit(chosen)) {
        std::fprintf(stderr, "this processor cannot run the %s path\n", unit);
        std::exit(2);
    }
    std::fprintf(stderr, "vector unit forced to %s\n", unit);
    return true;
}();

constexpr EntryKernel kPortable[ENTRY_COUNT] = {
#define PORTABLE_KERNEL(index, stem, name, flags, native) &portable::kernel##stem,
    CIRCUIT_ENTRIES(PORTABLE_KERNEL)
#undef PORTABLE_KERNEL
};

// Restores the unit in force when the test started.
class VectorPaths : public ::testing::Test {
  protected:
    void TearDown() override { portable::simd::gVectorUnit.store(saved_); }
    int saved_ = portable::simd::gVectorUnit.load();
};

// A value of one of several kinds: ordinary, tiny (products and sums in the
// subnormal range), huge (sums that overflow), signed zeros, infinities and
// NaN, or exact powers of two that make large terms cancel.
float valueOfKind(std::mt19937& rng, int kind) {
    std::uniform_real_distribution<float> unit(-1.0f, 1.0f);
    switch (kind) {
    case 0:
        return unit(rng);
    case 1:
        return std::ldexp(unit(rng), static_cast<int>(rng() % 81) - 40);
    case 2:
        return std::ldexp(unit(rng), -60 - static_cast<int>(rng() % 20));
    case 3:
        return std::ldexp(unit(rng), 60 + static_cast<int>(rng() % 4));
    case 4: {
        const float specials[] = {0.0f, -0.0f, INFINITY, -INFINITY, NAN, 1.0f, -1.0f};
        return rng() % 4 ? unit(rng) : specials[rng() % 7];
    }
    default:
        return std::ldexp(rng() % 2 ? 1.0f : -1.0f, static_cast<int>(rng() % 50) - 25);
    }
}

// A NaN a kernel computed (not the sentinel of an unwritten float).
bool isComputedNan(uint32_t bits) {
    return (bits & 0x7FFFFFFFu) > 0x7F800000u && bits != GuardedOutput::kSentinel;
}

// Every entry's kernel on SSE2 and on each wider unit the processor runs, on
// the same blocks: the same bits in every float of the output block and its
// guards. Which NaN
// comes out where two meet is excused: the compiler may swap the operands of
// an addition or a multiplication, and IEEE arithmetic does not fix the
// payload either.
TEST_F(VectorPaths, WiderUnitsGiveTheBitsOfSse2) {
    const VectorUnit best = portable::simd::bestVectorUnit();
    if (best == portable::simd::kSse2) GTEST_SKIP() << "processor lacks AVX";
    std::mt19937 rng(6464);
    for (int trial = 0; trial < 240; ++trial) {
        const int kind = trial % 6;
        SCOPED_TRACE("seed 6464, trial " + std::to_string(trial) + ", kind " + std::to_string(kind));
        circuit::Problem p{};
        for (auto& row : p.m)
            for (float& v : row) v = valueOfKind(rng, kind);
        for (float& v : p.x) v = valueOfKind(rng, kind);
        for (const support::EntryRow& row : support::kEntries) {
            circuit::Blocks b;
            circuit::layoutFor(row.flags, p, b, valueOfKind(rng, kind));
            GuardedOutput out[3];
            for (int unit = portable::simd::kSse2; unit <= best; ++unit) {
                ASSERT_TRUE(portable::simd::useVectorUnit(static_cast<VectorUnit>(unit)));
                kPortable[row.index](b.coefficients, b.input, out[unit].data(), 3);
            }
            for (int unit = portable::simd::kAvx; unit <= best; ++unit)
                for (int i = -GuardedOutput::kGuard; i < SOA_OUTPUT_FLOATS + GuardedOutput::kGuard; ++i)
                    if (!(isComputedNan(out[0].bits(i)) && isComputedNan(out[unit].bits(i))))
                        ASSERT_EQ(out[0].bits(i), out[unit].bits(i))
                            << "entry " << row.index << ", unit " << unit << ", float " << i;
        }
    }
}

// The choice is made once and sticks; the hook refuses a unit the processor
// lacks and leaves the choice alone then.
TEST_F(VectorPaths, ChoiceFollowsTheProcessor) {
    const VectorUnit best = portable::simd::bestVectorUnit();
    EXPECT_EQ(best >= portable::simd::kAvx, __builtin_cpu_supports("avx") != 0);
    EXPECT_EQ(best == portable::simd::kAvx512, __builtin_cpu_supports("avx512f") != 0);
    ASSERT_TRUE(portable::simd::useVectorUnit(portable::simd::kSse2));
    EXPECT_EQ(portable::simd::kSse2, portable::simd::vectorUnit());
    EXPECT_EQ(best == portable::simd::kAvx512, portable::simd::useVectorUnit(portable::simd::kAvx512));
    EXPECT_EQ(best >= portable::simd::kAvx, portable::simd::useVectorUnit(portable::simd::kAvx));
    EXPECT_EQ(best >= portable::simd::kAvx ? portable::simd::kAvx : portable::simd::kSse2,
              portable::simd::vectorUnit());
}
#else
TEST(VectorPaths, NoneOnThisBuild) { GTEST_SKIP() << "the vector paths exist on x86-64 only"; }
#endif

} // namespace
