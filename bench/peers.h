// What a user would reach for instead of the module, on the same problem and
// with the same repeat count: plain loops, Eigen and (64-bit only) OpenBLAS.
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

// Eigen's fixed-size 18 x 36 single-precision product, on Eigen's own
// (column-major, aligned) copy of the matrix.
struct EigenProblem;
EigenProblem* makeEigenProblem(const circuit::Problem& p);
void eigenProduct(EigenProblem* e, float* y, int32_t count);

#if CIRCUIT_BENCH_OPENBLAS
// cblas_sgemv, row-major, on one thread.
void openblasProduct(const float* m, const float* x, float* y, int32_t count);
const char* openblasCore();
#endif

} // namespace peers

#endif // CIRCUIT_BENCH_PEERS_H
