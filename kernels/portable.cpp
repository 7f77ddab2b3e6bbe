// Entries 0 to 2: plain C++ loops over the AOS layout. Products are exact,
// sums are rounded to double precision, and a value becomes single precision
// only where the entry stores it. On the i686 build this is x87 code at the
// 53-bit precision the module sets at load, which gives the same bits; the
// x87 control word is the caller's, as for the hand-written x87 kernels. The
// vector code of x86-64 and the code of aarch64 run under round to nearest
// without flushing, whatever the caller's MXCSR or FPCR (NearestVector).
//
// The loops below are the plain statement of each order, which the i686
// build and other processors run. On x86-64 the kernels run the same orders
// on all eighteen outputs side by side instead (portable_orders.inc, built
// for SSE2 and for AVX; simd.h chooses per processor).
#include "kernels.h"
#include "rounding.h"
#include "simd.h"

namespace portable {

#if CIRCUIT_SIMD
namespace {
namespace sse2 {
using namespace simd::sse2;
#include "portable_orders.inc"
} // namespace sse2
namespace avx {
CIRCUIT_AVX_BEGIN
using namespace simd::avx;
#include "portable_orders.inc"
CIRCUIT_AVX_END
} // namespace avx
} // namespace
#endif

// Entry 0: the running sum lives in y[i]. Each term reads y[i] back, adds the
// product in double precision and stores the sum rounded to single precision,
// so every partial sum passes through memory. y[i] is reached through a
// volatile reference: otherwise the compiler forwards the value it has just
// stored from a register instead of loading it again, and the entry's shape
// (a load and a store of y[i] per term) is lost. The store into the float
// element is what rounds each partial sum, on x87 code as elsewhere.
void kernelCSdk(const float* coefficients, const float* input, float* output, int32_t count) {
    [[maybe_unused]] NearestVector nearest; // x86-64's vector code, aarch64
#if CIRCUIT_SIMD
    simd::run(sse2::cSdk, avx::cSdk, coefficients, input, output, count);
#else
    for (int32_t rep = 0; rep < count; ++rep) {
        const float* row = coefficients;
        for (int i = 0; i < OUTPUT_COUNT; ++i, row += INPUT_COUNT) {
            volatile float& y = output[i];
            y = 0.0f;
            for (int j = 0; j < INPUT_COUNT; ++j)
                y = exactProduct(row[j], input[j]) + y; // y[i] = p(i,j) + y[i], stored as a float
        }
    }
#endif
}

// Entry 1: one double accumulator per row, from +0.0, products 0..35 in
// ascending order; one rounding to single precision at the store.
void kernelCTemp(const float* coefficients, const float* input, float* output, int32_t count) {
    [[maybe_unused]] NearestVector nearest; // x86-64's vector code, aarch64
#if CIRCUIT_SIMD
    simd::run(sse2::cTemp, avx::cTemp, coefficients, input, output, count);
#else
    for (int32_t rep = 0; rep < count; ++rep) {
        const float* row = coefficients;
        for (int i = 0; i < OUTPUT_COUNT; ++i, row += INPUT_COUNT) {
            double sum = 0.0;
            for (int j = 0; j < INPUT_COUNT; ++j) sum = sum + exactProduct(row[j], input[j]);
            output[i] = roundToFloat(sum);
        }
    }
#endif
}

// Entry 2: one straight run per row, in the fixed order
// p35 + p1, then p2 .. p33 ascending, then p0, then p34.
void kernelCUnrolled(const float* coefficients, const float* input, float* output,
                     int32_t count) {
    [[maybe_unused]] NearestVector nearest; // x86-64's vector code, aarch64
#if CIRCUIT_SIMD
    simd::run(sse2::cUnrolled, avx::cUnrolled, coefficients, input, output, count);
#else
    for (int32_t rep = 0; rep < count; ++rep) {
        const float* m = coefficients;
        for (int i = 0; i < OUTPUT_COUNT; ++i, m += INPUT_COUNT) {
            const float* x = input;
            double s = exactProduct(m[35], x[35]) + exactProduct(m[1], x[1]);
            s = s + exactProduct(m[2], x[2]);
            s = s + exactProduct(m[3], x[3]);
            s = s + exactProduct(m[4], x[4]);
            s = s + exactProduct(m[5], x[5]);
            s = s + exactProduct(m[6], x[6]);
            s = s + exactProduct(m[7], x[7]);
            s = s + exactProduct(m[8], x[8]);
            s = s + exactProduct(m[9], x[9]);
            s = s + exactProduct(m[10], x[10]);
            s = s + exactProduct(m[11], x[11]);
            s = s + exactProduct(m[12], x[12]);
            s = s + exactProduct(m[13], x[13]);
            s = s + exactProduct(m[14], x[14]);
            s = s + exactProduct(m[15], x[15]);
            s = s + exactProduct(m[16], x[16]);
            s = s + exactProduct(m[17], x[17]);
            s = s + exactProduct(m[18], x[18]);
            s = s + exactProduct(m[19], x[19]);
            s = s + exactProduct(m[20], x[20]);
            s = s + exactProduct(m[21], x[21]);
            s = s + exactProduct(m[22], x[22]);
            s = s + exactProduct(m[23], x[23]);
            s = s + exactProduct(m[24], x[24]);
            s = s + exactProduct(m[25], x[25]);
            s = s + exactProduct(m[26], x[26]);
            s = s + exactProduct(m[27], x[27]);
            s = s + exactProduct(m[28], x[28]);
            s = s + exactProduct(m[29], x[29]);
            s = s + exactProduct(m[30], x[30]);
            s = s + exactProduct(m[31], x[31]);
            s = s + exactProduct(m[32], x[32]);
            s = s + exactProduct(m[33], x[33]);
            s = s + exactProduct(m[0], x[0]);
            s = s + exactProduct(m[34], x[34]);
            output[i] = roundToFloat(s);
        }
    }
#endif
}

} // namespace portable
