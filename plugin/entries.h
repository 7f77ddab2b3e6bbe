/* The entry table, once: index, kernel stem, stored name, flags, and whether
 * the i686 build carries a hand-written kernel for it. runEntry's dispatch,
 * getEntrySpecs, the tests and the benchmarks all expand this one list, so
 * indices, names and kernels cannot drift apart.
 *
 * X(index, stem, name, flags, native): the kernel is kernel##stem (the
 * hand-written i686 code) and portable::kernel##stem (its C++ twin).
 * Names are Shift_JIS bytes, written as escapes to keep the sources ASCII. */
#ifndef CIRCUIT_ENTRIES_H
#define CIRCUIT_ENTRIES_H

#include "circuit.h"

/* Names of entries 0 to 2 (Shift_JIS):
 *   0  C言語 SDKコード(VC6Pro Blend)   portable SDK reference code
 *   1  C言語 一時変数使用              portable code, temporary variable
 *   2  C言語 ループ展開                portable code, loop unrolled      */
#define ENTRY_NAME_0 "C\x8C\xBE\x8C\xEA SDK\x83\x52\x81\x5B\x83\x68(VC6Pro Blend)"
#define ENTRY_NAME_1 "C\x8C\xBE\x8C\xEA \x88\xEA\x8E\x9E\x95\xCF\x90\x94\x8E\x67\x97\x70"
#define ENTRY_NAME_2 "C\x8C\xBE\x8C\xEA \x83\x8B\x81\x5B\x83\x76\x93\x57\x8A\x4A"

#define CIRCUIT_ENTRIES(X)                                                        \
    X(0, CSdk, ENTRY_NAME_0, ENTRY_FPU, 0)                                        \
    X(1, CTemp, ENTRY_NAME_1, ENTRY_FPU, 0)                                       \
    X(2, CUnrolled, ENTRY_NAME_2, ENTRY_FPU, 0)                                   \
    X(3, X87, "x87", ENTRY_FPU, 1)                                                \
    X(4, X87Fxch, "x87 (with fxch)", ENTRY_FPU, 1)                                \
    X(5, X87SoaOoo, "x87 (SOA)(OoO)", ENTRY_FPU | ENTRY_SOA, 1)                   \
    X(6, 3DNow, "3DNow!", ENTRY_MMX | ENTRY_3DNOW, 1)                             \
    X(7, 3DNowSoa, "3DNow! (SOA)", ENTRY_MMX | ENTRY_3DNOW | ENTRY_SOA, 1)        \
    X(8, 3DNowSoaK6, "3DNow! (SOA)(OoO for K6)", ENTRY_MMX | ENTRY_3DNOW | ENTRY_SOA, 1) \
    X(9, 3DNowSoaK7, "3DNow! (SOA)(OoO for K7)", ENTRY_MMX | ENTRY_3DNOW | ENTRY_SOA, 1) \
    X(10, SseSoa, "SSE (SOA)", ENTRY_SSE | ENTRY_SOA, 1)                          \
    X(11, SseSoaOoo, "SSE (SOA)(OoO)", ENTRY_SSE | ENTRY_SOA, 1)                  \
    X(12, MmxFixed, "MMX (16bit fixed)", ENTRY_FPU | ENTRY_MMX, 1)                \
    X(13, MmxFixedSoa, "MMX (16bit fixed)(SOA)", ENTRY_FPU | ENTRY_MMX | ENTRY_SOA, 1)

#define CIRCUIT_CREATOR_SIGNATURE "Ostrel 2000/01/05"

#endif /* CIRCUIT_ENTRIES_H */
