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

#if CIRCUIT_BENCH_EIGEN_NATIVE
bool processorHas(unsigned needed) {
    __builtin_cpu_init();
    const struct {
        unsigned bit;
        bool has;
    } known[] = {
        {kSse3, __builtin_cpu_supports("sse3") != 0},       {kSsse3, __builtin_cpu_supports("ssse3") != 0},
        {kSse41, __builtin_cpu_supports("sse4.1") != 0},    {kSse42, __builtin_cpu_supports("sse4.2") != 0},
        {kAvx, __builtin_cpu_supports("avx") != 0},         {kAvx2, __builtin_cpu_supports("avx2") != 0},
        {kFma, __builtin_cpu_supports("fma") != 0},         {kBmi, __builtin_cpu_supports("bmi") != 0},
        {kBmi2, __builtin_cpu_supports("bmi2") != 0},       {kAvx512f, __builtin_cpu_supports("avx512f") != 0},
        {kAvx512bw, __builtin_cpu_supports("avx512bw") != 0}, {kAvx512dq, __builtin_cpu_supports("avx512dq") != 0},
        {kAvx512vl, __builtin_cpu_supports("avx512vl") != 0},
    };
    for (const auto& k : known)
        if ((needed & k.bit) && !k.has) return false;
    return true;
}
#endif

} // namespace peers
