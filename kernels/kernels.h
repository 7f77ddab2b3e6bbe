/* Declarations of every kernel. portable::kernel<Stem> is the C++ kernel of
 * an entry, built everywhere; on the i686 build kernel<Stem> (C linkage) is
 * the hand-written assembly of the same entry, which must give the same bits.
 * All have the EntryKernel shape and do nothing for a count of 0 or less. */
#ifndef CIRCUIT_KERNELS_H
#define CIRCUIT_KERNELS_H

#include "entries.h"

namespace portable {
#define CIRCUIT_DECLARE_PORTABLE(index, stem, name, flags, native) \
    void kernel##stem(const float* coefficients, const float* input, float* output, int32_t count);
CIRCUIT_ENTRIES(CIRCUIT_DECLARE_PORTABLE)
#undef CIRCUIT_DECLARE_PORTABLE
} // namespace portable

#if CIRCUIT_NATIVE_KERNELS
/* CIRCUIT_NATIVE_KERNEL_<native>(stem) names the hand-written kernel of a row,
 * or nullptr for rows that have none (entries 0 to 2 are C++ on every build). */
#define CIRCUIT_DECLARE_NATIVE_0(stem)
#define CIRCUIT_DECLARE_NATIVE_1(stem) \
    void kernel##stem(const float* coefficients, const float* input, float* output, int32_t count);
#define CIRCUIT_DECLARE_NATIVE(index, stem, name, flags, native) CIRCUIT_DECLARE_NATIVE_##native(stem)
extern "C" {
CIRCUIT_ENTRIES(CIRCUIT_DECLARE_NATIVE)
}
#define CIRCUIT_NATIVE_KERNEL_0(stem) nullptr
#define CIRCUIT_NATIVE_KERNEL_1(stem) (&kernel##stem)
#endif

#endif /* CIRCUIT_KERNELS_H */
