// Which of the caller's floating-point settings each entry follows. Every
// entry runs under MXCSR at its default, with DAZ|FTZ and in each rounding
// mode, and (entries 6 to 11) under each x87 rounding control, on a problem
// whose operands, products and sums reach the subnormal range:
//   - entries 10 and 11 follow MXCSR: their bits equal a plain SSE statement
//     of their chains under the same setting, from aligned and misaligned
//     blocks alike;
//   - every other entry gives the bits of the default setting.
// Entries 0 to 5, 12 and 13 compute or convert on the x87 under the caller's
// control word (53-bit precision, to nearest: their precondition), so x87
// rounding is not swept for them. After every call MXCSR's control bits and
// the x87 control word are what the caller set, and the exception flags
// (cleared before the call) are those the call's arithmetic raised: those of
// the plain SSE chains under the same MXCSR for entries 10 and 11, those of
// the default setting for every other entry, so that a kernel which changes
// a setting and restores the caller's cannot drop the flags it raised.
//
// Each entry runs through runEntry and, on the i686 build, also as its C++
// code, which processors without the entry's extension run. That code of
// entries 10 and 11 serves processors without SSE, hence without MXCSR.
#include <string>
#include <vector>

#include <xmmintrin.h>

#include "dispatch.h"
#include "kernels.h"
#include "support.h"
#include "tiny_problem.h"

