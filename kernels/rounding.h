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

// The floating-point state one call of a kernel computes under, whatever the
// caller set. Each guard reads the caller's setting once per call (not per
// repetition), changes it only where it differs from what the entry needs,
// and puts the caller's back on return. The "memory" clobbers keep the
// kernel's loads after the change and its stores before the restore, so no
// arithmetic on the blocks can be moved across either.

// MXCSR (x86-64, where the C++ kernels compute with SSE or AVX): round to
// nearest, no flush to zero, no denormals as zero. A host built with
// -ffast-math starts with both flush bits set. Exception flags that the call
// raised stay raised; masks stay the caller's. Nothing elsewhere.
class NearestMxcsr {
#if defined(__x86_64__)
  public:
    CIRCUIT_INLINE NearestMxcsr() {
        __asm__ volatile("stmxcsr %0" : "=m"(caller_) : : "memory");
        if (caller_ & kModeBits) set(caller_ & ~kModeBits);
    }
    CIRCUIT_INLINE ~NearestMxcsr() {
        if (caller_ & kModeBits) {
            unsigned now;
            __asm__ volatile("stmxcsr %0" : "=m"(now) : : "memory");
            set(caller_ | (now & kExceptionFlags));
        }
    }
    NearestMxcsr(const NearestMxcsr&) = delete;
    NearestMxcsr& operator=(const NearestMxcsr&) = delete;

  private:
    static constexpr unsigned kModeBits = 0xE040u;     // flush to zero (15), rounding (14, 13), DAZ (6)
    static constexpr unsigned kExceptionFlags = 0x3Fu; // sticky status, bits 0 to 5
    static CIRCUIT_INLINE void set(unsigned value) { __asm__ volatile("ldmxcsr %0" : : "m"(value) : "memory"); }
    unsigned caller_;
#endif
};

// FPCR (aarch64, where every C++ kernel computes with the scalar and vector
// unit it controls): round to nearest, no flush to zero (FZ, and FIZ and AH
// where the processor has them), NaNs propagated rather than made default
// (DN). Trap enables stay the caller's. Exception flags live in FPSR, which
// nothing here writes, so those the call raised stay raised. Nothing
// elsewhere.
class NearestFpcr {
#if defined(__aarch64__)
  public:
    CIRCUIT_INLINE NearestFpcr() {
        __asm__ volatile("mrs %0, fpcr" : "=r"(caller_) : : "memory");
        if (caller_ & kModeBits) set(caller_ & ~kModeBits);
    }
    CIRCUIT_INLINE ~NearestFpcr() {
        if (caller_ & kModeBits) set(caller_);
    }
    NearestFpcr(const NearestFpcr&) = delete;
    NearestFpcr& operator=(const NearestFpcr&) = delete;

  private:
    // DN (25), FZ (24), rounding (23, 22), FZ16 (19), AH (1), FIZ (0)
    static constexpr unsigned long kModeBits = 0x03C80003ul;
    static CIRCUIT_INLINE void set(unsigned long value) { __asm__ volatile("msr fpcr, %0" : : "r"(value) : "memory"); }
    unsigned long caller_;
#endif
};

// The control register of the unit the C++ kernels compute with outside the
// x87, set to round to nearest without flushing for one call: MXCSR on
// x86-64, FPCR on aarch64.
struct NearestVector {
    NearestMxcsr mxcsr;
    NearestFpcr fpcr;
};

// x87 control word (i686 C++ code that computes single-precision results on
// the x87, see roundToFloat): round to nearest at 53-bit precision, so that
// every rounding is the one the entry defines whatever rounding and precision
// the caller set. Exception masks stay the caller's. Nothing elsewhere.
class NearestX87 {
#if CIRCUIT_X87_MATH
  public:
    CIRCUIT_INLINE NearestX87() {
        __asm__ volatile("fnstcw %0" : "=m"(caller_) : : "memory");
        if ((caller_ & kModeBits) != kNearest53) set(static_cast<unsigned short>((caller_ & ~kModeBits) | kNearest53));
    }
    CIRCUIT_INLINE ~NearestX87() {
        if ((caller_ & kModeBits) != kNearest53) set(caller_);
    }
    NearestX87(const NearestX87&) = delete;
    NearestX87& operator=(const NearestX87&) = delete;

  private:
    static constexpr unsigned kModeBits = 0x0F00u;  // rounding (11, 10), precision (9, 8)
    static constexpr unsigned kNearest53 = 0x0200u; // to nearest, 53-bit significand
    static CIRCUIT_INLINE void set(unsigned short value) { __asm__ volatile("fldcw %0" : : "m"(value) : "memory"); }
    unsigned short caller_;
#endif
};

// IEEE single precision rounded to nearest with no flushing, as entries 6 to
// 9 compute on every build: MXCSR on x86-64, FPCR on aarch64, the x87
// control word on i686.
struct NearestSingle {
    NearestVector vector;
    NearestX87 x87;
};

} // namespace portable

#endif // CIRCUIT_ROUNDING_H
