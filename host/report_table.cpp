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
    appendf(s, "Module     %s (%llu bytes, SHA-256 %s)\n", displayPath(run.module.path).c_str(),
            static_cast<unsigned long long>(run.moduleFile.size), run.moduleFile.sha256.c_str());
    appendf(s, "Circuit    %d (y = M x: 18 x 36 single-precision matrix, 36 inputs)\n", run.module.circuit);
    appendf(s, "Creator    %s\n", run.creator.c_str());
    if (run.module.creator.size() + 1 > CREATOR_SIGNATURE_BYTES)
        appendf(s, "           (%u bytes with its NUL: longer than its %d-byte field)\n",
                static_cast<unsigned>(run.module.creator.size() + 1), CREATOR_SIGNATURE_BYTES);
    appendf(s, "Entries    %u\n", static_cast<unsigned>(run.entries.size()));
    const Machine& m = run.machine;
    appendf(s, "Processor  %s, %s\n", processorText(m.cpu).c_str(), clockText(m).c_str());
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

std::vector<std::string> row(const EntryResult& e) {
    const Timing& t = e.timing;
    const bool clocks = t.done && t.clocks;
    return {std::to_string(e.index),
            e.name,
            flagsHex(e.record.flags) + " " + flagsText(e.record.flags & ~ENTRY_SOA),
            layoutName(e.record.flags),
            e.runnable ? "yes" : "no",
            checkText(e),
            e.ran && !e.check.unchecked && std::isfinite(e.check.worstRatio) ? format("%.3f", e.check.worstRatio)
                                                                              : "-",
            clocks ? format("%.0f", t.minClocks) : "-",
            clocks ? format("%.0f", t.medianClocks) : "-",
            clocks && t.medianClocks > 0 ? format("%.2f", kMultiplyAdds / t.medianClocks) : "-",
            t.done ? format("%.1f", t.medianNs) : "-",
            t.done && t.medianNs > 0 ? format("%.0f%%", 100 * (t.maxNs - t.minNs) / t.medianNs) : "-",
            t.done ? format("%.2f", t.relative) : "-"};
}

bool leftAligned(size_t column) { return column >= 1 && column <= 5; }

std::string rows(const RunInfo& run) {
    std::vector<std::vector<std::string>> lines = {{"#", "Name", "Flags", "Layout", "CPU", "Check", "Error/bound",
                                                    "Min clk", "Median clk", "MAC/clk", "Median ns", "Spread",
                                                    "Speed"}};
    for (const EntryResult& e : run.entries) lines.push_back(row(e));
    return alignedColumns(lines, leftAligned);
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

// What the columns mean, and the figures of the run as a whole.
std::string legend(const RunInfo& run) {
    std::string s = "Error/bound: the largest distance of an output from the exact product, as a share\n"
                    "of what the entry's arithmetic may lose (x87, single precision or 16-bit fixed point).\n"
                    "CPU: whether this processor has every extension the entry's flags name (--all\n"
                    "runs the others too).\n";
    for (const EntryResult& e : run.entries)
        if (e.substitute) {
            s += "substitute: the processor lacks the entry's extensions, so what ran was the module's\n"
                 "substitute code; its check and times are not those of the entry's own code.\n";
            break;
        }
    const Machine& m = run.machine;
    if (run.trials > 0) {
        appendf(s,
                "Times are per repetition (%d multiply-adds), over %d calls: clk in core clocks,\n"
                "calibrated around each call against a chain of one-cycle additions (calls whose\n"
                "calibration moved are left out); Spread (max - min) / median of the ns;\n"
                "Speed relative to the fastest entry. CSV and JSON add ns and time-stamp ticks.\n",
                kMultiplyAdds, run.trials);
        if (m.coreGHz <= 0) appendf(s, "No core clocks: %s; times in ns only.\n", m.clockNote.c_str());
        for (const EntryResult& e : run.entries)
            if (e.timing.done && !e.timing.clocks && m.coreGHz > 0)
                appendf(s, "Entry %d has no core clocks: %s.\n", e.index, e.timing.clockNote.c_str());
    }
    if (run.children > 0)
        appendf(s, "Each entry ran in a process of its own; starting and ending them took %.0f ms in all.\n",
                run.isolationSeconds * 1000);
    if (run.failed)
        appendf(s, "%d %s FAILED (failed, crashed or timed out).\n", run.failed, run.failed == 1 ? "entry" : "entries");
    return s;
}

} // namespace

std::string tableText(const RunInfo& run) { return header(run) + rows(run) + entryNotes(run) + legend(run); }

} // namespace host
