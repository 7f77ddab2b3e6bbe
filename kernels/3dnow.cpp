// Entries 6 to 9: the two-lane packed-single computations, in C++. Every
// product and every sum is one IEEE single-precision operation, rounded to
// nearest even when it is formed, in exactly the chains of the hand-written
// kernels (kernels/3dnow.asm), which are checked against these:
//
//   entry 6      for each row i: even sum E and odd sum O, each from +0.0,
//                over the columns of their parity in ascending order;
//                y[i] = E + O.
//   entries 7-9  for each output i: one chain from the first product,
//                y[i] = (...(M[i][0]x[0] + M[i][1]x[1]) + ...) + M[i][35]x[35],
//                x[j] read from lane i mod 2 of input group j. Entries 8 and 9
//                differ from entry 7 only in issue order, so they share it.
//
// Special values follow IEEE single precision: denormal operands and results
// are kept (gradual underflow), overflow gives infinity, NaNs propagate. A
// 3DNow! unit may flush denormals to zero and treats infinities and NaNs its
// own way; the results agree with it wherever no operand, product or partial
// sum is denormal, infinite or NaN.
//
// On x86-64 the chains of several outputs run side by side in the lanes of
// vector registers, each lane one output's own chain (mulps/addps: single
// precision, no wider intermediate, no fused multiply-add): eight lanes where
// the processor has AVX (simd.h chooses), four with SSE2. Elsewhere, notably on the i686 module's x87 code, each
// operation is written out and rounded to single precision by a store
// (roundToFloat): a float product is exact at 53 bits and a sum of two floats
// rounded to 53 bits and then to 24 gives the correctly rounded single sum.
//
// Whatever the caller set, every call computes with round to nearest and no
// flushing: under MXCSR on x86-64, FPCR on aarch64, the x87 control word on i686
// (NearestSingle, set once per call).
#include "kernels.h"
#include "rounding.h"
#include "simd.h"

#if defined(__x86_64__) || defined(_M_X64)
#include <emmintrin.h>
#define CIRCUIT_3DNOW_SSE 1
#else
#define CIRCUIT_3DNOW_SSE 0
#endif

