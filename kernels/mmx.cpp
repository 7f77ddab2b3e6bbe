// Entries 12 and 13: the product in 16-bit fixed point, as the MMX kernels
// compute it. Inputs become Q15 words, coefficients Q10 words; each product
// is the upper half of the 32-bit product (rounded toward minus infinity,
// Q9), the 36 products of a row are summed modulo 2^16, and the sum comes
// back as word / 512.
//
// Every call works in its own scratch on the stack, so the two entries may
// run on several threads at once. The conversions happen once per call and
// read every float before the first output is written, so an output block
// that overlaps the coefficients or the input still gets the right result.
//
// Where the processor has SSE2 (the x86-64 build) the four-lane multiply and
// add use its integer instructions on the low four words of a register;
// elsewhere (the i686 module, built without MMX or SSE) they run lane by
// lane. Both give the same words: PMULHW and a wrapping PADDW are exact
// integer operations. With SSE2 the conversions to words run four floats at
// a time as well (toFixedWords), with the rounding fixed to nearest-even
// for their duration.
#include <cstring>

#include "kernels.h"
#include "rounding.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#include <xmmintrin.h>
#define CIRCUIT_MMX_SSE2 1
#else
#define CIRCUIT_MMX_SSE2 0
#endif

namespace portable {
namespace {

// Conversion factors, float to word and word to float. All are powers of
// two, so every multiplication by them is exact.
constexpr float INPUT_SCALE = 32768.0f;      // input -> Q15
constexpr float COEFF_SCALE = 1024.0f;       // coefficient -> Q10
constexpr float OUTPUT_SCALE = 0.001953125f; // Q9 result -> float: 2^16 / (2^15 * 2^10)
static_assert(OUTPUT_SCALE * INPUT_SCALE * COEFF_SCALE == 65536.0f, "Q15 x Q10 >> 16 is Q9");

// The word FISTP stores for a value it cannot represent: the x87 integer
// indefinite, 0x8000.
constexpr int16_t kIndefinite = -32768;

// The two's-complement 16-bit word of the low 16 bits of w, without relying
// on an implementation-defined narrowing.
inline int16_t wordOf(uint32_t w) {
    w &= 0xFFFFu;
    return static_cast<int16_t>(w >= 0x8000u ? static_cast<int32_t>(w) - 0x10000 : static_cast<int32_t>(w));
}

// v * factor rounded to the nearest integer, ties to even, as FISTP stores it
// under the default rounding mode; anything outside -32768..32767, NaN or
// infinite gives the integer indefinite. The rounding works on the bits of
// the (exact) product, so it depends neither on the rounding mode nor on a
// float-to-integer conversion (which the x87 code of the i686 build would do
// by switching the control word).
[[maybe_unused]] int16_t toFixed(float v, float factor) { // with SSE2: toFixedWords
    const double p = static_cast<double>(v) * static_cast<double>(factor); // exact: factor is 2^k
    if (!(p < 32767.5)) return kIndefinite; // NaN, +inf, or rounds to 32768 and above
    if (p <= -32768.0) return kIndefinite;  // -inf, or rounds to -32768 and below (ties to even
                                            // keep -32768.5 at -32768): the same word
    uint64_t bits;
    std::memcpy(&bits, &p, sizeof bits);
    const bool negative = (bits >> 63) != 0;
    const int biased = static_cast<int>((bits >> 52) & 0x7FF);
    // |p| = mantissa * 2^-shift. A double below 2^16 has shift >= 37; from
    // shift 55 on, |p| < 2^-2 rounds to 0 (zeros and subnormals included).
    const int shift = 1075 - biased;
    if (biased == 0 || shift > 54) return 0;
    const uint64_t mantissa = (bits & ((uint64_t{1} << 52) - 1)) | (uint64_t{1} << 52);
    uint64_t magnitude = mantissa >> shift;
    const uint64_t rest = mantissa & ((uint64_t{1} << shift) - 1);
    const uint64_t half = uint64_t{1} << (shift - 1);
    if (rest > half || (rest == half && (magnitude & 1) != 0)) ++magnitude; // to nearest, ties to even
    // magnitude <= 32768; the negation wraps in unsigned arithmetic.
    const uint32_t word = negative ? 0u - static_cast<uint32_t>(magnitude) : static_cast<uint32_t>(magnitude);
    return wordOf(word);
}

// w / 512 as FILD, FMUL by OUTPUT_SCALE and FSTP give it: exact.
inline float toFloat(int16_t w) { return static_cast<float>(w) * OUTPUT_SCALE; }

// Four 16-bit lanes, lane 0 at the lowest address, as an MMX register holds them.
#if CIRCUIT_MMX_SSE2
using Words4 = __m128i; // lanes 0..3 in the low 64 bits; the high 64 bits stay zero

inline Words4 zero4() { return _mm_setzero_si128(); }
inline Words4 load4(const int16_t* p) { return _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)); }
inline void store4(int16_t* p, Words4 v) { _mm_storel_epi64(reinterpret_cast<__m128i*>(p), v); }
inline Words4 mulhi4(Words4 a, Words4 b) { return _mm_mulhi_epi16(a, b); } // PMULHW
inline Words4 add4(Words4 a, Words4 b) { return _mm_add_epi16(a, b); }    // PADDW
inline int16_t lane(Words4 v, int k) {
    int16_t w[8];
    _mm_storeu_si128(reinterpret_cast<__m128i*>(w), v);
    return w[k];
}
#else
struct Words4 {
    int16_t w[4];
};

