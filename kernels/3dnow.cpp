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
// On x86-64 the chains of four outputs run side by side in the lanes of SSE
// registers (mulps/addps: single precision, no wider intermediate, no fused
// multiply-add). Elsewhere, notably on the i686 module's x87 code, each
// operation is written out and rounded to single precision by a store
// (roundToFloat): a float product is exact at 53 bits and a sum of two floats
// rounded to 53 bits and then to 24 gives the correctly rounded single sum.
#include "kernels.h"
#include "rounding.h"

#if defined(__x86_64__) || defined(_M_X64)
#include <xmmintrin.h>
#define CIRCUIT_3DNOW_SSE 1
#else
#define CIRCUIT_3DNOW_SSE 0
#endif

namespace portable {
namespace {

constexpr int kPairs = INPUT_COUNT / 2; // column pairs of an AOS row

#if CIRCUIT_3DNOW_SSE

// Entry 6, rows r0 .. r0 + n - 1 (n = 4, or 2 for the last rows) in the lanes
// of one register; lanes beyond n repeat the last row and are not stored.
void evenOddRows(const float* coefficients, const float* input, float* output, int r0, int n) {
    const float* row[4];
    for (int lane = 0; lane < 4; ++lane)
        row[lane] = coefficients + INPUT_COUNT * (r0 + (lane < n ? lane : n - 1));
    __m128 even = _mm_setzero_ps(); // +0.0 in every lane
    __m128 odd = _mm_setzero_ps();
    for (int p = 0; p < kPairs; ++p) {
        const int c = 2 * p;
        const __m128 me = _mm_setr_ps(row[0][c], row[1][c], row[2][c], row[3][c]);
        const __m128 mo = _mm_setr_ps(row[0][c + 1], row[1][c + 1], row[2][c + 1], row[3][c + 1]);
        even = _mm_add_ps(even, _mm_mul_ps(me, _mm_set1_ps(input[c])));    // E += M[i][2p] x[2p]
        odd = _mm_add_ps(odd, _mm_mul_ps(mo, _mm_set1_ps(input[c + 1]))); // O += M[i][2p+1] x[2p+1]
    }
    float y[4];
    _mm_storeu_ps(y, _mm_add_ps(even, odd)); // y[i] = E + O
    for (int lane = 0; lane < n; ++lane) output[r0 + lane] = y[lane];
}

void evenOddSums(const float* coefficients, const float* input, float* output) {
    for (int r0 = 0; r0 < 16; r0 += 4) evenOddRows(coefficients, input, output, r0, 4);
    evenOddRows(coefficients, input, output, 16, 2);
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
    for (int32_t rep = 0; rep < count; ++rep) evenOddSums(coefficients, input, output);
}

void kernel3DNowSoa(const float* coefficients, const float* input, float* output, int32_t count) {
    for (int32_t rep = 0; rep < count; ++rep) runningSums(coefficients, input, output);
}

void kernel3DNowSoaK6(const float* coefficients, const float* input, float* output, int32_t count) {
    kernel3DNowSoa(coefficients, input, output, count);
}

void kernel3DNowSoaK7(const float* coefficients, const float* input, float* output, int32_t count) {
    kernel3DNowSoa(coefficients, input, output, count);
}

} // namespace portable
