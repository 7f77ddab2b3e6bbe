// Entries 12 and 13 (16-bit fixed point): hand-checked results, the limits
// of the float-to-word conversion, the floor of each product, wrap-around,
// the lane rule of the SOA entry, what is written, overlapping blocks,
// concurrent calls, and random problems against a plain statement of the
// arithmetic written here. Every case runs on each implementation the build
// has: the C++ twins, the kernels runEntry selected and, on the i686 build,
// the hand-written kernels called directly.
#include <atomic>
#include <cmath>
#include <limits>
#include <random>
#include <thread>
#include <vector>

#if defined(__x86_64__)
#include <xmmintrin.h>
#endif

#include "dispatch.h"
#include "kernels.h"
#include "support.h"

namespace {

using support::GuardedOutput;

constexpr uint32_t kAosEntry = 12;
constexpr uint32_t kSoaEntry = 13;

struct MmxKernels {
    const char* name;
    EntryKernel aos; // entry 12
    EntryKernel soa; // entry 13
    bool native;     // hand-written: needs MMX on this processor
};

void selectedAos(const float* c, const float* x, float* y, int32_t n) { runEntry(kAosEntry, c, x, y, n); }
void selectedSoa(const float* c, const float* x, float* y, int32_t n) { runEntry(kSoaEntry, c, x, y, n); }

const MmxKernels kImplementations[] = {
    {"Portable", &portable::kernelMmxFixed, &portable::kernelMmxFixedSoa, false},
    {"Selected", &selectedAos, &selectedSoa, false},
#if CIRCUIT_NATIVE_KERNELS
    {"Native", &kernelMmxFixed, &kernelMmxFixedSoa, true},
#endif
};

// --- The arithmetic, stated plainly ------------------------------------------

// v * factor to the nearest integer, ties to even; -32768 for anything that
// does not fit in a word, NaN and infinities.
int referenceWord(float v, double factor) {
    const double p = static_cast<double>(v) * factor;
    if (std::isnan(p) || std::isinf(p)) return -32768;
    const double r = std::nearbyint(p); // the tests run in the default rounding mode
    return (r < -32768.0 || r > 32767.0) ? -32768 : static_cast<int>(r);
}

// Output i from the words of row i and of the inputs it meets.
float referenceOutput(const float (&c)[INPUT_COUNT], const float (&x)[INPUT_COUNT]) {
    long long sum = 0;
    for (int j = 0; j < INPUT_COUNT; ++j) {
        const double product = static_cast<double>(referenceWord(c[j], 1024.0)) * referenceWord(x[j], 32768.0);
        sum += static_cast<long long>(std::floor(product / 65536.0)); // exact in double
    }
    long long word = ((sum % 65536) + 65536) % 65536;
    if (word >= 32768) word -= 65536;
    return static_cast<float>(word) / 512.0f;
}

float referenceOutput(const circuit::Problem& p, int i) { return referenceOutput(p.m[i], p.x); }

// --- Running a problem ---------------------------------------------------------

class MmxFixed : public ::testing::TestWithParam<MmxKernels> {
  protected:
    void SetUp() override {
        if (GetParam().native && !(circuit::cpuExtensions() & ENTRY_MMX))
            GTEST_SKIP() << "this processor has no MMX";
    }
    EntryKernel kernel(uint32_t entry) const { return entry == kAosEntry ? GetParam().aos : GetParam().soa; }

    // Lays p out for `entry` and runs it; `pad` fills the pad coefficients.
    void run(uint32_t entry, const circuit::Problem& p, GuardedOutput& out, int32_t count = 1,
             float pad = 0.0f) const {
        circuit::Blocks b;
        circuit::layoutFor(support::kEntries[entry].flags, p, b, pad);
        kernel(entry)(b.coefficients, b.input, out.data(), count);
    }