inline Words4 zero4() { return Words4{{0, 0, 0, 0}}; }
inline Words4 load4(const int16_t* p) { return Words4{{p[0], p[1], p[2], p[3]}}; }
inline void store4(int16_t* p, Words4 v) {
    for (int k = 0; k < 4; ++k) p[k] = v.w[k];
}
// PMULHW of one lane: floor(a * b / 65536). The product lies in
// [-2^30 + 2^15, 2^30]; offsetting it by 2^30 makes it non-negative, so an
// unsigned shift gives the floor without a signed shift of a negative value.
inline int16_t mulhi(int16_t a, int16_t b) {
    const int32_t product = static_cast<int32_t>(a) * static_cast<int32_t>(b);
    const uint32_t biased = static_cast<uint32_t>(product) + 0x40000000u;
    return static_cast<int16_t>(static_cast<int32_t>(biased >> 16) - 0x4000);
}
// PADDW of one lane: the sum modulo 2^16.
inline int16_t addw(int16_t a, int16_t b) {
    return wordOf(static_cast<uint32_t>(static_cast<uint16_t>(a)) + static_cast<uint16_t>(b));
}
inline Words4 mulhi4(Words4 a, Words4 b) {
    Words4 r;
    for (int k = 0; k < 4; ++k) r.w[k] = mulhi(a.w[k], b.w[k]);
    return r;
}
inline Words4 add4(Words4 a, Words4 b) {
    Words4 r;
    for (int k = 0; k < 4; ++k) r.w[k] = addw(a.w[k], b.w[k]);
    return r;
}
inline int16_t lane(Words4 v, int k) { return v.w[k]; }
#endif

// The sum of the four lanes modulo 2^16, as (l3 + l1) + (l2 + l0).
inline int16_t horizontalSum(Words4 s) {
    const uint32_t l31 = static_cast<uint16_t>(lane(s, 3)) + static_cast<uint32_t>(static_cast<uint16_t>(lane(s, 1)));
    const uint32_t l20 = static_cast<uint16_t>(lane(s, 2)) + static_cast<uint32_t>(static_cast<uint16_t>(lane(s, 0)));
    return wordOf(l31 + l20);
}

// Words of one call. Each array starts on a 32-byte boundary, as in the
// hand-written kernels; entry 12 uses the leading part of each.
struct FixedScratch {
    alignas(32) int16_t coefficients[SOA_COEFFICIENT_FLOATS];
    alignas(32) int16_t input[SOA_INPUT_FLOATS];
    alignas(32) int16_t result[SOA_OUTPUT_FLOATS];
};

#if CIRCUIT_MMX_SSE2
// words[0..n-1] = toFixed(v[0..n-1], factor), n a multiple of 4, four at a
// time: v * factor is exact in single precision (a power of two; an overflow
// gives an infinity), CVTPS2DQ rounds it to the nearest integer with ties to
// even under the MXCSR set here (and gives 0x80000000 for NaN, infinities
// and anything beyond 32 bits), and what lies outside -32768..32767 becomes
// the integer indefinite. The caller's MXCSR (rounding, flush-to-zero,
// masks) is restored, with the exception flags the conversions raised
// (inexact, invalid) added to the caller's, as FISTP raises them on the x87.
void toFixedWords(const float* v, int n, float factor, int16_t* words) {
    const unsigned int saved = _mm_getcsr();
    _mm_setcsr(0x1F80); // round to nearest, every exception masked, no flushing
    const __m128 f = _mm_set1_ps(factor);
    const __m128i top = _mm_set1_epi32(32767), bottom = _mm_set1_epi32(-32768);
    for (int k = 0; k < n; k += 4) {
        const __m128i r = _mm_cvtps_epi32(_mm_mul_ps(_mm_loadu_ps(v + k), f));
        const __m128i outside = _mm_or_si128(_mm_cmpgt_epi32(r, top), _mm_cmplt_epi32(r, bottom));
        const __m128i w = _mm_or_si128(_mm_andnot_si128(outside, r), _mm_and_si128(outside, bottom));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(words + k), _mm_packs_epi32(w, w)); // in range: exact
    }
    _mm_setcsr(saved | (_mm_getcsr() & 0x3Fu)); // bits 0 to 5: the sticky exception flags
}
#else
void toFixedWords(const float* v, int n, float factor, int16_t* words) {
    for (int k = 0; k < n; ++k) words[k] = toFixed(v[k], factor);
}
#endif