namespace {

using support::bitsOf;

constexpr uint32_t kMxcsrDefault = 0x1F80; // exceptions masked, to nearest, no flushing
constexpr uint32_t kMxcsrControl = ~0x3Fu; // all but the sticky exception flags
constexpr uint16_t kX87Rounding = 0x0C00;

const struct Setting {
    const char* name;
    uint32_t mxcsr;    // bits added to kMxcsrDefault
    uint16_t rounding; // x87 rounding control
} kSettings[] = {
    {"MXCSR default", 0, 0},           {"MXCSR DAZ|FTZ", 0x8040, 0},   {"MXCSR toward -inf", 0x2000, 0},
    {"MXCSR toward +inf", 0x4000, 0},  {"MXCSR toward zero", 0x6000, 0}, {"x87 toward -inf", 0, 0x0400},
    {"x87 toward +inf", 0, 0x0800},    {"x87 toward zero", 0, 0x0C00},
};
constexpr size_t kSettingCount = sizeof kSettings / sizeof kSettings[0];

uint32_t mxcsr() {
    uint32_t v;
    __asm__ volatile("stmxcsr %0" : "=m"(v) : : "memory");
    return v;
}
void setMxcsr(uint32_t v) { __asm__ volatile("ldmxcsr %0" : : "m"(v) : "memory"); }
uint16_t x87Control() {
    uint16_t v;
    __asm__ volatile("fnstcw %0" : "=m"(v) : : "memory");
    return v;
}
void setX87Control(uint16_t v) { __asm__ volatile("fldcw %0" : : "m"(v) : "memory"); }

// The sticky exception flags of every floating-point unit the module may
// compute on, in one mask: invalid, denormal, divide by zero, overflow,
// underflow, inexact. MXCSR bits 0 to 5 and the x87 status word bits 0 to 5
// name the same six. (On aarch64 these two functions would read and clear
// FPSR's cumulative bits instead; nothing else here depends on the unit.)
constexpr uint32_t kExceptionFlags = 0x3F;
uint32_t exceptionFlags(bool sse) {
    uint16_t status;
    __asm__ volatile("fnstsw %0" : "=m"(status) : : "memory");
    return ((sse ? mxcsr() : 0) | status) & kExceptionFlags;
}
void clearExceptionFlags(bool sse) {
    if (sse) setMxcsr(mxcsr() & ~kExceptionFlags);
    __asm__ volatile("fnclex" : : : "memory");
}

struct Outputs {
    float y[SOA_OUTPUT_FLOATS];
};

// Entries 10 and 11 under the MXCSR in force: output i is one chain over the
// input groups from the first product, lane i mod 4, in SSE scalar operations.
__attribute__((target("sse"), noinline)) Outputs sseChains(const float* c, const float* x) {
    Outputs out;
    for (int i = 0; i < SOA_OUTPUT_FLOATS; ++i) {
        const int lane = i % SOA_LANES;
        __m128 sum = _mm_mul_ss(_mm_load_ss(c + i), _mm_load_ss(x + lane));
        for (int j = 1; j < INPUT_COUNT; ++j)
            sum = _mm_add_ss(sum, _mm_mul_ss(_mm_load_ss(c + SOA_ROW_FLOATS * j + i),
                                             _mm_load_ss(x + SOA_LANES * j + lane)));
        _mm_store_ss(out.y + i, sum);
    }
    return out;
}

std::string differences(const Outputs& expected, const Outputs& actual, int floats) {
    std::string text;
    for (int i = 0; i < floats; ++i)
        if (bitsOf(expected.y[i]) != bitsOf(actual.y[i]))
            text += "\n  y[" + std::to_string(i) + "] " + support::describe(actual.y[i]) + ", expected " +
                    support::describe(expected.y[i]);
    return text;
}

#define PORTABLE_KERNEL(index, stem, name, flags, native) &portable::kernel##stem,
const EntryKernel kPortable[ENTRY_COUNT] = {CIRCUIT_ENTRIES(PORTABLE_KERNEL)};
#undef PORTABLE_KERNEL

// Runs `kernel` (runEntry where null), count 3, on copies of the blocks, on
// 16-byte boundaries or shifted off them (coefficients by 1 float, input by 2,
// output by 3).
Outputs run(uint32_t index, EntryKernel kernel, const circuit::Blocks& b, bool shifted) {
    alignas(16) static float c[SOA_COEFFICIENT_FLOATS + 4], x[SOA_INPUT_FLOATS + 4], y[SOA_OUTPUT_FLOATS + 4];
    float* coefficients = c + (shifted ? 1 : 0);
    float* input = x + (shifted ? 2 : 0);
    float* output = y + (shifted ? 3 : 0);
    std::memcpy(coefficients, b.coefficients, sizeof b.coefficients);
    std::memcpy(input, b.input, sizeof b.input);
    if (kernel)
        kernel(coefficients, input, output, 3);
    else
        runEntry(index, coefficients, input, output, 3);
    Outputs out;
    std::memcpy(out.y, output, sizeof out.y);
    return out;
}

class CallerSettings : public ::testing::TestWithParam<support::EntryRow> {};

TEST_P(CallerSettings, BitsFollowOnlyTheEntrysRule) {
    const uint32_t index = GetParam().index;
    const bool sse = (circuit::cpuExtensions() & ENTRY_SSE) != 0;
    const bool soaSse = index == 10 || index == 11;
    const int floats = circuit::outputFloats(GetParam().flags);
    const uint16_t control = x87Control();
    const uint32_t callerMxcsr = sse ? mxcsr() : 0;
    circuit::Blocks b;
    circuit::layoutFor(GetParam().flags, tiny::problem(), b);

    Outputs sseReference[kSettingCount];
    uint32_t sseFlags[kSettingCount] = {};
    if (soaSse && sse) {
        for (size_t s = 0; s < kSettingCount; ++s) {
            setMxcsr(kMxcsrDefault | kSettings[s].mxcsr);
            clearExceptionFlags(sse);
            sseReference[s] = sseChains(b.coefficients, b.input);
            sseFlags[s] = exceptionFlags(sse);
        }
        setMxcsr(callerMxcsr);
        for (size_t s = 1; kSettings[s].mxcsr; ++s) // the data shows every MXCSR setting
            EXPECT_NE(differences(sseReference[0], sseReference[s], floats), "") << kSettings[s].name;
    }

    struct Runner {
        const char* name;
        EntryKernel kernel;
        bool followsMxcsr; // entries 10 and 11: computes with SSE
    };
    // With the hand-written kernels runEntry runs the C++ code where it chose
    // it. The C++ code computes with SSE (under the caller's MXCSR) on x86-64
    // and with the x87 unit on x86-32.
#if defined(__x86_64__)
    const bool codeFollowsMxcsr = true;
#else
    const bool codeFollowsMxcsr = false;
#endif
    const bool chosenIsCode = CIRCUIT_NATIVE_KERNELS && circuit::selectedKernel(index) == kPortable[index];
    std::vector<Runner> runners = {{"runEntry", nullptr, !chosenIsCode || codeFollowsMxcsr}};
    if (CIRCUIT_NATIVE_KERNELS) runners.push_back({"C++ code", kPortable[index], codeFollowsMxcsr});
    for (const Runner& runner : runners) {
        Outputs atDefault{};
        uint32_t flagsAtDefault = 0;
        for (size_t s = 0; s < kSettingCount; ++s) {
            const Setting& setting = kSettings[s];
            if (setting.mxcsr && !sse) continue;                         // no MXCSR here
            if (setting.rounding && (index < 6 || index > 11)) continue; // x87 precondition
            const uint16_t cw = static_cast<uint16_t>((control & ~kX87Rounding) | setting.rounding);
            for (bool shifted : {false, true}) {
                if (shifted && !soaSse) continue;
                SCOPED_TRACE(std::string(runner.name) + ", " + setting.name + (shifted ? ", misaligned" : ""));
                if (sse) setMxcsr(kMxcsrDefault | setting.mxcsr);
                setX87Control(cw);
                clearExceptionFlags(sse);
                const Outputs out = run(index, runner.kernel, b, shifted);
                const uint32_t flags = exceptionFlags(sse);
                const uint32_t mxcsrAfter = sse ? mxcsr() : 0;
                const uint16_t cwAfter = x87Control();
                if (sse) setMxcsr(callerMxcsr);
                setX87Control(control);

                EXPECT_EQ(cwAfter, cw) << "x87 control word not restored";
                if (sse)
                    EXPECT_EQ(mxcsrAfter & kMxcsrControl, (kMxcsrDefault | setting.mxcsr) & kMxcsrControl)
                        << "MXCSR not restored";
                if (s == 0 && !shifted) {
                    atDefault = out;
                    flagsAtDefault = flags;
                    // The problem's products and sums round, so a dropped flag
                    // shows. Two kinds of code raise none: 3DNow! arithmetic
                    // (it has no flags) and the i686 C++ code of entries 12 and
                    // 13, which converts with integer operations on the bits.
                    const bool threeDNow =
                        CIRCUIT_NATIVE_KERNELS && index >= 6 && index <= 9 && !runner.kernel && !chosenIsCode;
                    const bool integerCode = index >= 12 && runner.kernel;
                    if (!threeDNow && !integerCode)
                        EXPECT_NE(flags & 0x20u, 0u) << "the call raised no inexact flag";
                }
                const bool followsMxcsr = soaSse && sse && runner.followsMxcsr;
                EXPECT_EQ(differences(followsMxcsr ? sseReference[s] : atDefault, out, floats), "")
                    << (followsMxcsr ? "differs from SSE arithmetic under this MXCSR"
                                     : "differs from the bits of the default setting");
                EXPECT_EQ(flags, followsMxcsr ? sseFlags[s] : flagsAtDefault)
                    << "exception flags raised by the call, expected those of "
                    << (followsMxcsr ? "SSE arithmetic under this MXCSR" : "the default setting");
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Entries, CallerSettings, ::testing::ValuesIn(support::kEntries),
                         [](const ::testing::TestParamInfo<support::EntryRow>& info) {
                             return std::to_string(info.param.index) + "_" + info.param.stem;
                         });

} // namespace
