// The module's benchmark: every entry through runEntry on one fixed, seeded
// problem, the same kernels called directly (to state what dispatch costs),
// and the peers a user would reach for, all with the same repeat count per
// call. Besides Google Benchmark's time, every benchmark reports per
// repetition:
//   cycles    core cycles, calibrated against a chain of one-cycle additions
//             around every sample (samples whose calibration moved are dropped);
//             the median of the samples
//   best      the same, the least of the samples: what the code takes when
//             nothing else competes for the core
//   tsc, ns   time-stamp counter ticks and nanoseconds
//   bound     the least cycles the work can take here (bounds.h, BOUNDS.md)
//   vs_bound  cycles / bound
//   dropped   share of samples dropped because the core clock moved
// items = 648 multiply-adds per repetition.
//
// Own flag: --circuit_all_entries also times the entries whose extensions
// this processor lacks (runEntry then runs their portable kernels; the label
// names the missing extension). Without it they are skipped, as a host would.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <algorithm>
#include <vector>

#include "bounds.h"
#include "cpuid_probe.h"
#include "cycles.h"
#include "dispatch.h"
#include "entries.h"
#include "kernels.h"
#include "layout.h"
#include "microkernels.h"
#include "peers.h"
#include "simd.h"
#include "stats.h"

namespace {

constexpr int32_t kCount = 256;            // repetitions per call
constexpr uint32_t kSeed = 0x20000105u;    // the one problem every benchmark runs
constexpr double kMultiplyAdds = OUTPUT_COUNT * INPUT_COUNT;
constexpr int64_t kSamples = 300;          // calls timed per benchmark run (one per iteration)

struct Row {
    unsigned index;
    const char* stem;
    EntryFlags flags;
    bool directIsNative; // the hand-written kernel: never called where the CPU lacks its extensions
};

// The kernel runEntry reaches for a row, named directly so that the call
// is a plain call: the hand-written kernel where the build has one, else the
// portable one.
#if CIRCUIT_NATIVE_KERNELS
#define BENCH_DIRECT_0(stem) &portable::kernel##stem
#define BENCH_DIRECT_1(stem) &kernel##stem
#else
#define BENCH_DIRECT_0(stem) &portable::kernel##stem
#define BENCH_DIRECT_1(stem) &portable::kernel##stem
#endif
#define BENCH_ROW(index, stem, name, flags, native) \
    {index, #stem, flags, CIRCUIT_NATIVE_KERNELS && (native)},
const Row kRows[ENTRY_COUNT] = {CIRCUIT_ENTRIES(BENCH_ROW)};
#undef BENCH_ROW

// Direct calls, one function per row, so that the compiler sees a call to a
// named kernel and not through a pointer.
template <unsigned Index>
void callDirect(const float* c, const float* x, float* y, int32_t count);
#define BENCH_CALL(index, stem, name, flags, native)                              \
    template <>                                                                    \
    void callDirect<index>(const float* c, const float* x, float* y, int32_t n) { \
        (BENCH_DIRECT_##native(stem))(c, x, y, n);                                 \
    }
CIRCUIT_ENTRIES(BENCH_CALL)
#undef BENCH_CALL

struct Fixture {
    circuit::Problem problem;
    circuit::Blocks aos, soa;
    alignas(16) float output[SOA_OUTPUT_FLOATS];
};

// The Eigen peers: each build of bench/eigen_peer.cpp in both layouts. The
// tables' "vs Eigen" divides by the fastest of them.
struct EigenPeer {
    const char* name;
    void* problem;
    void (*run)(void* problem, float* y, int32_t count);
};

#define BENCH_EIGEN_PEERS(ns, label)                                                         \
    {"Peer/" label "/Rows", nullptr,                                                         \
     [](void* e, float* y, int32_t n) { peers::ns::rows(static_cast<peers::ns::EigenProblem*>(e), y, n); }}, \
    {"Peer/" label "/Columns", nullptr,                                                      \
     [](void* e, float* y, int32_t n) { peers::ns::columns(static_cast<peers::ns::EigenProblem*>(e), y, n); }},
EigenPeer gEigen[] = {BENCH_EIGEN_PEERS(eigenBaseline, "Eigen")
#if CIRCUIT_BENCH_EIGEN_NATIVE
                          BENCH_EIGEN_PEERS(eigenNative, "EigenNative")
#endif
};
#undef BENCH_EIGEN_PEERS

// A peer whose problem stays null does not run here: the -march=native build
// on a processor that lacks an extension the building one had.
void makeEigenProblems(const circuit::Problem& p) {
    void* baseline = peers::eigenBaseline::makeProblem(p);
    gEigen[0].problem = gEigen[1].problem = baseline;
#if CIRCUIT_BENCH_EIGEN_NATIVE
    if (peers::processorHas(peers::eigenNative::kExtensions)) {
        void* native = peers::eigenNative::makeProblem(p);
        gEigen[2].problem = gEigen[3].problem = native;
    }
#endif
}

Fixture gFixture;
bench::CycleClock* gClock = nullptr;
bench::MachineCosts gCosts;
EntryFlags gCpu = 0;
bool gAllEntries = false;
double gTicksPerNs = 0;

void makeProblem(circuit::Problem& p) {
    // Values in [-1, 1): in range for every entry, the 16-bit fixed-point ones included.
    std::mt19937 random(kSeed);
    std::uniform_real_distribution<float> value(-1.0f, 1.0f);
    for (auto& row : p.m)
        for (float& m : row) m = value(random);
    for (float& x : p.x) x = value(random);
}

double measureTicksPerNs() {
    using clock = std::chrono::steady_clock;
    const auto c0 = clock::now();
    const uint64_t t0 = bench::ticksBegin();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const uint64_t t1 = bench::ticksEnd();
    const auto c1 = clock::now();
    return static_cast<double>(t1 - t0) /
           static_cast<double>(std::chrono::duration_cast<std::chrono::nanoseconds>(c1 - c0).count());
}

// Google Benchmark 1.8 has SkipWithMessage; older releases only SkipWithError.
template <class S>
auto skip(S& state, const char* message, int) -> decltype(state.SkipWithMessage(message)) {
    state.SkipWithMessage(message);
}
template <class S>
void skip(S& state, const char* message, long) {
    state.SkipWithError(message);
}

// The body of every benchmark: one call of `count` repetitions per sample,
// each sample between two clock calibrations. The counters are medians over
// the kept samples, so that a sample in which the thread lost the processor
// does not move them.
template <class Call>
void measure(benchmark::State& state, double bound, Call&& call) {
    std::vector<double> ticks, cycles;
    ticks.reserve(static_cast<size_t>(state.max_iterations));
    cycles.reserve(static_cast<size_t>(state.max_iterations));
    int64_t dropped = 0;
    for (auto _ : state) {
        double t, c;
        const bool ok = bench::calibratedSample(*gClock, [&] {
            call();
            benchmark::ClobberMemory();
        }, t, c);
        state.SetIterationTime(t / gTicksPerNs * 1e-9);
        if (ok) {
            ticks.push_back(t);
            cycles.push_back(c);
        } else {
            ++dropped;
        }
    }
    state.SetItemsProcessed(state.iterations() * kCount * static_cast<int64_t>(kMultiplyAdds));
    const double kept = static_cast<double>(ticks.size());
    state.counters["dropped"] = static_cast<double>(dropped) / (kept + static_cast<double>(dropped));
    if (ticks.empty()) return; // every sample dropped: the core clock never held still
    const double repCycles = stats::median(cycles) / kCount;
    const double repTicks = stats::median(ticks) / kCount;
    state.counters["cycles"] = repCycles;
    state.counters["best"] = *std::min_element(cycles.begin(), cycles.end()) / kCount;
    // The quickest kept sample in nanoseconds: best can be no lower than this
    // at the run's core clock (the calibration of each kept sample is typical).
    state.counters["best_ns"] = *std::min_element(ticks.begin(), ticks.end()) / kCount / gTicksPerNs;
    state.counters["tsc"] = repTicks;
    state.counters["ns"] = repTicks / gTicksPerNs;
    state.counters["bound"] = bound;
    state.counters["vs_bound"] = repCycles / bound;
}

const char* missingExtension(EntryFlags flags) {
    const EntryFlags missing = flags & ENTRY_EXTENSION_MASK & ~gCpu;
    if (missing & ENTRY_3DNOW) return "CPU lacks 3DNow!";
    if (missing & ENTRY_SSE) return "CPU lacks SSE";
    if (missing & ENTRY_MMX) return "CPU lacks MMX";
    if (missing & ENTRY_FPU) return "CPU lacks an x87 unit";
    return nullptr;
}

// Whether the C++ kernels of entries 0 to 9 run their AVX code here.
bool portableUsesAvx() {
#if CIRCUIT_SIMD
    return portable::simd::vectorUnit() >= portable::simd::kAvx;
#else
    return false;
#endif
}

// Whether the entry runs the 64-bit C++ code here, priced by the operations
// that code issues on its vector unit: every entry of the portable build;
// on the x86-64 build with the hand-written kernels entries 0 to 2 and those
// whose extensions the processor lacks (runEntry runs their C++ twin). The
// i686 build's C++ code is x87 code, which entryWork prices.
bool runsVectorCpp([[maybe_unused]] const Row& row) {
#if defined(__x86_64__)
    return !CIRCUIT_NATIVE_KERNELS || row.index <= 2 || missingExtension(row.flags) != nullptr;
#else
    return !CIRCUIT_NATIVE_KERNELS;
#endif
}

// Entry/NN/Stem through runEntry and Direct/NN/Stem calling the same kernel
// by name (callDirect<Index> is a direct call, which the compiler may inline).
template <unsigned Index>
void registerEntry() {
    const Row& row = kRows[Index];
    const double bound = bench::boundCycles(
        runsVectorCpp(row) ? bench::portableEntryWork(row.index, gCosts, portableUsesAvx())
                           : bench::entryWork(row.index, gCosts),
        gCosts, kCount);
    const circuit::Blocks& blocks = (row.flags & ENTRY_SOA) ? gFixture.soa : gFixture.aos;
    char name[64];
    std::snprintf(name, sizeof name, "Entry/%02u/%s", row.index, row.stem);
    benchmark::RegisterBenchmark(name, [&row, bound, &blocks](benchmark::State& state) {
        if (const char* why = missingExtension(row.flags)) {
            if (!gAllEntries) {
                skip(state, why, 0);
                return;
            }
            state.SetLabel(why);
        }
        measure(state, bound, [&] {
            runEntry(row.index, blocks.coefficients, blocks.input, gFixture.output, kCount);
        });
    })->UseManualTime()->Iterations(kSamples);
    std::snprintf(name, sizeof name, "Direct/%02u/%s", row.index, row.stem);
    benchmark::RegisterBenchmark(name, [&row, bound, &blocks](benchmark::State& state) {
        if (const char* why = missingExtension(row.flags)) {
            if (!gAllEntries || row.directIsNative) {
                skip(state, why, 0);
                return;
            }
            state.SetLabel(why);
        }
        measure(state, bound, [&] {
            callDirect<Index>(blocks.coefficients, blocks.input, gFixture.output, kCount);
        });
    })->UseManualTime()->Iterations(kSamples);
}

template <unsigned... Index>
void registerEntries(std::integer_sequence<unsigned, Index...>) {
    (registerEntry<Index>(), ...);
}

#if CIRCUIT_SIMD
// The C++ kernel of entries 10 and 11 on each vector unit this processor
// runs (Unit/SseSoa/<unit>), against the chain limit or that unit's loads
// where they take longer (bounds.h): what each path gives, whichever
// runEntry picks.
void registerVectorUnits() {
    static const char* const kNames[] = {"sse2", "avx", "avx512"};
    const circuit::Blocks& blocks = gFixture.soa;
    for (int unit = portable::simd::kSse2; unit <= portable::simd::bestVectorUnit(); ++unit) {
        const double limit =
            bench::boundCycles(bench::vectorUnitWork(unit, gCosts, blocks.coefficients, blocks.input), gCosts, kCount);
        const std::string name = std::string("Unit/SseSoa/") + kNames[unit];
        benchmark::RegisterBenchmark(name.c_str(), [unit, limit, &blocks](benchmark::State& state) {
            const int saved = portable::simd::gVectorUnit.load();
            portable::simd::useVectorUnit(static_cast<portable::simd::VectorUnit>(unit));
            measure(state, limit, [&] {
                portable::kernelSseSoaOoo(blocks.coefficients, blocks.input, gFixture.output, kCount);
            });
            portable::simd::gVectorUnit.store(saved);
        })->UseManualTime()->Iterations(kSamples);
    }
}
#endif

void registerPeers() {
    const double scalarFloat = bench::boundCycles(bench::scalarLoopWork(false, gCosts), gCosts, kCount);
    const double scalarDouble = bench::boundCycles(bench::scalarLoopWork(true, gCosts), gCosts, kCount);
    const double vector = bench::boundCycles(bench::vectorWork(gCosts), gCosts, kCount);
    const float* m = gFixture.aos.coefficients;
    const float* x = gFixture.aos.input;
    benchmark::RegisterBenchmark("Peer/LoopFloat", [=](benchmark::State& state) {
        measure(state, scalarFloat, [&] { peers::loopFloat(m, x, gFixture.output, kCount); });
    })->UseManualTime()->Iterations(kSamples);
    benchmark::RegisterBenchmark("Peer/LoopDouble", [=](benchmark::State& state) {
        measure(state, scalarDouble, [&] { peers::loopDouble(m, x, gFixture.output, kCount); });
    })->UseManualTime()->Iterations(kSamples);
    for (const EigenPeer& e : gEigen)
        benchmark::RegisterBenchmark(e.name, [=, &e](benchmark::State& state) {
            if (e.problem == nullptr) {
                skip(state, "built with -march=native for a processor with extensions this one lacks", 0);
                return;
            }
            measure(state, vector, [&] { e.run(e.problem, gFixture.output, kCount); });
        })->UseManualTime()->Iterations(kSamples);
#if CIRCUIT_BENCH_OPENBLAS
    benchmark::RegisterBenchmark("Peer/OpenBLAS", [=](benchmark::State& state) {
        measure(state, vector, [&] { peers::openblasProduct(m, x, gFixture.output, kCount); });
    })->UseManualTime()->Iterations(kSamples);
#endif
}

// Every peer must compute the product: compare with a double-precision
// reference before timing anything.
bool peersAgree() {
    float reference[OUTPUT_COUNT];
    for (int i = 0; i < OUTPUT_COUNT; ++i) {
        double s = 0;
        for (int j = 0; j < INPUT_COUNT; ++j)
            s += static_cast<double>(gFixture.problem.m[i][j]) * gFixture.problem.x[j];
        reference[i] = static_cast<float>(s);
    }
    auto close = [&](const char* who) {
        for (int i = 0; i < OUTPUT_COUNT; ++i)
            if (!(std::fabs(gFixture.output[i] - reference[i]) <= 1e-4f)) {
                std::fprintf(stderr, "bench: %s gives y[%d] = %g, expected %g\n", who, i,
                             static_cast<double>(gFixture.output[i]), static_cast<double>(reference[i]));
                return false;
            }
        return true;
    };
    const float* m = gFixture.aos.coefficients;
    const float* x = gFixture.aos.input;
    bool ok = true;
    peers::loopFloat(m, x, gFixture.output, 1);
    ok &= close("the float loop");
    peers::loopDouble(m, x, gFixture.output, 1);
    ok &= close("the double loop");
    for (const EigenPeer& e : gEigen) {
        if (e.problem == nullptr) continue;
        e.run(e.problem, gFixture.output, 1);
        ok &= close(e.name);
    }
#if CIRCUIT_BENCH_OPENBLAS
    peers::openblasProduct(m, x, gFixture.output, 1);
    ok &= close("OpenBLAS");
#endif
    return ok;
}

// The figures the micro-kernels measured, by the names of the run's context.
struct CostName {
    const char* key;
    double bench::MachineCosts::*field;
};
const CostName kCostNames[] = {
    {"x87_step_cycles", &bench::MachineCosts::x87StepThroughput},
    {"x87_add_latency", &bench::MachineCosts::x87StepLatency},
    {"x87_memory_step_cycles", &bench::MachineCosts::x87MemoryStep},
    {"x87_memory_pair_cycles", &bench::MachineCosts::x87MemoryPair},
    {"x87_memory_rows_cycles", &bench::MachineCosts::x87MemoryRows},
    {"x87_loop_rows_cycles", &bench::MachineCosts::x87LoopRows},
    {"x87_run_rows_cycles", &bench::MachineCosts::x87RunRows},
    {"x87_mul_latency", &bench::MachineCosts::x87MulLatency},
    {"sse_add_latency", &bench::MachineCosts::sseAddLatency},
    {"sse_mul_latency", &bench::MachineCosts::sseMulLatency},
    {"sse_add_cycles", &bench::MachineCosts::sseAddThroughput},
    {"sse_mul_cycles", &bench::MachineCosts::sseMulThroughput},
    {"sse_mix_cycles", &bench::MachineCosts::sseMixThroughput},
    {"load_cycles", &bench::MachineCosts::loadThroughput},
    {"store_cycles", &bench::MachineCosts::storeThroughput},
    {"mmx_mul_latency", &bench::MachineCosts::mmxMulLatency},
    {"mmx_add_latency", &bench::MachineCosts::mmxAddLatency},
    {"mmx_unpack_latency", &bench::MachineCosts::mmxUnpackLatency},
    {"mmx_mul_cycles", &bench::MachineCosts::mmxMulThroughput},
    {"mmx_add_cycles", &bench::MachineCosts::mmxAddThroughput},
    {"mmx_unpack_cycles", &bench::MachineCosts::mmxUnpackThroughput},
    {"mmx_mac_step_cycles", &bench::MachineCosts::mmxMacStep},
    {"sse2_word_mul_latency", &bench::MachineCosts::sse2MulLatency},
    {"sse2_word_add_latency", &bench::MachineCosts::sse2AddLatency},
    {"sse2_mac_step_cycles", &bench::MachineCosts::sse2MacStep},
    {"sse2_unpack_cycles", &bench::MachineCosts::sse2UnpackThroughput},
    {"x87_to_word_cycles", &bench::MachineCosts::x87ToWord},
    {"x87_to_float_cycles", &bench::MachineCosts::x87ToFloat},
    {"avx_double_input_cycles", &bench::MachineCosts::avxDoubleInput},
    {"avx_conversion_cycles", &bench::MachineCosts::avxConversion},
    {"avx_shuffle_cycles", &bench::MachineCosts::avxShuffle},
    {"avx_store_cycles", &bench::MachineCosts::avxStore},
    {"avx_load_cycles", &bench::MachineCosts::avxLoad},
    {"avx_split_load_cycles", &bench::MachineCosts::avxSplitLoad},
};

// Takes --circuit_all_entries out of the arguments (and adds its line to
// --help); returns the new argument count.
int takeOwnFlags(int argc, char** argv) {
    int kept = 1;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--circuit_all_entries") == 0)
            gAllEntries = true;
        else
            argv[kept++] = argv[i];
        if (std::strcmp(argv[i], "--help") == 0)
            std::printf("circuit_bench [--circuit_all_entries] [benchmark options]\n"
                        "  --circuit_all_entries  also time the entries whose extensions this processor\n"
                        "                         lacks (runEntry runs their portable kernels)\n\n");
    }
    return kept;
}

// The one problem in both layouts, for the entries and for the Eigen peers.
void makeFixture() {
    makeProblem(gFixture.problem);
    circuit::layoutAos(gFixture.problem, gFixture.aos.coefficients, gFixture.aos.input);
    circuit::layoutSoa(gFixture.problem, gFixture.soa.coefficients, gFixture.soa.input);
    makeEigenProblems(gFixture.problem);
}

// The run's context: the processor as CPUID names it (the name the host
// prints too), the problem, the clocks, every measured cost, the build.
void addContext(const bench::CycleClock& clock) {
    char brand[49];
    cpuid::brand(brand);
    std::string processor = brand;
    processor.erase(0, processor.find_first_not_of(' '));
    processor.erase(processor.find_last_not_of(' ') + 1);
    benchmark::AddCustomContext("processor", processor.empty() ? "unknown processor" : processor);
    benchmark::AddCustomContext("repetitions_per_call", std::to_string(kCount));
    benchmark::AddCustomContext("problem_seed", std::to_string(kSeed));
    benchmark::AddCustomContext("tsc_ghz", std::to_string(gTicksPerNs));
    benchmark::AddCustomContext("core_ghz_now", std::to_string(gTicksPerNs / clock.typicalTicksPerCycle()));
    for (const CostName& c : kCostNames) benchmark::AddCustomContext(c.key, std::to_string(gCosts.*c.field));
    benchmark::AddCustomContext("sse_chain_limit", std::to_string(bench::sseChainLimit(gCosts)));
    benchmark::AddCustomContext("cpu_extensions", std::to_string(gCpu));
#if CIRCUIT_BENCH_OPENBLAS
    benchmark::AddCustomContext("openblas_core", peers::openblasCore());
#endif
#if CIRCUIT_NATIVE_KERNELS && defined(__x86_64__)
    benchmark::AddCustomContext("build", "x86-64 (hand-written kernels where present)");
#elif CIRCUIT_NATIVE_KERNELS
    benchmark::AddCustomContext("build", "i686 (hand-written kernels where present)");
#else
    benchmark::AddCustomContext("build", "portable");
#endif
}

} // namespace

int main(int argc, char** argv) {
    circuit::moduleStartup(); // 53-bit x87 precision and the kernels for this processor
    gCpu = circuit::cpuExtensions();
    argc = takeOwnFlags(argc, argv);
    // Options first: --help and unknown options end the program before the
    // machine is measured.
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;

    makeFixture();
    static bench::CycleClock clock;
    gClock = &clock;
    gTicksPerNs = measureTicksPerNs();
    gCosts = bench::measureMachine(clock);
    addContext(clock);

    if (!peersAgree()) return 1;
    registerEntries(std::make_integer_sequence<unsigned, ENTRY_COUNT>());
#if CIRCUIT_SIMD
    registerVectorUnits();
#endif
    registerPeers();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