    // Both entries on p: outputs 0..17 as the reference has them, nothing else written.
    void expectReference(const circuit::Problem& p, int32_t count = 1, float pad = 0.0f) const {
        for (uint32_t entry : {kAosEntry, kSoaEntry}) {
            GuardedOutput out;
            run(entry, p, out, count, pad);
            for (int i = 0; i < OUTPUT_COUNT; ++i)
                ASSERT_EQ(support::bitsOf(referenceOutput(p, i)), out.bits(i))
                    << "entry " << entry << " output " << i << ": expected "
                    << support::describe(referenceOutput(p, i)) << ", got " << support::describe(out[i]);
            ASSERT_TRUE(out.onlyWrote(OUTPUT_COUNT)) << "entry " << entry;
        }
    }
};

void PrintTo(const MmxKernels& k, std::ostream* os) { *os << k.name; }

std::string implementationName(const ::testing::TestParamInfo<MmxKernels>& info) { return info.param.name; }

INSTANTIATE_TEST_SUITE_P(Implementations, MmxFixed, ::testing::ValuesIn(kImplementations), implementationName);

circuit::Problem uniform(float coefficient, float input) {
    circuit::Problem p{};
    for (auto& row : p.m)
        for (float& v : row) v = coefficient;
    for (float& v : p.x) v = input;
    return p;
}

// --- Hand-checked results --------------------------------------------------------

TEST_P(MmxFixed, WorkedExamples) {
    struct Example {
        float coefficient, input, output;
    };
    const Example examples[] = {
        {1.0f, 0.5f, 18.0f},                // 1024 x 16384 -> 256, 36 x 256 = 9216
        {2.0f, 0.9f, -63.2421875f},         // 2048 x 29491 -> 921, 33156 wraps to -32380
        {0.0009765625f, -0.5f, -0.0703125f} // 1 x -16384 -> floor(-0.25) = -1, 36 x -1
    };
    for (const Example& e : examples) {
        SCOPED_TRACE("coefficients " + std::to_string(e.coefficient) + ", inputs " + std::to_string(e.input));
        for (uint32_t entry : {kAosEntry, kSoaEntry}) {
            GuardedOutput out;
            run(entry, uniform(e.coefficient, e.input), out);
            for (int i = 0; i < OUTPUT_COUNT; ++i) EXPECT_SAME_BITS(e.output, out[i]) << "entry " << entry << " output " << i;
        }
    }
}

// Row i holds one coefficient, at column i, against input i: output i is the
// one product of the two words, / 512.
struct SingleProduct {
    float coefficient, input, output;
    const char* what;
};

TEST_P(MmxFixed, ConversionLimitsAndProductFloor) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    const float belowInputLimit = std::nextafter(0.9999847412109375f, 0.0f);
    const SingleProduct cases[] = {
        // Inputs against coefficient 1.0 (word 1024): product floor(w / 64).
        {1.0f, 0.9999847412109375f, -1.0f, "input 32767.5/32768 rounds to 32768: -32768"},
        {1.0f, belowInputLimit, 0.998046875f, "input just below it: 32767 -> 511"},
        {1.0f, 1.0f, -1.0f, "input 1.0: -32768"},
        {1.0f, -1.0f, -1.0f, "input -1.0: -32768"},
        {1.0f, -1.5f, -1.0f, "input below -1.0: -32768"},
        {1.0f, nan, -1.0f, "NaN input: -32768"},
        {1.0f, inf, -1.0f, "+inf input: -32768"},
        {1.0f, -inf, -1.0f, "-inf input: -32768"},
        // Coefficients against input 0.5 (word 16384): product floor(w / 4).
        {31.99951171875f, 0.5f, -16.0f, "coefficient 32767.5/1024 rounds to 32768: -32768"},
        {31.9990234375f, 0.5f, 15.998046875f, "coefficient 32767/1024: 8191"},
        {32.0f, 0.5f, -16.0f, "coefficient 32.0 acts as -32.0"},
        {-32.0f, 0.5f, -16.0f, "coefficient -32.0"},
        {nan, 0.5f, -16.0f, "NaN coefficient: -32768"},
        {-inf, 0.5f, -16.0f, "-inf coefficient: -32768"},
        // Ties to even, against coefficient -32.0 (word -32768): product floor(-w / 2).
        {-32.0f, 0.5f / 32768, 0.0f, "input word 0.5 -> 0"},
        {-32.0f, 2.5f / 32768, -1.0f / 512, "input word 2.5 -> 2"},
        {-32.0f, -1.5f / 32768, 1.0f / 512, "input word -1.5 -> -2"},
        // The floor of the product.
        {0.0009765625f, 0.5f, 0.0f, "tiny positive product (1 x 16384) adds 0"},
    };
    static_assert(sizeof cases / sizeof cases[0] == OUTPUT_COUNT, "one case per row");
    circuit::Problem p{};
    for (int i = 0; i < OUTPUT_COUNT; ++i) {
        p.m[i][i] = cases[i].coefficient;
        p.x[i] = cases[i].input;
    }
    for (uint32_t entry : {kAosEntry, kSoaEntry}) {
        GuardedOutput out;
        run(entry, p, out);
        for (int i = 0; i < OUTPUT_COUNT; ++i)
            EXPECT_SAME_BITS(cases[i].output, out[i]) << "entry " << entry << ": " << cases[i].what;
    }
    // A tiny negative product adds -1/512 in every output.
    circuit::Problem negative = uniform(0.0f, -0.5f);
    for (auto& row : negative.m) row[7] = 0.0009765625f;
    for (uint32_t entry : {kAosEntry, kSoaEntry}) {
        GuardedOutput out;
        run(entry, negative, out);
        for (int i = 0; i < OUTPUT_COUNT; ++i) EXPECT_SAME_BITS(-1.0f / 512, out[i]) << "entry " << entry;
    }
}

