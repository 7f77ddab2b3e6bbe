// Entries 10 and 11 in C++: the SOA product as five four-lane chains, one per
// output group v = 0 to 4 (outputs 4v to 4v + 3, the last group holding the
// two pad results 18 and 19). Each chain starts from its first product and
// adds the products of input groups 1 to 35 in ascending order; every product
// and every sum is rounded to single precision, lane by lane. Output i thus
// takes lane i mod 4 of every input group.
//
// The two entries differ only in how their hand-written code interleaves the
// five chains, not in any lane's arithmetic, so one implementation serves
// both. It reads and writes the blocks without assuming any alignment beyond
// that of a float.
//
// The entries compute under the caller's MXCSR, as SSE code does: on x86-64
// this code is SSE or AVX and follows it. The plain C++ of the i686 build runs
// only where the processor lacks SSE, so has no MXCSR: it computes as SSE does
// by default (round to nearest, no flushing) and never follows the caller's
// x87 control word (NearestX87).
#include "kernels.h"
#include "rounding.h"
#include "simd.h"

#if defined(__SSE__)
#include <xmmintrin.h>
#endif

namespace portable {
namespace {

constexpr int kGroups = SOA_ROW_FLOATS / SOA_LANES; // 5 four-lane groups per row

#if defined(__SSE__)
// SSE is part of this build's baseline (x86-64): the processor rounds each
// lane of MULPS and ADDPS to single precision, as the entries do.
using Group = __m128;

inline Group loadGroup(const float* p) { return _mm_loadu_ps(p); }
inline void storeGroup(float* p, Group g) { _mm_storeu_ps(p, g); }
inline Group multiply(Group a, Group b) { return _mm_mul_ps(a, b); }
inline Group add(Group a, Group b) { return _mm_add_ps(a, b); }
#else
// Plain C++ (the i686 module, which keeps its own code off SSE, and any other
// processor). On x87 every product and sum must pass through a float store to
// be rounded to single precision: roundToFloat does that. The exact product
// and the sum of two floats, rounded first to 53 bits and then to float, give
// the single-precision results (53 >= 2 * 24 + 2, so the first rounding
// never changes the second).
struct Group {
    float lane[SOA_LANES];
};

inline Group loadGroup(const float* p) {
    Group g;
    for (int k = 0; k < SOA_LANES; ++k) g.lane[k] = p[k];
    return g;
}

inline void storeGroup(float* p, const Group& g) {
    for (int k = 0; k < SOA_LANES; ++k) p[k] = g.lane[k];
}

inline Group multiply(const Group& a, const Group& b) {
    Group r;
    for (int k = 0; k < SOA_LANES; ++k) r.lane[k] = roundToFloat(exactProduct(a.lane[k], b.lane[k]));
    return r;
}

inline Group add(const Group& a, const Group& b) {
    Group r;
    for (int k = 0; k < SOA_LANES; ++k)
        r.lane[k] = roundToFloat(static_cast<double>(a.lane[k]) + static_cast<double>(b.lane[k]));
    return r;
}
#endif

// Coefficient group (j, v): floats 20j + 4v to 20j + 4v + 3.
inline const float* coefficientGroup(const float* coefficients, int j, int v) {
    return coefficients + SOA_ROW_FLOATS * j + SOA_LANES * v;
}

void sseSoaChains(const float* coefficients, const float* input, float* output, int32_t count) {
    for (int32_t rep = 0; rep < count; ++rep) {
        // The five chains side by side: y[4v..4v+3] = p(0,v), then
        // y += p(j,v) for j = 1 to 35.
        Group sum[kGroups];
        for (int v = 0; v < kGroups; ++v)
            sum[v] = multiply(loadGroup(coefficientGroup(coefficients, 0, v)), loadGroup(input));
        for (int j = 1; j < INPUT_COUNT; ++j) {
            const Group x = loadGroup(input + SOA_LANES * j);
            for (int v = 0; v < kGroups; ++v) {
                const Group product = multiply(loadGroup(coefficientGroup(coefficients, j, v)), x); // p(j,v)
                sum[v] = add(sum[v], product); // p(0,v) + ... + p(j,v)
            }
        }
        for (int v = 0; v < kGroups; ++v) storeGroup(output + SOA_LANES * v, sum[v]);
    }
}

#if CIRCUIT_SIMD
// Keeps the compiler from hoisting the loads of later input groups (the
// blocks do not change between repetitions) to the head of the repetition,
// where they would need more registers than there are and be spilled. It
// emits nothing; the processor still overlaps the steps.
CIRCUIT_INLINE void stepBarrier() { __asm__ volatile("" ::: "memory"); }

// With AVX (x86-64): the same five chains in two eight-lane registers and
// one four-lane register: acc0 holds outputs 0..7, acc1 8..15, acc2 16..19.
// The input group is repeated in both halves of the eight-lane multiplier
// (one load), and its low half is the four-lane one, so output i still takes
// lane i mod 4. Per input group: one input load and three coefficient loads
// (32, 32 and 16 bytes), three products and three sums, nothing else, so
// that the loads (the busiest unit) leave the additions' chain the limit.
// The 16-byte load of outputs 16..19 lies inside one 64-byte line wherever
// the block starts on a 16-byte boundary; of the 32-byte ones, one in four
// crosses a line (rows are 80 bytes), where an earlier layout (a third
// eight-lane register at outputs 12..19, formed twice) crossed one in three.
CIRCUIT_AVX_BEGIN
void sseSoaChainsAvx(const float* coefficients, const float* input, float* output, int32_t count) {
    using simd::F4;
    using simd::F8;
    using simd::avx::load;
    for (int32_t rep = 0; rep < count; ++rep) {
        F8 acc0, acc1;
        F4 acc2;
#pragma GCC unroll 36
        for (int j = 0; j < INPUT_COUNT; ++j) {
            const float* row = coefficients + SOA_ROW_FLOATS * j;
            const F4 x = load<F4>(input + SOA_LANES * j);
            const F8 x8 = (F8)_mm256_insertf128_ps(_mm256_castps128_ps256((__m128)x), (__m128)x, 1);
            const F8 p0 = load<F8>(row) * x8, p1 = load<F8>(row + 8) * x8; // p(j,v)
            const F4 x4 = (F4)_mm256_castps256_ps128((__m256)x8); // not a second load of the group
            const F4 p2 = load<F4>(row + 16) * x4;
            if (j == 0) { // y = p(0,v)
                acc0 = p0;
                acc1 = p1;
                acc2 = p2;
            } else { // y = p(0,v) + ... + p(j,v)
                acc0 = acc0 + p0;
                acc1 = acc1 + p1;
                acc2 = acc2 + p2;
            }
            stepBarrier();
        }
        simd::avx::store(output, acc0);
        simd::avx::store(output + 8, acc1);
        simd::avx::store(output + 16, acc2);
    }
}
CIRCUIT_AVX_END

// With AVX-512F: one sixteen-lane register for outputs 0..15 and one
// four-lane register for 16..19. The input group is repeated four times in
// the sixteen-lane multiplier (one broadcast load) and its lowest quarter is
// the four-lane multiplier. Two chains per input group instead of three, and
// a repetition's instructions fit the processor's window more than once, so
// consecutive repetitions (independent: each starts from its first product)
// overlap. Multiplies and additions stay separate instructions.
CIRCUIT_AVX512_BEGIN
// GCC 12's own intrinsic headers trip its uninitialised-value warning in
// _mm512_broadcast_f32x4; nothing here is uninitialised.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
void sseSoaChainsAvx512(const float* coefficients, const float* input, float* output, int32_t count) {
    for (int32_t rep = 0; rep < count; ++rep) {
        __m512 acc0;
        __m128 acc1;
#pragma GCC unroll 36
        for (int j = 0; j < INPUT_COUNT; ++j) {
            const float* row = coefficients + SOA_ROW_FLOATS * j;
            const __m512 x16 = _mm512_broadcast_f32x4(_mm_loadu_ps(input + SOA_LANES * j));
            const __m128 x = _mm512_castps512_ps128(x16);
            const __m512 p0 = _mm512_mul_ps(_mm512_loadu_ps(row), x16); // p(j,v), v = 0..3
            const __m128 p1 = _mm_mul_ps(_mm_loadu_ps(row + 16), x);     // p(j,4)
            if (j == 0) {
                acc0 = p0;
                acc1 = p1;
            } else {
                acc0 = _mm512_add_ps(acc0, p0);
                acc1 = _mm_add_ps(acc1, p1);
            }
            stepBarrier();
        }
        _mm512_storeu_ps(output, acc0);
        _mm_storeu_ps(output + 16, acc1);
    }
}
#pragma GCC diagnostic pop
CIRCUIT_AVX512_END
#endif

void soaChains(const float* coefficients, const float* input, float* output, int32_t count) {
    [[maybe_unused]] NearestX87 nearest;
#if CIRCUIT_SIMD
    switch (simd::vectorUnit()) {
    case simd::kAvx512:
        sseSoaChainsAvx512(coefficients, input, output, count);
        return;
    case simd::kAvx:
        sseSoaChainsAvx(coefficients, input, output, count);
        return;
    case simd::kSse2:
        break;
    }
#endif
    sseSoaChains(coefficients, input, output, count);
}

} // namespace

void kernelSseSoa(const float* coefficients, const float* input, float* output, int32_t count) {
    soaChains(coefficients, input, output, count);
}

void kernelSseSoaOoo(const float* coefficients, const float* input, float* output,
                     int32_t count) {
    soaChains(coefficients, input, output, count);
}

} // namespace portable
