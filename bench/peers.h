// What a user would reach for instead of the module, on the same problem and
// with the same repeat count: plain loops, Eigen (built for the baseline and
// for this processor) and (64-bit only) OpenBLAS.
// Each runs `count` repetitions of y = M * x; a compiler barrier between
// repetitions keeps the compiler from computing the product once.
#ifndef CIRCUIT_BENCH_PEERS_H
#define CIRCUIT_BENCH_PEERS_H

#include <cstdint>

#include "layout.h"

namespace peers {

// Plain loops over the AOS layout: one float (or double) accumulator per row.
void loopFloat(const float* m, const float* x, float* y, int32_t count);
void loopDouble(const float* m, const float* x, float* y, int32_t count);

// Eigen's fixed-size 18 x 36 single-precision product on Eigen's own copies
// of the matrix (bench/eigen_peer.cpp): `rows` row-major, one dot product per
// output; `columns` column-major padded to 20 rows. eigenBaseline is built
// with the bench's flags (SSE2), eigenNative with -O3 -march=native where the
// compiler supports it (CIRCUIT_BENCH_EIGEN_NATIVE).
#define CIRCUIT_DECLARE_EIGEN_PEER(ns)                                  \
    namespace ns {                                                      \
    struct EigenProblem;                                                \
    EigenProblem* makeProblem(const circuit::Problem& p);               \
    void rows(EigenProblem* e, float* y, int32_t count);                \
    void columns(EigenProblem* e, float* y, int32_t count);             \
    }
CIRCUIT_DECLARE_EIGEN_PEER(eigenBaseline)
#if CIRCUIT_BENCH_EIGEN_NATIVE
CIRCUIT_DECLARE_EIGEN_PEER(eigenNative)
// The extensions beyond the target's baseline that the -march=native build
// may use, one bit each. The processor that runs the bench need not be the
// one that built it (qemu's models, a copied binary): the bench runs that
// build only where the processor has every one of them.
enum NativeExtension : unsigned {
    kSse3 = 1u << 0, kSsse3 = 1u << 1, kSse41 = 1u << 2, kSse42 = 1u << 3, kAvx = 1u << 4,
    kAvx2 = 1u << 5, kFma = 1u << 6, kBmi = 1u << 7, kBmi2 = 1u << 8, kAvx512f = 1u << 9,
    kAvx512bw = 1u << 10, kAvx512dq = 1u << 11, kAvx512vl = 1u << 12
};
namespace eigenNative {
extern const unsigned kExtensions;
}
// Whether this processor has every extension in `needed`.
bool processorHas(unsigned needed);
#endif
#undef CIRCUIT_DECLARE_EIGEN_PEER

#if CIRCUIT_BENCH_OPENBLAS
// cblas_sgemv, row-major, on one thread.
void openblasProduct(const float* m, const float* x, float* y, int32_t count);
const char* openblasCore();
#endif

} // namespace peers

#endif // CIRCUIT_BENCH_PEERS_H
