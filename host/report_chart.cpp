// The SVG bar chart of a run: one bar per entry (the median, a tick at the
// low percentile), in the run's unit (timesInClocks in model.h); an entry
// without that unit's figures says its time in words instead of a bar.
#include <algorithm>

#include "report.h"
#include "svg.h"
#include "text.h"
#include "words.h"

namespace host {

namespace {

constexpr double kRowHeight = 26;

// Title and the lines that say which module, build and problem: a chart
// travels alone.
std::string titleText(const RunInfo& run) {
    return "Circuit " + std::to_string(run.module.circuit) + ": time per repetition of each entry (" +
           std::to_string(kMultiplyAdds) + " multiply-adds)";
}
std::string subtitleText(const RunInfo& run) {
    return run.creator + " · " + processorText(run.machine.cpu) + " · median of each entry's timed calls, shorter is faster";
}
std::string moduleText(const RunInfo& run) {
    return printable(run.module.path) + " (" + std::to_string(run.machine.hostBits) + "-bit build, SHA-256 " +
           run.moduleFile.sha256.substr(0, 12) + ") · " + problemText(run.problem) + " · " + run.machine.os;
}
const char* const kEmulated = "EMULATED: not this processor's times";
const char* const kSubstitute = "substitute code, not the entry's";

// What the footer of the text table says, in the chart's words.
std::vector<std::string> legendLines() {
    return {"Bars: median time per repetition; tick: 5th percentile.",
            "Orange x87, red MMX fixed point, green 3DNow!, blue SSE; grey: substitute code (the processor lacks "
            "the extensions).",
            "Noise: median absolute deviation of the calls' ns over their median.",
            "unstable: the figures cannot be signed, for the reason shown: noise above " +
                format("%.0f%%", 100 * kNoiseThreshold) + ", two modes,",
            "rounds that disagree, busy CPUs, a shared core or few calls."};
}

void titles(const RunInfo& run, ChartFrame& f) {
    const std::string title = titleText(run);
    if (run.machine.emulated)
        f.markup(f.kMargin, 26, xml(title) + " <tspan fill=\"#c00\">" + kEmulated + "</tspan>",
                 title + " " + kEmulated, "font-weight=\"bold\"", 16);
    else
        f.text(f.kMargin, 26, title, "font-weight=\"bold\"", "start", 16);
    f.text(f.kMargin, 46, subtitleText(run), "fill=\"#555\"");
    f.text(f.kMargin, 64, moduleText(run), "fill=\"#555\"");
    if (!run.name.empty()) f.text(f.kMargin, 82, run.name, "fill=\"#555\"");
}

const char* colourOf(const EntryResult& e) {
    return e.substitute                     ? kGrey
           : (e.record.flags & ENTRY_SSE)   ? paletteColour(0)
           : (e.record.flags & ENTRY_3DNOW) ? paletteColour(2)
           : (e.record.flags & ENTRY_MMX)   ? paletteColour(3)
                                            : paletteColour(1);
}

void bar(const EntryResult& e, const ShownTimes& s, const char* unit, double y, ChartFrame& f) {
    const Timing& t = e.timing;
    std::string shapes;
    appendf(shapes,
            "<rect x=\"%.1f\" y=\"%.1f\" width=\"%.1f\" height=\"%.1f\" fill=\"%s\">"
            "<title>median %.1f %s, 5th percentile %.1f %s</title></rect>\n"
            "<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\" stroke=\"black\"/>",
            f.left, y + 4, std::max(1.0, f.x(s.median) - f.left), kRowHeight - 8, colourOf(e), s.median, unit, s.low,
            unit, f.x(s.low), y + 2, f.x(s.low), y + kRowHeight - 2);
    f.shape(shapes, f.x(s.median));
    std::string plain = format("%.1f ", s.median) + unit + format(", noise %.1f%%", 100 * t.noise), svg = xml(plain);
    if (unstable(t)) {
        plain += " unstable: " + t.unstableReason;
        svg += " <tspan fill=\"#c00\">unstable: " + xml(t.unstableReason) + "</tspan>";
    }
    if (e.substitute) {
        plain += std::string(" ") + kSubstitute;
        svg += std::string(" <tspan fill=\"#888\" font-style=\"italic\">") + kSubstitute + "</tspan>";
    }
    f.markup(f.x(s.median) + 6, y + kRowHeight / 2 + 4.5, svg, plain);
}

// Why a row has no bar: not run, failed, or timed without the chart's unit.
std::string noBar(const EntryResult& e) {
    if (isFailure(e.status)) return e.status == Status::Failed ? "failed: " + e.reason : checkText(e);
    if (!e.ran) return "not run: " + e.reason;
    if (!e.timing.done) return "not timed";
    return format("%.1f ns per repetition, no core clocks", e.timing.medianNs) +
           (e.timing.clockNote.empty() ? "" : ": " + e.timing.clockNote);
}

void entryRow(const EntryResult& e, size_t k, bool clocks, ChartFrame& f) {
    const double y = f.top + kRowHeight * static_cast<double>(k);
    f.text(f.left - 8, y + kRowHeight / 2 + 4.5, std::to_string(e.index) + "  " + e.name, "", "end");
    const ShownTimes s = shownTimes(e.timing, clocks);
    if (e.timing.done && s.clocks == clocks) return bar(e, s, clocks ? "clocks" : "ns", y, f);
    f.text(f.left + 6, y + kRowHeight / 2 + 4.5, noBar(e), "fill=\"#888\" font-style=\"italic\"");
}

} // namespace

std::string svgChart(const RunInfo& run) {
    const bool clocks = timesInClocks(run);
    ChartFrame f;
    double labels = 0, longest = 0;
    for (const EntryResult& e : run.entries) {
        labels = std::max(labels, textWidth(std::to_string(e.index) + "  " + e.name, f.kFontSize));
        const ShownTimes s = shownTimes(e.timing, clocks);
        if (e.timing.done && s.clocks == clocks) longest = std::max(longest, s.median);
    }
    f.left = f.kMargin + labels + 8;
    f.top = run.name.empty() ? 80 : 96;
    f.plotHeight = kRowHeight * static_cast<double>(run.entries.size());
    f.scale(0, longest, false);
    titles(run, f);
    f.grid(std::string("time per repetition (") + (clocks ? "core clocks" : "ns") + ")");
    for (size_t k = 0; k < run.entries.size(); ++k) entryRow(run.entries[k], k, clocks, f);
    double y = f.top + f.plotHeight + 66;
    for (const std::string& line : legendLines()) {
        f.text(f.kMargin, y, line, "fill=\"#555\"");
        y += 18;
    }
    return f.document(y);
}

} // namespace host
