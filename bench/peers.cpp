#include "peers.h"

#include <Eigen/Core>

#if CIRCUIT_BENCH_OPENBLAS
#include <cblas.h>
#endif

namespace peers {

static inline void barrier() { __asm__ volatile("" ::: "memory"); }

void loopFloat(const float* m, const float* x, float* y, int32_t count) {
    for (int32_t rep = 0; rep < count; ++rep) {
        for (int i = 0; i < OUTPUT_COUNT; ++i) {
            float sum = 0.0f;
            for (int j = 0; j < INPUT_COUNT; ++j) sum += m[INPUT_COUNT * i + j] * x[j];
            y[i] = sum;
        }
        barrier();
    }
}

void loopDouble(const float* m, const float* x, float* y, int32_t count) {
    for (int32_t rep = 0; rep < count; ++rep) {
        for (int i = 0; i < OUTPUT_COUNT; ++i) {
            double sum = 0.0;
            for (int j = 0; j < INPUT_COUNT; ++j)
                sum += static_cast<double>(m[INPUT_COUNT * i + j]) * x[j];
            y[i] = static_cast<float>(sum);
        }
        barrier();
    }
}

struct EigenProblem {
    EIGEN_MAKE_ALIGNED_OPERATOR_NEW
    Eigen::Matrix<float, OUTPUT_COUNT, INPUT_COUNT> m;
    Eigen::Matrix<float, INPUT_COUNT, 1> x;
    Eigen::Matrix<float, OUTPUT_COUNT, 1> y;
};

EigenProblem* makeEigenProblem(const circuit::Problem& p) {
    EigenProblem* e = new EigenProblem;
    for (int i = 0; i < OUTPUT_COUNT; ++i)
        for (int j = 0; j < INPUT_COUNT; ++j) e->m(i, j) = p.m[i][j];
    for (int j = 0; j < INPUT_COUNT; ++j) e->x(j) = p.x[j];
    return e;
}

void eigenProduct(EigenProblem* e, float* y, int32_t count) {
    for (int32_t rep = 0; rep < count; ++rep) {
        e->y.noalias() = e->m * e->x;
        barrier();
    }
    for (int i = 0; i < OUTPUT_COUNT; ++i) y[i] = e->y(i);
}

#if CIRCUIT_BENCH_OPENBLAS
void openblasProduct(const float* m, const float* x, float* y, int32_t count) {
    for (int32_t rep = 0; rep < count; ++rep) {
        cblas_sgemv(CblasRowMajor, CblasNoTrans, OUTPUT_COUNT, INPUT_COUNT, 1.0f, m, INPUT_COUNT,
                    x, 1, 0.0f, y, 1);
        barrier();
    }
}

const char* openblasCore() {
    openblas_set_num_threads(1);
    return openblas_get_corename();
}
#endif

} // namespace peers