// Steps 1 and 2 of both entries: input words first, then coefficient words,
// each in ascending order.
void convertIn(const float* coefficients, int coefficientWords, const float* input, int inputWords,
               FixedScratch& s) {
    toFixedWords(input, inputWords, INPUT_SCALE, s.input);
    toFixedWords(coefficients, coefficientWords, COEFF_SCALE, s.coefficients);
}

// Results 0..17 back to floats, after all reading is done.
void convertOut(const FixedScratch& s, float* output) {
    for (int i = 0; i < OUTPUT_COUNT; ++i) output[i] = toFloat(s.result[i]);
}

constexpr int kAosRowWords = INPUT_COUNT;
constexpr int kRowGroups = OUTPUT_COUNT / 3;
static_assert(OUTPUT_COUNT % 3 == 0 && INPUT_COUNT % 4 == 0, "rows go in threes, columns in fours");

// Entry 12, one repetition: row groups of three; lane k of each accumulator
// collects columns k, k + 4, ..., k + 32 of its row.
[[maybe_unused]] void multiplyAccumulateAos(FixedScratch& s) { // x86-64: multiplyAccumulate8
    const int16_t* row = s.coefficients;
    for (int g = 0; g < kRowGroups; ++g, row += 3 * kAosRowWords) {
        Words4 s0 = zero4(), s1 = zero4(), s2 = zero4(); // rows 3g, 3g + 1, 3g + 2
        for (int t = 0; t < INPUT_COUNT / 4; ++t) {
            const Words4 x = load4(s.input + 4 * t);                     // input words 4t..4t+3
            const Words4 p0 = mulhi4(load4(row + 4 * t), x);                // row 3g
            const Words4 p1 = mulhi4(load4(row + kAosRowWords + 4 * t), x); // row 3g + 1
            const Words4 p2 = mulhi4(load4(row + 2 * kAosRowWords + 4 * t), x); // row 3g + 2
            s0 = add4(s0, p0);
            s1 = add4(s1, p1);
            s2 = add4(s2, p2);
        }
        s.result[3 * g] = horizontalSum(s0);
        s.result[3 * g + 1] = horizontalSum(s1);
        s.result[3 * g + 2] = horizontalSum(s2);
    }
}

// Entry 13, one repetition: five accumulators, Rv for results 4v..4v+3;
// result i takes lane i mod 4 of every input group. Results 18 and 19 come
// from the pad coefficients and stay in the scratch.
[[maybe_unused]] void multiplyAccumulateSoa(FixedScratch& s) { // x86-64: multiplyAccumulate8
    Words4 r0 = zero4(), r1 = zero4(), r2 = zero4(), r3 = zero4(), r4 = zero4();
    for (int j = 0; j < INPUT_COUNT; ++j) {
        const int16_t* c = s.coefficients + SOA_ROW_FLOATS * j;
        const Words4 x = load4(s.input + SOA_LANES * j); // group j, four lanes
        r0 = add4(r0, mulhi4(load4(c), x));               // results 0..3
        r1 = add4(r1, mulhi4(load4(c + 4), x));           // results 4..7
        r2 = add4(r2, mulhi4(load4(c + 8), x));           // results 8..11
        r3 = add4(r3, mulhi4(load4(c + 12), x));          // results 12..15
        r4 = add4(r4, mulhi4(load4(c + 16), x));          // results 16..19
    }
    store4(s.result, r0);
    store4(s.result + 4, r1);
    store4(s.result + 8, r2);
    store4(s.result + 12, r3);
    store4(s.result + 16, r4);
}

