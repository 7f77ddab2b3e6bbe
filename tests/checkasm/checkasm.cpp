// The checker's harness (the checked call is in call.cpp, the data in
// data.cpp): the rows one by one, each through every data set, count and
// placement, the report with one summary line per row, the options, and
// the optional time ratio. See checkasm.h for what it catches.
#include "checkasm.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "call.h"
#include "data.h"
#include "dispatch.h"

namespace checkasm {

namespace {

const char* missingExtension(EntryFlags needed, EntryFlags have) {
    const EntryFlags lacking = needed & ~have;
    if (lacking & ENTRY_3DNOW) return "3DNow!";
    if (lacking & ENTRY_SSE) return "SSE";
    if (lacking & ENTRY_MMX) return "MMX";
    if (lacking & ENTRY_FPU) return "x87";
    return nullptr;
}

void bench(const Row& row, Report& report) {
    static PageGuardedBlock cPages, xPages;
    static OutputArea out;
    Data d;
    makeData(0, 1, d);
    float* c = cPages.place(coefficientBytes(row.flags), true, 0);
    float* x = xPages.place(inputBytes(row.flags), true, 0);
    layout(row.flags, d, c, x);
    out.reset(0);
    constexpr int32_t kCount = 1000;
    auto time = [&](EntryKernel k) {
        double best = 1e30;
        for (int run = 0; run < 5; ++run) {
            const auto t0 = std::chrono::steady_clock::now();
            k(c, x, out.block(), kCount);
            const auto t1 = std::chrono::steady_clock::now();
            best = std::min(best, std::chrono::duration<double, std::nano>(t1 - t0).count() / kCount);
        }
        return best;
    };
    const double kernel = time(row.kernel), twin = time(row.twin);
    char text[200];
    std::snprintf(text, sizeof text, "  bench: kernel %.1f ns, twin %.1f ns per repetition, twin/kernel %.2f",
                  kernel, twin, twin / kernel);
    report.line(text);
}

} // namespace

void Report::line(const std::string& s) {
    text += s;
    text += '\n';
    if (echo) {
        std::fputs(s.c_str(), stdout);
        std::fputc('\n', stdout);
        std::fflush(stdout);
    }
}

EntryFlags cpuExtensions() {
    static const EntryFlags flags = circuit::cpuExtensions();
    return flags;
}

Verdict checkRow(const Row& row, const Options& options, Report& report) {
    char head[160];
    std::snprintf(head, sizeof head, "entry %2d %-14s", row.index, row.stem);
    if (!row.kernel) {
        report.line(std::string(head) + " no native kernel in this build");
        ++report.missing;
        return Verdict::NoKernel;
    }
    if (const char* lacking = missingExtension(row.flags & ENTRY_EXTENSION_MASK, cpuExtensions())) {
        report.line(std::string(head) + " skipped: this CPU lacks " + lacking);
        ++report.skipped;
        return Verdict::Skipped;
    }
    circuit::setX87DoublePrecision();
    RowState state;
    int calls = 0;
    uint64_t salt = options.seed * 0x100000001B3ull + static_cast<uint64_t>(row.index);
    // Every row gets every placement: the SSE entries hand blocks off a
    // 16-byte boundary to other code, whose way there must keep the ABI too.
    for (int set = 0; set < kDataSetCount && !state.crashed; ++set)
        for (int draw = 0; draw < kDataSets[set].repeats && !state.crashed; ++draw)
            for (int count : {1, 7})
                for (int p = 0; p < kPlacementCount && !state.crashed; ++p) {
                    CallSetup s{&row, set, draw, count, &kPlacements[p], options.seed};
                    checkCall(s, options, state, report, ++salt);
                    ++calls;
                }
    // A count of 0 or -1 must leave the output alone.
    for (int count : {0, -1}) {
        if (state.crashed) break;
        CallSetup s{&row, 0, 0, count, &kPlacements[2], options.seed};
        checkCall(s, options, state, report, ++salt);
        ++calls;
    }
    std::string summary = head;
    if (state.failedCalls || state.crashed) {
        summary += " FAILED: " + std::to_string(state.failedCalls) + " of " + std::to_string(calls) + " calls";
        summary += " (" + std::to_string(state.shown.size()) + " shown)";
    } else {
        summary += " ok: " + std::to_string(calls) + " calls match the C++ twin and keep the ABI";
    }
    if (state.excused)
        summary += "; " + std::to_string(state.excused) + " differences excused (" + state.excusedWhy + ")";
    report.line(summary);
    if (options.bench && !state.crashed) bench(row, report);
    if (state.failedCalls || state.crashed) {
        ++report.failed;
        return Verdict::Failed;
    }
    ++report.passed;
    return Verdict::Passed;
}

int checkRows(const Row* rows, int count, const Options& options, Report& report) {
    bool any = false;
    for (int i = 0; i < count; ++i) any = any || options.entry < 0 || rows[i].index == options.entry;
    if (!any) {
        std::fprintf(stderr, "checkasm: there is no entry %d\n", options.entry);
        return 2;
    }
    const EntryFlags have = cpuExtensions();
    char text[200];
    std::snprintf(text, sizeof text, "checkasm: seed %u, CPU has%s%s%s%s", options.seed,
                  (have & ENTRY_FPU) ? " x87" : "", (have & ENTRY_MMX) ? " MMX" : "",
                  (have & ENTRY_3DNOW) ? " 3DNow!" : "", (have & ENTRY_SSE) ? " SSE" : "");
    report.line(text);
    for (int i = 0; i < count; ++i)
        if (options.entry < 0 || rows[i].index == options.entry) checkRow(rows[i], options, report);
    std::snprintf(text, sizeof text, "%d passed, %d failed", report.passed, report.failed);
    std::string last = text;
    if (report.skipped) last += ", " + std::to_string(report.skipped) + " skipped (CPU lacks the extension)";
    if (report.missing) last += ", " + std::to_string(report.missing) + " without a native kernel";
    report.line(last);
    return report.failed ? 1 : 0;
}

bool parseOptions(int argc, char** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto number = [&](long long lo, long long hi, long long& v) {
            if (i + 1 >= argc) return false;
            const char* text = argv[++i];
            char* end = nullptr;
            errno = 0;
            v = std::strtoll(text, &end, 0);
            // An empty or partly numeric word is not a number; strtoll would read it as 0.
            return end != text && *end == '\0' && errno == 0 && v >= lo && v <= hi;
        };
        long long v = 0;
        if (a == "--entry") {
            if (!number(0, 1000, v)) {
                std::fprintf(stderr, "checkasm: --entry needs an entry index\n");
                return false;
            }
            options.entry = static_cast<int>(v);
        } else if (a == "--seed") {
            if (!number(0, 0xFFFFFFFFll, v)) {
                std::fprintf(stderr, "checkasm: --seed needs a number from 0 to 4294967295\n");
                return false;
            }
            options.seed = static_cast<uint32_t>(v);
        } else if (a == "--bench") {
            options.bench = true;
        } else if (a == "--verbose") {
            options.verbose = true;
        } else {
            std::fprintf(stderr,
                         "usage: %s [--entry N] [--seed N] [--bench] [--verbose]\n"
                         "  --entry N  check only entry N\n"
                         "  --seed N   seed of the random data (printed with every failure)\n"
                         "  --bench    also time kernel and twin (ratios only; meaningless under an emulator)\n"
                         "  --verbose  list every excused difference\n",
                         argv[0]);
            return false;
        }
    }
    return true;
}

} // namespace checkasm
