// CSV for programs: one row per entry with every field of the entry's JSON
// object but the arrays (entryFields, below, is the one list of both), and
// the run's own data in the last columns of every row.
#include <cmath>
#include <iterator>

#include "fields.h"
#include "report.h"
#include "text.h"
#include "words.h"

namespace host {

namespace {

Value number(bool have, double v) {
    Value x;
    if (have && std::isfinite(v)) x.kind = Value::Number, x.number = v;
    return x;
}
Value integer(bool have, long long v) {
    Value x;
    if (have) x.kind = Value::Integer, x.integer = v;
    return x;
}
Value boolean(bool v) {
    Value x;
    x.kind = Value::Bool, x.flag = v;
    return x;
}
Value text(const std::string& s) {
    Value x;
    x.kind = Value::Text, x.text = s;
    return x;
}
Value numbers(bool have, std::vector<double> v) {
    Value x;
    if (have) x.kind = Value::Numbers, x.numbers = std::move(v);
    return x;
}

bool checked(const EntryResult& e) { return e.ran && !e.check.unchecked; }
bool hasOutput(const EntryResult& e) { return e.ran && e.status != Status::Crashed && e.status != Status::TimedOut; }
bool ticks(const EntryResult& e, const RunInfo& run) { return e.timing.done && run.machine.cpu.tsc; }
bool clocks(const EntryResult& e) { return e.timing.done && e.timing.clocks; }

// One field: its value from the entry `e` (its timing `t`) of the run `run`.
#define FIELD(key, where, expr)                                                                                   \
    {key, where, [](const EntryResult& e, const RunInfo& run) -> Value {                                        \
         const Timing& t = e.timing;                                                                              \
         (void)run, (void)t;                                                                                      \
         return expr;                                                                                             \
     }}

// The first columns in the order CSV has always had them, then the rest.
const Field kFields[] = {
    FIELD("index", kInBoth, integer(true, e.index)),
    FIELD("name", kInBoth, text(e.name)),
    // A number for programs, as hex for people reading a spreadsheet.
    FIELD("flags", kInJson, integer(true, e.record.flags)),
    FIELD("flags", kInCsv, text(flagsHex(e.record.flags))),
    FIELD("layout", kInBoth, text(layoutName(e.record.flags))),
    FIELD("arithmetic", kInBoth, text(arithmeticName(arithmeticOf(e.record.flags)))),
    FIELD("runnable", kInBoth, boolean(e.runnable)),
    FIELD("ran", kInBoth, boolean(e.ran)),
    FIELD("status", kInBoth, text(statusKey(e.status))),
    FIELD("reason", kInBoth, text(e.reason)),
    FIELD("error", kInBoth, number(checked(e), e.check.maxError)),
    FIELD("bound", kInBoth, number(checked(e), e.check.bound)),
    FIELD("error_per_bound", kInBoth, number(checked(e), e.check.worstRatio)),
    FIELD("output", kInJson, numbers(hasOutput(e), std::vector<double>(e.check.y, e.check.y + OUTPUT_COUNT))),
    FIELD("count", kInBoth, integer(t.done, t.count)),
    FIELD("min_ns", kInBoth, number(t.done, t.minNs)),
    FIELD("median_ns", kInBoth, number(t.done, t.medianNs)),
    FIELD("max_ns", kInBoth, number(t.done, t.maxNs)),
    FIELD("min_ticks", kInBoth, number(ticks(e, run), t.minTicks)),
    FIELD("median_ticks", kInBoth, number(ticks(e, run), t.medianTicks)),
    FIELD("min_clocks", kInBoth, number(clocks(e), t.minClocks)),
    FIELD("median_clocks", kInBoth, number(clocks(e), t.medianClocks)),
    FIELD("multiply_adds_per_clock", kInBoth, number(macsPerClock(t) > 0, macsPerClock(t))),
    FIELD("mmac_per_s", kInBoth, number(megaMacsPerSecond(t) > 0, megaMacsPerSecond(t))),
    FIELD("relative", kInBoth, number(t.done && t.relative > 0, t.relative)),
    FIELD("substitute", kInBoth, boolean(e.substitute)),
    FIELD("low_ns", kInBoth, number(t.done, t.lowNs)),
    FIELD("low_clocks", kInBoth, number(clocks(e), t.lowClocks)),
    FIELD("noise", kInBoth, number(t.done, t.noise)),
    FIELD("unstable", kInBoth, boolean(unstable(t))),
    FIELD("calls", kInBoth, integer(t.done, t.samples)),
    FIELD("calls_dropped", kInBoth, integer(t.done, t.dropped)),
    // The run's own data, in every row (JSON has it once, in "machine").
    FIELD("emulated", kInCsv, boolean(run.machine.emulated)),
    FIELD("planned_calls", kInBoth, integer(t.done, t.plannedCalls)),
    FIELD("clock_note", kInBoth, text(t.done ? t.clockNote : "")),
    FIELD("name_converted", kInBoth, boolean(e.nameConverted)),
    FIELD("name_sjis_hex", kInBoth, text(hexBytes(rawName(e)))),
    FIELD("flags_text", kInBoth, text(flagsText(e.record.flags))),
    FIELD("missing", kInBoth, text(e.missing)),
    FIELD("unstable_reason", kInBoth, text(unstable(t) ? t.unstableReason : "")),
    FIELD("rounds", kInBoth, integer(t.done, t.rounds)),
    FIELD("round_median_ns", kInJson, numbers(t.done, t.roundMedianNs)),
    FIELD("round_median_clocks", kInJson, numbers(t.done, t.roundMedianClocks)),
    FIELD("round_spread", kInBoth, number(t.done && t.rounds > 1, t.roundSpread)),
    FIELD("other_cpus_busy", kInBoth, number(t.done && t.otherCpusBusy >= 0, t.otherCpusBusy)),
    FIELD("steal_share", kInBoth, number(t.done && t.stealShare >= 0, t.stealShare)),
    FIELD("involuntary_switches", kInBoth, integer(t.done && t.involuntarySwitches >= 0, t.involuntarySwitches)),
    FIELD("probe_slowdown", kInBoth, number(t.done && t.probeSlowdown > 0, t.probeSlowdown)),
    FIELD("call_ns", kInJson, numbers(t.done, t.callNs)),
    FIELD("call_clocks", kInJson, numbers(clocks(e), t.callClocks)),
    FIELD("exact", kInBoth, e.check.ruleChecked && hasOutput(e) ? boolean(e.check.exact) : Value()),
    // Which run the row is of (JSON has these once, at the top).
    FIELD("time_utc", kInCsv, text(run.timeUtc)),
    FIELD("host_name", kInCsv, text(run.hostName)),
    FIELD("command_line", kInCsv, text(run.commandLine)),
};

#undef FIELD

// A spreadsheet reads a cell that starts with one of these as a formula, and
// a module's names are text from outside: such a cell gets a leading quote.
std::string csvText(const std::string& s) {
    const std::string cell = !s.empty() && std::string("=+-@\t\r").find(s[0]) != std::string::npos ? "'" + s : s;
    if (cell.find_first_of(",\"\n\r") == std::string::npos) return cell;
    std::string out = "\"";
    for (char c : cell) out += c == '"' ? std::string("\"\"") : std::string(1, c);
    return out + "\"";
}

} // namespace

std::string csvCell(const Value& v) {
    switch (v.kind) {
    case Value::Number: return jsonNumber(v.number);
    case Value::Integer: return std::to_string(v.integer);
    case Value::Bool: return v.flag ? "1" : "0";
    case Value::Text: return csvText(v.text);
    default: return "";
    }
}

const std::vector<Field>& entryFields() {
    static const std::vector<Field> fields(std::begin(kFields), std::end(kFields));
    return fields;
}

std::string csvText(const RunInfo& run) {
    std::string out;
    for (const Field& f : entryFields())
        if (f.where & kInCsv) out += (out.empty() ? "" : ",") + std::string(f.key);
    out += "\n";
    for (const EntryResult& e : run.entries) {
        std::string row;
        bool first = true;
        for (const Field& f : entryFields())
            if (f.where & kInCsv) row += (first ? "" : ",") + csvCell(f.get(e, run)), first = false;
        out += row + "\n";
    }
    return out;
}

} // namespace host
