// One entry's work, as a child process does it: run it once and judge the
// output, then time it; and the text in which the work and its answer cross
// the pipe between host and child.
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <map>
#include <sstream>

#include "host.h"

namespace host {

namespace {

bool sameBits(const float* a, const float* b) { return std::memcmp(a, b, OUTPUT_COUNT * 4) == 0; }

// Strings travel as hex bytes, numbers as C99 hex floats: exact, one token.
std::string hex(const std::string& s) {
    std::string out;
    char b[3];
    for (unsigned char c : s) {
        std::snprintf(b, sizeof b, "%02x", c);
        out += b;
    }
    return out.empty() ? "-" : out;
}
std::string unhex(const std::string& s) {
    std::string out;
    if (s == "-") return out;
    for (size_t i = 0; i + 1 < s.size(); i += 2) out += static_cast<char>(std::strtoul(s.substr(i, 2).c_str(), nullptr, 16));
    return out;
}
std::string num(double v) {
    char b[48];
    std::snprintf(b, sizeof b, "%a", v);
    return b;
}

// "key value" lines.
std::map<std::string, std::string> fields(const std::string& text) {
    std::map<std::string, std::string> f;
    std::istringstream in(text);
    std::string key, value;
    while (in >> key && std::getline(in >> std::ws, value)) f[key] = value;
    return f;
}

} // namespace

double runEntryWork(const Module& module, EntryResult& e, const circuit::Problem& problem,
                    const Reference& reference, const WorkSettings& w) {
    const double start = steadySeconds();
    EntryBlocks b(e.record.flags, problem);
    b.checkAlignment();
    module.run(static_cast<uint32_t>(e.index), b.coefficients(), b.input(), b.output(), 1);
    e.ran = true;
    e.check = checkOutput(e.record.flags, b.output(), reference);
    const std::vector<int> missing = b.unwritten();
    const std::string damage = b.damage();
    if (!damage.empty() || !missing.empty()) // no error to speak of
        e.check.maxError = e.check.bound = e.check.worstRatio = NAN;
    if (!damage.empty()) {
        e.status = Status::Failed;
        e.reason = damage;
    } else if (missing.size() == OUTPUT_COUNT) {
        e.status = Status::Failed;
        e.reason = "wrote no output";
    } else if (!missing.empty()) {
        e.status = Status::Failed;
        e.reason = "did not write y[" + std::to_string(missing.front()) + "]" +
                   (missing.size() > 1 ? " and " + std::to_string(missing.size() - 1) + " more" : "");
    } else if (e.check.unchecked) {
        e.status = Status::Unchecked;
        e.reason = e.check.reason;
    } else if (!e.check.ok) {
        e.status = Status::Failed;
        e.reason = e.check.reason;
    } else {
        e.status = Status::Ok;
    }
    if (w.checkOnly || isFailure(e.status)) return steadySeconds() - start;

    b.resetOutput();
    e.timing = timeEntry(module, static_cast<uint32_t>(e.index), b, w.cpu, w.callSeconds, w.trials);
    // Many repetitions must leave what one left, and nothing else.
    const std::string timedDamage = b.damage();
    if (!timedDamage.empty() || !sameBits(b.output(), e.check.y)) {
        e.status = Status::Failed;
        e.reason = !timedDamage.empty() ? timedDamage + " when timed"
                                        : "a count of " + std::to_string(e.timing.count) +
                                              " gives another output than a count of 1";
        e.timing = Timing();
    }
    return steadySeconds() - start;
}

std::string encodeOutcome(const EntryResult& e, double workSeconds) {
    std::string s;
    auto put = [&](const char* key, const std::string& v) { s += std::string(key) + " " + v + "\n"; };
    const Check& c = e.check;
    const Timing& t = e.timing;
    put("work", num(workSeconds));
    put("status", std::to_string(static_cast<int>(e.status)));
    put("reason", hex(e.reason));
    put("check", std::to_string(c.ok) + " " + std::to_string(c.unchecked) + " " + num(c.maxError) + " " +
                     num(c.bound) + " " + num(c.worstRatio) + " " + hex(c.reason));
    std::string y;
    for (float v : c.y) y += num(v) + " ";
    put("y", y);
    put("timing", std::to_string(t.done) + " " + std::to_string(t.count) + " " + std::to_string(t.samples) + " " +
                      num(t.minNs) + " " + num(t.medianNs) + " " + num(t.maxNs) + " " + num(t.minTicks) + " " +
                      num(t.medianTicks) + " " + std::to_string(t.clocks) + " " + num(t.minClocks) + " " +
                      num(t.medianClocks) + " " + std::to_string(t.dropped) + " " + num(t.ticksPerClock) + " " +
                      num(t.ticksPerNs) + " " + hex(t.clockNote));
    return s;
}

double decodeOutcome(const std::string& text, EntryResult& e) {
    auto f = fields(text);
    if (f.count("error")) throw Fatal(f["error"]);
    if (!f.count("timing")) throw Fatal("entry " + std::to_string(e.index) + ": its process answered nonsense");
    e.ran = true;
    e.status = static_cast<Status>(std::atoi(f["status"].c_str()));
    e.reason = unhex(f["reason"]);
    Check& c = e.check;
    std::istringstream check(f["check"]);
    std::string maxError, bound, ratio, reason;
    check >> c.ok >> c.unchecked >> maxError >> bound >> ratio >> reason;
    c.maxError = std::strtod(maxError.c_str(), nullptr);
    c.bound = std::strtod(bound.c_str(), nullptr);
    c.worstRatio = std::strtod(ratio.c_str(), nullptr);
    c.reason = unhex(reason);
    std::istringstream y(f["y"]);
    std::string v;
    for (float& out : c.y) out = (y >> v) ? std::strtof(v.c_str(), nullptr) : NAN;
    Timing& t = e.timing;
    std::istringstream tm(f["timing"]);
    std::string d[10], note;
    tm >> t.done >> t.count >> t.samples >> d[0] >> d[1] >> d[2] >> d[3] >> d[4] >> t.clocks >> d[5] >> d[6] >>
        t.dropped >> d[7] >> d[8] >> note;
    double* to[] = {&t.minNs, &t.medianNs, &t.maxNs, &t.minTicks, &t.medianTicks,
                    &t.minClocks, &t.medianClocks, &t.ticksPerClock, &t.ticksPerNs};
    for (int k = 0; k < 9; ++k) *to[k] = std::strtod(d[k].c_str(), nullptr);
    t.clockNote = unhex(note);
    return std::strtod(f["work"].c_str(), nullptr);
}

std::string encodeJob(const std::string& modulePath, const EntryResult& e, const circuit::Problem& p,
                      const WorkSettings& w) {
    std::string s = "module " + hex(modulePath) + "\nindex " + std::to_string(e.index) + "\nflags " +
                    std::to_string(e.record.flags) + "\ncheckonly " + std::to_string(w.checkOnly) +
                    "\ncallseconds " + num(w.callSeconds) + "\ntrials " + std::to_string(w.trials) + "\nproblem ";
    for (const auto& row : p.m)
        for (float v : row) s += num(v) + " ";
    for (float v : p.x) s += num(v) + " ";
    return s + "\n";
}

void decodeJob(const std::string& text, std::string& modulePath, EntryResult& e, circuit::Problem& p,
               WorkSettings& w) {
    auto f = fields(text);
    if (!f.count("problem")) throw Fatal("--worker expects a job from circuit-host on its input");
    modulePath = unhex(f["module"]);
    e.index = std::atoi(f["index"].c_str());
    e.record.flags = static_cast<EntryFlags>(std::strtoul(f["flags"].c_str(), nullptr, 10));
    w.checkOnly = f["checkonly"] == "1";
    w.callSeconds = std::strtod(f["callseconds"].c_str(), nullptr);
    w.trials = std::atoi(f["trials"].c_str());
    std::istringstream in(f["problem"]);
    std::string v;
    for (auto& row : p.m)
        for (float& m : row) m = (in >> v) ? std::strtof(v.c_str(), nullptr) : 0.0f;
    for (float& x : p.x) x = (in >> v) ? std::strtof(v.c_str(), nullptr) : 0.0f;
}

} // namespace host
