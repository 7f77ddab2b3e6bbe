// The results of a run as JSON, meant to be kept and compared later
// (docs/results-schema.md describes the fields of each schema version), and
// reading such a file back for --compare.
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>

#include "host.h"

namespace host {

std::string jsonString(const std::string& bytes) {
    std::string out = "\"";
    for (unsigned char c : displayPath(bytes)) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\u%04X", c);
            out += esc;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

std::string jsonNumber(double v) {
    if (!std::isfinite(v)) return "null";
    char text[40];
    std::snprintf(text, sizeof text, "%.9g", v);
    return text;
}

namespace {

const int kMacs = OUTPUT_COUNT * INPUT_COUNT;

std::string b(bool v) { return v ? "true" : "false"; }
std::string num(bool have, double v) { return have ? jsonNumber(v) : std::string("null"); }

std::string layoutName(EntryFlags flags) { return (flags & ENTRY_SOA) ? "SOA" : "AOS"; }

std::string statusKey(Status s) {
    switch (s) {
    case Status::Failed: return "failed";
    case Status::Crashed: return "crashed";
    case Status::TimedOut: return "timed out";
    default: return statusText(s);
    }
}

} // namespace

std::string resultsJson(const RunInfo& run) {
    const Machine& m = run.machine;
    const Processor& c = m.cpu;
    std::string s = "{\n";
    s += "  \"schema\": " + jsonString(kResultsSchemaName) + ",\n";
    s += "  \"schema_version\": " + std::to_string(kResultsSchemaVersion) + ",\n";
    s += "  \"host\": {\"version\": " + jsonString(hostVersion()) + ", \"word_size\": " +
         std::to_string(m.hostBits) + "},\n";
    std::string extensions;
    for (const std::string& x : c.extensions) extensions += (extensions.empty() ? "" : ", ") + jsonString(x);
    s += "  \"machine\": {\n";
    s += "    \"cpu\": {\"cpuid\": " + b(c.x86) + ", \"vendor\": " + jsonString(c.vendor) +
         ", \"brand\": " + jsonString(c.brand) + ", \"family\": " + std::to_string(c.family) +
         ", \"model\": " + std::to_string(c.model) + ", \"stepping\": " + std::to_string(c.stepping) +
         ",\n            \"extensions\": [" + extensions + "],\n            \"fpu\": " + b(c.fpu) +
         ", \"mmx\": " + b(c.mmx) + ", \"sse\": " + b(c.sse) + ", \"3dnow\": " + b(c.amd3dnow) +
         ", \"tsc\": " + b(c.tsc) + "},\n";
    s += "    \"core_clock_ghz\": " + num(m.coreGHz > 0, m.coreGHz) + ",\n";
    s += "    \"clock_note\": " + jsonString(m.clockNote) + ",\n";
    s += "    \"os\": " + jsonString(m.os) + ", \"os_word_size\": " + std::to_string(m.osBits) + "\n  },\n";
    s += "  \"module\": {\"path\": " + jsonString(run.module.path) + ", \"size\": " +
         std::to_string(run.moduleFile.size) + ", \"sha256\": " + jsonString(run.moduleFile.sha256) +
         ",\n             \"circuit\": " + std::to_string(run.module.circuit) + ", \"creator\": " +
         jsonString(run.creator) + ", \"creator_sjis_hex\": " + jsonString(hexBytes(run.module.creator)) +
         ", \"entry_count\": " + std::to_string(run.entries.size()) + "},\n";
    s += "  \"problem\": {\"source\": " + jsonString(run.problem.fromFile ? "file" : "random");
    if (run.problem.fromFile)
        s += ", \"file\": " + jsonString(run.problem.path);
    else
        s += ", \"seed\": " + std::to_string(run.problem.seed);
    s += "},\n";
    s += "  \"timing\": {\"time_per_entry_ms\": " + jsonNumber(run.timePerEntryMs) +
         ", \"trials\": " + std::to_string(run.trials) + ", \"multiply_adds_per_repetition\": " +
         std::to_string(kMacs) + ", \"timeout_s\": " + jsonNumber(run.timeoutSeconds) +
         ",\n             \"isolated_entries\": " + std::to_string(run.children) +
         ", \"isolation_s\": " + jsonNumber(run.isolationSeconds) + "},\n";
    s += "  \"all\": " + b(run.all) + ",\n";
    s += "  \"failed\": " + std::to_string(run.failed) + ",\n";
    s += "  \"entries\": [";
    for (size_t k = 0; k < run.entries.size(); ++k) {
        const EntryResult& e = run.entries[k];
        const Timing& t = e.timing;
        const bool checked = e.ran && !e.check.unchecked;
        const bool clocks = t.done && t.clocks;
        s += k ? ",\n    {" : "\n    {";
        s += "\"index\": " + std::to_string(e.index);
        s += ", \"name\": " + jsonString(e.name);
        s += ", \"name_converted\": " + b(e.nameConverted);
        s += ", \"name_sjis_hex\": " +
             jsonString(hexBytes(std::string(e.record.name, e.nameTerminated ? std::strlen(e.record.name)
                                                                            : ENTRY_NAME_BYTES)));
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
        s += ", \"count\": " + (t.done ? std::to_string(t.count) : std::string("null"));
        s += ", \"min_ns\": " + num(t.done, t.minNs);
        s += ", \"median_ns\": " + num(t.done, t.medianNs);
        s += ", \"max_ns\": " + num(t.done, t.maxNs);
        s += ", \"min_ticks\": " + num(t.done && c.tsc, t.minTicks);
        s += ", \"median_ticks\": " + num(t.done && c.tsc, t.medianTicks);
        s += ", \"min_clocks\": " + num(clocks, t.minClocks);
        s += ", \"median_clocks\": " + num(clocks, t.medianClocks);
        s += ", \"multiply_adds_per_clock\": " + num(clocks && t.medianClocks > 0, kMacs / t.medianClocks);
        s += ", \"calls_dropped\": " + (t.done ? std::to_string(t.dropped) : std::string("null"));
        s += ", \"clock_note\": " + jsonString(t.done ? t.clockNote : "");
        s += ", \"mmac_per_s\": " + num(t.done && t.medianNs > 0, kMacs / t.medianNs * 1e3);
        s += ", \"relative\": " + num(t.done, t.relative);
        s += "}";
    }
    s += "\n  ]\n}\n";
    return s;
}

// ---- Reading a results file back -------------------------------------------

namespace {

// A JSON value, as far as reading results needs: objects, arrays, strings,
// numbers, true/false/null.
struct Json {
    enum Kind { Null, Bool, Number, String, Array, Object } kind = Null;
    bool boolean = false;
    double number = 0;
    std::string text;
    std::vector<Json> items;
    std::map<std::string, Json> members;

    const Json& operator[](const std::string& key) const {
        static const Json none;
        auto it = members.find(key);
        return it == members.end() ? none : it->second;
    }
    std::string str() const { return kind == String ? text : ""; }
    double num() const { return kind == Number ? number : NAN; }
};

class JsonReader {
  public:
    explicit JsonReader(const std::string& s) : s_(s) {}
    Json document() {
        Json v = value(0);
        space();
        if (i_ != s_.size()) fail("text after the end");
        return v;
    }

  private:
    [[noreturn]] void fail(const std::string& what) {
        throw std::runtime_error(what + " at byte " + std::to_string(i_));
    }
    void space() {
        while (i_ < s_.size() && std::strchr(" \t\r\n", s_[i_]) != nullptr && s_[i_] != '\0') ++i_;
    }
    bool take(char c) {
        space();
        if (i_ < s_.size() && s_[i_] == c) {
            ++i_;
            return true;
        }
        return false;
    }
    void expect(char c) {
        if (!take(c)) fail(std::string("expected '") + c + "'");
    }
    std::string string() {
        expect('"');
        std::string out;
        while (i_ < s_.size() && s_[i_] != '"') {
            char c = s_[i_++];
            if (c != '\\') {
                out += c;
                continue;
            }
            if (i_ >= s_.size()) break;
            c = s_[i_++];
            if (c == 'u') {
                if (i_ + 4 > s_.size()) fail("short \\u escape");
                unsigned code = static_cast<unsigned>(std::strtoul(s_.substr(i_, 4).c_str(), nullptr, 16));
                i_ += 4;
                if (code < 0x80) {
                    out += static_cast<char>(code);
                } else if (code < 0x800) {
                    out += static_cast<char>(0xC0 | (code >> 6));
                    out += static_cast<char>(0x80 | (code & 0x3F));
                } else {
                    out += static_cast<char>(0xE0 | (code >> 12));
                    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
                    out += static_cast<char>(0x80 | (code & 0x3F));
                }
            } else {
                const char* from = "\"\\/bfnrt";
                const char* to = "\"\\/\b\f\n\r\t";
                const char* at = std::strchr(from, c);
                if (at == nullptr || c == '\0') fail("bad escape");
                out += to[at - from];
            }
        }
        if (i_ >= s_.size()) fail("unterminated string");
        ++i_;
        return out;
    }
    Json value(int depth) {
        if (depth > 64) fail("nesting too deep");
        space();
        Json v;
        if (i_ >= s_.size()) fail("unexpected end");
        const char c = s_[i_];
        if (c == '{') {
            ++i_;
            v.kind = Json::Object;
            if (take('}')) return v;
            do {
                space();
                std::string key = string();
                expect(':');
                v.members[key] = value(depth + 1);
            } while (take(','));
            expect('}');
        } else if (c == '[') {
            ++i_;
            v.kind = Json::Array;
            if (take(']')) return v;
            do v.items.push_back(value(depth + 1));
            while (take(','));
            expect(']');
        } else if (c == '"') {
            v.kind = Json::String;
            v.text = string();
        } else if (s_.compare(i_, 4, "true") == 0 || s_.compare(i_, 5, "false") == 0) {
            v.kind = Json::Bool;
            v.boolean = c == 't';
            i_ += v.boolean ? 4 : 5;
        } else if (s_.compare(i_, 4, "null") == 0) {
            i_ += 4;
        } else if (c == '-' || (c >= '0' && c <= '9')) {
            const char* start = s_.c_str() + i_;
            char* end = nullptr;
            v.kind = Json::Number;
            v.number = std::strtod(start, &end);
            i_ += static_cast<size_t>(end - start);
        } else {
            fail("unexpected character");
        }
        return v;
    }

    const std::string& s_;
    size_t i_ = 0;
};

} // namespace

SavedRun parseSavedRun(const std::string& text, const std::string& path) {
    Json doc;
    try {
        doc = JsonReader(text).document();
    } catch (const std::runtime_error& e) {
        throw Fatal(path + " is not a circuit-host results file (not JSON: " + e.what() + ")");
    }
    if (doc.kind != Json::Object || doc["schema"].str() != kResultsSchemaName ||
        doc["schema_version"].kind != Json::Number)
        throw Fatal(path + " is not a circuit-host results file (save one with circuit-host --json)");
    const double version = doc["schema_version"].num();
    if (version > kResultsSchemaVersion)
        throw Fatal(path + " has results schema version " + jsonNumber(version) + "; this host reads up to " +
                    std::to_string(kResultsSchemaVersion) + " (use a newer circuit-host)");
    SavedRun r;
    r.file = path;
    r.label = path.substr(path.find_last_of("/\\") == std::string::npos ? 0 : path.find_last_of("/\\") + 1);
    if (r.label.size() > 5 && r.label.compare(r.label.size() - 5, 5, ".json") == 0)
        r.label.resize(r.label.size() - 5);
    const Json& machine = doc["machine"];
    r.cpu = machine["cpu"]["brand"].str();
    if (r.cpu.empty()) r.cpu = machine["cpu"]["vendor"].str();
    r.os = machine["os"].str();
    r.coreGHz = machine["core_clock_ghz"].kind == Json::Number ? machine["core_clock_ghz"].num() : 0;
    r.hostBits = static_cast<int>(doc["host"]["word_size"].num());
    r.module = doc["module"]["path"].str();
    r.sha256 = doc["module"]["sha256"].str();
    if (doc["entries"].kind != Json::Array) throw Fatal(path + " has no entries");
    for (const Json& e : doc["entries"].items) {
        SavedEntry s;
        s.index = static_cast<int>(e["index"].num());
        if (e["index"].kind != Json::Number || s.index < 0 || s.index >= kMaxEntries)
            throw Fatal(path + ": an entry without a valid index");
        s.name = e["name"].str();
        s.status = e["status"].str();
        s.medianClocks = e["median_clocks"].num();
        s.medianNs = e["median_ns"].num();
        r.entries.push_back(s);
    }
    return r;
}

SavedRun readSavedRun(const std::string& path) {
    return parseSavedRun(readFile(path, size_t(1) << 26, "results file"), displayPath(path));
}

} // namespace host