TEST_P(MmxFixed, SoaOutputTakesLaneIMod4) {
    // Lane l of every group holds (l + 1) / 8, word 4096 (l + 1); coefficient
    // 1.0 gives 64 (l + 1) per product, 36 of them: output i = 4.5 (i mod 4 + 1).
    circuit::Blocks b;
    circuit::layoutSoa(uniform(1.0f, 0.0f), b.coefficients, b.input, 1.0f);
    for (int j = 0; j < INPUT_COUNT; ++j)
        for (int lane = 0; lane < SOA_LANES; ++lane) b.input[SOA_LANES * j + lane] = 0.125f * (lane + 1);
    GuardedOutput out;
    GetParam().soa(b.coefficients, b.input, out.data(), 1);
    for (int i = 0; i < OUTPUT_COUNT; ++i) EXPECT_SAME_BITS(4.5f * (i % 4 + 1), out[i]) << "output " << i;
    EXPECT_TRUE(out.onlyWrote(OUTPUT_COUNT)) << "results 18 and 19 stay in the scratch";
}

// --- Repeats, overlap, concurrency -------------------------------------------------

circuit::Problem randomProblem(std::mt19937& rng) {
    std::uniform_real_distribution<float> coefficient(-32.0f, 32.0f), input(-1.0f, 1.0f);
    circuit::Problem p{};
    for (auto& row : p.m)
        for (float& v : row) v = coefficient(rng);
    for (float& v : p.x) v = input(rng);
    return p;
}

TEST_P(MmxFixed, CountOneAndCountThousandGiveTheSameOutput) {
    std::mt19937 rng(1213);
    const circuit::Problem p = randomProblem(rng);
    for (uint32_t entry : {kAosEntry, kSoaEntry}) {
        GuardedOutput once, many;
        run(entry, p, once, 1, 3.0f);
        run(entry, p, many, 1000, 3.0f);
        for (int i = 0; i < OUTPUT_COUNT; ++i) EXPECT_EQ(once.bits(i), many.bits(i)) << "entry " << entry << " output " << i;
        EXPECT_TRUE(once.onlyWrote(OUTPUT_COUNT));
        EXPECT_TRUE(many.onlyWrote(OUTPUT_COUNT));
    }
}

