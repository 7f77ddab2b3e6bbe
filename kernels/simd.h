// The vector paths of the C++ kernels on x86-64: which vector unit they use,
// chosen once from the processor, and the small vocabulary they share.
//
// The C++ kernels are what the module runs where the hand-written i686 code
// cannot, so on x86-64 they run several outputs per vector. Every lane is one
// output and keeps that output's own chain of operations, in the entry's own
// order and precision; lanes never mix. A vector operation on lanes is
// therefore the same IEEE operation as the scalar statement of the order,
// once per output, and gives the same bits. Nothing fuses a multiply with an
// add: the AVX variants are compiled for "avx" only (never "fma"), and the
// module is compiled with -ffp-contract=off.
//
// Each kernel has an SSE2 variant (every x86-64 processor) and an AVX one
// (8 floats or 4 doubles per register); vectorUnit() picks AVX where the
// processor has it, looking once. Entries 10 and 11 also have an AVX-512
// variant (16 floats per register), used where the processor has AVX-512F;
// the others run their AVX variant there. The double-precision orders of entries 0
// to 5 are written once (portable_orders.inc, x87_orders.inc) against the
// vocabulary below and compiled for each unit (sse2::, avx::); the
// single-precision and fixed-point entries have their AVX code beside their
// SSE2 code. Lane maps are stated where each vector path is defined.
//
// Everything here is x86-64 only. The i686 module's C++ stays plain i586 +
// x87 code (no SSE, no MMX, no processor-model runtime), and other
// processors build the plain statements of each order.
#ifndef CIRCUIT_SIMD_H
#define CIRCUIT_SIMD_H

#if defined(__x86_64__)
#define CIRCUIT_SIMD 1

#include <atomic>
#include <cstdint>
#include <cstring>

#include <immintrin.h>

#include "circuit.h"
#include "rounding.h"

