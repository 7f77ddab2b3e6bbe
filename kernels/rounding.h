// Rounding helpers shared by the C++ kernels. Each makes one IEEE rounding
// happen exactly where an entry's rule puts it, on every build.
//
// On the i686 build the C++ kernels run on the x87 unit, whose registers are
// wider than float: GCC may keep a value there past a cast or an assignment,
// so a rounding the rule requires could silently not happen. Passing the
// value through a volatile float forces the store that rounds it.
#ifndef CIRCUIT_ROUNDING_H
#define CIRCUIT_ROUNDING_H

// Forces inlining: the kernels' order templates and lambdas are inlined into
// each compiled variant of a kernel (see simd.h).
#define CIRCUIT_INLINE inline __attribute__((always_inline))

namespace portable {

#if defined(__i386__) && !defined(__SSE2_MATH__)
#define CIRCUIT_X87_MATH 1
#else
#define CIRCUIT_X87_MATH 0
#endif

// v rounded to single precision (to nearest, ties to even), as a store does.
inline float roundToFloat(double v) {
#if CIRCUIT_X87_MATH
    volatile float stored = static_cast<float>(v);
    return stored;
#else
    return static_cast<float>(v);
#endif
}

// The exact product of two floats: 24-bit significands give at most 48 bits,
// which a double holds exactly.
inline double exactProduct(float a, float b) {
    return static_cast<double>(a) * static_cast<double>(b);
}

} // namespace portable

#endif // CIRCUIT_ROUNDING_H
