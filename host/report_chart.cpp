// The SVG bar chart of a run: one bar per entry (the median, a tick at the
// low percentile), in core clocks where every timed entry has them, else in ns.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "report.h"
#include "svg.h"
#include "text.h"
#include "words.h"

namespace host {

namespace {

// Where everything goes. Label widths are estimated from terminal columns:
// a wide (CJK) character takes about twice the room of a Latin one.
struct Plot {
    double fontSize = 13, column = 7.4;
    bool clocks = false;
    const char* unit = "ns";
    double longest = 0, left = 0, plotWidth = 520, right = 230, top = 96, rowHeight = 26;
    double plotHeight = 0, width = 0, height = 0, step = 1, axisMax = 1;
    double median(const Timing& t) const { return clocks ? t.medianClocks : t.medianNs; }
    double least(const Timing& t) const { return clocks ? t.lowClocks : t.lowNs; }
    double x(double v) const { return left + plotWidth * v / axisMax; }
};

// Title and the two lines that say which module, build and problem: a
// chart travels alone.
std::string titleText(const RunInfo& run) {
    return "Circuit " + std::to_string(run.module.circuit) + ": time per repetition of each entry (" +
           std::to_string(kMultiplyAdds) + " multiply-adds)";
}
std::string subtitleText(const RunInfo& run) {
    return run.creator + " · " + processorText(run.machine.cpu) + " · median of " + std::to_string(run.trials) +
           " trials, shorter is faster";
}
std::string moduleText(const RunInfo& run) {
    return displayPath(run.module.path) + " (" + std::to_string(run.machine.hostBits) + "-bit build, SHA-256 " +
           run.moduleFile.sha256.substr(0, 12) + ") · " + problemText(run.problem) + " · " + run.machine.os;
}
const char* const kNoiseLegend = "Noise: median absolute deviation of the calls over their median; unstable above 5%.";
const char* const kEmulated = "EMULATED: not this processor's times";
const char* const kLegend = "Bars: median; tick: 5th percentile. Orange x87, red MMX fixed point, green 3DNow!, blue SSE, "
                            "grey substitute code (the processor lacks the extensions).";
const char* const kSubstitute = "substitute code, not the entry's";

std::string titles(const RunInfo& run) {
    std::string s = "<text x=\"20\" y=\"26\" font-size=\"16\" font-weight=\"bold\">" + xml(titleText(run)) +
                    (run.machine.emulated ? std::string(" <tspan fill=\"#c00\">") + kEmulated + "</tspan>" : "") +
                    "</text>\n" + "<text x=\"20\" y=\"46\" fill=\"#555\">" + xml(subtitleText(run)) +
                    "</text>\n" + "<text x=\"20\" y=\"64\" fill=\"#555\">" + xml(moduleText(run)) + "</text>\n";
    if (!run.name.empty()) s += "<text x=\"20\" y=\"82\" fill=\"#555\">" + xml(run.name) + "</text>\n";
    return s;
}

Plot plotOf(const RunInfo& run) {
    Plot p;
    // Core clocks where every timed entry has them, else nanoseconds.
    for (const EntryResult& e : run.entries)
        if (e.timing.done) p.clocks = e.timing.clocks;
    for (const EntryResult& e : run.entries)
        if (e.timing.done && !e.timing.clocks) p.clocks = false;
    p.unit = p.clocks ? "clocks" : "ns";
    int labelColumns = 0;
    for (const EntryResult& e : run.entries) {
        labelColumns = std::max(labelColumns, displayWidth(std::to_string(e.index) + "  " + e.name));
        if (e.timing.done) p.longest = std::max(p.longest, p.median(e.timing));
    }
    p.left = 20 + labelColumns * p.column;
    p.plotHeight = p.rowHeight * static_cast<double>(run.entries.size());
    // Wide enough for every line of text: the titles, the legend, each bar's
    // label beyond the longest bar, each row's reason for having no bar.
    double reasons = 0;
    for (const EntryResult& e : run.entries) {
        if (!e.timing.done) {
            reasons = std::max(reasons, textWidth("not run: " + e.reason + checkText(e), p.fontSize));
            continue;
        }
        const std::string label = format("%.1f ", p.median(e.timing)) + p.unit +
                                  format(", noise %.1f%%", 100 * e.timing.noise) +
                                  (unstable(e.timing) ? " unstable" : "") + (e.substitute ? " " : "") +
                                  (e.substitute ? kSubstitute : "");
        p.right = std::max(p.right, 16 + textWidth(label, p.fontSize));
    }
    const std::string title = titleText(run) + (run.machine.emulated ? std::string(" ") + kEmulated : "");
    p.width = std::max({p.left + p.plotWidth + p.right, 40 + textWidth(title, 16) * 1.08,
                        40 + textWidth(run.name, p.fontSize), 40 + textWidth(kNoiseLegend, p.fontSize),
                        40 + textWidth(subtitleText(run), p.fontSize), 40 + textWidth(moduleText(run), p.fontSize),
                        40 + textWidth(kLegend, p.fontSize), p.left + 26 + reasons});
    p.height = p.top + p.plotHeight + 88;
    niceAxis(p.longest, p.step, p.axisMax);
    return p;
}

std::string axis(const Plot& p) {
    std::string s = gridLines(p.longest, p.step, p.axisMax, p.left, p.plotWidth, p.top, p.plotHeight);
    appendf(s,
            "<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\" stroke=\"#333\"/>\n"
            "<text x=\"%.1f\" y=\"%.1f\" text-anchor=\"middle\">time per repetition (%s)</text>\n",
            p.left, p.top + p.plotHeight, p.left + p.plotWidth, p.top + p.plotHeight, p.left + p.plotWidth / 2,
            p.top + p.plotHeight + 42, p.clocks ? "core clocks" : "ns");
    return s;
}

const char* colourOf(const EntryResult& e) {
    return e.substitute                      ? "#bbbbbb"
           : (e.record.flags & ENTRY_SSE)    ? "#4e79a7"
           : (e.record.flags & ENTRY_3DNOW)  ? "#59a14f"
           : (e.record.flags & ENTRY_MMX)    ? "#e15759"
                                             : "#f28e2b";
}

std::string bar(const EntryResult& e, double y, const Plot& p) {
    const Timing& t = e.timing;
    std::string s;
    appendf(s,
            "<rect x=\"%.1f\" y=\"%.1f\" width=\"%.1f\" height=\"%.1f\" fill=\"%s\">"
            "<title>median %.1f %s, 5th percentile %.1f %s</title></rect>\n"
            "<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\" stroke=\"black\"/>\n"
            "<text x=\"%.1f\" y=\"%.1f\">%.1f %s",
            p.left, y + 4, std::max(1.0, p.x(p.median(t)) - p.left), p.rowHeight - 8, colourOf(e), p.median(t),
            p.unit, p.least(t), p.unit, p.x(p.least(t)), y + 2, p.x(p.least(t)), y + p.rowHeight - 2,
            p.x(p.median(t)) + 6, y + p.rowHeight / 2 + 4.5, p.median(t), p.unit);
    s += format(", noise %.1f%%", 100 * t.noise);
    if (unstable(t)) s += " <tspan fill=\"#c00\">unstable</tspan>";
    if (e.substitute) s += std::string(" <tspan fill=\"#888\" font-style=\"italic\">") + xml(kSubstitute) + "</tspan>";
    return s + "</text>\n";
}

std::string entryRow(const EntryResult& e, size_t k, const Plot& p) {
    const double y = p.top + p.rowHeight * static_cast<double>(k);
    std::string s;
    appendf(s, "<text x=\"%.1f\" y=\"%.1f\" text-anchor=\"end\">", p.left - 8, y + p.rowHeight / 2 + 4.5);
    s += xml(std::to_string(e.index) + "  " + e.name) + "</text>\n";
    if (e.timing.done) return s + bar(e, y, p);
    const std::string why = isFailure(e.status) ? (e.status == Status::Failed ? "failed: " + e.reason : checkText(e))
                            : e.ran             ? "not timed"
                                                : "not run: " + e.reason;
    appendf(s, "<text x=\"%.1f\" y=\"%.1f\" fill=\"#888\" font-style=\"italic\">", p.left + 6,
            y + p.rowHeight / 2 + 4.5);
    return s + xml(why) + "</text>\n";
}

} // namespace

std::string svgChart(const RunInfo& run) {
    const Plot p = plotOf(run);
    std::string s = svgStart(p.width, p.height, p.fontSize) + titles(run) + axis(p);
    for (size_t k = 0; k < run.entries.size(); ++k) s += entryRow(run.entries[k], k, p);
    appendf(s, "<text x=\"20\" y=\"%.1f\" fill=\"#555\">%s</text>\n", p.height - 26, kNoiseLegend);
    appendf(s, "<text x=\"20\" y=\"%.1f\" fill=\"#555\">%s</text>\n", p.height - 8, kLegend);
    return s + "</svg>\n";
}

} // namespace host
