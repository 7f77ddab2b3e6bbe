// The five exports as a host sees them: constant answers, the entry records
// byte for byte, out-of-range indices and null pointers, and the repeat-count
// contract that holds for every entry.
#include <algorithm>
#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "dispatch.h"
#include "kernels.h"
#include "orders.h"
#include "support.h"

namespace {

using support::GuardedOutput;
using support::kEntries;

struct ExpectedEntry {
    std::vector<unsigned char> name;
    uint32_t flags;
};

std::vector<unsigned char> bytes(const char* s) {
    return std::vector<unsigned char>(s, s + std::strlen(s));
}

// The table as the host must read it, written here independently of the
// module's own table.
std::vector<ExpectedEntry> expectedTable() {
    return {
        {{0x43, 0x8C, 0xBE, 0x8C, 0xEA, 0x20, 0x53, 0x44, 0x4B, 0x83, 0x52, 0x81, 0x5B, 0x83, 0x68,
          0x28, 0x56, 0x43, 0x36, 0x50, 0x72, 0x6F, 0x20, 0x42, 0x6C, 0x65, 0x6E, 0x64, 0x29},
         0x001},
        {{0x43, 0x8C, 0xBE, 0x8C, 0xEA, 0x20, 0x88, 0xEA, 0x8E, 0x9E, 0x95, 0xCF, 0x90, 0x94, 0x8E,
          0x67, 0x97, 0x70},
         0x001},
        {{0x43, 0x8C, 0xBE, 0x8C, 0xEA, 0x20, 0x83, 0x8B, 0x81, 0x5B, 0x83, 0x76, 0x93, 0x57, 0x8A,
          0x4A},
         0x001},
        {bytes("x87"), 0x001},
        {bytes("x87 (with fxch)"), 0x001},
        {bytes("x87 (SOA)(OoO)"), 0x101},
        {bytes("3DNow!"), 0x006},
        {bytes("3DNow! (SOA)"), 0x106},
        {bytes("3DNow! (SOA)(OoO for K6)"), 0x106},
        {bytes("3DNow! (SOA)(OoO for K7)"), 0x106},
        {bytes("SSE (SOA)"), 0x108},
        {bytes("SSE (SOA)(OoO)"), 0x108},
        {bytes("MMX (16bit fixed)"), 0x003},
        {bytes("MMX (16bit fixed)(SOA)"), 0x103},
    };
}

TEST(Queries, ConstantAnswersOnEveryCall) {
    for (int call = 0; call < 3; ++call) {
        EXPECT_EQ(getCircuitSignature(), 2);
        EXPECT_EQ(getEntryCount(), 14);
    }
}

TEST(Queries, CreatorSignatureWritesExactly18Bytes) {
    std::array<unsigned char, 32> buffer;
    buffer.fill(0xFF);
    char* text = reinterpret_cast<char*>(buffer.data());
    EXPECT_EQ(getCreatorSignature(text), text);
    EXPECT_EQ(std::memcmp(buffer.data(), "Ostrel 2000/01/05", 18), 0); // NUL included
    for (size_t i = 18; i < buffer.size(); ++i) EXPECT_EQ(buffer[i], 0xFF) << "byte " << i;
    EXPECT_EQ(getCreatorSignature(nullptr), nullptr);
}

TEST(Queries, EntrySpecsByteForByte) {
    constexpr size_t kTail = 16;
    std::vector<unsigned char> buffer(ENTRY_COUNT * sizeof(EntrySpec) + kTail, 0xFF);
    getEntrySpecs(reinterpret_cast<EntrySpec*>(buffer.data()));

    const std::vector<ExpectedEntry> expected = expectedTable();
    ASSERT_EQ(expected.size(), size_t{ENTRY_COUNT});
    for (size_t e = 0; e < expected.size(); ++e) {
        SCOPED_TRACE("entry " + std::to_string(e));
        const unsigned char* record = buffer.data() + 68 * e;
        const std::vector<unsigned char>& name = expected[e].name;
        ASSERT_LT(name.size(), size_t{64});
        EXPECT_EQ(std::memcmp(record, name.data(), name.size()), 0);
        EXPECT_EQ(record[name.size()], 0) << "terminating NUL";
        for (size_t i = name.size() + 1; i < 64; ++i)
            EXPECT_EQ(record[i], 0xFF) << "name byte " << i << " after the NUL was written";
        const uint32_t flags = record[64] | record[65] << 8 | record[66] << 16 |
                               static_cast<uint32_t>(record[67]) << 24;
        EXPECT_EQ(flags, expected[e].flags);
        EXPECT_EQ(flags, kEntries[e].flags) << "test rows disagree with the module's table";
    }
    for (size_t i = 952; i < buffer.size(); ++i) EXPECT_EQ(buffer[i], 0xFF) << "byte " << i;
    getEntrySpecs(nullptr); // must simply return
}

TEST(RunEntry, IndicesOutsideTheTableTouchNothing) {
    std::vector<float> coefficients(SOA_COEFFICIENT_FLOATS, 1.5f), input(SOA_INPUT_FLOATS, 2.5f);
    const std::vector<float> coefficientsBefore = coefficients, inputBefore = input;
    for (uint32_t index : {14u, 15u, 0x7FFFFFFFu, 0x80000000u, 0xFFFFFFFFu}) {
        GuardedOutput out;
        runEntry(index, coefficients.data(), input.data(), out.data(), 1);
        EXPECT_TRUE(out.untouched()) << "index " << index;
    }
    EXPECT_EQ(coefficients, coefficientsBefore);
    EXPECT_EQ(input, inputBefore);
}

TEST(RunEntry, NullBlocksAreNeverDereferenced) {
    circuit::Blocks b{};
    GuardedOutput out;
    for (uint32_t index = 0; index < ENTRY_COUNT; ++index) {
        runEntry(index, nullptr, b.input, out.data(), 1);
        runEntry(index, b.coefficients, nullptr, out.data(), 1);
        runEntry(index, b.coefficients, b.input, nullptr, 1);
    }
    EXPECT_TRUE(out.untouched());
}

// A problem with distinct, order-sensitive values in every row.
circuit::Problem mixedProblem() {
    circuit::Problem p{};
    for (int i = 0; i < OUTPUT_COUNT; ++i)
        for (int j = 0; j < INPUT_COUNT; ++j)
            p.m[i][j] = static_cast<float>((i * 37 + j * 11) % 23 - 11) / 16.0f + 0.001f * j;
    for (int j = 0; j < INPUT_COUNT; ++j) p.x[j] = static_cast<float>((j * 7) % 13 - 6) / 8.0f;
    return p;
}

class EveryEntry : public ::testing::TestWithParam<support::EntryRow> {};

// Every kernel of an entry: the C++ twin and, where the build has one, the
// hand-written kernel.
#define TEST_TWIN(index, stem, name, flags, native) &portable::kernel##stem,
constexpr EntryKernel kTwins[ENTRY_COUNT] = {CIRCUIT_ENTRIES(TEST_TWIN)};
#undef TEST_TWIN
#if CIRCUIT_NATIVE_KERNELS
#define TEST_NATIVE(index, stem, name, flags, native) CIRCUIT_NATIVE_KERNEL_##native(stem),
constexpr EntryKernel kNatives[ENTRY_COUNT] = {CIRCUIT_ENTRIES(TEST_NATIVE)};
#undef TEST_NATIVE
#else
constexpr EntryKernel kNatives[ENTRY_COUNT] = {};
#endif

// runEntry filters these counts out, and so must each kernel, called
// directly; the hand-written one where this processor runs it.
TEST_P(EveryEntry, CountZeroOrNegativeLeavesOutputUntouched) {
    const support::EntryRow row = GetParam();
    circuit::Blocks b;
    circuit::layoutFor(row.flags, mixedProblem(), b, 0.0f);
    const EntryFlags needed = row.flags & ENTRY_EXTENSION_MASK;
    const bool runsNative = kNatives[row.index] && (circuit::cpuExtensions() & needed) == needed;
    for (int32_t count : {0, -1, INT32_MIN}) {
        GuardedOutput viaRunEntry, twin, native;
        runEntry(row.index, b.coefficients, b.input, viaRunEntry.data(), count);
        kTwins[row.index](b.coefficients, b.input, twin.data(), count);
        if (runsNative) kNatives[row.index](b.coefficients, b.input, native.data(), count);
        EXPECT_TRUE(viaRunEntry.untouched()) << "runEntry, count " << count;
        EXPECT_TRUE(twin.untouched()) << "C++ twin, count " << count;
        EXPECT_TRUE(native.untouched()) << "hand-written kernel, count " << count;
    }
}

TEST_P(EveryEntry, RepeatedRunsWriteTheSameBitsAndOnlyTheirOwnFloats) {
    const support::EntryRow row = GetParam();
    const circuit::Problem p = mixedProblem();
    GuardedOutput once, many;
    support::runProblem(row.index, p, once, 1);
    support::runProblem(row.index, p, many, 1000);
    // SSE entries store whole groups of four and so write the two pad floats.
    const int written = (row.flags & ENTRY_SSE) ? SOA_OUTPUT_FLOATS : OUTPUT_COUNT;
    EXPECT_TRUE(once.onlyWrote(written));
    EXPECT_TRUE(many.onlyWrote(written));
    for (int i = 0; i < written; ++i) {
        EXPECT_TRUE(once.written(i)) << "output " << i;
        EXPECT_SAME_BITS(once[i], many[i]) << "output " << i;
    }
}

// The kernel chosen for this processor and the portable kernel agree bit for
// bit; on builds without hand-written kernels both are the same function.
TEST_P(EveryEntry, SelectedKernelMatchesPortableKernel) {
    const support::EntryRow row = GetParam();
    const circuit::Problem p = mixedProblem();
    GuardedOutput selected, portable;
    support::runProblem(row.index, p, selected, 3);
    circuit::selectKernels(0);
    support::runProblem(row.index, p, portable, 3);
    circuit::selectKernels(circuit::cpuExtensions());
    for (int i = 0; i < SOA_OUTPUT_FLOATS; ++i) EXPECT_SAME_BITS(portable[i], selected[i]) << i;
}

// Hand-built vectors on which orders of summation part. Most rows hold 2^60,
// -2^60 and 1 at three terms: the 1 survives only where it is added after the
// two large terms have met. The others show where sums are rounded and what a
// sum starts from.
std::vector<std::pair<std::string, circuit::Problem>> orderVectors() {
    constexpr float kBig = 1152921504606846976.0f; // 2^60
    std::vector<std::pair<std::string, circuit::Problem>> list;
    // Rows (a, b, c): 2^60 at term a, -2^60 at b, 1 at c; 18 to a problem.
    auto cancellation = [&list, kBig](const std::string& what, const std::vector<std::array<int, 3>>& rows) {
        for (size_t first = 0; first < rows.size(); first += OUTPUT_COUNT) {
            circuit::Problem p{};
            for (float& v : p.x) v = 1.0f;
            for (int i = 0; i < OUTPUT_COUNT; ++i) {
                const std::array<int, 3>& r = rows[std::min(first + i, rows.size() - 1)];
                p.m[i][r[0]] = kBig;
                p.m[i][r[1]] = -kBig;
                p.m[i][r[2]] = 1.0f;
            }
            list.push_back({what, p});
        }
    };
    // For each entry and each two neighbouring terms u, v of its written
    // order: u cancels the term written before it, then v comes.
    for (int e = 0; e < 12; ++e) {
        const orders::Order o = orders::entryOrder(e);
        std::vector<int> w;
        o.written(o.root, w);
        std::vector<std::array<int, 3>> rows;
        for (size_t k = 1; k + 1 < w.size(); ++k)
            rows.push_back({o.nodes[w[k]].term, o.nodes[w[k - 1]].term, o.nodes[w[k + 1]].term});
        cancellation("neighbours in entry " + std::to_string(e) + "'s order", rows);
    }
    auto uniform = [&list](const std::string& what, std::initializer_list<std::pair<int, float>> m, float x) {
        float row[INPUT_COUNT] = {};
        for (auto [j, v] : m) row[j] = v;
        list.push_back({what, support::uniformRows(row, x)});
    };
    uniform("1 + 2^-24 + 2^-24", {{0, 1.0f}, {1, 5.9604644775390625e-08f}, {2, 5.9604644775390625e-08f}}, 1.0f);
    uniform("every product -0.0", {}, -1.0f);
    // p = (1 + 2^-12)^2 = 1 + 2^-11 + 2^-24, which rounds to 1 + 2^-11 as a
    // float, and q = -(1 + 2^-11): p + q is 0 or 2^-24, by whether p is
    // rounded first; in p, q, q, p the sum q + p shows it again.
    const float a = 1.0f + 1.0f / 4096.0f, q = -(1.0f + 1.0f / 2048.0f);
    for (bool again : {false, true}) {
        circuit::Problem p = again ? support::uniformRows({a, q, q, a}, 1.0f) : support::uniformRows({a, q}, 1.0f);
        p.x[0] = p.x[3] = a;
        list.push_back({again ? "p, q, q, p" : "p, q", p});
    }
    return list;
}

// The vectors give the entry's own order, and each change of that order that
// can be named (orders.h) gives something else on at least one of them.
TEST_P(EveryEntry, HandBuiltVectorsTellItsOrderFromEveryNamedChange) {
    const support::EntryRow row = GetParam();
    if (row.index >= 12) return; // wrapping integer sums: no order to tell apart
    const orders::Order order = orders::entryOrder(static_cast<int>(row.index));
    const auto vectors = orderVectors();
    for (const auto& [what, p] : vectors) {
        GuardedOutput out;
        support::runProblem(row.index, p, out);
        for (int i = 0; i < OUTPUT_COUNT; ++i)
            EXPECT_SAME_BITS(orders::evaluate(order, p.m[i], p.x), out[i]) << what << ", output " << i;
    }
    for (const auto& [change, changed] : orders::namedChanges(static_cast<int>(row.index))) {
        bool told = false;
        for (const auto& [what, p] : vectors)
            for (int i = 0; i < OUTPUT_COUNT && !told; ++i)
                told = support::bitsOf(orders::evaluate(order, p.m[i], p.x)) !=
                       support::bitsOf(orders::evaluate(changed, p.m[i], p.x));
        EXPECT_TRUE(told) << "no vector tells the order from: " << change;
    }
}

INSTANTIATE_TEST_SUITE_P(Table, EveryEntry, ::testing::ValuesIn(kEntries),
                         [](const ::testing::TestParamInfo<support::EntryRow>& info) {
                             char name[32];
                             std::snprintf(name, sizeof name, "E%02u_%s", info.param.index,
                                           info.param.stem);
                             return std::string(name);
                         });

} // namespace
