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
        "emulated", "substitute", "call_ns", "call_clocks", "unstable", "unstable_reason", "version", "family",
        "model", "stepping", "timing", "time_per_entry_ms", "trials", "rounds", "other_cpus_busy", "flagged"};
    return keys.count(key) != 0;
}

// An array longer than any a run writes (kMaxSavedCalls calls, kMaxEntries
// entries): the parse stops there rather than hold millions of numbers.
struct TooLong {};

Json parseSaved(const std::string& text) {
    std::vector<size_t> lengths; // elements so far of each open array or object
    try {
        return Json::parse(text, [&lengths](int, Json::parse_event_t event, Json& parsed) {
            using E = Json::parse_event_t;
            if (event == E::array_start || event == E::object_start) lengths.push_back(0);
            if ((event == E::array_end || event == E::object_end) && !lengths.empty()) lengths.pop_back();
            if ((event == E::value || event == E::object_end || event == E::array_end) && !lengths.empty() &&
                ++lengths.back() > kMaxSavedCalls)
                throw TooLong{};
            return event != E::key || wanted(parsed.get<std::string>());
        });
    } catch (const Json::parse_error& e) {
        throw std::runtime_error("syntax error at byte " + std::to_string(e.byte));
    } catch (const TooLong&) {
        throw std::runtime_error("an array or object of more than " + std::to_string(kMaxSavedCalls) +
                                 " members, more than a run saves");
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
    const Json& version = member(doc, "schema_version");
    if (!version.is_number_integer() || version.get<long long>() < 1)
        throw Fatal(path + " has results schema version " + version.dump() + ", which no circuit-host wrote");
    if (version.get<long long>() > kResultsSchemaVersion)
        throw Fatal(path + " has results schema version " + version.dump() + "; this host reads up to " +
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
    s.name = printable(stringOr(member(e, "name")));
    s.status = printable(stringOr(member(e, "status")));
    s.unstable = member(e, "unstable").is_boolean() && member(e, "unstable").get<bool>();
    s.unstableReason = printable(stringOr(member(e, "unstable_reason")));
    s.medianClocks = savedFigure(member(e, "median_clocks"), path, s.index, "median_clocks");
    s.medianNs = savedFigure(member(e, "median_ns"), path, s.index, "median_ns");
    s.substitute = member(e, "substitute").is_boolean() && member(e, "substitute").get<bool>();
    for (const Json& v : member(e, "call_ns")) s.callNs.push_back(savedFigure(v, path, s.index, "a call of"));
    for (const Json& v : member(e, "call_clocks"))
        s.callClocks.push_back(savedFigure(v, path, s.index, "a call of"));
    return s;
}

// The timing settings as one phrase, and the run's load (both at the top
// level since schema 3).
void timingOf(const Json& doc, SavedRun& r) {
    const Json& t = member(doc, "timing");
    if (!t.is_object()) return;
    r.timing = jsonNumber(numberOr(member(t, "time_per_entry_ms"), 0)) + " ms per entry, " +
               jsonNumber(numberOr(member(t, "trials"), 0)) + " trials";
    if (member(doc, "rounds").is_number()) r.timing += ", " + jsonNumber(numberOr(member(doc, "rounds"))) + " rounds";
    if (member(doc, "other_cpus_busy").is_number()) r.otherCpusBusy = numberOr(member(doc, "other_cpus_busy"));
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
    r.file = printable(path);
    r.label = printable(labelOf(path));
    const Json& machine = member(doc, "machine");
    const Json& cpu = member(machine, "cpu");
    r.cpu = printable(stringOr(member(cpu, "brand")));
    if (r.cpu.empty()) r.cpu = printable(stringOr(member(cpu, "vendor")));
    if (member(cpu, "family").is_number_integer())
        r.cpuId = "family " + member(cpu, "family").dump() + ", model " + member(cpu, "model").dump() +
                  ", stepping " + member(cpu, "stepping").dump();
    r.os = printable(stringOr(member(machine, "os")));
    r.coreGHz = numberOr(member(machine, "core_clock_ghz"), 0);
    r.hostBits = static_cast<int>(numberOr(member(member(doc, "host"), "word_size"), 0));
    r.hostVersion = printable(stringOr(member(member(doc, "host"), "version")));
    r.module = printable(stringOr(member(member(doc, "module"), "path")));
    r.sha256 = printable(stringOr(member(member(doc, "module"), "sha256")));
    r.name = printable(stringOr(member(doc, "name")));
    timingOf(doc, r);
    r.emulated = member(machine, "emulated").is_boolean() && member(machine, "emulated").get<bool>();
    const Json& problem = member(doc, "problem");
    if (stringOr(member(problem, "source")) == "file")
        r.problem = "file " + printable(stringOr(member(problem, "file")));
    else if (member(problem, "seed").is_number())
        r.problem = "seed " + member(problem, "seed").dump();
    const Json& entries = member(doc, "entries");
    if (!entries.is_array()) throw Fatal(path + " has no entries");
    std::set<int> seen;
    for (const Json& e : entries) {
        r.entries.push_back(savedEntry(e, path));
        if (!seen.insert(r.entries.back().index).second)
            throw Fatal(path + ": entry " + std::to_string(r.entries.back().index) + " appears twice");
        r.flagged += r.entries.back().unstable;
    }
    return r;
}

SavedRun readSavedRun(const std::string& path) {
    return parseSavedRun(readFile(path, size_t(1) << 26, "results file"), printable(path));
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
        auto differ = [&](const std::string& a, const std::string& b, const char* what) {
            if (a != b) c.warnings.push_back(who + " " + what + " (" + a + "; " + b + ")");
        };
        differ(r.problem, base.problem, "timed different problems");
        if (r.sha256 != base.sha256) c.warnings.push_back(who + " ran different modules (SHA-256)");
        differ(r.cpu + (r.cpuId.empty() ? "" : ", " + r.cpuId), base.cpu + (base.cpuId.empty() ? "" : ", " + base.cpuId),
               "ran on different processors");
        if (r.coreGHz > 0 && base.coreGHz > 0 && std::fabs(r.coreGHz / base.coreGHz - 1) > kNoiseThreshold)
            c.warnings.push_back(who + " ran at core clocks more than 5% apart (" + format("%.2f", r.coreGHz) +
                                 "; " + format("%.2f GHz)", base.coreGHz));
        if (r.hostBits != base.hostBits)
            c.warnings.push_back(who + " ran hosts of different word sizes (" + std::to_string(r.hostBits) + "; " +
                                 std::to_string(base.hostBits) + " bits)");
        differ(r.hostVersion, base.hostVersion, "ran different host builds");
        differ(r.timing, base.timing, "were timed with different settings");
        if (r.emulated != base.emulated)
            c.warnings.push_back((r.emulated ? r.label : base.label) + " ran under an emulator, " +
                                 (r.emulated ? base.label : r.label) + " did not");
        if (substitute(r) != substitute(base))
            c.warnings.push_back((substitute(r) ? r.label : base.label) + " timed substitute code for some entries");
        c.warningRun.resize(c.warnings.size(), k);
    }
}

// Two files of the same name: each labelled by its path instead.
void distinctLabels(std::vector<SavedRun>& runs) {
    std::vector<std::string> labels;
    for (const SavedRun& r : runs) {
        int same = 0;
        for (const SavedRun& other : runs) same += other.label == r.label;
        const bool json = r.file.size() > 5 && r.file.compare(r.file.size() - 5, 5, ".json") == 0;
        labels.push_back(same < 2 ? r.label : json ? r.file.substr(0, r.file.size() - 5) : r.file);
    }
    for (size_t k = 0; k < runs.size(); ++k) runs[k].label = labels[k];
    for (size_t k = 0; k < runs.size(); ++k)
        for (size_t j = 0; j < k; ++j)
            if (runs[j].label == runs[k].label) runs[k].label += " #" + std::to_string(k + 1);
}

const SavedEntry* entryOf(const SavedRun& r, int index) {
    for (const SavedEntry& e : r.entries)
        if (e.index == index) return &e;
    return nullptr;
}

// One entry across the runs, in clocks when every run that timed it has
// them and its calls' clocks, else in ns; each run after the first tested
// against the first in that unit.
ComparedRow rowOf(const std::vector<SavedRun>& runs, int index) {
    ComparedRow row;
    row.index = index;
    // Runs saved before calls' clocks were (schema 2) are tested in ns, and
    // then shown in ns too.
    bool calls = false, callClocks = true;
    for (const SavedRun& r : runs) {
        const SavedEntry* e = entryOf(r, index);
        if (!e || !std::isfinite(e->medianNs)) continue;
        if (!std::isfinite(e->medianClocks)) row.clocks = false;
        calls = calls || !e->callNs.empty();
        callClocks = callClocks && !e->callClocks.empty();
    }
    if (calls && !callClocks) row.clocks = false;
    const SavedEntry* first = entryOf(runs[0], index);
    for (size_t k = 0; k < runs.size(); ++k) {
        const SavedEntry* e = entryOf(runs[k], index);
        if (k > 0)
            row.p.push_back(e && first ? stats::mannWhitneyP(row.clocks ? first->callClocks : first->callNs,
                                                             row.clocks ? e->callClocks : e->callNs)
                                       : NAN);
        row.present.push_back(e != nullptr);
        row.unstable.push_back(e != nullptr && e->unstable);
        row.value.push_back(e ? (row.clocks ? e->medianClocks : e->medianNs) : NAN);
        if (e && row.name.empty()) row.name = e->name;
    }
    return row;
}

} // namespace

Comparison compareSaved(const std::vector<SavedRun>& saved) {
    Comparison c;
    c.runs = saved;
    if (saved.empty()) return c;
    distinctLabels(c.runs);
    int last = -1;
    for (const SavedRun& r : saved)
        for (const SavedEntry& e : r.entries) last = std::max(last, e.index);
    for (int index = 0; index <= last; ++index) {
        bool any = false;
        for (const SavedRun& r : saved) any = any || entryOf(r, index) != nullptr;
        if (!any) continue;
        c.rows.push_back(rowOf(saved, index));
        c.clocks = c.clocks && c.rows.back().clocks;
    }
    // The entries are tested together, run by run: Holm's correction keeps
    // the chance of any false "change" among them at the significance level.
    for (size_t k = 1; k < saved.size(); ++k) {
        std::vector<double> p;
        for (const ComparedRow& row : c.rows) p.push_back(row.unstable[0] || row.unstable[k] ? NAN : row.p[k - 1]);
        p = stats::holm(p);
        for (size_t r = 0; r < c.rows.size(); ++r) c.rows[r].p[k - 1] = p[r];
    }
    warnAbout(c);
    return c;
}

} // namespace host
