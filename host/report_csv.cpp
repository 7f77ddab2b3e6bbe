// CSV for programs: one row per entry, every figure the table has and the
// nanoseconds and time-stamp ticks beside them.
#include <cmath>

#include "report.h"
#include "text.h"
#include "words.h"

namespace host {

namespace {

std::string csvNumber(double v) { return std::isfinite(v) ? jsonNumber(v) : std::string(); }

std::string csvField(const std::string& s) {
    if (s.find_first_of(",\"\n") == std::string::npos) return s;
    std::string out = "\"";
    for (char c : s) out += c == '"' ? std::string("\"\"") : std::string(1, c);
    return out + "\"";
}

double megaMacs(const Timing& t) { return t.medianNs > 0 ? kMultiplyAdds / t.medianNs * 1e3 : 0; }

} // namespace

std::string csvText(const RunInfo& run) {
    std::string out = std::string("index,name,flags,layout,arithmetic,runnable,ran,status,reason,error,bound,"
                      "error_per_bound,count,min_ns,median_ns,max_ns,min_ticks,median_ticks,min_clocks,"
                      "median_clocks,multiply_adds_per_clock,mmac_per_s,relative,substitute,low_ns,low_clocks,noise,unstable,"
                      "calls,calls_dropped,emulated\n");
    for (const EntryResult& e : run.entries) {
        const Timing& t = e.timing;
        const bool checked = e.ran && !e.check.unchecked;
        const bool ticks = t.done && run.machine.cpu.tsc, clocks = t.done && t.clocks;
        std::string row = std::to_string(e.index) + "," + csvField(e.name) + "," + flagsHex(e.record.flags) + "," +
                          layoutName(e.record.flags) + "," + arithmeticName(arithmeticOf(e.record.flags)) + "," +
                          (e.runnable ? "1" : "0") + "," + (e.ran ? "1" : "0") + "," + statusText(e.status) + "," + csvField(e.reason);
        auto add = [&](bool have, double v) { row += "," + (have ? csvNumber(v) : std::string()); };
        add(checked, e.check.maxError);
        add(checked, e.check.bound);
        add(checked, e.check.worstRatio);
        add(t.done, t.count);
        add(t.done, t.minNs);
        add(t.done, t.medianNs);
        add(t.done, t.maxNs);
        add(ticks, t.minTicks);
        add(ticks, t.medianTicks);
        add(clocks, t.minClocks);
        add(clocks, t.medianClocks);
        add(clocks && t.medianClocks > 0, clocks && t.medianClocks > 0 ? kMultiplyAdds / t.medianClocks : 0);
        add(t.done, megaMacs(t));
        add(t.done, t.relative);
        row += e.substitute ? ",1" : ",0";
        add(t.done, t.lowNs);
        add(clocks, t.lowClocks);
        add(t.done, t.noise);
        row += unstable(t) ? ",1" : ",0";
        add(t.done, t.samples);
        add(t.done, t.dropped);
        row += run.machine.emulated ? ",1" : ",0";
        out += row + "\n";
    }
    return out;
}

} // namespace host
