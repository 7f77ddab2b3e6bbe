// The table for people: what was loaded and where, one aligned row per
// entry, and the notes that explain the rows.
#include <algorithm>
#include <cmath>

#include "report.h"
#include "text.h"
#include "words.h"

namespace host {

namespace {

std::string share(double v) { return v < 0 ? "unknown" : format(v < 0.1 ? "%.1f%%" : "%.0f%%", 100 * v); }

// What else ran during the run, and how many timed entries ended unstable.
std::string loadText(const RunInfo& run) {
    int timed = 0;
    for (const EntryResult& e : run.entries) timed += e.timing.done;
    std::string s = run.otherCpusBusy < 0 && run.stealShare < 0
                        ? std::string("not measured")
                        : "other CPUs busy " + share(run.otherCpusBusy) + ", steal " + share(run.stealShare);
    if (run.rounds > 1) s += "; " + std::to_string(run.rounds) + " rounds per entry";
    return s + "; " + std::to_string(run.flagged) + " of " + std::to_string(timed) + " timed " +
           (timed == 1 ? "entry" : "entries") + " flagged unstable (!)";
}

std::string header(const RunInfo& run) {
    std::string s;
    if (!run.name.empty()) appendf(s, "Run        %s\n", run.name.c_str());
    if (!run.timeUtc.empty())
        appendf(s, "Date       %s%s\n", run.timeUtc.c_str(),
                run.hostName.empty() ? "" : (" on " + printable(run.hostName)).c_str());
    appendf(s, "Module     %s (%llu bytes)\n", printable(run.module.path).c_str(),
            static_cast<unsigned long long>(run.moduleFile.size));
    appendf(s, "SHA-256    %s\n", run.moduleFile.sha256.c_str());
    appendf(s, "Circuit    %d (y = M x: 18 x 36 single-precision matrix, 36 inputs)\n", run.module.circuit);
    appendf(s, "Creator    %s\n", run.creator.c_str());
    if (run.module.creator.size() + 1 > CREATOR_SIGNATURE_BYTES)
        appendf(s, "           (%u bytes with its NUL: longer than its %d-byte field)\n",
                static_cast<unsigned>(run.module.creator.size() + 1), CREATOR_SIGNATURE_BYTES);
    appendf(s, "Entries    %u\n", static_cast<unsigned>(run.entries.size()));
    const Machine& m = run.machine;
    appendf(s, "Processor  %s\n", processorText(m.cpu).c_str());
    if (m.emulated)
        appendf(s, "EMULATED   the host runs under an emulator: %s.\n"
                   "           Its times are the emulator's, not this processor's (--check-only checks alone).\n",
                m.emulationNote.c_str());
    appendf(s, "Clock      %s\n", clockText(m).c_str());
    appendf(s, "Extensions %s\n", extensionsText(m.cpu).c_str());
    appendf(s, "System     %s, %d-bit; circuit-host %s, %d-bit\n", m.os.c_str(), m.osBits, m.hostVersion.c_str(),
            m.hostBits);
    appendf(s, "Problem    %s\n", problemText(run.problem).c_str());
    if (run.trials > 0)
        appendf(s, "Timing     %g ms per entry, %d trials; times per repetition (%d multiply-adds)\n",
                run.timePerEntryMs, run.trials, kMultiplyAdds);
    else
        s += "Timing     none (--check-only)\n";
    if (run.trials > 0) s += "Load       " + loadText(run) + "\n";
    if (!run.protectionNote.empty()) s += "Isolation  " + run.protectionNote + "\n";
    return s + "\n";
}

// The noise cell: MAD / median, "!" when above kNoiseThreshold.
std::string noiseCell(const Timing& t) {
    if (!t.done) return "-";
    return format(t.noise >= 0.1 ? "%.0f%%" : "%.1f%%", 100 * t.noise) + (unstable(t) ? "!" : "");
}

std::vector<std::string> row(const RunInfo& run, const EntryResult& e, bool wide) {
    const Timing& t = e.timing;
    const ShownTimes shown = shownTimes(t, timesInClocks(run));
    const bool real = !run.machine.emulated;
    // A time in ns in a table of core clocks says so.
    auto time = [&](double v) {
        if (!t.done) return std::string("-");
        return shown.clocks ? format("%.0f", v) : format("%.1f", v) + (timesInClocks(run) ? " ns" : "");
    };
    std::vector<std::string> r = {std::to_string(e.index), e.name,
                                  flagsHex(e.record.flags) + " " + flagsText(e.record.flags & ~ENTRY_SOA)};
    if (wide) r.insert(r.end(), {layoutName(e.record.flags), e.runnable ? "yes" : "no"});
    r.push_back(checkText(e));
    r.push_back(e.ran && !e.check.unchecked && std::isfinite(e.check.worstRatio) ? format("%.3f", e.check.worstRatio)
                                                                                  : "-");
    if (wide) r.push_back(time(shown.min));
    r.push_back(time(shown.low));
    r.push_back(time(shown.median));
    r.push_back(real && macsPerClock(t) > 0 ? format("%.2f", macsPerClock(t)) : "-");
    if (wide) r.push_back(t.done ? format("%.1f", t.medianNs) : "-");
    r.push_back(noiseCell(t));
    if (wide) r.push_back(t.done ? std::to_string(t.samples) + "/" + std::to_string(t.dropped) : "-");
    r.push_back(t.done && real && t.relative > 0 ? format("%.2f", t.relative) : "-");
    return r;
}

std::vector<std::vector<std::string>> rows(const RunInfo& run, bool wide) {
    const bool clocks = timesInClocks(run);
    const std::string unit = clocks ? " clk" : " ns", mark = run.machine.emulated ? "~" : "";
    std::vector<std::string> heads = {"#", "Name", "Flags"};
    if (wide) heads.insert(heads.end(), {"Layout", "CPU"});
    heads.insert(heads.end(), {"Check", "Err/bound"});
    if (wide) heads.push_back("Min" + unit + mark);
    heads.insert(heads.end(), {"Low" + unit + mark, "Med" + unit + mark, "MAC/clk"});
    if (wide) heads.push_back("Median ns" + mark);
    heads.push_back("Noise");
    if (wide) heads.push_back("Calls/drop");
    heads.push_back("Speed");
    std::vector<std::vector<std::string>> lines = {heads};
    for (const EntryResult& e : run.entries) lines.push_back(row(run, e, wide));
    return lines;
}

std::string aligned(const RunInfo& run, bool wide) {
    bool (*const left)(size_t) = wide ? [](size_t c) { return c >= 1 && c <= 5; }
                                      : [](size_t c) { return c >= 1 && c <= 3; };
    return alignedColumns(rows(run, wide), left);
}

// The rows as a Markdown table: names and numbers left and right aligned.
std::string markdownRows(const RunInfo& run) {
    return markdownTable(rows(run, false), [](size_t column) { return column >= 1 && column <= 3; });
}

// Each entry's outputs, six to a line, as the JSON has them.
std::string outputLines(const RunInfo& run) {
    std::string s = "\nOutputs y[0] .. y[17] of each entry that ran:\n";
    for (const EntryResult& e : run.entries) {
        if (!e.ran || e.status == Status::Crashed || e.status == Status::TimedOut) continue;
        for (int i = 0; i < OUTPUT_COUNT; ++i) {
            if (i % 6 == 0) s += i ? "\n    " : padLeft(std::to_string(e.index), 2) + "  ";
            s += padLeft(jsonNumber(e.check.y[i]), 14);
        }
        s += "\n";
    }
    return s;
}

// The starred reasons, and what is odd about the names and the creator.
std::string entryNotes(const RunInfo& run) {
    std::string s;
    bool notes = false, escaped = false;
    for (const EntryResult& e : run.entries) {
        if (!e.nameConverted) escaped = true;
        if (e.reason.empty() || !e.selected || e.status == Status::Crashed || e.status == Status::TimedOut)
            continue;
        if (!notes) s += "\n";
        notes = true;
        appendf(s, "* entry %d %s: %s\n", e.index,
                e.status == Status::Failed ? "failed" : statusText(e.status).c_str(), e.reason.c_str());
    }
    bool flagged = false;
    for (const EntryResult& e : run.entries)
        if (unstable(e.timing)) {
            s += flagged || notes ? "" : "\n";
            flagged = true;
            appendf(s, "! entry %d unstable: %s\n", e.index, e.timing.unstableReason.c_str());
        }
    s += "\n";
    if (escaped) s += "Names shown with \\xHH could not be converted from Shift_JIS; those are its bytes.\n";
    for (const EntryResult& e : run.entries)
        if (!e.nameTerminated) appendf(s, "Entry %d: its name has no NUL within 64 bytes.\n", e.index);
    if (!run.module.creatorReturnedBuffer) s += "getCreatorSignature did not return the buffer it was given.\n";
    if (!run.crossCheckNote.empty()) s += run.crossCheckNote + ".\n";
    return s;
}

// Entries timed with fewer calls than planned because one call ran long.
std::string fewerCallsNotes(const RunInfo& run) {
    std::string s;
    for (const EntryResult& e : run.entries)
        if (e.timing.done && e.timing.plannedCalls > 0 && e.timing.samples < e.timing.plannedCalls)
            appendf(s, "Entry %d is slow (one call of %d repetitions took %.1f ms): timed with %d calls, not %d.\n",
                    e.index, e.timing.count, e.timing.callMs, e.timing.samples, e.timing.plannedCalls);
    return s;
}

// The calls the timed entries took: "400", "31 to 400".
std::string callsText(const RunInfo& run) {
    int least = 0, most = 0;
    for (const EntryResult& e : run.entries)
        if (e.timing.done) {
            least = least && least < e.timing.samples ? least : e.timing.samples;
            most = std::max(most, e.timing.samples);
        }
    return least == most ? std::to_string(most) : std::to_string(least) + " to " + std::to_string(most);
}

std::string timesLegend(const RunInfo& run, bool wide) {
    std::string s;
    appendf(s,
            "Times are per repetition (%d multiply-adds), over %s calls per entry: clk in core\n"
            "clocks, calibrated around each call against a chain of one-cycle additions (calls\n"
            "whose calibration moved or was untypical are left out of clk); Low the %gth\n"
            "percentile, Med the median; MAC/clk multiply-adds per core clock at the median\n"
            "(%d / Med clk); Noise the median absolute deviation of the calls' ns over their\n"
            "median; \"!\" unstable, for the reason given above (noise above %.0f%%, two modes,\n"
            "rounds that disagree, busy CPUs, a shared core, few calls): rerun on a quieter\n"
            "machine; Speed relative to the fastest entry.\n",
            kMultiplyAdds, callsText(run).c_str(), kLowPercentile, kMultiplyAdds, 100 * kNoiseThreshold);
    if (timesInClocks(run))
        for (const EntryResult& e : run.entries)
            if (e.timing.done && !e.timing.clocks) {
                s += "ns: an entry without core clocks is shown in ns per repetition.\n";
                break;
            }
    s += wide ? "CSV and JSON have every figure, each call's time too.\n"
              : "--wide adds the minimum, ns, calls taken and dropped; CSV and JSON have every figure.\n";
    return s;
}

// What the columns mean, and the figures of the run as a whole.
std::string legend(const RunInfo& run, bool wide) {
    std::string s = "Err/bound: the largest distance of an output from the exact product, as a share\n"
                    "of what the entry's arithmetic may lose (x87, single precision or 16-bit fixed point).\n";
    if (wide)
        s += "CPU: whether this processor has every extension the entry's flags name (--all\n"
             "runs the others too). Calls/drop: calls taken / calls that gave no core clocks.\n";
    for (const EntryResult& e : run.entries)
        if (e.substitute) {
            s += "substitute: the processor lacks the entry's extensions, so what ran was the module's\n"
                 "substitute code; its check and times are not those of the entry's own code.\n";
            break;
        }
    const Machine& m = run.machine;
    if (run.trials > 0) {
        s += timesLegend(run, wide);
        if (m.emulated)
            s += "~: emulated times, not this processor's; MAC/clk and Speed left out.\n";
        if (m.coreGHz <= 0) appendf(s, "No core clocks: %s; times in ns only.\n", m.clockNote.c_str());
    }
    if (run.children > 0)
        appendf(s, "Each entry ran in a process of its own; starting and ending them took %.0f ms in all.\n",
                run.isolationSeconds * 1000);
    return s;
}

// What the run as a whole came to: shown with --no-notes too.
std::string runNotes(const RunInfo& run) {
    std::string s;
    for (const EntryResult& e : run.entries)
        if (e.timing.done && !e.timing.clocks && run.machine.coreGHz > 0)
            appendf(s, "Entry %d has no core clocks: %s.\n", e.index, e.timing.clockNote.c_str());
    s += fewerCallsNotes(run);
    if (noEntryRan(run)) s += std::string(kNothingRan) + ".\n";
    if (run.failed)
        appendf(s, "%d %s FAILED (failed, crashed or timed out).\n", run.failed, run.failed == 1 ? "entry" : "entries");
    return s;
}

} // namespace

std::string tableText(const RunInfo& run, const TableStyle& style) {
    return header(run) + aligned(run, style.wide) + (style.outputs ? outputLines(run) : "") + entryNotes(run) +
           (style.notes ? legend(run, style.wide) : "") + runNotes(run);
}

// The header's lines as a list, the rows as a table, the notes as they are.
std::string markdownText(const RunInfo& run, const TableStyle& style) {
    std::string s;
    const std::string head = header(run);
    size_t at = 0;
    while (at < head.size()) {
        const size_t end = head.find('\n', at);
        const std::string line = head.substr(at, end - at);
        at = end + 1;
        if (line.empty()) continue;
        const size_t gap = std::min(line.find(' '), line.size()), text = line.find_first_not_of(' ', gap);
        const std::string rest = text == std::string::npos ? "" : line.substr(text);
        s += gap == 0 ? "  " + rest + "\n" : "- **" + line.substr(0, gap) + "** " + rest + "\n";
    }
    s += "\n" + markdownRows(run);
    if (style.outputs) s += "\n```" + outputLines(run) + "```\n";
    return s + entryNotes(run) + (style.notes ? legend(run, false) : "") + runNotes(run);
}

} // namespace host
