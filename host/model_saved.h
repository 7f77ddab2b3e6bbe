// The data of saved runs as --compare reads them back and lines them up:
// beside model.h, which holds the data of a run as it is measured.
#ifndef CIRCUIT_HOST_MODEL_SAVED_H
#define CIRCUIT_HOST_MODEL_SAVED_H

#include <cmath>
#include <string>
#include <vector>

#include "model.h"

namespace host {

struct SavedEntry {
    int index = 0;
    std::string name, status;
    double medianClocks = NAN, medianNs = NAN;   // NaN: not timed
    bool substitute = false;
    bool unstable = false;                        // the run marked the entry unstable
    std::string unstableReason;                   // why (schema 3), "" before
    std::vector<double> callNs;                   // empty before schema 2
    std::vector<double> callClocks;               // empty before schema 3
};

struct SavedRun {
    std::string file, label;   // label: the file's name without folder and .json
    std::string cpu, os, module, sha256;
    std::string cpuId;         // "family 25, model 17, stepping 1", "" when not saved
    std::string hostVersion;
    int hostBits = 0;
    double coreGHz = 0;
    std::string timing;        // the timing settings: "100 ms per entry, 400 trials, 5 rounds"
    double otherCpusBusy = -1; // share of the other processors busy over the run (schema 3); -1 unknown
    int flagged = 0;           // entries the run marked unstable
    std::string name;          // the run's --name
    std::string problem;       // "seed 1", "file p.txt"
    bool emulated = false;
    std::vector<SavedEntry> entries;
};

// What --compare --json writes (docs/results-schema.md).
constexpr int kComparisonSchemaVersion = 1;
constexpr const char* kComparisonSchemaName = "circuit-host comparison";

// Saved runs lined up by entry index (saved.h): each row holds each run's
// value or NaN.
struct ComparedRow {
    int index = 0;
    std::string name;
    bool clocks = true;            // values in core clocks (every run that timed the entry has them), else ns
    std::vector<double> value;     // median per repetition, NaN: not timed
    std::vector<bool> present;
    std::vector<bool> unstable;    // per run: it marked the entry unstable
    // Per run after the first: the two-sided p-value of a Mann-Whitney U
    // test of its calls against the first run's, in the row's unit, Holm-
    // corrected over the rows tested for that run (NaN: too few calls saved).
    std::vector<double> p;
};

// A ratio is a change when the U test's p-value is below kSignificance and
// it differs from 1 by more than the noise threshold; else it is within the
// noise (a few hundred calls make even a 1 % shift of a busy machine's
// clock significant, which is no change of the code).
constexpr double kSignificance = 0.05;
inline bool isChange(double p, double ratio) {
    return p < kSignificance && std::fabs(ratio - 1) > kNoiseThreshold;
}
// Run k's verdict against the first run: never a change where either run
// marked the entry unstable.
enum class Verdict { None, Untested, Noise, Change, Unstable };
inline Verdict verdictOf(const ComparedRow& row, size_t k) {
    const double v = row.value[k], base = row.value[0];
    if (k == 0 || !(std::isfinite(v) && std::isfinite(base) && base > 0)) return Verdict::None;
    if (row.unstable[0] || row.unstable[k]) return Verdict::Unstable;
    if (!std::isfinite(row.p[k - 1])) return Verdict::Untested;
    return isChange(row.p[k - 1], v / base) ? Verdict::Change : Verdict::Noise;
}

// --fail-if-slower PCT gates every run after the first against the first:
// it trips on a change (verdictOf) slower by more than PCT percent. An entry
// either run marked unstable, whose calls were too few to test, or that one
// of the two did not time is untestable, neither a pass nor a failure; one
// that neither timed is not gated.
enum class Gate { None, Pass, Tripped, Untestable };
inline Gate gateOf(const ComparedRow& row, size_t k, double slowerPct) {
    if (k == 0 || !std::isfinite(slowerPct)) return Gate::None;
    switch (verdictOf(row, k)) {
    case Verdict::Change: return row.value[k] / row.value[0] > 1 + slowerPct / 100 ? Gate::Tripped : Gate::Pass;
    case Verdict::Noise: return Gate::Pass;
    case Verdict::None:
        return std::isfinite(row.value[0]) || std::isfinite(row.value[k]) ? Gate::Untestable : Gate::None;
    default: return Gate::Untestable;
    }
}

struct Comparison {
    std::vector<SavedRun> runs;    // the first is the base
    bool clocks = true;            // every row is in core clocks
    std::vector<ComparedRow> rows;
    std::vector<std::string> warnings; // how the runs differ besides their times
    std::vector<size_t> warningRun;    // per warning: the run it is about (against the base)
    double failIfSlower = NAN;         // --fail-if-slower PCT; NaN: no gate
};

// What --fail-if-slower decided: the entries (row, run) that tripped it and
// those it could not test, in row order, and how many passed.
struct GateItem {
    size_t row, run;
};
struct GateSummary {
    std::vector<GateItem> tripped, untestable;
    int passed = 0;
    bool failed() const { return !tripped.empty() || passed == 0; } // nothing tested is no pass
};
inline GateSummary gateSummary(const Comparison& c) {
    GateSummary g;
    for (size_t r = 0; r < c.rows.size(); ++r)
        for (size_t k = 1; k < c.runs.size(); ++k) {
            const Gate gate = gateOf(c.rows[r], k, c.failIfSlower);
            if (gate == Gate::Tripped) g.tripped.push_back({r, k});
            if (gate == Gate::Untestable) g.untestable.push_back({r, k});
            g.passed += gate == Gate::Pass;
        }
    return g;
}

} // namespace host

#endif // CIRCUIT_HOST_MODEL_SAVED_H
