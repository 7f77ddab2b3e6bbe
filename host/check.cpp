// Judging an entry's output: the exact product, rounded once, and a bound on
// how far an entry of each kind of arithmetic may lie from it.
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "check.h"
#include "floatbits.h"

namespace host {

namespace {

// Exact sum of products of two floats. A float is an integer of at most 24
// bits times 2^q with q >= -149, so a product is an integer below 2^48 times
// 2^Q with -298 <= Q <= 208. Ten 64-bit limbs hold every such product, and
// the sum of 36 of them, in two's complement with bit 0 weighing 2^-300. No
// floating-point arithmetic is involved, so the x87 precision setting (which
// the module changes when it is loaded) cannot affect the result.
class ExactSum {
  public:
    void add(float a, float b) {
        uint64_t ma, mb;
        int qa, qb;
        bool na = split(a, ma, qa), nb = split(b, mb, qb);
        if (ma == 0 || mb == 0) return;
        const uint64_t product = ma * mb; // < 2^48
        const int offset = qa + qb - kLowExponent;
        const int limb = offset / 64, shift = offset % 64;
        const uint64_t lo = product << shift;
        const uint64_t hi = shift ? product >> (64 - shift) : 0;
        if (na != nb)
            subtract(limb, lo, hi);
        else
            addAt(limb, lo, hi);
    }

    long double value() const {
        uint64_t v[kLimbs];
        std::memcpy(v, limbs_, sizeof v);
        const bool negative = v[kLimbs - 1] >> 63;
        if (negative) { // two's complement negation
            uint64_t carry = 1;
            for (uint64_t& l : v) {
                l = ~l + carry;
                carry = carry && l == 0;
            }
        }
        // The top two nonzero limbs carry 64 or more significant bits:
        // plenty for a reference that sits far below every bound.
        long double r = 0;
        for (int k = kLimbs - 1; k >= 0; --k) {
            if (v[k] == 0) continue;
            r = std::ldexp(static_cast<long double>(v[k]), 64 * k + kLowExponent);
            if (k > 0)
                r += std::ldexp(static_cast<long double>(v[k - 1]), 64 * (k - 1) + kLowExponent);
            break;
        }
        return negative ? -r : r;
    }

  private:
    static constexpr int kLimbs = 10;
    static constexpr int kLowExponent = -300;

    // v = (-1)^sign * m * 2^q; returns the sign.
    static bool split(float v, uint64_t& m, int& q) {
        uint32_t bits;
        std::memcpy(&bits, &v, 4);
        const uint32_t e = (bits >> 23) & 0xFF;
        m = bits & 0x7FFFFF;
        if (e == 0) {
            q = -149;
        } else {
            m |= 0x800000;
            q = static_cast<int>(e) - 150;
        }
        return bits >> 31;
    }

    void addAt(int k, uint64_t lo, uint64_t hi) {
        uint64_t carry = 0;
        for (int i = k; i < kLimbs; ++i) {
            const uint64_t term = i == k ? lo : i == k + 1 ? hi : 0;
            if (term == 0 && carry == 0 && i > k + 1) break;
            const uint64_t s = limbs_[i] + term;
            const uint64_t c1 = s < term;
            limbs_[i] = s + carry;
            carry = c1 | (limbs_[i] < s);
        }
    }

    void subtract(int k, uint64_t lo, uint64_t hi) {
        uint64_t borrow = 0;
        for (int i = k; i < kLimbs; ++i) {
            const uint64_t term = i == k ? lo : i == k + 1 ? hi : 0;
            if (term == 0 && borrow == 0 && i > k + 1) break;
            const uint64_t d = limbs_[i] - term;
            const uint64_t b1 = limbs_[i] < term;
            limbs_[i] = d - borrow;
            borrow = b1 | (d < borrow);
        }
    }

