// A comparison of saved runs for programs: CSV and JSON with one line or
// object per entry and run after the first (the base's figure beside the
// run's, the ratio, the p-value, the verdict and the gate), from one list of
// fields as the run's own CSV and JSON (fields.h); JSON adds the runs, the
// warnings and the gate's decision (docs/results-schema.md).
#include <cmath>

#include "fields.h"
#include "report.h"
#include "text.h"

namespace host {

namespace {

Value number(double v) {
    Value x;
    if (std::isfinite(v)) x.kind = Value::Number, x.number = v;
    return x;
}
Value integer(long long v) {
    Value x;
    x.kind = Value::Integer, x.integer = v;
    return x;
}
Value boolean(bool v) {
    Value x;
    x.kind = Value::Bool, x.flag = v;
    return x;
}
Value text(const std::string& s, bool have = true) {
    Value x;
    if (have) x.kind = Value::Text, x.text = s;
    return x;
}

// A word, or null where there is none.
Value word(const char* w) { return text(w ? w : "", w != nullptr); }

const char* verdictKey(Verdict v) {
    switch (v) {
    case Verdict::Noise: return "noise";
    case Verdict::Change: return "change";
    case Verdict::Unstable: return "unstable";
    case Verdict::Untested: return "untested";
    default: return nullptr;
    }
}

const char* gateKey(Gate g) {
    switch (g) {
    case Gate::Pass: return "pass";
    case Gate::Tripped: return "tripped";
    case Gate::Untestable: return "untestable";
    default: return nullptr;
    }
}

std::string reasonOf(const SavedRun& r, int index) {
    for (const SavedEntry& e : r.entries)
        if (e.index == index && e.unstable) return e.unstableReason;
    return "";
}

std::string warningsOf(const Comparison& c, size_t k) {
    std::string s;
    for (size_t w = 0; w < c.warnings.size() && w < c.warningRun.size(); ++w)
        if (c.warningRun[w] == k) s += (s.empty() ? "" : "; ") + c.warnings[w];
    return s;
}

double ratioOf(const ComparedRow& row, size_t k) {
    return k > 0 && std::isfinite(row.value[0]) && std::isfinite(row.value[k]) ? row.value[k] / row.value[0] : NAN;
}

struct ComparedField {
    const char* key;
    unsigned where;
    Value (*get)(const Comparison& c, const ComparedRow& row, size_t k);
};

// One field of run k's line in the row `row` of the comparison `c`.
#define FIELD(key, where, expr)                                                                                   \
    {key, where, [](const Comparison& c, const ComparedRow& row, size_t k) -> Value {                            \
         (void)c, (void)row, (void)k;                                                                             \
         return expr;                                                                                             \
     }}

const ComparedField kFields[] = {
    FIELD("index", kInBoth, integer(row.index)),
    FIELD("name", kInBoth, text(row.name)),
    FIELD("base", kInBoth, text(c.runs[0].label)),
    FIELD("run", kInBoth, text(c.runs[k].label)),
    FIELD("unit", kInBoth, text(row.clocks ? "clocks" : "ns")),
    FIELD("base_median", kInBoth, number(row.value[0])),
    FIELD("median", kInBoth, number(row.value[k])),
    FIELD("ratio", kInBoth, number(ratioOf(row, k))),
    FIELD("p", kInBoth, number(k > 0 ? row.p[k - 1] : NAN)),
    FIELD("verdict", kInBoth, word(verdictKey(verdictOf(row, k)))),
    FIELD("base_unstable", kInBoth, boolean(row.unstable[0])),
    FIELD("base_unstable_reason", kInBoth, text(reasonOf(c.runs[0], row.index))),
    FIELD("unstable", kInBoth, boolean(row.unstable[k])),
    FIELD("unstable_reason", kInBoth, text(reasonOf(c.runs[k], row.index))),
    FIELD("gate", kInBoth, word(gateKey(gateOf(row, k, c.failIfSlower)))),
    FIELD("gate_note", kInBoth,
          text(gateOf(row, k, c.failIfSlower) == Gate::Untestable ? untestableWhy(c, row, k) : "")),
    // The warnings about the two runs (JSON has them once, at the top).
    FIELD("warnings", kInCsv, text(warningsOf(c, k))),
};

#undef FIELD

// The runs each row has a line for: every one after the base, or the base
// alone when it is the only run.
std::vector<size_t> linesOf(const Comparison& c) {
    std::vector<size_t> runs;
    for (size_t k = c.runs.size() > 1 ? 1 : 0; k < c.runs.size(); ++k) runs.push_back(k);
    return runs;
}

std::string line(const Comparison& c, const ComparedRow& row, size_t k, unsigned where) {
    std::string s;
    for (const ComparedField& f : kFields) {
        if (!(f.where & where)) continue;
        const Value v = f.get(c, row, k);
        if (where == kInCsv)
            s += (s.empty() ? "" : ",") + csvCell(v);
        else
            s += (s.empty() ? "{" : ", ") + std::string("\"") + f.key + "\": " + jsonValue(v);
    }
    return where == kInCsv ? s : s + "}";
}

std::string num(double v, bool have) { return have ? jsonNumber(v) : std::string("null"); }

std::string runJson(const SavedRun& r) {
    return "{\"label\": " + jsonString(r.label) + ", \"file\": " + jsonString(r.file) + ", \"name\": " +
           jsonString(r.name) + ",\n     \"cpu\": " + jsonString(r.cpu) + ", \"cpu_id\": " + jsonString(r.cpuId) +
           ", \"core_clock_ghz\": " + num(r.coreGHz, r.coreGHz > 0) + ", \"os\": " + jsonString(r.os) +
           ",\n     \"host_version\": " + jsonString(r.hostVersion) + ", \"word_size\": " +
           num(r.hostBits, r.hostBits > 0) + ", \"emulated\": " + (r.emulated ? "true" : "false") +
           ",\n     \"module\": " + jsonString(r.module) + ", \"sha256\": " + jsonString(r.sha256) +
           ",\n     \"problem\": " + jsonString(r.problem) + ", \"timing\": " + jsonString(r.timing) +
           ", \"flagged\": " + std::to_string(r.flagged) + ", \"other_cpus_busy\": " +
           num(r.otherCpusBusy, r.otherCpusBusy >= 0) + "}";
}

// The gate's decision: null without --fail-if-slower.
std::string gateJson(const Comparison& c) {
    if (!std::isfinite(c.failIfSlower)) return "null";
    const GateSummary g = gateSummary(c);
    auto items = [&c](const std::vector<GateItem>& list, bool why) {
        std::string s;
        for (const GateItem& i : list)
            s += std::string(s.empty() ? "" : ", ") + "{\"index\": " + std::to_string(c.rows[i.row].index) +
                 ", \"run\": " + jsonString(c.runs[i.run].label) +
                 (why ? ", \"why\": " + jsonString(untestableWhy(c, c.rows[i.row], i.run)) : "") + "}";
        return "[" + s + "]";
    };
    return "{\"fail_if_slower_pct\": " + jsonNumber(c.failIfSlower) + ", \"result\": " +
           jsonString(!g.tripped.empty() ? "tripped" : g.passed == 0 ? "nothing tested" : "passed") +
           ", \"passed\": " + std::to_string(g.passed) + ",\n           \"tripped\": " + items(g.tripped, false) +
           ",\n           \"untestable\": " + items(g.untestable, true) + "}";
}

} // namespace

std::string comparisonCsv(const Comparison& c) {
    std::string out;
    for (const ComparedField& f : kFields)
        if (f.where & kInCsv) out += (out.empty() ? "" : ",") + std::string(f.key);
    out += "\n";
    for (const ComparedRow& row : c.rows)
        for (size_t k : linesOf(c)) out += line(c, row, k, kInCsv) + "\n";
    return out;
}

std::string comparisonJson(const Comparison& c) {
    std::string s = "{\n  \"schema\": " + jsonString(kComparisonSchemaName) + ",\n  \"schema_version\": " +
                    std::to_string(kComparisonSchemaVersion) + ",\n";
    s += "  \"significance\": " + jsonNumber(kSignificance) + ", \"noise_threshold\": " + jsonNumber(kNoiseThreshold) +
         ",\n  \"runs\": [";
    for (size_t k = 0; k < c.runs.size(); ++k) s += (k ? ",\n    " : "\n    ") + runJson(c.runs[k]);
    s += "\n  ],\n  \"warnings\": [";
    for (size_t w = 0; w < c.warnings.size(); ++w) s += (w ? ",\n    " : "\n    ") + jsonString(c.warnings[w]);
    s += c.warnings.empty() ? "],\n" : "\n  ],\n";
    s += "  \"gate\": " + gateJson(c) + ",\n  \"entries\": [";
    bool first = true;
    for (const ComparedRow& row : c.rows)
        for (size_t k : linesOf(c)) {
            s += (first ? "\n    " : ",\n    ") + line(c, row, k, kInJson);
            first = false;
        }
    return s + (first ? "]\n}\n" : "\n  ]\n}\n");
}

} // namespace host
