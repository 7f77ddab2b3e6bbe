#include "peers.h"

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
