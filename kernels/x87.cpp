// Entries 3 to 5 in C++: the twins of the hand-written x87 kernels in
// x87.asm, and the reference they are checked against. Each output is formed
// in exactly the order of additions its x87 code uses: products of two floats
// are exact in double precision, every sum is rounded to double precision
// (which is what the x87 unit does at the 53-bit precision the module sets at
// load), and a value becomes single precision only at the store of an output.
//
// The kernels below state each order one output at a time (`Lanes` is one
// double); the i686 build and other processors run them. On x86-64 the
// kernels run the same orders on all eighteen outputs side by side instead
// (x87_orders.inc), each lane keeping its own chain; lanes never mix, so the
// bits are those of the one-output-at-a-time form. That vector code runs under
// round to nearest without flushing, whatever the caller's MXCSR, as the code
// of aarch64 does whatever its FPCR; the x87 code of the i686 build, like the
// hand-written kernels, under the caller's x87 control word.
#include <cstddef>

#include "kernels.h"
#include "rounding.h"
#include "simd.h"

namespace portable {
namespace {

#if CIRCUIT_SIMD
// x86-64: the same orders on all eighteen outputs at once (x87_orders.inc,
// built for SSE2 and for AVX; simd.h chooses per processor).
namespace sse2 {
using namespace simd::sse2;
#include "x87_orders.inc"
} // namespace sse2
namespace avx {
CIRCUIT_AVX_BEGIN
using namespace simd::avx;
#include "x87_orders.inc"
CIRCUIT_AVX_END
} // namespace avx
#define CIRCUIT_VECTOR_PATH(name)                                     \
    [[maybe_unused]] NearestMxcsr nearest; /* whatever the caller's MXCSR */ \
    simd::run(sse2::name, avx::name, coefficients, input, output, count); \
    return;
#else
// aarch64: to nearest without flushing, whatever the caller's FPCR; the i686
// build's x87 code computes under the caller's control word (nothing here).
#define CIRCUIT_VECTOR_PATH(name) [[maybe_unused]] NearestFpcr nearest;
#endif

typedef double Lanes;
constexpr int kLanes = 1;

inline Lanes broadcast(float x) { return x; }

inline Lanes products(const float* m, std::ptrdiff_t, Lanes x) {
    return static_cast<double>(m[0]) * x; // exactProduct(m[0], x)
}

inline void store(float* y, Lanes sum) { y[0] = roundToFloat(sum); }

static_assert(OUTPUT_COUNT % kLanes == 0, "outputs come in whole vectors");

// The 36 inputs, each in every lane, converted once per repetition; x[j] is
// read from input[stride * j].
struct Inputs {
    Lanes x[INPUT_COUNT];
    Inputs(const float* input, int stride) {
        for (int j = 0; j < INPUT_COUNT; ++j) x[j] = broadcast(input[stride * j]);
    }
};

// Entry 3's reduction of one group of eight values: seven additions, a tree
// of depth three.
inline Lanes groupSum(Lanes v0, Lanes v1, Lanes v2, Lanes v3, Lanes v4, Lanes v5, Lanes v6,
                      Lanes v7) {
    const Lanes a = v0 + v7;
    const Lanes b = v1 + v6;
    const Lanes c = v2 + v5;
    const Lanes d = v3 + v4;
    const Lanes e = a + d;
    const Lanes f = b + c;
    return e + f; // ((v0 + v7) + (v3 + v4)) + ((v1 + v6) + (v2 + v5))
}

} // namespace

// Entry 3 (AOS): per output, group 0 is p0..p7; groups 1 to 4 each take the
// running result S as v0 and the next seven products as v1..v7 (p8..p14,
// p15..p21, p22..p28, p29..p35), reduced by groupSum.
void kernelX87(const float* coefficients, const float* input, float* output, int32_t count) {
    CIRCUIT_VECTOR_PATH(x87Tree)
    for (int32_t rep = 0; rep < count; ++rep) {
        const Inputs in(input, 1);
        const Lanes* x = in.x;
        for (int i = 0; i < OUTPUT_COUNT; i += kLanes) {
            const float* m = coefficients + INPUT_COUNT * i; // row i
            auto p = [&](int j) { return products(m + j, INPUT_COUNT, x[j]); };
            Lanes s = groupSum(p(0), p(1), p(2), p(3), p(4), p(5), p(6), p(7));
            for (int first = 8; first < INPUT_COUNT; first += 7) // groups 1 to 4
                s = groupSum(s, p(first), p(first + 1), p(first + 2), p(first + 3), p(first + 4),
                             p(first + 5), p(first + 6));
            store(output + i, s);
        }
    }
}

// Entry 4 (AOS): three running sums. L starts at p0, N at p1, T at p2; block
// k = 1..11 with a = p(3k), b = p(3k+1), c = p(3k+2) does L = L + N, then
// T = T + a, then N = b + c. The output is ((L + T) + N).
void kernelX87Fxch(const float* coefficients, const float* input, float* output, int32_t count) {
    CIRCUIT_VECTOR_PATH(x87Fxch)
    for (int32_t rep = 0; rep < count; ++rep) {
        const Inputs in(input, 1);
        const Lanes* x = in.x;
        for (int i = 0; i < OUTPUT_COUNT; i += kLanes) {
            const float* m = coefficients + INPUT_COUNT * i;
            auto p = [&](int j) { return products(m + j, INPUT_COUNT, x[j]); };
            Lanes sumL = p(0);
            Lanes sumN = p(1);
            Lanes sumT = p(2);
            for (int k = 1; k <= 11; ++k) {
                const Lanes a = p(3 * k), b = p(3 * k + 1), c = p(3 * k + 2);
                sumL = sumL + sumN; // L += N: (p0 + p1), then + (p4 + p5), + (p7 + p8), ...
                sumT = sumT + a;    // T += p(3k): ((p2 + p3) + p6) + p9 ...
                sumN = b + c;       // N = p(3k+1) + p(3k+2)
            }
            store(output + i, (sumL + sumT) + sumN);
        }
    }
}

// Entry 5 (SOA): every output is the plain ascending chain
// ((p0 + p1) + p2) + ... + p35, started from p0. M[i][j] is float i of
// coefficient row j (floats 18 and 19 are never read), x[j] is lane 0 of
// input group j (lanes 1 to 3 are never read); y[18] and y[19] are never
// written. The x87 code runs six chains at a time; the chains are independent,
// so running all eighteen side by side here gives the same bits.
void kernelX87SoaOoo(const float* coefficients, const float* input, float* output,
                     int32_t count) {
    CIRCUIT_VECTOR_PATH(x87SoaOoo)
    constexpr int kVectors = OUTPUT_COUNT / kLanes;
    for (int32_t rep = 0; rep < count; ++rep) {
        const Inputs in(input, SOA_LANES); // lane 0 of every input group
        const Lanes* x = in.x;
        Lanes sum[kVectors];
        for (int v = 0; v < kVectors; ++v) // j = 0 starts every chain
            sum[v] = products(coefficients + kLanes * v, 1, x[0]);
        for (int j = 1; j < INPUT_COUNT; ++j) {
            const float* row = coefficients + SOA_ROW_FLOATS * j;
            for (int v = 0; v < kVectors; ++v)
                sum[v] = sum[v] + products(row + kLanes * v, 1, x[j]); // y[i] += M[i][j] * x[j]
        }
        for (int v = 0; v < kVectors; ++v) store(output + kLanes * v, sum[v]);
    }
}

} // namespace portable
