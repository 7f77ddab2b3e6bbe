// Entries 0 to 2: each keeps its own summation order and rounding, shown on
// vectors where the three orders disagree and on random problems checked
// against a plain statement of each order.
#include <cmath>
#include <random>
#include <vector>

#include "support.h"

namespace {

using support::GuardedOutput;

constexpr float kTwo60 = 1152921504606846976.0f; // 2^60
constexpr float kTwoMinus24 = 5.9604644775390625e-08f;

// All 18 outputs of `index` on the problem whose every row is m and every input x.
void expectAllOutputs(uint32_t index, const float (&m)[INPUT_COUNT], float x, float expected) {
    GuardedOutput out;
    support::runProblem(index, support::uniformRows(m, x), out);
    for (int i = 0; i < OUTPUT_COUNT; ++i) EXPECT_SAME_BITS(expected, out[i]) << "entry " << index << " output " << i;
    EXPECT_TRUE(out.onlyWrote(OUTPUT_COUNT));
}

TEST(PortableOrders, AbsorptionOnlyWhereEachPartialSumIsStored) {
    float m[INPUT_COUNT] = {1.0f, kTwoMinus24, kTwoMinus24};
    expectAllOutputs(0, m, 1.0f, 1.0f);              // 1 + 2^-24 rounds back to 1 at every store
    expectAllOutputs(1, m, 1.0f, 1.00000012f);       // 1 + 2^-23 in double, then stored
    expectAllOutputs(2, m, 1.0f, 1.00000012f);
}

TEST(PortableOrders, CancellationDependsOnWhereProducts35And0Go) {
    float m[INPUT_COUNT] = {};
    m[1] = kTwo60;
    m[34] = -kTwo60;
    m[35] = 1.0f;
    expectAllOutputs(0, m, 1.0f, 1.0f);
    expectAllOutputs(1, m, 1.0f, 1.0f);
    expectAllOutputs(2, m, 1.0f, 0.0f); // 2^60 + 1 loses the 1 in double precision
    // Entry 2 adds p0 after p33 and before p34: -2^60 and 2^60 cancel, then
    // the 1 comes. With p34 ahead of p0 it would be lost against -2^60.
    float n[INPUT_COUNT] = {};
    n[0] = kTwo60;
    n[33] = -kTwo60;
    n[34] = 1.0f;
    expectAllOutputs(2, n, 1.0f, 1.0f);
}

TEST(PortableOrders, SignOfZeroFollowsTheStartValue) {
    float m[INPUT_COUNT];
    for (float& v : m) v = 1.0f;
    expectAllOutputs(0, m, -0.0f, 0.0f);  // sums start at +0.0
    expectAllOutputs(1, m, -0.0f, 0.0f);
    expectAllOutputs(2, m, -0.0f, -0.0f); // starts from p35 + p1 = -0.0
}

// The three orders stated plainly. Products of floats are exact in double;
// `stored` is applied where the entry stores to single precision.
float stored(double v) {
    volatile float f = static_cast<float>(v); // forces the rounding on x87 builds too
    return f;
}

float referenceOutput(uint32_t index, const circuit::Problem& p, int i) {
    auto product = [&](int j) { return static_cast<double>(p.m[i][j]) * p.x[j]; };
    if (index == 0) {
        float y = 0.0f;
        for (int j = 0; j < INPUT_COUNT; ++j) y = stored(product(j) + y);
        return y;
    }
    std::vector<int> order;
    double sum;
    if (index == 1) {
        sum = 0.0;
        for (int j = 0; j < INPUT_COUNT; ++j) order.push_back(j);
    } else {
        sum = product(35) + product(1);
        for (int j = 2; j <= 33; ++j) order.push_back(j);
        order.push_back(0);
        order.push_back(34);
    }
    for (int j : order) sum = sum + product(j);
    return stored(sum);
}

TEST(PortableOrders, RandomProblemsFollowEachOrder) {
    std::mt19937 rng(20001);
    std::uniform_real_distribution<float> mantissa(-1.0f, 1.0f);
    std::uniform_int_distribution<int> exponent(-40, 40);
    for (int trial = 0; trial < 300; ++trial) {
        SCOPED_TRACE("trial " + std::to_string(trial) + " (seed 20001)");
        circuit::Problem p{};
        // Wide exponents make the orders disagree in the last bits or more.
        const int spread = trial % 3 == 0 ? 0 : (trial % 3 == 1 ? 8 : 40);
        for (auto& row : p.m)
            for (float& v : row) v = std::ldexp(mantissa(rng), exponent(rng) % (spread + 1));
        for (float& v : p.x) v = std::ldexp(mantissa(rng), exponent(rng) % (spread + 1));
        for (uint32_t index = 0; index <= 2; ++index) {
            GuardedOutput out;
            support::runProblem(index, p, out);
            for (int i = 0; i < OUTPUT_COUNT; ++i)
                ASSERT_EQ(support::bitsOf(referenceOutput(index, p, i)), support::bitsOf(out[i]))
                    << "entry " << index << " output " << i;
        }
    }
}

} // namespace