// The output block laid over the input or the coefficients at several
// offsets: every float is read before any is written.
TEST_P(MmxFixed, OutputMayOverlapInputAndCoefficients) {
    std::mt19937 rng(4711);
    const circuit::Problem p = randomProblem(rng);
    for (uint32_t entry : {kAosEntry, kSoaEntry}) {
        const bool soa = entry == kSoaEntry;
        const int coefficientFloats = soa ? SOA_COEFFICIENT_FLOATS : AOS_COEFFICIENT_FLOATS;
        const int inputFloats = soa ? SOA_INPUT_FLOATS : AOS_INPUT_FLOATS;
        // Coefficients then input, end to end in one block.
        std::vector<float> block(coefficientFloats + inputFloats);
        circuit::Blocks b;
        circuit::layoutFor(support::kEntries[entry].flags, p, b, -5.0f);
        auto reset = [&] {
            std::copy(b.coefficients, b.coefficients + coefficientFloats, block.begin());
            std::copy(b.input, b.input + inputFloats, block.begin() + coefficientFloats);
        };
        GuardedOutput separate;
        reset();
        kernel(entry)(block.data(), block.data() + coefficientFloats, separate.data(), 1);
        for (int offset : {0, 5, coefficientFloats - 9, coefficientFloats, coefficientFloats + inputFloats - 18}) {
            reset();
            kernel(entry)(block.data(), block.data() + coefficientFloats, block.data() + offset, 2);
            for (int i = 0; i < OUTPUT_COUNT; ++i)
                EXPECT_EQ(separate.bits(i), support::bitsOf(block[offset + i]))
                    << "entry " << entry << ", output at float " << offset << ", output " << i;
        }
    }
}

// Each call has its own scratch: entries 12 and 13 on two threads at once,
// each on its own problem, keep giving their own results.
TEST_P(MmxFixed, EntriesRunConcurrentlyOnTwoThreads) {
    std::mt19937 rng(90210);
    const circuit::Problem problems[2] = {randomProblem(rng), randomProblem(rng)};
    uint32_t expected[2][OUTPUT_COUNT];
    for (int which = 0; which < 2; ++which)
        for (int i = 0; i < OUTPUT_COUNT; ++i) expected[which][i] = support::bitsOf(referenceOutput(problems[which], i));
    std::atomic<int> wrong[2] = {{0}, {0}};
    std::atomic<int> ready{0};
    auto worker = [&](int which) {
        circuit::setX87DoublePrecision();
        const uint32_t entry = which == 0 ? kAosEntry : kSoaEntry;
        circuit::Blocks b;
        circuit::layoutFor(support::kEntries[entry].flags, problems[which], b);
        ++ready;
        while (ready.load() < 2) std::this_thread::yield(); // start together
        for (int call = 0; call < 2000; ++call) {
            float out[SOA_OUTPUT_FLOATS];
            kernel(entry)(b.coefficients, b.input, out, 5);
            for (int i = 0; i < OUTPUT_COUNT; ++i)
                if (support::bitsOf(out[i]) != expected[which][i]) {
                    ++wrong[which];
                    break;
                }
        }
    };
    std::thread aos(worker, 0), soa(worker, 1);
    aos.join();
    soa.join();
    EXPECT_EQ(0, wrong[0].load()) << "calls of entry 12 with a wrong result";
    EXPECT_EQ(0, wrong[1].load()) << "calls of entry 13 with a wrong result";
}

// --- Random problems ----------------------------------------------------------------

// A value drawn mostly from the working range, sometimes from its edges.
float edgyValue(std::mt19937& rng, float limit) {
    const float specials[] = {limit, -limit, limit * (32767.5f / 32768), limit * (32767.0f / 32768),
                              0.0f, -0.0f, limit * 2, 1e-30f, -1e-30f,
                              std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity()};
    std::uniform_int_distribution<int> pick(0, 40);
    const int k = pick(rng);
    if (k < static_cast<int>(sizeof specials / sizeof specials[0])) return specials[k];
    std::uniform_real_distribution<float> value(-limit, limit);
    return value(rng);
}

