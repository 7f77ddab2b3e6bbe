// Which of the caller's floating-point settings each entry follows. Every
// entry runs under the control register of the unit the module computes with
// outside the x87 (MXCSR on x86, FPCR on aarch64) at its default, flushing
// subnormals to zero and in each rounding mode, and on x86 (entries 6 to 11)
// under each x87 rounding control, on a problem whose operands, products and
// sums reach the subnormal range:
//   - entries 10 and 11 follow that register: their bits equal a plain
//     scalar statement of their chains under the same setting (SSE on x86),
//     from aligned and misaligned blocks alike;
//   - every other entry gives the bits of the default setting.
// Entries 0 to 5, 12 and 13 compute or convert on the x87 under the caller's
// control word (53-bit precision, to nearest: their precondition), so x87
// rounding is not swept for them. After every call the register's control
// bits and the x87 control word are what the caller set, and the exception
// flags (cleared before the call) are those the call's arithmetic raised:
// those of the plain chains under the same setting for entries 10 and 11,
// those of the default setting for every other entry, so that a kernel which
// changes a setting and restores the caller's cannot drop the flags it raised.
//
// Each entry runs through runEntry and, on the i686 build, also as its C++
// code, which processors without the entry's extension run. That code of
// entries 10 and 11 serves processors without SSE, hence without MXCSR.
#include <string>
#include <vector>

#if !defined(__aarch64__)
#include <xmmintrin.h>
#endif

#include "dispatch.h"
#include "kernels.h"
#include "support.h"
#include "tiny_problem.h"

