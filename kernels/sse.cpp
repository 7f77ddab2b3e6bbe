// Entries 10 and 11 in C++: the SOA product as five four-lane chains, one per
// output group v = 0 to 4 (outputs 4v to 4v + 3, the last group holding the
// two pad results 18 and 19). Each chain starts from its first product and
// adds the products of input groups 1 to 35 in ascending order; every product
// and every sum is rounded to single precision, lane by lane. Output i thus
// takes lane i mod 4 of every input group.
//
// The two entries differ only in how their hand-written code interleaves the
// five chains, not in any lane's arithmetic, so one implementation serves
// both. It also serves the hand-written kernels themselves for blocks that are
// not on 16-byte boundaries (see sseSoaChains below), so it reads and writes
// the blocks without assuming any alignment beyond that of a float.
#include "kernels.h"
#include "rounding.h"

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

} // namespace
} // namespace portable

// C linkage so that the hand-written kernels can hand misaligned blocks to it
// by name (kernels/sse.asm).
extern "C" void sseSoaChains(const float* coefficients, const float* input, float* output,
                             int32_t count);

extern "C" void sseSoaChains(const float* coefficients, const float* input, float* output,
                             int32_t count) {
    using namespace portable;
    for (int32_t rep = 0; rep < count; ++rep) {
        for (int v = 0; v < kGroups; ++v) {
            // y[4v..4v+3] = p(0,v), then y += p(j,v) for j = 1 to 35.
            Group sum = multiply(loadGroup(coefficientGroup(coefficients, 0, v)), loadGroup(input));
            for (int j = 1; j < INPUT_COUNT; ++j) {
                const Group product = multiply(loadGroup(coefficientGroup(coefficients, j, v)),
                                               loadGroup(input + SOA_LANES * j)); // p(j,v)
                sum = add(sum, product); // p(0,v) + ... + p(j,v)
            }
            storeGroup(output + SOA_LANES * v, sum);
        }
    }
}

namespace portable {

void kernelSseSoa(const float* coefficients, const float* input, float* output, int32_t count) {
    sseSoaChains(coefficients, input, output, count);
}

void kernelSseSoaOoo(const float* coefficients, const float* input, float* output,
                     int32_t count) {
    sseSoaChains(coefficients, input, output, count);
}

} // namespace portable