#if CIRCUIT_MMX_SSE2
// x86-64: eight words per register. Results 0..7, 8..15 and 16..19 (the last
// in the low half) are three accumulators; input group j is repeated in both
// halves of the multiplier, so result i still takes lane i mod 4. This is
// the arithmetic of multiplyAccumulateSoa, lane for lane.
void multiplyAccumulate8(FixedScratch& s) {
    __m128i r0 = _mm_setzero_si128(), r1 = _mm_setzero_si128(), r2 = _mm_setzero_si128();
    // Unrolled: as a loop, the compiler shuffles the three sums between
    // registers every step, which lengthens their chains. Unrolled without
    // the barrier at the end of each step, it regroups the additions (a
    // wrapping PADDW may be regrouped freely) into trees: it forms all 108
    // products first and spills most of them to the stack, so a repetition
    // issues about 100 stores and as many reloads besides its own loads (on
    // a core that stores one vector per cycle, about 1.6 times the time of
    // the steps alone).
#pragma GCC unroll 36
    for (int j = 0; j < INPUT_COUNT; ++j) {
        const int16_t* c = s.coefficients + SOA_ROW_FLOATS * j;
        const __m128i group = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(s.input + SOA_LANES * j));
        const __m128i x = _mm_unpacklo_epi64(group, group);
        r0 = _mm_add_epi16(r0, _mm_mulhi_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(c)), x));
        r1 = _mm_add_epi16(r1, _mm_mulhi_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(c + 8)), x));
        r2 = _mm_add_epi16(r2, _mm_mulhi_epi16(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(c + 16)), x));
        // The three sums leave each step in registers, in order; emits
        // nothing, and the processor still overlaps the steps.
        __asm__("" : "+x"(r0), "+x"(r1), "+x"(r2));
    }
    _mm_storeu_si128(reinterpret_cast<__m128i*>(s.result), r0);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(s.result + 8), r1);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(s.result + 16), r2);
}

// Entry 12's words in the arrangement of entry 13: coefficient word 20j + i
// is M[i][j] (words 18 and 19 of each row zero), and the four input words of
// group j are all x[j]. A result is the sum modulo 2^16 of its 36 exact
// PMULHW words, which no order or grouping of the additions changes, so
// entry 12 gets the same result words from multiplyAccumulate8.
void convertInAosAsSoa(const float* coefficients, const float* input, FixedScratch& s) {
    int16_t words[AOS_COEFFICIENT_FLOATS]; // the AOS words, row i at 36i
    toFixedWords(input, INPUT_COUNT, INPUT_SCALE, words);
    for (int j = 0; j < INPUT_COUNT; ++j)
        for (int k = 0; k < SOA_LANES; ++k) s.input[SOA_LANES * j + k] = words[j];
    toFixedWords(coefficients, AOS_COEFFICIENT_FLOATS, COEFF_SCALE, words);
    for (int j = 0; j < INPUT_COUNT; ++j) {
        int16_t* row = s.coefficients + SOA_ROW_FLOATS * j;
        for (int i = 0; i < OUTPUT_COUNT; ++i) row[i] = words[INPUT_COUNT * i + j];
        row[18] = row[19] = 0;
    }
}
#endif

} // namespace

void kernelMmxFixed(const float* coefficients, const float* input, float* output, int32_t count) {
    if (count <= 0) return;
    FixedScratch s;
    [[maybe_unused]] NearestFpcr nearest; // aarch64: no input flushed, so no flag raised
#if CIRCUIT_MMX_SSE2
    convertInAosAsSoa(coefficients, input, s);
    for (int32_t rep = 0; rep < count; ++rep) {
        __asm__ volatile("" : : "r"(&s) : "memory"); // every repetition computes afresh
        multiplyAccumulate8(s);
    }
#else
    convertIn(coefficients, AOS_COEFFICIENT_FLOATS, input, AOS_INPUT_FLOATS, s);
    for (int32_t rep = 0; rep < count; ++rep) multiplyAccumulateAos(s);
#endif
    convertOut(s, output);
}

void kernelMmxFixedSoa(const float* coefficients, const float* input, float* output, int32_t count) {
    if (count <= 0) return;
    FixedScratch s;
    [[maybe_unused]] NearestFpcr nearest;
    convertIn(coefficients, SOA_COEFFICIENT_FLOATS, input, SOA_INPUT_FLOATS, s);
#if CIRCUIT_MMX_SSE2
    for (int32_t rep = 0; rep < count; ++rep) {
        __asm__ volatile("" : : "r"(&s) : "memory"); // every repetition computes afresh
        multiplyAccumulate8(s);
    }
#else
    for (int32_t rep = 0; rep < count; ++rep) multiplyAccumulateSoa(s);
#endif
    convertOut(s, output);
}

} // namespace portable