namespace portable {
namespace simd {

// In order of width; a processor that runs one runs those before it.
enum VectorUnit : int { kSse2 = 0, kAvx = 1, kAvx512 = 2 };

// -1 until the processor has been looked at.
inline std::atomic<int> gVectorUnit{-1};

// AVX-512 (its foundation, F) or AVX where the processor and the operating
// system support it (the check includes the OS's saving of the registers),
// SSE2 otherwise.
inline VectorUnit bestVectorUnit() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx512f") ? kAvx512 : __builtin_cpu_supports("avx") ? kAvx : kSse2;
}

// The unit the vector kernels use: chosen on first use, then one load.
CIRCUIT_INLINE VectorUnit vectorUnit() {
    int unit = gVectorUnit.load(std::memory_order_relaxed);
    if (unit < 0) {
        unit = bestVectorUnit();
        gVectorUnit.store(unit, std::memory_order_relaxed);
    }
    return static_cast<VectorUnit>(unit);
}

// Test hook: makes the vector kernels use `unit`. Returns false, and changes
// nothing, when the processor cannot run it.
inline bool useVectorUnit(VectorUnit unit) {
    if (unit > bestVectorUnit()) return false;
    gVectorUnit.store(unit, std::memory_order_relaxed);
    return true;
}

// Runs the AVX variant of a kernel where the processor has AVX (or more),
// the SSE2 variant otherwise.
CIRCUIT_INLINE void run(EntryKernel sse2, EntryKernel avx, const float* coefficients,
                        const float* input, float* output, int32_t count) {
    (vectorUnit() >= kAvx ? avx : sse2)(coefficients, input, output, count);
}

// Brackets the AVX code of a source file: every function defined between
// them (templates included) is compiled for AVX. Whole functions must be
// compiled so, not just inlined into an AVX caller: GCC lowers generic
// vector operations per function before inlining.
#define CIRCUIT_AVX_BEGIN _Pragma("GCC push_options") _Pragma("GCC target(\"avx\")")
#define CIRCUIT_AVX_END _Pragma("GCC pop_options")

// The same for AVX-512 code. GCC's "avx512f" target also allows fused
// multiply-add instructions, but the module is compiled with
// -ffp-contract=off and no kernel asks for one, so none is emitted.
#define CIRCUIT_AVX512_BEGIN _Pragma("GCC push_options") _Pragma("GCC target(\"avx512f\")")
#define CIRCUIT_AVX512_END _Pragma("GCC pop_options")

// Generic vectors. Lane k sits at the k-th lowest address, as loads and
// stores put it. The 16-byte ones are SSE2 registers; the 32-byte ones are
// used in AVX code only.
typedef float F4 __attribute__((vector_size(16)));
typedef float F8 __attribute__((vector_size(32)));
typedef double D2 __attribute__((vector_size(16)));
typedef double D4 __attribute__((vector_size(32)));

// The AOS coefficient block transposed so that every input's coefficients
// lie side by side, as in the SOA layout: column j holds M[i][j] at
// m[j][i] for i = 0..17. Floats 18 and 19 of a column repeat rows 16 and
// 17; no output is stored from them.
struct Columns {
    alignas(32) float m[INPUT_COUNT][SOA_ROW_FLOATS];
};

// What both vector units use: one set compiled for SSE2 (sse2::) and one for
// AVX (avx::), from the same text.
#define CIRCUIT_SIMD_COMMON                                                                    \
    template <class V>                                                                         \
    CIRCUIT_INLINE V load(const void* p) {                                                     \
        V v;                                                                                   \
        std::memcpy(&v, p, sizeof v);                                                          \
        return v;                                                                              \
    }                                                                                          \
    template <class V>                                                                         \
    CIRCUIT_INLINE void store(void* p, V v) {                                                  \
        std::memcpy(p, &v, sizeof v);                                                          \
    }                                                                                          \
    /* Four rows r[0..3], columns j .. j + 3, into columns j .. j + 3 at lanes                 \
       `lane` .. `lane` + 3: a 4 x 4 transposition in registers. */                           \
    CIRCUIT_INLINE void transpose4(const float* const r[4], int j, Columns& t, int lane) {    \
        const F4 a0 = load<F4>(r[0] + j), a1 = load<F4>(r[1] + j);                            \
        const F4 a2 = load<F4>(r[2] + j), a3 = load<F4>(r[3] + j);                            \
        const F4 lo01 = __builtin_shufflevector(a0, a1, 0, 4, 1, 5);                           \
        const F4 hi01 = __builtin_shufflevector(a0, a1, 2, 6, 3, 7);                           \
        const F4 lo23 = __builtin_shufflevector(a2, a3, 0, 4, 1, 5);                           \
        const F4 hi23 = __builtin_shufflevector(a2, a3, 2, 6, 3, 7);                           \
        store(&t.m[j][lane], __builtin_shufflevector(lo01, lo23, 0, 1, 4, 5));                 \
        store(&t.m[j + 1][lane], __builtin_shufflevector(lo01, lo23, 2, 3, 6, 7));             \
        store(&t.m[j + 2][lane], __builtin_shufflevector(hi01, hi23, 0, 1, 4, 5));             \
        store(&t.m[j + 3][lane], __builtin_shufflevector(hi01, hi23, 2, 3, 6, 7));             \
    }

// SSE2: the running values of the eighteen outputs in nine two-lane
// registers, output i in lane i mod 2 of g[i / 2].
namespace sse2 {
CIRCUIT_SIMD_COMMON

CIRCUIT_INLINE void transposeAos(const float* coefficients, Columns& t) {
    static_assert(INPUT_COUNT % 4 == 0 && OUTPUT_COUNT == 18, "4-column blocks, rows 16 and 17 left over");
    for (int first = 0; first < 20; first += 4) { // the last block is rows 16, 17, 16, 17
        const float* r[4];
        for (int k = 0; k < 4; ++k) r[k] = coefficients + INPUT_COUNT * (first + k < 18 ? first + k : first + k - 2);
        for (int j = 0; j < INPUT_COUNT; j += 4) transpose4(r, j, t, first);
    }
}

struct Sums {
    D2 g[9];
};

CIRCUIT_INLINE Sums operator+(const Sums& a, const Sums& b) {
    Sums r;
    for (int k = 0; k < 9; ++k) r.g[k] = a.g[k] + b.g[k]; // lane by lane
    return r;
}

CIRCUIT_INLINE Sums zeroSums() {
    Sums r;
    for (int k = 0; k < 9; ++k) r.g[k] = D2{0.0, 0.0}; // +0.0
    return r;
}

// The floats of lanes 0, 1 and of lanes 2, 3 widened to double (exactly).
CIRCUIT_INLINE D2 widenLow(F4 v) { return (D2)_mm_cvtps_pd((__m128)v); }
CIRCUIT_INLINE D2 widenHigh(F4 v) { return (D2)_mm_cvtps_pd(_mm_movehl_ps((__m128)v, (__m128)v)); }
// Each lane rounded to single precision (to nearest, ties to even), in lanes 0 and 1.
CIRCUIT_INLINE F4 narrow(D2 v) { return (F4)_mm_cvtpd_ps((__m128d)v); }

// The eighteen exact products of input j: M[i][j] * x in lane i. `column`
// holds M[0][j] .. M[17][j] side by side (an SOA row or a Columns column);
// the floats after M[17][j] are not read.
CIRCUIT_INLINE Sums products(const float* column, float x) {
    const double xd = x;
    const D2 xj = {xd, xd};
    Sums p;
    for (int k = 0; k < 4; ++k) {
        const F4 m = load<F4>(column + 4 * k);
        p.g[2 * k] = widenLow(m) * xj; // exactProduct(M[i][j], x)
        p.g[2 * k + 1] = widenHigh(m) * xj;
    }
    p.g[8] = D2{column[16], column[17]} * xj;
    return p;
}

// Every lane rounded to single precision and widened back: the value a
// float store of each output would leave.
CIRCUIT_INLINE Sums roundedToFloat(const Sums& s) {
    Sums r;
    for (int k = 0; k < 9; ++k) r.g[k] = widenLow(narrow(s.g[k]));
    return r;
}

// y[i] = output i rounded to single precision, i = 0..17.
CIRCUIT_INLINE void storeSums(float* y, const Sums& s) {
    for (int k = 0; k < 4; ++k)
        store(y + 4 * k, __builtin_shufflevector(narrow(s.g[2 * k]), narrow(s.g[2 * k + 1]), 0, 1, 4, 5));
    const F4 last = narrow(s.g[8]);
    y[16] = last[0];
    y[17] = last[1];
}
} // namespace sse2

// AVX: four-lane registers, output i in lane i mod 4 of group i / 4.
namespace avx {
CIRCUIT_AVX_BEGIN
CIRCUIT_SIMD_COMMON

// The four floats of v widened to double (exactly).
CIRCUIT_INLINE D4 widen(F4 v) { return (D4)_mm256_cvtps_pd((__m128)v); } // VCVTPS2PD

// Each lane rounded to single precision (to nearest, ties to even), as a
// float store rounds it.
CIRCUIT_INLINE F4 narrow(D4 v) { return (F4)_mm256_cvtpd_ps((__m256d)v); } // VCVTPD2PS

// x in every lane.
CIRCUIT_INLINE D4 broadcast(double x) { return D4{x, x, x, x}; }

// Rows r[0..7], columns j .. j + 3, into columns j .. j + 3 at lanes
// `lane` .. `lane` + 7: two 4 x 4 transpositions side by side, rows 0..3 in
// the low half of each register and rows 4..7 in the high half.
CIRCUIT_INLINE void transpose8x4(const float* const r[8], int j, Columns& t, int lane) {
    F8 a[4];
    for (int k = 0; k < 4; ++k)
        a[k] = __builtin_shufflevector(load<F4>(r[k] + j), load<F4>(r[k + 4] + j), 0, 1, 2, 3, 4, 5, 6, 7);
    const F8 lo01 = __builtin_shufflevector(a[0], a[1], 0, 8, 1, 9, 4, 12, 5, 13);
    const F8 hi01 = __builtin_shufflevector(a[0], a[1], 2, 10, 3, 11, 6, 14, 7, 15);
    const F8 lo23 = __builtin_shufflevector(a[2], a[3], 0, 8, 1, 9, 4, 12, 5, 13);
    const F8 hi23 = __builtin_shufflevector(a[2], a[3], 2, 10, 3, 11, 6, 14, 7, 15);
    store(&t.m[j][lane], __builtin_shufflevector(lo01, lo23, 0, 1, 8, 9, 4, 5, 12, 13));
    store(&t.m[j + 1][lane], __builtin_shufflevector(lo01, lo23, 2, 3, 10, 11, 6, 7, 14, 15));
    store(&t.m[j + 2][lane], __builtin_shufflevector(hi01, hi23, 0, 1, 8, 9, 4, 5, 12, 13));
    store(&t.m[j + 3][lane], __builtin_shufflevector(hi01, hi23, 2, 3, 10, 11, 6, 7, 14, 15));
}

CIRCUIT_INLINE void transposeAos(const float* coefficients, Columns& t) {
    static_assert(INPUT_COUNT % 4 == 0 && OUTPUT_COUNT == 18, "4-column blocks, rows 16 and 17 left over");
    const float* r[8];
    for (int first = 0; first < 16; first += 8) { // rows 0..7, then 8..15
        for (int k = 0; k < 8; ++k) r[k] = coefficients + INPUT_COUNT * (first + k);
        for (int j = 0; j < INPUT_COUNT; j += 4) transpose8x4(r, j, t, first);
    }
    for (int k = 0; k < 4; ++k) r[k] = coefficients + INPUT_COUNT * (16 + k % 2); // rows 16, 17, 16, 17
    for (int j = 0; j < INPUT_COUNT; j += 4) transpose4(r, j, t, 16);
}

// The running values of all eighteen outputs in double precision: output i
// in lane i mod 4 of group i / 4 (g0 holds outputs 0..3, g4 outputs 16 and
// 17 in lanes 0 and 1; its lanes 2 and 3 are spare and never stored).
// Separate members rather than an array, so that the compiler keeps each
// group in a register.
struct Sums {
    D4 g0, g1, g2, g3, g4;
};

CIRCUIT_INLINE Sums operator+(const Sums& a, const Sums& b) {
    return Sums{a.g0 + b.g0, a.g1 + b.g1, a.g2 + b.g2, a.g3 + b.g3, a.g4 + b.g4}; // lane by lane
}

CIRCUIT_INLINE Sums zeroSums() {
    const D4 zero = {0.0, 0.0, 0.0, 0.0}; // +0.0
    return Sums{zero, zero, zero, zero, zero};
}

// The eighteen exact products of input j: M[i][j] * x in lane i. `column`
// holds M[0][j] .. M[17][j] side by side (an SOA row or a Columns column);
// the floats after M[17][j] are not read.
CIRCUIT_INLINE Sums products(const float* column, float x) {
    const D4 xj = broadcast(static_cast<double>(x));
    const F4 last = {column[16], column[17], 0.0f, 0.0f};
    return Sums{widen(load<F4>(column)) * xj, widen(load<F4>(column + 4)) * xj, // exactProduct(M[i][j], x)
                widen(load<F4>(column + 8)) * xj, widen(load<F4>(column + 12)) * xj,
                widen(last) * xj};
}

// Every lane rounded to single precision and widened back: the value a
// float store of each output would leave.
CIRCUIT_INLINE Sums roundedToFloat(const Sums& s) {
    return Sums{widen(narrow(s.g0)), widen(narrow(s.g1)), widen(narrow(s.g2)), widen(narrow(s.g3)),
                widen(narrow(s.g4))};
}

// y[i] = output i rounded to single precision, i = 0..17.
CIRCUIT_INLINE void storeSums(float* y, const Sums& s) {
    store(y, narrow(s.g0));
    store(y + 4, narrow(s.g1));
    store(y + 8, narrow(s.g2));
    store(y + 12, narrow(s.g3));
    const F4 last = narrow(s.g4);
    y[16] = last[0];
    y[17] = last[1];
}

CIRCUIT_AVX_END
} // namespace avx

} // namespace simd
} // namespace portable

#else
#define CIRCUIT_SIMD 0
#endif

#endif // CIRCUIT_SIMD_H
