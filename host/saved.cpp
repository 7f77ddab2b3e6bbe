// Reading a saved run (the JSON of report_json.cpp) back for --compare, and
// lining saved runs up by entry index.
#include <algorithm>
#include <cmath>
#include <set>

#include "errors.h"
#include "files.h"
#include "json.h"
#include "saved.h"
#include "stats.h"
#include "text.h"

namespace host {

namespace {

// The members --compare reads; every other member is dropped while parsing,
// so that a large file (the 18 outputs of every entry) costs little memory.
bool wanted(const std::string& key) {
    static const std::set<std::string> keys = {
        "schema", "schema_version", "machine", "cpu",   "brand", "vendor",        "os",
        "core_clock_ghz", "host", "word_size", "module", "path", "sha256",        "entries",
        "index",  "name",  "status", "median_clocks", "median_ns", "problem", "source", "seed", "file",
        "emulated", "substitute", "call_ns"};
    return keys.count(key) != 0;
}

Json parseSaved(const std::string& text) {
    try {
        return Json::parse(text, [](int, Json::parse_event_t event, Json& parsed) {
            return event != Json::parse_event_t::key || wanted(parsed.get<std::string>());
        });
    } catch (const Json::parse_error& e) {
        throw std::runtime_error("syntax error at byte " + std::to_string(e.byte));
    }
}

std::string labelOf(const std::string& path) {
    const size_t slash = path.find_last_of("/\\");
    std::string label = path.substr(slash == std::string::npos ? 0 : slash + 1);
    if (label.size() > 5 && label.compare(label.size() - 5, 5, ".json") == 0) label.resize(label.size() - 5);
    return label;
}

// The header of a results file: Fatal unless it is one this host reads.
void checkSchema(const Json& doc, const std::string& path) {
    if (!doc.is_object() || stringOr(member(doc, "schema")) != kResultsSchemaName ||
        !member(doc, "schema_version").is_number())
        throw Fatal(path + " is not a circuit-host results file (save one with circuit-host --json)");
    const double version = numberOr(member(doc, "schema_version"));
    if (version > kResultsSchemaVersion)
        throw Fatal(path + " has results schema version " + jsonNumber(version) + "; this host reads up to " +
                    std::to_string(kResultsSchemaVersion) + " (use a newer circuit-host)");
}

// Longest time per repetition a saved run may hold (in clocks or ns): a
// repetition of 11 days; larger figures are no measurement and would
// stretch the chart's axis without end.
constexpr double kLongestFigure = 1e15;

// A time of entry `index`, NaN when null: Fatal unless finite and positive.
double savedFigure(const Json& j, const std::string& path, int index, const char* key) {
    const double v = numberOr(j);
    if (j.is_null() || (j.is_number() && v > 0 && v <= kLongestFigure)) return v;
    throw Fatal(path + ": entry " + std::to_string(index) + " has " + key + " " + j.dump(-1) +
                ", not a time (finite, above 0, at most 1e15)");
}

SavedEntry savedEntry(const Json& e, const std::string& path) {
    SavedEntry s;
    const Json& index = member(e, "index");
    s.index = index.is_number_integer() ? index.get<int>() : -1;
    if (s.index < 0 || s.index >= kMaxEntries) throw Fatal(path + ": an entry without a valid index");
    s.name = stringOr(member(e, "name"));
    s.status = stringOr(member(e, "status"));
    s.medianClocks = savedFigure(member(e, "median_clocks"), path, s.index, "median_clocks");
    s.medianNs = savedFigure(member(e, "median_ns"), path, s.index, "median_ns");
    s.substitute = member(e, "substitute").is_boolean() && member(e, "substitute").get<bool>();
    for (const Json& v : member(e, "call_ns")) s.callNs.push_back(savedFigure(v, path, s.index, "a call of"));
    return s;
}

} // namespace

SavedRun parseSavedRun(const std::string& text, const std::string& path) {
    Json doc;
    try {
        doc = parseSaved(text);
    } catch (const std::runtime_error& e) {
        throw Fatal(path + " is not a circuit-host results file (not JSON: " + e.what() + ")");
    }
    checkSchema(doc, path);
    SavedRun r;
    r.file = path;
    r.label = labelOf(path);
    const Json& machine = member(doc, "machine");
    r.cpu = stringOr(member(member(machine, "cpu"), "brand"));
    if (r.cpu.empty()) r.cpu = stringOr(member(member(machine, "cpu"), "vendor"));
    r.os = stringOr(member(machine, "os"));
    r.coreGHz = numberOr(member(machine, "core_clock_ghz"), 0);
    r.hostBits = static_cast<int>(numberOr(member(member(doc, "host"), "word_size"), 0));
    r.module = stringOr(member(member(doc, "module"), "path"));
    r.sha256 = stringOr(member(member(doc, "module"), "sha256"));
    r.name = stringOr(member(doc, "name"));
    r.emulated = member(machine, "emulated").is_boolean() && member(machine, "emulated").get<bool>();
    const Json& problem = member(doc, "problem");
    if (stringOr(member(problem, "source")) == "file")
        r.problem = "file " + stringOr(member(problem, "file"));
    else if (member(problem, "seed").is_number())
        r.problem = "seed " + member(problem, "seed").dump();
    const Json& entries = member(doc, "entries");
    if (!entries.is_array()) throw Fatal(path + " has no entries");
    std::set<int> seen;
    for (const Json& e : entries) {
        r.entries.push_back(savedEntry(e, path));
        if (!seen.insert(r.entries.back().index).second)
            throw Fatal(path + ": entry " + std::to_string(r.entries.back().index) + " appears twice");
    }
    return r;
}

SavedRun readSavedRun(const std::string& path) {
    return parseSavedRun(readFile(path, size_t(1) << 26, "results file"), displayPath(path));
}

namespace {

// One warning per way in which run k differs from the base other than in
// its times.
void warnAbout(Comparison& c) {
    const SavedRun& base = c.runs[0];
    auto substitute = [](const SavedRun& r) {
        for (const SavedEntry& e : r.entries)
            if (e.substitute) return true;
        return false;
    };
    for (size_t k = 1; k < c.runs.size(); ++k) {
        const SavedRun& r = c.runs[k];
        const std::string who = r.label + " and " + base.label;
        if (r.problem != base.problem)
            c.warnings.push_back(who + " timed different problems (" + r.problem + "; " + base.problem + ")");
        if (r.sha256 != base.sha256) c.warnings.push_back(who + " ran different modules (SHA-256)");
        if (r.hostBits != base.hostBits)
            c.warnings.push_back(who + " ran hosts of different word sizes (" + std::to_string(r.hostBits) + "; " +
                                 std::to_string(base.hostBits) + " bits)");
        if (r.emulated != base.emulated)
            c.warnings.push_back((r.emulated ? r.label : base.label) + " ran under an emulator, " +
                                 (r.emulated ? base.label : r.label) + " did not");
        if (substitute(r) != substitute(base))
            c.warnings.push_back((substitute(r) ? r.label : base.label) + " timed substitute code for some entries");
    }
}

} // namespace

Comparison compareSaved(const std::vector<SavedRun>& runs) {
    Comparison c;
    c.runs = runs;
    for (const SavedRun& r : runs) {
        bool any = false;
        for (const SavedEntry& e : r.entries) any = any || std::isfinite(e.medianClocks);
        if (!any) c.clocks = false;
    }
    int last = -1;
    for (const SavedRun& r : runs)
        for (const SavedEntry& e : r.entries) last = std::max(last, e.index);
    for (int index = 0; index <= last; ++index) {
        ComparedRow row;
        row.index = index;
        bool any = false;
        for (const SavedRun& r : runs) {
            const SavedEntry* found = nullptr;
            for (const SavedEntry& e : r.entries)
                if (e.index == index) found = &e;
            if (!row.present.empty()) {
                const SavedEntry* first = nullptr;
                for (const SavedEntry& e : runs[0].entries)
                    if (e.index == index) first = &e;
                row.p.push_back(found && first ? stats::mannWhitneyP(first->callNs, found->callNs) : NAN);
            }
            row.present.push_back(found != nullptr);
            row.value.push_back(found ? (c.clocks ? found->medianClocks : found->medianNs) : NAN);
            if (found && row.name.empty()) row.name = found->name;
            any = any || found;
        }
        if (any) c.rows.push_back(row);
    }
    if (!runs.empty()) warnAbout(c);
    return c;
}

} // namespace host