namespace {

using support::bitsOf;

struct Outputs {
    float y[SOA_OUTPUT_FLOATS];
};

// ---- The architecture's floating-point registers ----
// "unit": the register the module's arithmetic outside the x87 follows. Its
// settings are bits added to kUnitDefault; kUnitControl selects the bits a
// call must leave as the caller set them. The x87 control word exists on x86
// only. exceptionFlags() reads the sticky exception flags of every unit the
// module may compute on; clearExceptionFlags() clears them.
#if defined(__aarch64__)
constexpr uint32_t kUnitDefault = 0;       // to nearest, no flushing, no traps
constexpr uint32_t kUnitControl = ~0u;     // FPCR holds no flags: all of it
constexpr uint32_t kExceptionFlags = 0x9F; // FPSR: input denormal (7), inexact (4) .. invalid (0)
constexpr uint32_t kInexact = 0x10;
// The C++ code that runEntry runs converts with integer operations on the
// floats' bits in entries 12 and 13, which raises no flag.
constexpr bool kRunEntryConvertsOnIntegers = true;
#define UNIT "FPCR"

const struct Setting {
    const char* name;
    uint32_t unit;     // bits added to kUnitDefault
    uint16_t rounding; // x87 rounding control
} kSettings[] = {
    {"FPCR default", 0, 0},
    {"FPCR flush to zero", 1u << 24, 0},
    {"FPCR toward +inf", 1u << 22, 0},
    {"FPCR toward -inf", 2u << 22, 0},
    {"FPCR toward zero", 3u << 22, 0},
};

bool hasUnit() { return true; }
uint32_t unitControl() {
    uint64_t v;
    __asm__ volatile("mrs %0, fpcr" : "=r"(v) : : "memory");
    return static_cast<uint32_t>(v);
}
void setUnitControl(uint32_t v) { __asm__ volatile("msr fpcr, %0" : : "r"(uint64_t{v}) : "memory"); }
uint16_t x87Control() { return 0; }
void setX87Control(uint16_t) {}
uint64_t fpsr() {
    uint64_t v;
    __asm__ volatile("mrs %0, fpsr" : "=r"(v) : : "memory");
    return v;
}
uint32_t exceptionFlags(bool) { return static_cast<uint32_t>(fpsr()) & kExceptionFlags; }
void clearExceptionFlags(bool) { __asm__ volatile("msr fpsr, %0" : : "r"(fpsr() & ~uint64_t{kExceptionFlags}) : "memory"); }

// Entries 10 and 11 under the FPCR in force: output i is one chain over the
// input groups from the first product, lane i mod 4, in scalar single-precision
// operations (the build never fuses a multiply with an add).
__attribute__((noinline)) Outputs unitChains(const float* c, const float* x) {
    Outputs out;
    for (int i = 0; i < SOA_OUTPUT_FLOATS; ++i) {
        const int lane = i % SOA_LANES;
        volatile float sum = c[i] * x[lane];
        for (int j = 1; j < INPUT_COUNT; ++j) sum = sum + c[SOA_ROW_FLOATS * j + i] * x[SOA_LANES * j + lane];
        out.y[i] = sum;
    }
    return out;
}
#else
constexpr uint32_t kUnitDefault = 0x1F80; // exceptions masked, to nearest, no flushing
constexpr uint32_t kUnitControl = ~0x3Fu; // all but the sticky exception flags
// MXCSR bits 0 to 5 and the x87 status word bits 0 to 5 name the same six
// flags: invalid, denormal, divide by zero, overflow, underflow, inexact.
constexpr uint32_t kExceptionFlags = 0x3F;
constexpr uint32_t kInexact = 0x20;
constexpr bool kRunEntryConvertsOnIntegers = false;
#define UNIT "MXCSR"

const struct Setting {
    const char* name;
    uint32_t unit;     // bits added to kUnitDefault
    uint16_t rounding; // x87 rounding control
} kSettings[] = {
    {"MXCSR default", 0, 0},           {"MXCSR DAZ|FTZ", 0x8040, 0},   {"MXCSR toward -inf", 0x2000, 0},
    {"MXCSR toward +inf", 0x4000, 0},  {"MXCSR toward zero", 0x6000, 0}, {"x87 toward -inf", 0, 0x0400},
    {"x87 toward +inf", 0, 0x0800},    {"x87 toward zero", 0, 0x0C00},
};

bool hasUnit() { return (circuit::cpuExtensions() & ENTRY_SSE) != 0; }
uint32_t unitControl() {
    uint32_t v;
    __asm__ volatile("stmxcsr %0" : "=m"(v) : : "memory");
    return v;
}
void setUnitControl(uint32_t v) { __asm__ volatile("ldmxcsr %0" : : "m"(v) : "memory"); }
uint16_t x87Control() {
    uint16_t v;
    __asm__ volatile("fnstcw %0" : "=m"(v) : : "memory");
    return v;
}
void setX87Control(uint16_t v) { __asm__ volatile("fldcw %0" : : "m"(v) : "memory"); }
uint32_t exceptionFlags(bool sse) {
    uint16_t status;
    __asm__ volatile("fnstsw %0" : "=m"(status) : : "memory");
    return ((sse ? unitControl() : 0) | status) & kExceptionFlags;
}
void clearExceptionFlags(bool sse) {
    if (sse) setUnitControl(unitControl() & ~kExceptionFlags);
    __asm__ volatile("fnclex" : : : "memory");
}

// Entries 10 and 11 under the MXCSR in force: output i is one chain over the
// input groups from the first product, lane i mod 4, in SSE scalar operations.
__attribute__((target("sse"), noinline)) Outputs unitChains(const float* c, const float* x) {
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
#endif
constexpr uint16_t kX87Rounding = 0x0C00;
constexpr size_t kSettingCount = sizeof kSettings / sizeof kSettings[0];

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

// Plain arithmetic in entries 10 and 11's chains under every setting of the
// unit: the bits and flags those entries must give under it. The data must
// show every setting.
struct UnitReference {
    Outputs out[kSettingCount];
    uint32_t flags[kSettingCount] = {};
};

UnitReference unitReference(const circuit::Blocks& b, int floats) {
    UnitReference r;
    const uint32_t callerUnit = unitControl();
    for (size_t s = 0; s < kSettingCount; ++s) {
        setUnitControl(kUnitDefault | kSettings[s].unit);
        clearExceptionFlags(true);
        r.out[s] = unitChains(b.coefficients, b.input);
        r.flags[s] = exceptionFlags(true);
    }
    setUnitControl(callerUnit);
    for (size_t s = 1; s < kSettingCount && kSettings[s].unit; ++s)
        EXPECT_NE(differences(r.out[0], r.out[s], floats), "") << kSettings[s].name;
    return r;
}

struct Runner {
    const char* name;
    EntryKernel kernel;
    bool followsUnit; // entries 10 and 11: computes with SSE (on aarch64: its own unit)
};

// Whether runEntry runs the C++ code for this entry (with the hand-written kernels).
bool chosenIsCode(uint32_t index) {
    return CIRCUIT_NATIVE_KERNELS && circuit::selectedKernel(index) == kPortable[index];
}

// runEntry, and with the hand-written kernels the C++ code too. runEntry runs
// the C++ code where it chose it; the C++ code computes with SSE (under the
// caller's MXCSR) on x86-64 and with the x87 unit on x86-32.
std::vector<Runner> runnersFor(uint32_t index) {
#if defined(__x86_64__)
    const bool codeFollowsMxcsr = true;
#else
    const bool codeFollowsMxcsr = false;
#endif
    std::vector<Runner> runners = {{"runEntry", nullptr, !chosenIsCode(index) || codeFollowsMxcsr}};
    if (CIRCUIT_NATIVE_KERNELS) runners.push_back({"C++ code", kPortable[index], codeFollowsMxcsr});
    return runners;
}

// The problem's products and sums round, so a dropped inexact flag shows.
// Two kinds of code raise none: 3DNow! arithmetic (it has no flags) and the
// C++ code of entries 12 and 13 wherever it converts with integer
// operations on the bits (i686, aarch64).
bool raisesInexact(uint32_t index, const Runner& runner) {
    const bool threeDNow =
        CIRCUIT_NATIVE_KERNELS && index >= 6 && index <= 9 && !runner.kernel && !chosenIsCode(index);
    const bool integerCode = index >= 12 && (runner.kernel || kRunEntryConvertsOnIntegers);
    return !threeDNow && !integerCode;
}

// One call under the unit setting and x87 control word `cw`: its outputs,
// flags and the settings it left; the caller's settings are put back.
struct Call {
    Outputs out;
    uint32_t flags, unitAfter;
    uint16_t cwAfter;
};

Call callUnder(uint32_t index, const Runner& runner, const circuit::Blocks& b, const Setting& setting,
               uint16_t cw, bool shifted) {
    const bool unit = hasUnit();
    const uint16_t control = x87Control();
    const uint32_t callerUnit = unit ? unitControl() : 0;
    if (unit) setUnitControl(kUnitDefault | setting.unit);
    setX87Control(cw);
    clearExceptionFlags(unit);
    Call c;
    c.out = run(index, runner.kernel, b, shifted);
    c.flags = exceptionFlags(unit);
    c.unitAfter = unit ? unitControl() : 0;
    c.cwAfter = x87Control();
    if (unit) setUnitControl(callerUnit);
    setX87Control(control);
    return c;
}

TEST_P(CallerSettings, BitsFollowOnlyTheEntrysRule) {
    const uint32_t index = GetParam().index;
    const bool unit = hasUnit();
    const bool soaSse = index == 10 || index == 11;
    const int floats = circuit::outputFloats(GetParam().flags);
    const uint16_t control = x87Control();
    circuit::Blocks b;
    circuit::layoutFor(GetParam().flags, tiny::problem(), b);
    const UnitReference reference = soaSse && unit ? unitReference(b, floats) : UnitReference{};

    for (const Runner& runner : runnersFor(index)) {
        Outputs atDefault{};
        uint32_t flagsAtDefault = 0;
        for (size_t s = 0; s < kSettingCount; ++s) {
            const Setting& setting = kSettings[s];
            if (setting.unit && !unit) continue;                         // no MXCSR here
            if (setting.rounding && (index < 6 || index > 11)) continue; // x87 precondition
            const uint16_t cw = static_cast<uint16_t>((control & ~kX87Rounding) | setting.rounding);
            for (bool shifted : {false, true}) {
                if (shifted && !soaSse) continue;
                SCOPED_TRACE(std::string(runner.name) + ", " + setting.name + (shifted ? ", misaligned" : ""));
                const Call call = callUnder(index, runner, b, setting, cw, shifted);
                EXPECT_EQ(call.cwAfter, cw) << "x87 control word not restored";
                if (unit)
                    EXPECT_EQ(call.unitAfter & kUnitControl, (kUnitDefault | setting.unit) & kUnitControl)
                        << UNIT " not restored";
                if (s == 0 && !shifted) {
                    atDefault = call.out;
                    flagsAtDefault = call.flags;
                    if (raisesInexact(index, runner))
                        EXPECT_NE(call.flags & kInexact, 0u) << "the call raised no inexact flag";
                }
                const bool followsUnit = soaSse && unit && runner.followsUnit;
                EXPECT_EQ(differences(followsUnit ? reference.out[s] : atDefault, call.out, floats), "")
                    << (followsUnit ? "differs from plain arithmetic under this " UNIT
                                    : "differs from the bits of the default setting");
                EXPECT_EQ(call.flags, followsUnit ? reference.flags[s] : flagsAtDefault)
                    << "exception flags raised by the call, expected those of "
                    << (followsUnit ? "plain arithmetic under this " UNIT : "the default setting");
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Entries, CallerSettings, ::testing::ValuesIn(support::kEntries),
                         [](const ::testing::TestParamInfo<support::EntryRow>& info) {
                             return std::to_string(info.param.index) + "_" + info.param.stem;
                         });

} // namespace