namespace portable {
namespace {

constexpr int kPairs = INPUT_COUNT / 2; // column pairs of an AOS row

#if CIRCUIT_SIMD
// With AVX (x86-64): eight lanes per register, same chains.
CIRCUIT_AVX_BEGIN
using simd::D4;
using simd::F4;
using simd::F8;
using simd::avx::load;
using simd::avx::store;

// Entry 6. Row group g = 0..3 covers rows 4g .. 4g + 3: lanes 2k and
// 2k + 1 of acc[g] are the even sum E and the odd sum O of its row k. Rows
// 16 and 17 go the same way in the four lanes of acc16. The products of a
// row come out of the multiply pair by pair (lanes 2q, 2q + 1 hold columns
// 2p, 2p + 1 of pair p = c/2 + q); a transposition of those pairs (64-bit
// units, moved whole: no arithmetic) lines up pair p of the group's rows,
// which is then added, pairs in ascending order. All chains run side by side.
CIRCUIT_INLINE void evenOddSumsAvx(const float* coefficients, const float* input, float* output) {
    typedef double D2 __attribute__((vector_size(16)));
    auto row = [coefficients](int i) { return coefficients + INPUT_COUNT * i; };
    const F8 zero8 = {0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f};
    F8 acc[4] = {zero8, zero8, zero8, zero8}; // E and O from +0.0
    F4 acc16 = {0.0f, 0.0f, 0.0f, 0.0f};
#pragma GCC unroll 1 // unrolled, the products of later steps are formed early and spilled
    for (int c = 0; c < 32; c += 8) { // pairs c/2 .. c/2 + 3
        const F8 xv = load<F8>(input + c);
#pragma GCC unroll 4
        for (int g = 0; g < 4; ++g) {
            const D4 p0 = (D4)(load<F8>(row(4 * g) + c) * xv); // M[i][2p] x[2p], M[i][2p+1] x[2p+1]
            const D4 p1 = (D4)(load<F8>(row(4 * g + 1) + c) * xv);
            const D4 p2 = (D4)(load<F8>(row(4 * g + 2) + c) * xv);
            const D4 p3 = (D4)(load<F8>(row(4 * g + 3) + c) * xv);
            const D4 lo01 = __builtin_shufflevector(p0, p1, 0, 4, 2, 6);
            const D4 hi01 = __builtin_shufflevector(p0, p1, 1, 5, 3, 7);
            const D4 lo23 = __builtin_shufflevector(p2, p3, 0, 4, 2, 6);
            const D4 hi23 = __builtin_shufflevector(p2, p3, 1, 5, 3, 7);
            acc[g] = acc[g] + (F8)__builtin_shufflevector(lo01, lo23, 0, 1, 4, 5); // pair c/2
            acc[g] = acc[g] + (F8)__builtin_shufflevector(hi01, hi23, 0, 1, 4, 5); // pair c/2 + 1
            acc[g] = acc[g] + (F8)__builtin_shufflevector(lo01, lo23, 2, 3, 6, 7); // pair c/2 + 2
            acc[g] = acc[g] + (F8)__builtin_shufflevector(hi01, hi23, 2, 3, 6, 7); // pair c/2 + 3
        }
        const D4 p16 = (D4)(load<F8>(row(16) + c) * xv);
        const D4 p17 = (D4)(load<F8>(row(17) + c) * xv);
        const D4 lo = __builtin_shufflevector(p16, p17, 0, 4, 2, 6); // pairs c/2, c/2 + 2
        const D4 hi = __builtin_shufflevector(p16, p17, 1, 5, 3, 7); // pairs c/2 + 1, c/2 + 3
        acc16 = acc16 + (F4)__builtin_shufflevector(lo, lo, 0, 1);
        acc16 = acc16 + (F4)__builtin_shufflevector(hi, hi, 0, 1);
        acc16 = acc16 + (F4)__builtin_shufflevector(lo, lo, 2, 3);
        acc16 = acc16 + (F4)__builtin_shufflevector(hi, hi, 2, 3);
    }
    const F4 xv = load<F4>(input + 32); // pairs 16 and 17
    auto tail = [&](int i) { return (D2)(load<F4>(row(i) + 32) * xv); };
#pragma GCC unroll 4
    for (int g = 0; g < 4; ++g) {
        const D4 lo = __builtin_shufflevector(tail(4 * g), tail(4 * g + 1), 0, 1, 2, 3); // rows 0, 1
        const D4 hi = __builtin_shufflevector(tail(4 * g + 2), tail(4 * g + 3), 0, 1, 2, 3); // rows 2, 3
        acc[g] = acc[g] + (F8)__builtin_shufflevector(lo, hi, 0, 2, 4, 6); // pair 16
        acc[g] = acc[g] + (F8)__builtin_shufflevector(lo, hi, 1, 3, 5, 7); // pair 17
        store(output + 4 * g, __builtin_shufflevector(acc[g], acc[g], 0, 2, 4, 6) +
                                  __builtin_shufflevector(acc[g], acc[g], 1, 3, 5, 7)); // y[i] = E + O
    }
    const D2 t16 = tail(16), t17 = tail(17);
    acc16 = acc16 + (F4)__builtin_shufflevector(t16, t17, 0, 2); // pair 16
    acc16 = acc16 + (F4)__builtin_shufflevector(t16, t17, 1, 3); // pair 17
    const F4 y = __builtin_shufflevector(acc16, acc16, 0, 2, 0, 2) + __builtin_shufflevector(acc16, acc16, 1, 3, 1, 3);
    output[16] = y[0];
    output[17] = y[1];
}

// Entries 7 to 9: outputs 0..7 in acc0, 8..15 in acc1, 16 and 17 in lanes 0
// and 1 of acc2. The multiplier (lane 0, lane 1, lane 0, ...) of input group
// j gives output i its lane i mod 2. Pads and input lanes 2, 3 are not read.
CIRCUIT_INLINE void runningSumsAvx(const float* coefficients, const float* input, float* output) {
    F8 acc0, acc1;
    F4 acc2;
#pragma GCC unroll 36
    for (int j = 0; j < INPUT_COUNT; ++j) {
        const float* row = coefficients + SOA_ROW_FLOATS * j;
        // Lanes 0 and 1 of group j, repeated: (x0, x1, x0, x1, ...), moved
        // as one 64-bit unit.
        const F8 x = (F8)_mm256_broadcast_sd(reinterpret_cast<const double*>(input + SOA_LANES * j));
        const F8 p0 = load<F8>(row) * x, p1 = load<F8>(row + 8) * x; // M[i][j] x[j]
        const F4 last = (F4)_mm_load_sd(reinterpret_cast<const double*>(row + 16)); // M[16][j], M[17][j], 0, 0
        const F4 p2 = last * __builtin_shufflevector(x, x, 0, 1, 2, 3);
        if (j == 0) { // the chain starts with M[i][0] x[0]
            acc0 = p0;
            acc1 = p1;
            acc2 = p2;
        } else { // ... + M[i][j] x[j]
            acc0 = acc0 + p0;
            acc1 = acc1 + p1;
            acc2 = acc2 + p2;
        }
    }
    store(output, acc0);
    store(output + 8, acc1);
    output[16] = acc2[0];
    output[17] = acc2[1];
}

// The repeat loops, with the loop inside the AVX code.
void kernel3DNowAvx(const float* coefficients, const float* input, float* output, int32_t count) {
    for (int32_t rep = 0; rep < count; ++rep) evenOddSumsAvx(coefficients, input, output);
}

void kernel3DNowSoaAvx(const float* coefficients, const float* input, float* output, int32_t count) {
    for (int32_t rep = 0; rep < count; ++rep) runningSumsAvx(coefficients, input, output);
}
CIRCUIT_AVX_END
#endif

#if CIRCUIT_3DNOW_SSE

// Entry 6. Rows 2k and 2k + 1 sit in acc[k]: lanes 0 and 1 hold the even
// sum E and the odd sum O of row 2k, lanes 2 and 3 those of row 2k + 1. A
// multiply gives a row's products of two column pairs (lanes 0, 1: pair p;
// lanes 2, 3: pair p + 1); moving 64-bit halves (no arithmetic) lines up
// pair p of both rows, then pair p + 1, which are added in that order. The
// nine chains run side by side.
void evenOddSums(const float* coefficients, const float* input, float* output) {
    constexpr int kRowPairs = OUTPUT_COUNT / 2;
    __m128 acc[kRowPairs];
    for (int k = 0; k < kRowPairs; ++k) acc[k] = _mm_setzero_ps(); // E and O from +0.0
    for (int c = 0; c < INPUT_COUNT; c += 4) { // pairs c/2 and c/2 + 1
        const __m128 x = _mm_loadu_ps(input + c);
        for (int k = 0; k < kRowPairs; ++k) {
            const float* even = coefficients + INPUT_COUNT * 2 * k;
            const __m128d a = _mm_castps_pd(_mm_mul_ps(_mm_loadu_ps(even + c), x)); // row 2k
            const __m128d b = _mm_castps_pd(_mm_mul_ps(_mm_loadu_ps(even + INPUT_COUNT + c), x)); // row 2k + 1
            acc[k] = _mm_add_ps(acc[k], _mm_castpd_ps(_mm_unpacklo_pd(a, b))); // pair c/2
            acc[k] = _mm_add_ps(acc[k], _mm_castpd_ps(_mm_unpackhi_pd(a, b))); // pair c/2 + 1
        }
    }
    for (int k = 0; k < kRowPairs; ++k) { // y[i] = E + O
        const __m128 e = _mm_shuffle_ps(acc[k], acc[k], _MM_SHUFFLE(2, 0, 2, 0));
        const __m128 o = _mm_shuffle_ps(acc[k], acc[k], _MM_SHUFFLE(3, 1, 3, 1));
        _mm_storel_pi(reinterpret_cast<__m64*>(output + 2 * k), _mm_add_ps(e, o));
    }
}

// Entries 7 to 9. Outputs 4g .. 4g + 3 sit in the lanes of acc[g]; outputs
// 16 and 17 in lanes 0 and 1 of acc[4], whose lanes 2 and 3 stay zero. The
// multiplier (lane 0, lane 1, lane 0, lane 1) of a group gives every output
// its lane i mod 2. Pads (floats 18, 19 of a row) and lanes 2 and 3 of the
// input groups are never loaded.
void runningSums(const float* coefficients, const float* input, float* output) {
    __m128 acc[5];
    for (int j = 0; j < INPUT_COUNT; ++j) {
        const float* row = coefficients + SOA_ROW_FLOATS * j;
        const __m128 pair = _mm_loadl_pi(_mm_setzero_ps(), reinterpret_cast<const __m64*>(input + SOA_LANES * j));
        const __m128 x = _mm_movelh_ps(pair, pair);
        __m128 product[5];
        for (int g = 0; g < 4; ++g) product[g] = _mm_mul_ps(_mm_loadu_ps(row + 4 * g), x);
        product[4] = _mm_mul_ps(_mm_loadl_pi(_mm_setzero_ps(), reinterpret_cast<const __m64*>(row + 16)), x);
        for (int g = 0; g < 5; ++g)
            acc[g] = j == 0 ? product[g]                     // the chain starts with M[i][0] x[0]
                            : _mm_add_ps(acc[g], product[g]); // ... + M[i][j] x[j]
    }
    for (int g = 0; g < 4; ++g) _mm_storeu_ps(output + 4 * g, acc[g]);
    _mm_storel_pi(reinterpret_cast<__m64*>(output + 16), acc[4]); // outputs 18, 19 untouched
}

#else

// One IEEE single-precision multiply and add.
inline float mul(float a, float b) { return roundToFloat(exactProduct(a, b)); }
inline float add(float a, float b) {
    return roundToFloat(static_cast<double>(a) + static_cast<double>(b));
}

void evenOddSums(const float* coefficients, const float* input, float* output) {
    for (int i = 0; i < OUTPUT_COUNT; ++i) {
        const float* row = coefficients + INPUT_COUNT * i;
        float even = 0.0f, odd = 0.0f;
        for (int p = 0; p < kPairs; ++p) {
            even = add(even, mul(row[2 * p], input[2 * p]));        // E += M[i][2p] x[2p]
            odd = add(odd, mul(row[2 * p + 1], input[2 * p + 1])); // O += M[i][2p+1] x[2p+1]
        }
        output[i] = add(even, odd); // y[i] = E + O
    }
}

void runningSums(const float* coefficients, const float* input, float* output) {
    for (int i = 0; i < OUTPUT_COUNT; ++i) {
        const float* lane = input + i % 2; // lane i mod 2 of every group
        float y = mul(coefficients[i], lane[0]);
        for (int j = 1; j < INPUT_COUNT; ++j)
            y = add(y, mul(coefficients[SOA_ROW_FLOATS * j + i], lane[SOA_LANES * j]));
        output[i] = y;
    }
}

#endif

} // namespace

void kernel3DNow(const float* coefficients, const float* input, float* output, int32_t count) {
    [[maybe_unused]] NearestSingle nearest;
#if CIRCUIT_SIMD
    if (simd::vectorUnit() >= simd::kAvx) {
        kernel3DNowAvx(coefficients, input, output, count);
        return;
    }
#endif
    for (int32_t rep = 0; rep < count; ++rep) evenOddSums(coefficients, input, output);
}

void kernel3DNowSoa(const float* coefficients, const float* input, float* output, int32_t count) {
    [[maybe_unused]] NearestSingle nearest;
#if CIRCUIT_SIMD
    if (simd::vectorUnit() >= simd::kAvx) {
        kernel3DNowSoaAvx(coefficients, input, output, count);
        return;
    }
#endif
    for (int32_t rep = 0; rep < count; ++rep) runningSums(coefficients, input, output);
}

void kernel3DNowSoaK6(const float* coefficients, const float* input, float* output, int32_t count) {
    kernel3DNowSoa(coefficients, input, output, count);
}

void kernel3DNowSoaK7(const float* coefficients, const float* input, float* output, int32_t count) {
    kernel3DNowSoa(coefficients, input, output, count);
}

} // namespace portable
