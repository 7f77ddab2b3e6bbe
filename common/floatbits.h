// Floats as bits: the sentinel that marks a float nobody wrote, and bit-for-
// bit comparison of outputs. Compared as bits, never as floats: an x87 load
// could change a NaN, and NaN never equals itself.
#ifndef CIRCUIT_COMMON_FLOATBITS_H
#define CIRCUIT_COMMON_FLOATBITS_H

#include <stddef.h>
#include <stdint.h>
#include <string.h>

// A quiet NaN that no arithmetic produces and no kernel writes. (A
// signalling NaN would be quietened by any trip through the x87 registers
// and look written.)
constexpr uint32_t kSentinelBits = 0x7FEADBADu;

inline uint32_t bitsOf(float f) {
    uint32_t u;
    memcpy(&u, &f, 4);
    return u;
}

inline float floatOfBits(uint32_t u) {
    float f;
    memcpy(&f, &u, 4);
    return f;
}

inline bool isSentinel(const float* f) {
    uint32_t u;
    memcpy(&u, f, 4);
    return u == kSentinelBits;
}

inline void fillSentinel(float* f, size_t count) {
    for (size_t i = 0; i < count; ++i) memcpy(f + i, &kSentinelBits, 4);
}

// The same `count` floats, bit for bit.
inline bool sameBits(const float* a, const float* b, size_t count) { return memcmp(a, b, count * 4) == 0; }

#endif // CIRCUIT_COMMON_FLOATBITS_H
