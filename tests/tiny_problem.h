// A problem whose arithmetic reaches the subnormal range, shared by the
// caller-settings sweep and the -ffast-math host. Every float is built from
// its bits, so the values do not depend on the floating-point settings of the
// process that builds them (a -ffast-math program runs with flush-to-zero).
//
// Rows by i mod 3, with x[j] = +-(1..2) * 2^-70 except every sixth column:
//   0: M ~ 2^0: products ~ 2^-70; in the columns j mod 6 = 5, subnormal
//      coefficients (~ 2^-135) meet inputs ~ 2^60: products ~ 2^-75;
//   1: M ~ 2^-30: products ~ 2^-100, single-precision chains round at every step;
//   2: M ~ 2^-60: products ~ 2^-130, subnormal in single precision, and sums
//      that cancel to subnormal values; the outputs are subnormal or near it.
// Signs and significands are random (fixed seed), so that every rounding
// direction shows in the results.
#ifndef CIRCUIT_TESTS_TINY_PROBLEM_H
#define CIRCUIT_TESTS_TINY_PROBLEM_H

#include <cstdint>
#include <cstring>

#include "layout.h"

namespace tiny {

// +-(1 + mantissa / 2^23) * 2^exponent, rounded toward zero into the
// subnormal range where the exponent is below -126.
inline float scaled(bool negative, uint32_t mantissa, int exponent) {
    uint32_t bits;
    if (exponent >= -126) {
        bits = static_cast<uint32_t>(exponent + 127) << 23 | (mantissa & 0x7FFFFFu);
    } else {
        const int shift = -126 - exponent;
        bits = shift > 24 ? 0u : ((mantissa & 0x7FFFFFu) | 0x800000u) >> shift;
    }
    bits |= negative ? 0x80000000u : 0u;
    float f;
    std::memcpy(&f, &bits, 4);
    return f;
}

inline circuit::Problem problem() {
    uint32_t state = 0x13u; // xorshift32
    auto next = [&state] {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        return state;
    };
    circuit::Problem p;
    for (int j = 0; j < INPUT_COUNT; ++j) {
        const uint32_t r = next();
        p.x[j] = scaled(r >> 31, r, j % 6 == 5 ? 60 : -70);
    }
    for (int i = 0; i < OUTPUT_COUNT; ++i)
        for (int j = 0; j < INPUT_COUNT; ++j) {
            const uint32_t r = next();
            const int row = i % 3;
            if (j % 6 == 5)
                p.m[i][j] = row == 0 ? scaled(r >> 31, r, -135) : 0.0f;
            else
                p.m[i][j] = scaled(r >> 31, r, -30 * row);
        }
    return p;
}

} // namespace tiny

#endif // CIRCUIT_TESTS_TINY_PROBLEM_H
