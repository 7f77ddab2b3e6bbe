// The table for people: what was loaded and where, one aligned row per
// entry, and the notes that explain the rows.
#include <cmath>

#include "report.h"
#include "text.h"
#include "words.h"

namespace host {

namespace {

std::string header(const RunInfo& run) {
    std::string s;
    if (!run.name.empty()) appendf(s, "Run        %s\n", run.name.c_str());
    appendf(s, "Module     %s (%llu bytes)\n", displayPath(run.module.path).c_str(),
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
    return s + "\n";
}

// Whether the table's times are in core clocks: when any timed entry has them.
bool inClocks(const RunInfo& run) {
    for (const EntryResult& e : run.entries)
        if (e.timing.done && e.timing.clocks) return true;
    return false;
}

// The noise cell: MAD / median, "!" when above kNoiseThreshold.
std::string noiseCell(const Timing& t) {
    if (!t.done) return "-";
    return format(t.noise >= 0.1 ? "%.0f%%" : "%.1f%%", 100 * t.noise) + (unstable(t) ? "!" : "");
}

std::vector<std::string> row(const RunInfo& run, const EntryResult& e, bool wide) {
    const Timing& t = e.timing;
    const bool clocks = inClocks(run), have = t.done && (!clocks || t.clocks), real = !run.machine.emulated;
    const double low = clocks ? t.lowClocks : t.lowNs, median = clocks ? t.medianClocks : t.medianNs;
    std::vector<std::string> r = {std::to_string(e.index), e.name,
                                  flagsHex(e.record.flags) + " " + flagsText(e.record.flags & ~ENTRY_SOA)};
    if (wide) r.insert(r.end(), {layoutName(e.record.flags), e.runnable ? "yes" : "no"});
    r.push_back(checkText(e));
    r.push_back(e.ran && !e.check.unchecked && std::isfinite(e.check.worstRatio) ? format("%.3f", e.check.worstRatio)
                                                                                  : "-");
    if (wide) r.push_back(have ? format("%.0f", clocks ? t.minClocks : t.minNs) : "-");
    r.push_back(have ? format(clocks ? "%.0f" : "%.1f", low) : "-");
    r.push_back(have ? format(clocks ? "%.0f" : "%.1f", median) : "-");
    r.push_back(have && clocks && real && t.medianClocks > 0 ? format("%.2f", kMultiplyAdds / t.medianClocks) : "-");
    if (wide) r.push_back(t.done ? format("%.1f", t.medianNs) : "-");
    r.push_back(noiseCell(t));
    if (wide) r.push_back(t.done ? std::to_string(t.samples) + "/" + std::to_string(t.dropped) : "-");
    r.push_back(t.done && real && t.relative > 0 ? format("%.2f", t.relative) : "-");
    return r;
}

std::string rows(const RunInfo& run, bool wide) {
    const bool clocks = inClocks(run);
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
    bool (*const left)(size_t) = wide ? [](size_t c) { return c >= 1 && c <= 5; }
                                      : [](size_t c) { return c >= 1 && c <= 3; };
    return alignedColumns(lines, left);
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
        appendf(s,
                "Times are per repetition (%d multiply-adds), over %d or more calls: clk in core\n"
                "clocks, calibrated around each call against a chain of one-cycle additions (calls\n"
                "whose calibration moved or was untypical are left out of clk); Low the %gth\n"
                "percentile, Med the median; Noise the median absolute deviation of the calls' ns\n"
                "over their median, \"!\" above %.0f%% (unstable: rerun on a quieter machine);\n"
                "Speed relative to the fastest entry. --wide, CSV and JSON add the minimum, ns,\n"
                "calls taken and dropped.\n",
                kMultiplyAdds, run.trials, kLowPercentile, 100 * kNoiseThreshold);
        if (m.emulated)
            s += "~: emulated times, not this processor's; MAC/clk and Speed left out.\n";
        if (m.coreGHz <= 0) appendf(s, "No core clocks: %s; times in ns only.\n", m.clockNote.c_str());
        for (const EntryResult& e : run.entries)
            if (e.timing.done && !e.timing.clocks && m.coreGHz > 0)
                appendf(s, "Entry %d has no core clocks: %s.\n", e.index, e.timing.clockNote.c_str());
        s += fewerCallsNotes(run);
    }
    if (run.children > 0)
        appendf(s, "Each entry ran in a process of its own; starting and ending them took %.0f ms in all.\n",
                run.isolationSeconds * 1000);
    if (run.failed)
        appendf(s, "%d %s FAILED (failed, crashed or timed out).\n", run.failed, run.failed == 1 ? "entry" : "entries");
    return s;
}

} // namespace

std::string tableText(const RunInfo& run) { return header(run) + rows(run, false) + entryNotes(run) + legend(run, false); }

std::string wideTableText(const RunInfo& run) {
    return header(run) + rows(run, true) + entryNotes(run) + legend(run, true);
}

} // namespace host
