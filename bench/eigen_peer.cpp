// Eigen's fixed-size 18 x 36 single-precision product, the peer a user of
// Eigen would write, in two layouts. Built twice: once with the bench's own
// flags (the target's baseline: SSE2), and once in its own translation unit
// with -O3 -march=native, as a user who wants speed builds it
// (EIGEN_PEER_NATIVE). The native copy renames Eigen's namespace, so that the
// two builds' instantiations of the same templates cannot be merged by the
// linker into one (which would run one build's code for both).
//
// Why not the obvious Matrix<float, 18, 36> * x: an 18-row column-major
// matrix has 72-byte columns, so every other column is off a 16-byte boundary
// and each ends in a two-float tail; Eigen then runs its general
// matrix-vector kernel with run-time bounds, unaligned loads and a scalar
// tail per column. Each layout below keeps every packet aligned:
//   rows:    row-major, each output a vectorised dot product over a 36-float
//            row (nine aligned packets; Eigen's coefficient-wise product);
//   columns: column-major padded to 20 rows (rows 18 and 19 zero), so every
//            column is five aligned packets; Eigen's matrix-vector product.
#ifdef EIGEN_PEER_NATIVE
#define Eigen EigenNative
#define EIGEN_PEER_NS eigenNative
#else
#define EIGEN_PEER_NS eigenBaseline
#endif

#include <Eigen/Core>

#include "peers.h"

namespace peers {
namespace EIGEN_PEER_NS {

static inline void barrier() { __asm__ volatile("" ::: "memory"); }

struct EigenProblem {
    EIGEN_MAKE_ALIGNED_OPERATOR_NEW
    Eigen::Matrix<float, OUTPUT_COUNT, INPUT_COUNT, Eigen::RowMajor> rows;
    Eigen::Matrix<float, SOA_ROW_FLOATS, INPUT_COUNT> columns; // rows 18, 19 zero
    Eigen::Matrix<float, INPUT_COUNT, 1> x;
    Eigen::Matrix<float, OUTPUT_COUNT, 1> y;
    Eigen::Matrix<float, SOA_ROW_FLOATS, 1> y20;
};

EigenProblem* makeProblem(const circuit::Problem& p) {
    EigenProblem* e = new EigenProblem;
    e->columns.setZero();
    for (int i = 0; i < OUTPUT_COUNT; ++i)
        for (int j = 0; j < INPUT_COUNT; ++j) e->rows(i, j) = e->columns(i, j) = p.m[i][j];
    for (int j = 0; j < INPUT_COUNT; ++j) e->x(j) = p.x[j];
    return e;
}

void rows(EigenProblem* e, float* y, int32_t count) {
    for (int32_t rep = 0; rep < count; ++rep) {
        e->y.noalias() = e->rows.lazyProduct(e->x);
        barrier();
    }
    for (int i = 0; i < OUTPUT_COUNT; ++i) y[i] = e->y(i);
}

void columns(EigenProblem* e, float* y, int32_t count) {
    for (int32_t rep = 0; rep < count; ++rep) {
        e->y20.noalias() = e->columns * e->x;
        barrier();
    }
    for (int i = 0; i < OUTPUT_COUNT; ++i) y[i] = e->y20(i);
}

#ifdef EIGEN_PEER_NATIVE
// The extensions this build may use (the compiler's macros for
// -march=native), as data: reading it runs none of this build's code.
extern const unsigned kExtensions = 0
#ifdef __SSE3__
    | kSse3
#endif
#ifdef __SSSE3__
    | kSsse3
#endif
#ifdef __SSE4_1__
    | kSse41
#endif
#ifdef __SSE4_2__
    | kSse42
#endif
#ifdef __AVX__
    | kAvx
#endif
#ifdef __AVX2__
    | kAvx2
#endif
#ifdef __FMA__
    | kFma
#endif
#ifdef __BMI__
    | kBmi
#endif
#ifdef __BMI2__
    | kBmi2
#endif
#ifdef __AVX512F__
    | kAvx512f
#endif
#ifdef __AVX512BW__
    | kAvx512bw
#endif
#ifdef __AVX512DQ__
    | kAvx512dq
#endif
#ifdef __AVX512VL__
    | kAvx512vl
#endif
    ;
#endif

} // namespace EIGEN_PEER_NS
} // namespace peers
