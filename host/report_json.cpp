// The results of a run as JSON, meant to be kept and compared later
// (docs/results-schema.md describes the fields of each schema version;
// saved.cpp reads them back). Written by hand, not by a library: the layout
// (one entry per line) and the numbers (%.9g) are part of what people and
// scripts read.
#include "fields.h"
#include "report.h"
#include "text.h"

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
         ", \"isolation_s\": " + jsonNumber(run.isolationSeconds) + "},\n";
    return s;
}

// One entry on a line, its timing and its calls on the next two.
std::string entryJson(const EntryResult& e, const RunInfo& run) {
    std::string s = "{";
    bool first = true;
    for (const Field& f : entryFields()) {
        if (!(f.where & kInJson)) continue;
        const std::string key = f.key;
        s += first ? "" : key == "count" || key == "call_ns" ? ",\n     " : ", ";
        s += "\"" + key + "\": " + jsonValue(f.get(e, run));
        first = false;
    }
    return s + "}";
}

} // namespace

std::string jsonValue(const Value& v) {
    switch (v.kind) {
    case Value::Number: return jsonNumber(v.number);
    case Value::Integer: return std::to_string(v.integer);
    case Value::Bool: return b(v.flag);
    case Value::Text: return jsonString(v.text);
    case Value::Numbers: {
        std::string s = "[";
        for (size_t k = 0; k < v.numbers.size(); ++k) s += (k ? ", " : "") + jsonNumber(v.numbers[k]);
        return s + "]";
    }
    default: return "null";
    }
}

std::string resultsJson(const RunInfo& run) {
    std::string s = "{\n";
    s += "  \"schema\": " + jsonString(kResultsSchemaName) + ",\n";
    s += "  \"schema_version\": " + std::to_string(kResultsSchemaVersion) + ",\n";
    s += "  \"name\": " + jsonString(run.name) + ",\n";
    s += "  \"time_utc\": " + jsonString(run.timeUtc) + ", \"host_name\": " + jsonString(run.hostName) +
         ",\n  \"command_line\": " + jsonString(run.commandLine) + ",\n";
    s += "  \"host\": {\"version\": " + jsonString(run.machine.hostVersion) + ", \"word_size\": " +
         std::to_string(run.machine.hostBits) + "},\n";
    s += machineJson(run.machine) + setupJson(run);
    s += "  \"all\": " + b(run.all) + ",\n";
    s += "  \"failed\": " + std::to_string(run.failed) + ", \"flagged\": " + std::to_string(run.flagged) + ",\n";
    s += "  \"rounds\": " + std::to_string(run.rounds) + ", \"other_cpus_busy\": " +
         num(run.otherCpusBusy >= 0, run.otherCpusBusy) + ", \"steal_share\": " +
         num(run.stealShare >= 0, run.stealShare) + ",\n";
    s += "  \"protection_note\": " + jsonString(run.protectionNote) + ",\n";
    s += "  \"cross_entry_check\": " + (run.crossCheckNote.empty() ? std::string("null") : jsonString(run.crossCheckNote)) + ",\n";
    s += "  \"entries\": [";
    for (size_t k = 0; k < run.entries.size(); ++k) {
        s += (k ? ",\n    " : "\n    ") + entryJson(run.entries[k], run);
    }
    s += "\n  ]\n}\n";
    return s;
}

} // namespace host
