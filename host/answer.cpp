// The job a worker process gets and the answer an entry's process sends
// back, as JSON read with the host's one reader (json.h). Floats travel as
// their bit patterns and doubles with every digit, so that both arrive
// exactly; a double that is not finite travels as null and arrives as NaN.
#include <cstdint>

#include "errors.h"
#include "floatbits.h"
#include "json.h"
#include "work.h"

namespace host {

namespace {

Json number(double v) { return std::isfinite(v) ? Json(v) : Json(nullptr); }

Json checkJson(const Check& c) {
    Json y = Json::array();
    for (float v : c.y) y.push_back(bitsOf(v));
    return {{"ok", c.ok},          {"unchecked", c.unchecked}, {"max_error", number(c.maxError)},
            {"bound", number(c.bound)}, {"worst_ratio", number(c.worstRatio)}, {"reason", c.reason},
            {"y_bits", y}};
}

Json timingJson(const Timing& t) {
    return {{"done", t.done},
            {"count", t.count},
            {"samples", t.samples},
            {"planned_calls", t.plannedCalls},
            {"call_ms", number(t.callMs)},
            {"min_ns", number(t.minNs)},
            {"median_ns", number(t.medianNs)},
            {"max_ns", number(t.maxNs)},
            {"min_ticks", number(t.minTicks)},
            {"median_ticks", number(t.medianTicks)},
            {"clocks", t.clocks},
            {"min_clocks", number(t.minClocks)},
            {"median_clocks", number(t.medianClocks)},
            {"dropped", t.dropped},
            {"ticks_per_clock", number(t.ticksPerClock)},
            {"ticks_per_ns", number(t.ticksPerNs)},
            {"clock_note", t.clockNote},
            {"low_ns", number(t.lowNs)},
            {"low_clocks", number(t.lowClocks)},
            {"noise", number(t.noise)},
            {"unstable_reason", t.unstableReason},
            {"call_ns", t.callNs},
            {"call_clocks", t.callClocks},
            {"probe_clocks", number(t.probeClocks)},
            {"other_cpus_busy", number(t.otherCpusBusy)},
            {"steal_share", number(t.stealShare)},
            {"involuntary_switches", t.involuntarySwitches}};
}

void readCheck(const Json& j, Check& c) {
    c.ok = j.at("ok").get<bool>();
    c.unchecked = j.at("unchecked").get<bool>();
    c.maxError = numberOr(j.at("max_error"));
    c.bound = numberOr(j.at("bound"));
    c.worstRatio = numberOr(j.at("worst_ratio"));
    c.reason = j.at("reason").get<std::string>();
    const Json& y = j.at("y_bits");
    if (y.size() != OUTPUT_COUNT) throw std::runtime_error("not 18 outputs");
    for (int i = 0; i < OUTPUT_COUNT; ++i) c.y[i] = floatOfBits(y.at(i).get<uint32_t>());
}

void readTiming(const Json& j, Timing& t) {
    t.done = j.at("done").get<bool>();
    t.count = j.at("count").get<int32_t>();
    t.samples = j.at("samples").get<int>();
    t.plannedCalls = j.at("planned_calls").get<int>();
    t.callMs = numberOr(j.at("call_ms"));
    t.minNs = numberOr(j.at("min_ns"));
    t.medianNs = numberOr(j.at("median_ns"));
    t.maxNs = numberOr(j.at("max_ns"));
    t.minTicks = numberOr(j.at("min_ticks"));
    t.medianTicks = numberOr(j.at("median_ticks"));
    t.clocks = j.at("clocks").get<bool>();
    t.minClocks = numberOr(j.at("min_clocks"));
    t.medianClocks = numberOr(j.at("median_clocks"));
    t.dropped = j.at("dropped").get<int>();
    t.ticksPerClock = numberOr(j.at("ticks_per_clock"));
    t.ticksPerNs = numberOr(j.at("ticks_per_ns"));
    t.clockNote = j.at("clock_note").get<std::string>();
    t.lowNs = numberOr(j.at("low_ns"));
    t.lowClocks = numberOr(j.at("low_clocks"));
    t.noise = numberOr(j.at("noise"));
    t.unstableReason = j.at("unstable_reason").get<std::string>();
    t.callNs = j.at("call_ns").get<std::vector<double>>();
    t.callClocks = j.at("call_clocks").get<std::vector<double>>();
    t.probeClocks = numberOr(j.at("probe_clocks"));
    t.otherCpusBusy = numberOr(j.at("other_cpus_busy"));
    t.stealShare = numberOr(j.at("steal_share"));
    t.involuntarySwitches = j.at("involuntary_switches").get<long>();
}

Json floatBits(const float* v, int n) {
    Json a = Json::array();
    for (int i = 0; i < n; ++i) a.push_back(bitsOf(v[i]));
    return a;
}

void readFloatBits(const Json& a, float* v, int n) {
    if (static_cast<int>(a.size()) != n) throw std::runtime_error("wrong count of floats");
    for (int i = 0; i < n; ++i) v[i] = floatOfBits(a.at(static_cast<size_t>(i)).get<uint32_t>());
}

} // namespace

std::string encodeOutcome(const EntryResult& e, double workSeconds) {
    const Json j = {{"work_s", workSeconds},        {"status", static_cast<int>(e.status)},
                    {"reason", e.reason},           {"check", checkJson(e.check)},
                    {"timing", timingJson(e.timing)}};
    return j.dump() + "\n";
}

std::string encodeError(const std::string& message) { return Json({{"error", message}}).dump() + "\n"; }

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
            readCheck(j.at("check"), e.check);
            readTiming(j.at("timing"), e.timing);
            e.ran = true;
            return work;
        }
    } catch (const std::exception&) {
        throw Fatal("entry " + std::to_string(e.index) + ": its process answered nonsense");
    }
    throw Fatal(error);
}

std::string encodeJob(const std::string& modulePath, const EntryResult& e, const circuit::Problem& p,
                      const WorkSettings& w) {
    const Json j = {{"module", modulePath},
                    {"index", e.index},
                    {"flags", e.record.flags},
                    {"check_only", w.checkOnly},
                    {"call_s", w.callSeconds},
                    {"trials", w.trials},
                    {"m_bits", floatBits(&p.m[0][0], OUTPUT_COUNT * INPUT_COUNT)},
                    {"x_bits", floatBits(p.x, INPUT_COUNT)}};
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
        readFloatBits(j.at("m_bits"), &p.m[0][0], OUTPUT_COUNT * INPUT_COUNT);
        readFloatBits(j.at("x_bits"), p.x, INPUT_COUNT);
    } catch (const std::exception&) {
        throw Fatal("--worker expects a job from circuit-host on its input");
    }
}

} // namespace host