    uint64_t limbs_[kLimbs] = {};
};

// The fixed-point entries' operand ranges: an input converts to Q15 without
// overflow below 32767.5/32768, a coefficient to Q10 below 32767.5/1024.
bool inFixedRange(float x, float c) {
    return x >= -1.0f && x < 32767.5f / 32768.0f && c >= -32.0f && c < 32767.5f / 1024.0f;
}

long double outputBound(Arithmetic kind, const Reference& ref, int i) {
    if (kind == Arithmetic::Fixed) return ref.fixedBound[i];
    // Any order of 36 rounded additions (at most 35 deep) and rounded
    // products stays within 37 single-precision rounding errors of the sum
    // of |products|; x87 entries that keep partial sums in double precision
    // do much better, but one that stores every partial sum to single
    // precision (the running sum in memory) needs as much. Underflow adds at
    // most half the smallest denormal per operation.
    return 37.0L * 0x1p-24L * ref.absSum[i] * (1 + 0x1p-20L) + 74 * 0x1p-150L;
}

} // namespace

long double outputError(Arithmetic kind, float y, const Reference& ref, int i) {
    long double error = std::fabs(static_cast<long double>(y) - ref.y[i]);
    if (kind != Arithmetic::Fixed || !std::isfinite(error)) return error;
    // The 16-bit Q9 sums wrap modulo 128 instead of saturating, so an output
    // 128 away is the right wrapped answer, but only where the sum may leave
    // -64 .. 64: inside that range a wrap is a wrong conversion.
    const long double bound = ref.fixedBound[i];
    const bool mayWrap = ref.y[i] + bound >= 64.0L || ref.y[i] - bound < -64.0L;
    return mayWrap ? std::fabs(std::remainder(error, 128.0L)) : error;
}

Reference exactReference(const circuit::Problem& p) {
    Reference ref;
    for (int i = 0; i < OUTPUT_COUNT; ++i) {
        ExactSum sum;
        long double absSum = 0, fixed = 0;
        for (int j = 0; j < INPUT_COUNT; ++j) {
            const float c = p.m[i][j], x = p.x[j];
            sum.add(c, x);
            const long double ac = std::fabs(static_cast<long double>(c));
            const long double ax = std::fabs(static_cast<long double>(x));
            absSum += ac * ax;
            // Q15 input within 2^-16, Q10 coefficient within 2^-11, their
            // product, and the floor of every product to a multiple of 2^-9.
            fixed += ac * 0x1p-16L + ax * 0x1p-11L + 0x1p-27L + 0x1p-9L;
            if (!inFixedRange(x, c)) ref.fixedInRange = false;
        }
        ref.y[i] = sum.value();
        ref.absSum[i] = absSum;
        ref.fixedBound[i] = fixed;
    }
    return ref;
}

Check checkOutput(EntryFlags flags, const float* y, const Reference& ref) {
    Check c;
    const Arithmetic kind = arithmeticOf(flags);
    c.ok = true;
    for (int i = 0; i < OUTPUT_COUNT; ++i) {
        c.y[i] = y[i];
        const long double bound = outputBound(kind, ref, i);
        const long double error = outputError(kind, y[i], ref, i);
        const double ratio = bound > 0 ? static_cast<double>(error / bound) : (error == 0 ? 0 : INFINITY);
        if (!(error <= bound)) {
            if (c.ok) {
                char text[160];
                std::snprintf(text, sizeof text, "y[%d] = %.9g, exact %.9g, off by %.3g (bound %.3g)", i,
                              static_cast<double>(y[i]), static_cast<double>(ref.y[i]),
                              static_cast<double>(error), static_cast<double>(bound));
                c.reason = text;
            }
            c.ok = false;
        }
        if (!(ratio <= c.worstRatio)) {
            c.worstRatio = ratio;
            c.maxError = static_cast<double>(error);
            c.bound = static_cast<double>(bound);
        }
    }
    if (kind == Arithmetic::Fixed && !ref.fixedInRange) {
        c.unchecked = true;
        c.ok = true;
        c.reason = "values outside the fixed-point range (inputs -1 .. 0.99998, coefficients -32 .. 31.9995)";
    }
    return c;
}

void judgeByRule(int index, const float* y, const Reference& ref, Check& c) {
    c.ruleChecked = true;
    c.exact = index >= 0 && index < ENTRY_COUNT;
    c.unchecked = false;
    for (int i = 0; c.exact && i < OUTPUT_COUNT; ++i) {
        const float want = ref.rule[index][i];
        if (sameBits(y + i, &want, 1)) continue;
        c.exact = false;
        char text[200];
        std::snprintf(text, sizeof text, "y[%d] = %.9g (bits 0x%08X), its rule gives %.9g (bits 0x%08X)", i,
                      static_cast<double>(y[i]), static_cast<unsigned>(bitsOf(y[i])), static_cast<double>(want),
                      static_cast<unsigned>(bitsOf(want)));
        c.reason = text;
    }
    c.ok = c.exact;
    if (c.exact) c.reason.clear();
}

std::string overflowText(const Reference& ref) {
    for (int i = 0; i < OUTPUT_COUNT; ++i)
        if (ref.absSum[i] > static_cast<long double>(FLT_MAX)) {
            char text[200];
            std::snprintf(text, sizeof text,
                          "the products of output %d add up to %.3Lg in magnitude, more than single precision "
                          "holds (%.3g): the float entries would overflow",
                          i, ref.absSum[i], static_cast<double>(FLT_MAX));
            return text;
        }
    return "";
}

void endWithoutOutput(EntryResult& e, Status status, const std::string& reason) {
    e.ran = true;
    e.status = status;
    e.reason = reason;
    e.timing = Timing();
    e.check = Check();
    e.check.maxError = e.check.bound = e.check.worstRatio = NAN;
    for (float& y : e.check.y) y = NAN;
}

} // namespace host
