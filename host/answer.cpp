// The entry's process side: its work turned into the answer it sends back,
// and the answer (and on Windows the worker's job) as JSON read with the
// host's one reader (json.h). Floats travel as their bit patterns and
// doubles with every digit, so that both arrive exactly; a double that is not
// finite travels as null and arrives as NaN. Each record's fields are listed
// once, and the same list writes and reads them.
#include <cmath>
#include <cstdint>
#include <new>

#include "answer.h"
#include "errors.h"
#include "floatbits.h"
#include "json.h"

namespace host {

namespace {

// The fields of a check and of a timing, each by its name on the wire. `R`
// is the record, const or not; `visit(name, field)` writes or reads one.
template <class R, class Visit>
void checkFields(R& c, Visit&& visit) {
    visit("ok", c.ok);
    visit("unchecked", c.unchecked);
    visit("max_error", c.maxError);
    visit("bound", c.bound);
    visit("worst_ratio", c.worstRatio);
    visit("reason", c.reason);
    visit("rule_checked", c.ruleChecked);
    visit("exact", c.exact);
    visit("y_bits", c.y);
}

template <class R, class Visit>
void timingFields(R& t, Visit&& visit) {
    visit("done", t.done);
    visit("count", t.count);
    visit("samples", t.samples);
    visit("planned_calls", t.plannedCalls);
    visit("call_ms", t.callMs);
    visit("min_ns", t.minNs);
    visit("median_ns", t.medianNs);
    visit("max_ns", t.maxNs);
    visit("min_ticks", t.minTicks);
    visit("median_ticks", t.medianTicks);
    visit("clocks", t.clocks);
    visit("min_clocks", t.minClocks);
    visit("median_clocks", t.medianClocks);
    visit("dropped", t.dropped);
    visit("ticks_per_clock", t.ticksPerClock);
    visit("ticks_per_ns", t.ticksPerNs);
    visit("clock_note", t.clockNote);
    visit("low_ns", t.lowNs);
    visit("low_clocks", t.lowClocks);
    visit("noise", t.noise);
    visit("unstable_reason", t.unstableReason);
    visit("call_ns", t.callNs);
    visit("call_clocks", t.callClocks);
    visit("probe_clocks", t.probeClocks);
    visit("other_cpus_busy", t.otherCpusBusy);
    visit("steal_share", t.stealShare);
    visit("involuntary_switches", t.involuntarySwitches);
}

// One field onto the wire.
Json wire(double v) { return std::isfinite(v) ? Json(v) : Json(nullptr); }
template <class T>
Json wire(const T& v) { return Json(v); }
template <size_t N>
Json wire(const float (&v)[N]) {
    Json a = Json::array();
    for (float f : v) a.push_back(bitsOf(f));
    return a;
}
template <size_t R, size_t C>
Json wire(const float (&v)[R][C]) {
    Json a = Json::array();
    for (const auto& row : v)
        for (float f : row) a.push_back(bitsOf(f));
    return a;
}

// One field off the wire.
void unwire(const Json& j, double& v) { v = numberOr(j); }
template <class T>
void unwire(const Json& j, T& v) { v = j.get<T>(); }
template <size_t N>
void unwire(const Json& j, float (&v)[N]) {
    if (!j.is_array() || j.size() != N) throw std::runtime_error("wrong count of floats");
    for (size_t i = 0; i < N; ++i) v[i] = floatOfBits(j.at(i).get<uint32_t>());
}
template <size_t R, size_t C>
void unwire(const Json& j, float (&v)[R][C]) {
    if (!j.is_array() || j.size() != R * C) throw std::runtime_error("wrong count of floats");
    for (size_t i = 0; i < R * C; ++i) v[i / C][i % C] = floatOfBits(j.at(i).get<uint32_t>());
}

template <class R, class Fields>
Json toJson(const R& r, Fields fields) {
    Json j = Json::object();
    fields(r, [&](const char* name, const auto& field) { j[name] = wire(field); });
    return j;
}

template <class R, class Fields>
void fromJson(const Json& j, R& r, Fields fields) {
    fields(r, [&](const char* name, auto& field) { unwire(j.at(name), field); });
}

const auto kCheck = [](auto& r, auto&& visit) { checkFields(r, visit); };
const auto kTiming = [](auto& r, auto&& visit) { timingFields(r, visit); };

std::string encodeError(const std::string& message) { return Json({{"error", message}}).dump() + "\n"; }

// What an entry's process answers when the entry ended its work by throwing.
std::string thrown(EntryResult mine, const char* why) {
    endWithoutOutput(mine, Status::Crashed, why);
    return encodeOutcome(mine, 0);
}

} // namespace

std::string answerEntry(const Module& module, EntryResult mine, const circuit::Problem& problem,
                        const Reference& reference, const WorkSettings& w) {
    // Made before the work: with no memory left, the answer that says so
    // must not need any (room for the end mark included).
    std::string outOfMemory = thrown(mine, "ran out of memory");
    outOfMemory.reserve(outOfMemory.size() + 16);
    try {
        const double seconds = runEntryWork(module, mine, problem, reference, w);
        return encodeOutcome(mine, seconds);
    } catch (const Fatal& error) {
        return encodeError(error.what()); // the host's own failure
    } catch (const std::bad_alloc&) {
        return outOfMemory;
    } catch (...) {
        return thrown(mine, "threw an exception");
    }
}

std::string encodeOutcome(const EntryResult& e, double workSeconds) {
    const Json j = {{"work_s", workSeconds},          {"status", static_cast<int>(e.status)},
                    {"reason", e.reason},             {"check", toJson(e.check, kCheck)},
                    {"timing", toJson(e.timing, kTiming)}};
    return j.dump() + "\n";
}

double decodeOutcome(const std::string& text, EntryResult& e) {
    std::string error;
    try {
        const Json j = parseJson(text);
        if (j.is_object() && j.contains("error")) {
            error = j.at("error").get<std::string>();
        } else {
            const double work = j.at("work_s").get<double>();
            const int status = j.at("status").get<int>();
            if (status < 0 || status > static_cast<int>(Status::TimedOut)) throw std::runtime_error("status");
            e.status = static_cast<Status>(status);
            e.reason = j.at("reason").get<std::string>();
            fromJson(j.at("check"), e.check, kCheck);
            fromJson(j.at("timing"), e.timing, kTiming);
            e.ran = true;
            return work;
        }
    } catch (const std::exception&) {
        throw Fatal("its process answered nonsense");
    }
    throw Fatal("its process answered an error: " + error);
}

#ifdef _WIN32
std::string encodeJob(const std::string& modulePath, const EntryResult& e, const circuit::Problem& p,
                      const WorkSettings& w) {
    const Json j = {{"module", modulePath},     {"index", e.index},       {"flags", e.record.flags},
                    {"check_only", w.checkOnly}, {"call_s", w.callSeconds}, {"trials", w.trials},
                    {"own_table", w.ownTable},  {"m_bits", wire(p.m)},    {"x_bits", wire(p.x)}};
    return j.dump() + "\n";
}

void decodeJob(const std::string& text, std::string& modulePath, EntryResult& e, circuit::Problem& p,
               WorkSettings& w) {
    try {
        const Json j = parseJson(text);
        modulePath = j.at("module").get<std::string>();
        e.index = j.at("index").get<int>();
        e.record.flags = j.at("flags").get<EntryFlags>();
        w.checkOnly = j.at("check_only").get<bool>();
        w.callSeconds = j.at("call_s").get<double>();
        w.trials = j.at("trials").get<int>();
        w.ownTable = j.at("own_table").get<bool>();
        unwire(j.at("m_bits"), p.m);
        unwire(j.at("x_bits"), p.x);
    } catch (const std::exception&) {
        throw Fatal("--worker expects a job from circuit-host on its input");
    }
}
#endif

} // namespace host
