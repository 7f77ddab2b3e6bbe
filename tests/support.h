// Helpers shared by the unit tests: the entry rows, problems built from one
// coefficient row, guarded output blocks, and bit-level float comparison.
#ifndef CIRCUIT_TESTS_SUPPORT_H
#define CIRCUIT_TESTS_SUPPORT_H

#include <cstdint>
#include <cstring>
#include <ostream>
#include <string>

#include <gtest/gtest.h>

#include "entries.h"
#include "floatbits.h"
#include "layout.h"

namespace support {

struct EntryRow {
    uint32_t index;
    const char* stem;
    EntryFlags flags;
};

inline constexpr EntryRow kEntries[ENTRY_COUNT] = {
#define SUPPORT_ROW(index, stem, name, flags, native) {index, #stem, flags},
    CIRCUIT_ENTRIES(SUPPORT_ROW)
#undef SUPPORT_ROW
};

inline void PrintTo(const EntryRow& row, std::ostream* os) {
    *os << "entry " << row.index << " (" << row.stem << ")";
}

using ::bitsOf; // common/floatbits.h
inline float floatOf(uint32_t u) { return floatOfBits(u); }

// A problem whose every row is m (M[i][j] = m[j]) and whose every input is x.
inline circuit::Problem uniformRows(const float (&m)[INPUT_COUNT], float x = 1.0f) {
    circuit::Problem p{};
    for (int i = 0; i < OUTPUT_COUNT; ++i)
        for (int j = 0; j < INPUT_COUNT; ++j) p.m[i][j] = m[j];
    for (int j = 0; j < INPUT_COUNT; ++j) p.x[j] = x;
    return p;
}

// An output block with guard floats on both sides, every float set to a
// sentinel beforehand, so that a test can see exactly which floats a call
// wrote. The block itself starts on a 16-byte boundary.
class GuardedOutput {
  public:
    static constexpr int kGuard = 8;
    // A quiet NaN no kernel produces. (A signalling NaN would be quietened by
    // any trip through the x87 registers and look written.)
    static constexpr uint32_t kSentinel = kSentinelBits;

    GuardedOutput() { reset(); }
    void reset() {
        for (float& f : storage_) f = floatOf(kSentinel);
    }
    float* data() { return storage_ + kGuard; }
    const float* data() const { return storage_ + kGuard; }
    float operator[](int i) const { return data()[i]; }
    uint32_t bits(int i) const {
        uint32_t u;
        std::memcpy(&u, data() + i, 4);
        return u;
    }
    bool written(int i) const { return bits(i) != kSentinel; }

    // True when no float outside [0, floats) was written.
    bool onlyWrote(int floats) const {
        for (int i = -kGuard; i < SOA_OUTPUT_FLOATS + kGuard; ++i)
            if ((i < 0 || i >= floats) && written(i)) return false;
        return true;
    }
    bool untouched() const { return onlyWrote(0); }

  private:
    alignas(16) float storage_[kGuard + SOA_OUTPUT_FLOATS + kGuard];
};

// Lays `p` out for entry `index` and runs it through runEntry.
inline void runProblem(uint32_t index, const circuit::Problem& p, GuardedOutput& out,
                       int32_t count = 1, float pad = 0.0f) {
    circuit::Blocks b;
    // A block off its boundary would test an SSE kernel's fallback path, not
    // the kernel.
    EXPECT_EQ(reinterpret_cast<uintptr_t>(b.coefficients) % 16 | reinterpret_cast<uintptr_t>(b.input) % 16 |
                  reinterpret_cast<uintptr_t>(out.data()) % 16,
              0u);
    circuit::layoutFor(kEntries[index].flags, p, b, pad);
    runEntry(index, b.coefficients, b.input, out.data(), count);
}

inline std::string describe(float f) {
    char text[64];
    std::snprintf(text, sizeof text, "%.9g (0x%08X)", static_cast<double>(f), bitsOf(f));
    return text;
}

} // namespace support

// Bit-for-bit comparison of two floats, with both values and bit patterns
// in the failure message.
#define EXPECT_SAME_BITS(expected, actual)                                                   \
    EXPECT_EQ(support::bitsOf(expected), support::bitsOf(actual))                            \
        << "expected " << support::describe(expected) << ", got " << support::describe(actual)

#endif // CIRCUIT_TESTS_SUPPORT_H