TEST_P(MmxFixed, RandomProblemsMatchTheArithmetic) {
    for (unsigned seed = 1; seed <= 40; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        std::mt19937 rng(seed);
        circuit::Problem p = randomProblem(rng);
        if (seed % 2 == 0) { // every fourth value from the edges
            for (auto& row : p.m)
                for (float& v : row) v = (rng() % 4 == 0) ? edgyValue(rng, 32.0f) : v;
            for (float& v : p.x) v = (rng() % 4 == 0) ? edgyValue(rng, 1.0f) : v;
        }
        expectReference(p, 1 + static_cast<int32_t>(seed % 3), seed % 5 == 0 ? 17.0f : 0.0f);
        if (HasFatalFailure()) return;
        // The two layouts give the same bits.
        GuardedOutput aos, soa;
        run(kAosEntry, p, aos);
        run(kSoaEntry, p, soa, 1, -1.0f);
        for (int i = 0; i < OUTPUT_COUNT; ++i) ASSERT_EQ(aos.bits(i), soa.bits(i)) << "output " << i;
    }
}

#if defined(__x86_64__)
// The 64-bit C++ kernels convert with SSE2 under a rounding mode of their
// own: a caller's MXCSR set to round down, flush to zero and treat denormals
// as zero changes no word, and is left as the caller set it.
TEST_P(MmxFixed, CallersSseRoundingChangesNothing) {
    std::mt19937 rng(12);
    const circuit::Problem p = randomProblem(rng);
    const unsigned int odd = 0x1F80u | 0x2000u | 0x8000u | 0x0040u; // round down, FTZ, DAZ
    for (uint32_t entry : {kAosEntry, kSoaEntry}) {
        GuardedOutput plain, rounded;
        run(entry, p, plain);
        const unsigned int saved = _mm_getcsr();
        _mm_setcsr(odd);
        run(entry, p, rounded);
        const unsigned int after = _mm_getcsr();
        _mm_setcsr(saved);
        EXPECT_EQ(odd, after & ~0x3Fu) << "entry " << entry << " left MXCSR changed";
        for (int i = 0; i < OUTPUT_COUNT; ++i) ASSERT_EQ(plain.bits(i), rounded.bits(i)) << "entry " << entry << " output " << i;
    }
}
#endif

#if CIRCUIT_NATIVE_KERNELS && defined(__i386__)
// On a processor with MMX runEntry uses the hand-written kernels, and they
// leave the x87 register stack empty (EMMS done, every conversion popped) and
// the control word as they found it.
TEST(MmxFixedNative, SelectedAndLeaveTheX87StateClean) {
    if (!(circuit::cpuExtensions() & ENTRY_MMX)) GTEST_SKIP() << "this processor has no MMX";
    EXPECT_EQ(&kernelMmxFixed, circuit::selectedKernel(kAosEntry));
    EXPECT_EQ(&kernelMmxFixedSoa, circuit::selectedKernel(kSoaEntry));
    std::mt19937 rng(7);
    const circuit::Problem p = randomProblem(rng);
    for (uint32_t entry : {kAosEntry, kSoaEntry}) {
        circuit::Blocks b;
        circuit::layoutFor(support::kEntries[entry].flags, p, b);
        GuardedOutput out;
        uint16_t before = 0;
        asm volatile("fnstcw %0" : "=m"(before));
        (entry == kAosEntry ? &kernelMmxFixed : &kernelMmxFixedSoa)(b.coefficients, b.input, out.data(), 3);
        uint32_t env[7] = {};
        asm volatile("fnstenv %0\n\tfldenv %0" : "+m"(env));
        EXPECT_EQ(before, env[0] & 0xFFFFu) << "entry " << entry << ": control word";
        EXPECT_EQ(0xFFFFu, env[2] & 0xFFFFu) << "entry " << entry << ": tag word (all registers empty)";
    }
}
#endif

} // namespace
