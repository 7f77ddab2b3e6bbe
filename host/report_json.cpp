// The results of a run as JSON, meant to be kept and compared later
// (docs/results-schema.md describes the fields of each schema version;
// saved.cpp reads them back). Written by hand, not by a library: the layout
// (one entry per line) and the numbers (%.9g) are part of what people and
// scripts read.
#include <cmath>
#include <cstring>

#include "report.h"
#include "text.h"
#include "words.h"

namespace host {

namespace {

std::string b(bool v) { return v ? "true" : "false"; }
std::string num(bool have, double v) { return have ? jsonNumber(v) : std::string("null"); }

std::string machineJson(const Machine& m) {
    const Processor& c = m.cpu;
    std::string extensions;
    for (const std::string& x : c.extensions) extensions += (extensions.empty() ? "" : ", ") + jsonString(x);
    std::string s = "  \"machine\": {\n";
    s += "    \"cpu\": {\"cpuid\": " + b(c.x86) + ", \"vendor\": " + jsonString(c.vendor) +
         ", \"brand\": " + jsonString(c.brand) + ", \"family\": " + std::to_string(c.family) +
         ", \"model\": " + std::to_string(c.model) + ", \"stepping\": " + std::to_string(c.stepping) +
         ",\n            \"extensions\": [" + extensions + "],\n            \"fpu\": " + b(c.fpu) +
         ", \"mmx\": " + b(c.mmx) + ", \"sse\": " + b(c.sse) + ", \"3dnow\": " + b(c.amd3dnow) +
         ", \"tsc\": " + b(c.tsc) + "},\n";
    s += "    \"core_clock_ghz\": " + num(m.coreGHz > 0, m.coreGHz) + ",\n";
    s += "    \"clock_note\": " + jsonString(m.clockNote) + ",\n";
    s += "    \"emulated\": " + b(m.emulated) + ", \"emulation_note\": " + jsonString(m.emulationNote) + ",\n";
    s += "    \"os\": " + jsonString(m.os) + ", \"os_word_size\": " + std::to_string(m.osBits) + "\n  },\n";
    return s;
}

// The module, the problem and the timing settings.
std::string setupJson(const RunInfo& run) {
    std::string s = "  \"module\": {\"path\": " + jsonString(run.module.path) + ", \"size\": " +
                    std::to_string(run.moduleFile.size) + ", \"sha256\": " + jsonString(run.moduleFile.sha256) +
                    ",\n             \"circuit\": " + std::to_string(run.module.circuit) + ", \"creator\": " +
                    jsonString(run.creator) + ", \"creator_sjis_hex\": " + jsonString(hexBytes(run.module.creator)) +
                    ", \"creator_fits_field\": " + b(run.module.creator.size() < CREATOR_SIGNATURE_BYTES) +
                    ", \"entry_count\": " + std::to_string(run.entries.size()) + "},\n";
    s += "  \"problem\": {\"source\": " + jsonString(run.problem.fromFile ? "file" : "random");
    if (run.problem.fromFile)
        s += ", \"file\": " + jsonString(run.problem.path);
    else
        s += ", \"seed\": " + std::to_string(run.problem.seed);
    s += "},\n";
    s += "  \"timing\": {\"time_per_entry_ms\": " + jsonNumber(run.timePerEntryMs) +
         ", \"trials\": " + std::to_string(run.trials) + ", \"multiply_adds_per_repetition\": " +
         std::to_string(kMultiplyAdds) + ", \"timeout_s\": " + jsonNumber(run.timeoutSeconds) +
         ",\n             \"isolated_entries\": " + std::to_string(run.children) +
         ", \"isolation_s\": " + jsonNumber(run.isolationSeconds) + ",\n             \"rounds\": " +
         std::to_string(run.rounds) + ", \"other_cpus_busy\": " + num(run.otherCpusBusy >= 0, run.otherCpusBusy) +
         ", \"steal_share\": " + num(run.stealShare >= 0, run.stealShare) + ", \"flagged\": " +
         std::to_string(run.flagged) + "},\n";
    return s;
}

// What the entry is and how its check went.
std::string entryCheckJson(const EntryResult& e) {
    const bool checked = e.ran && !e.check.unchecked;
    std::string s = "\"index\": " + std::to_string(e.index);
    s += ", \"name\": " + jsonString(e.name);
    s += ", \"name_converted\": " + b(e.nameConverted);
    s += ", \"name_sjis_hex\": " + jsonString(hexBytes(rawName(e)));
    s += ", \"flags\": " + std::to_string(e.record.flags);
    s += ", \"flags_text\": " + jsonString(flagsText(e.record.flags));
    s += ", \"layout\": " + jsonString(layoutName(e.record.flags));
    s += ", \"arithmetic\": " + jsonString(arithmeticName(arithmeticOf(e.record.flags)));
    s += ", \"runnable\": " + b(e.runnable);
    s += ", \"missing\": " + jsonString(e.missing);
    s += ", \"ran\": " + b(e.ran);
    s += ", \"substitute\": " + b(e.substitute);
    s += ", \"status\": " + jsonString(statusKey(e.status));
    s += ", \"reason\": " + jsonString(e.reason);
    s += ", \"error\": " + num(checked, e.check.maxError);
    s += ", \"bound\": " + num(checked, e.check.bound);
    s += ", \"error_per_bound\": " + num(checked, e.check.worstRatio);
    s += ", \"output\": ";
    if (e.ran && e.status != Status::Crashed && e.status != Status::TimedOut) {
        s += "[";
        for (int i = 0; i < OUTPUT_COUNT; ++i) s += (i ? ", " : "") + jsonNumber(e.check.y[i]);
        s += "]";
    } else {
        s += "null";
    }
    return s;
}

std::string list(const std::vector<double>& v) {
    std::string s = "[";
    for (size_t k = 0; k < v.size(); ++k) s += (k ? ", " : "") + jsonNumber(v[k]);
    return s + "]";
}

// Why the entry is unstable, its rounds and what else ran (schema 3).
std::string roundsJson(const Timing& t) {
    std::string s = ", \"unstable_reason\": " + jsonString(t.done ? t.unstableReason : "");
    s += ",\n     \"rounds\": " + std::to_string(t.done ? t.rounds : 0);
    s += ", \"round_median_ns\": " + list(t.roundMedianNs) + ", \"round_median_clocks\": " + list(t.roundMedianClocks);
    s += ", \"round_spread\": " + num(t.done && t.rounds > 0, t.roundSpread);
    s += ", \"other_cpus_busy\": " + num(t.done && t.otherCpusBusy >= 0, t.otherCpusBusy);
    s += ", \"steal_share\": " + num(t.done && t.stealShare >= 0, t.stealShare);
    s += ", \"involuntary_switches\": " + num(t.done && t.involuntarySwitches >= 0, static_cast<double>(t.involuntarySwitches));
    s += ", \"probe_slowdown\": " + num(t.done && t.probeSlowdown > 0, t.probeSlowdown);
    return s + "\n    ";
}

std::string entryTimingJson(const Timing& t, bool tsc) {
    const bool clocks = t.done && t.clocks;
    std::string s = ", \"count\": " + (t.done ? std::to_string(t.count) : std::string("null"));
    s += ", \"min_ns\": " + num(t.done, t.minNs);
    s += ", \"median_ns\": " + num(t.done, t.medianNs);
    s += ", \"max_ns\": " + num(t.done, t.maxNs);
    s += ", \"min_ticks\": " + num(t.done && tsc, t.minTicks);
    s += ", \"median_ticks\": " + num(t.done && tsc, t.medianTicks);
    s += ", \"min_clocks\": " + num(clocks, t.minClocks);
    s += ", \"median_clocks\": " + num(clocks, t.medianClocks);
    s += ", \"multiply_adds_per_clock\": " + num(clocks && t.medianClocks > 0, clocks && t.medianClocks > 0 ? kMultiplyAdds / t.medianClocks : 0);
    s += ", \"calls_dropped\": " + (t.done ? std::to_string(t.dropped) : std::string("null"));
    s += ", \"clock_note\": " + jsonString(t.done ? t.clockNote : "");
    s += ", \"mmac_per_s\": " + num(t.done && t.medianNs > 0, t.done && t.medianNs > 0 ? kMultiplyAdds / t.medianNs * 1e3 : 0);
    s += ", \"relative\": " + num(t.done, t.relative);
    s += ",\n     \"low_ns\": " + num(t.done, t.lowNs);
    s += ", \"low_clocks\": " + num(clocks, t.lowClocks);
    s += ", \"noise\": " + num(t.done, t.noise);
    s += ", \"unstable\": " + b(unstable(t));
    s += roundsJson(t);
    s += ", \"calls\": " + (t.done ? std::to_string(t.samples) : std::string("null"));
    s += ", \"planned_calls\": " + (t.done ? std::to_string(t.plannedCalls) : std::string("null"));
    s += ", \"call_ns\": ";
    if (!t.done) return s + "null";
    s += list(t.callNs);
    return s + ", \"call_clocks\": " + (t.clocks ? list(t.callClocks) : std::string("null"));
}

} // namespace

std::string resultsJson(const RunInfo& run) {
    std::string s = "{\n";
    s += "  \"schema\": " + jsonString(kResultsSchemaName) + ",\n";
    s += "  \"schema_version\": " + std::to_string(kResultsSchemaVersion) + ",\n";
    s += "  \"name\": " + jsonString(run.name) + ",\n";
    s += "  \"host\": {\"version\": " + jsonString(run.machine.hostVersion) + ", \"word_size\": " +
         std::to_string(run.machine.hostBits) + "},\n";
    s += machineJson(run.machine) + setupJson(run);
    s += "  \"all\": " + b(run.all) + ",\n";
    s += "  \"failed\": " + std::to_string(run.failed) + ",\n";
    s += "  \"cross_entry_check\": " + (run.crossCheckNote.empty() ? std::string("null") : jsonString(run.crossCheckNote)) + ",\n";
    s += "  \"entries\": [";
    for (size_t k = 0; k < run.entries.size(); ++k) {
        const EntryResult& e = run.entries[k];
        s += k ? ",\n    {" : "\n    {";
        s += entryCheckJson(e) + entryTimingJson(e.timing, run.machine.cpu.tsc) + "}";
    }
    s += "\n  ]\n}\n";
    return s;
}

} // namespace host
