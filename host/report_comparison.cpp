// Saved runs side by side (--compare): a table of each run's median per
// entry with its ratio to the first run, and the same as a grouped bar
// chart. The rows come from compareSaved (saved.cpp).
#include <algorithm>
#include <cmath>
#include <cstdio>

#include "report.h"
#include "svg.h"
#include "text.h"
#include "words.h"

namespace host {

namespace {

bool nameColumn(size_t column) { return column == 1; }

} // namespace

std::string testText(const ComparedRow& row, size_t k) {
    const double p = k > 0 && k <= row.p.size() ? row.p[k - 1] : NAN;
    const std::string figure = !std::isfinite(p) ? "" : p < 0.001 ? " p<0.001" : format(" p=%.3f", p);
    switch (verdictOf(row, k)) {
    case Verdict::Unstable: return "unstable";
    case Verdict::Untested: return "untested";
    case Verdict::Noise: return "noise" + figure;
    case Verdict::Change: return "change" + figure;
    case Verdict::None: break;
    }
    return "";
}

namespace {

std::string valueText(const ComparedRow& row, size_t k) {
    const double v = row.value[k];
    if (!row.present[k]) return "";
    if (!std::isfinite(v)) return "-";
    return format(row.clocks ? "%.0f" : "%.1f ns", v) + (row.unstable[k] ? "!" : "");
}

std::vector<std::string> comparedCells(const Comparison& c, const ComparedRow& row) {
    std::vector<std::string> r = {std::to_string(row.index), row.name};
    for (size_t k = 0; k < c.runs.size(); ++k) {
        r.push_back(valueText(row, k));
        if (k) {
            const double v = row.value[k], base = row.value[0];
            const bool ratio = std::isfinite(v) && std::isfinite(base) && base > 0;
            r.push_back(ratio ? format("%.2f", v / base) : "");
            r.push_back(testText(row, k));
        }
    }
    return r;
}

// The run's line above the table: what it ran on, and what the host said
// of its figures.
std::string runLine(const SavedRun& r, bool base) {
    std::string s = padRight(base ? r.label + " (base)" : r.label, 10) + " " + savedRunText(r);
    if (r.flagged > 0) s += "; " + std::to_string(r.flagged) + (r.flagged == 1 ? " entry" : " entries") + " unstable";
    if (r.otherCpusBusy >= 0) s += format("; other CPUs %.0f%% busy", 100 * r.otherCpusBusy);
    return s + "\n";
}

// Why each run marked its unstable entries, one line per run and entry.
std::string unstableLines(const Comparison& c) {
    std::string s;
    for (const SavedRun& r : c.runs)
        for (const SavedEntry& e : r.entries)
            if (e.unstable)
                s += "! " + r.label + ", entry " + std::to_string(e.index) + ": " +
                     (e.unstableReason.empty() ? "unstable (no reason saved)" : e.unstableReason) + "\n";
    return s;
}

} // namespace

std::string comparisonText(const Comparison& c) {
    const std::vector<SavedRun>& runs = c.runs;
    std::string s;
    for (size_t k = 0; k < runs.size(); ++k) s += runLine(runs[k], k == 0);
    for (const std::string& w : c.warnings) s += "WARNING: " + w + "\n";
    s += "\n";
    std::vector<std::string> heads = {"#", "Name"};
    for (size_t k = 0; k < runs.size(); ++k) {
        heads.push_back(runs[k].label);
        if (k) {
            heads.push_back("ratio");
            heads.push_back("U test");
        }
    }
    std::vector<std::vector<std::string>> lines = {heads};
    for (const ComparedRow& row : c.rows) lines.push_back(comparedCells(c, row));
    s += alignedColumns(lines, nameColumn);
    if (runs.empty()) return s;
    s += "\n" + unstableLines(c);
    appendf(s,
            "\nMedian core clocks per repetition (%d multiply-adds), or ns where a run that timed\n"
            "the entry has no clocks; ratio: this run over %s, below 1 is faster.\n"
            "Blank: the run has no such entry; -: not timed; !: the run marked the entry unstable.\n",
            kMultiplyAdds, runs[0].label.c_str());
    appendf(s,
            "U test: a Mann-Whitney U test of the two runs' calls in the row's unit, Holm-corrected\n"
            "over the entries tested: \"change\" when p < %.2f and the ratio is more than %.0f%% from 1,\n"
            "else \"noise\"; \"unstable\" (never a change) when either run marked the entry unstable;\n"
            "\"untested\" when a run saved too few calls (results schema 1 saved none).\n",
            kSignificance, 100 * kNoiseThreshold);
    if (!c.warnings.empty()) s += "The warnings above: ratios between such runs measure more than the code.\n";
    return s;
}

// ---- The chart ----------------------------------------------------------------

namespace {

const char* const kColours[] = {"#4e79a7", "#f28e2b", "#59a14f", "#e15759",
                                "#76b7b2", "#edc948", "#b07aa1", "#9c755f"};

struct Layout {
    double fontSize = 13, column = 7.4, barHeight = 14, gap = 10;
    double longest = 0, left = 0, plotWidth = 520, right = 110, top = 0, rowHeight = 0, plotHeight = 0;
    double width = 0, height = 0, step = 1, axisMax = 1;
    bool log = false; // values that span more than ten times: a logarithmic axis
    LogAxis logAxis;
    double x(double v) const { return left + plotWidth * (log ? logAxis.fraction(v) : v / axisMax); }
};

Layout layoutOf(const Comparison& c) {
    Layout l;
    int labelColumns = 0;
    double least = 0, lowRatio = 1, highRatio = 1; // runs over the first, per entry
    for (const ComparedRow& row : c.rows) {
        labelColumns = std::max(labelColumns, displayWidth(std::to_string(row.index) + "  " + row.name));
        for (size_t k = 0; k < row.value.size(); ++k) {
            const double v = row.value[k];
            if (!(std::isfinite(v) && v > 0)) continue;
            l.longest = std::max(l.longest, v);
            least = least > 0 ? std::min(least, v) : v;
            if (k > 0 && std::isfinite(row.value[0]) && row.value[0] > 0) {
                lowRatio = std::min(lowRatio, v / row.value[0]);
                highRatio = std::max(highRatio, v / row.value[0]);
            }
        }
    }
    // A logarithmic axis where the runs differ by more than ten times: a
    // linear one would leave the faster run's bars too short to read.
    l.log = least > 0 && highRatio > 10 * lowRatio;
    if (l.log) l.logAxis = logAxisFor(least, l.longest);
    const double runs = static_cast<double>(c.runs.size());
    l.left = 20 + labelColumns * l.column;
    l.top = 50 + 18 * (runs + static_cast<double>(c.warnings.size()));
    l.rowHeight = l.barHeight * runs + l.gap;
    l.plotHeight = l.rowHeight * static_cast<double>(c.rows.size());
    int legendColumns = 0;
    for (const SavedRun& r : c.runs)
        legendColumns = std::max(legendColumns, displayWidth(r.label + ": " + savedRunText(r)));
    for (const std::string& w : c.warnings) legendColumns = std::max(legendColumns, displayWidth("Warning: " + w));
    l.width = std::max(l.left + l.plotWidth + l.right, 50 + legendColumns * l.fontSize * 0.62 * 1.08);
    l.height = l.top + l.plotHeight + 60;
    niceAxis(l.longest, l.step, l.axisMax);
    return l;
}

std::string legendAndAxis(const Comparison& c, const Layout& l) {
    std::string s;
    appendf(s,
            "<text x=\"20\" y=\"26\" font-size=\"16\" font-weight=\"bold\">Circuit 2: median %s per "
            "repetition (%d multiply-adds), shorter is faster</text>\n",
            c.clocks ? "core clocks" : "ns", kMultiplyAdds);
    for (size_t k = 0; k < c.runs.size(); ++k) {
        const double y = 40 + 18 * static_cast<double>(k);
        appendf(s,
                "<rect x=\"20\" y=\"%.1f\" width=\"12\" height=\"12\" fill=\"%s\"/>\n"
                "<text x=\"38\" y=\"%.1f\">",
                y, kColours[k % 8], y + 10.5);
        s += xml(c.runs[k].label + ": " + savedRunText(c.runs[k])) + "</text>\n";
    }
    for (size_t k = 0; k < c.warnings.size(); ++k)
        s += format("<text x=\"20\" y=\"%.1f\" fill=\"#c00\" font-weight=\"bold\">",
                    50.5 + 18 * static_cast<double>(c.runs.size() + k)) + xml("Warning: " + c.warnings[k]) +
             "</text>\n";
    s += l.log ? logGridLines(l.logAxis, l.left, l.plotWidth, l.top, l.plotHeight)
               : gridLines(l.longest, l.step, l.axisMax, l.left, l.plotWidth, l.top, l.plotHeight);
    appendf(s, "<text x=\"%.1f\" y=\"%.1f\" text-anchor=\"middle\">median per repetition (%s%s)</text>\n",
            l.left + l.plotWidth / 2, l.top + l.plotHeight + 42, c.clocks ? "core clocks" : "ns",
            l.log ? ", logarithmic scale" : "");
    return s;
}

// Run k's bar in one row, or why it has none.
std::string runBar(const Comparison& c, const ComparedRow& row, size_t k, bool timed, double by, const Layout& l) {
    const double v = row.value[k];
    std::string s;
    if (!std::isfinite(v)) {
        if (!row.present[k] || (!timed && k > 0)) return s;
        appendf(s,
                "<text x=\"%.1f\" y=\"%.1f\" fill=\"#888\" font-size=\"11\" "
                "font-style=\"italic\">%s</text>\n",
                l.left + 4, by + l.barHeight - 3, timed ? "not timed" : "not timed in any run");
        return s;
    }
    std::string label = format(!row.clocks ? "%.1f" : c.clocks ? "%.0f" : "%.0f clk", v);
    if (k > 0 && std::isfinite(row.value[0]) && row.value[0] > 0)
        label += format(" (%.2f\u00d7, ", v / row.value[0]) + testText(row, k) + ")";
    appendf(s,
            "<rect x=\"%.1f\" y=\"%.1f\" width=\"%.1f\" height=\"%.1f\" fill=\"%s\">"
            "<title>%s: %.1f %s</title></rect>\n"
            "<text x=\"%.1f\" y=\"%.1f\" font-size=\"11\">%s</text>\n",
            l.left, by + 1, std::max(1.0, l.x(v) - l.left), l.barHeight - 2, kColours[k % 8],
            xml(c.runs[k].label).c_str(), v, c.clocks ? "clocks" : "ns", l.x(v) + 4, by + l.barHeight - 3,
            xml(label).c_str());
    return s;
}

std::string comparedRow(const Comparison& c, size_t r, const Layout& l) {
    const ComparedRow& row = c.rows[r];
    const double y = l.top + l.rowHeight * static_cast<double>(r);
    std::string s;
    appendf(s, "<text x=\"%.1f\" y=\"%.1f\" text-anchor=\"end\">", l.left - 8, y + (l.rowHeight - l.gap) / 2 + 4.5);
    s += xml(std::to_string(row.index) + "  " + row.name) + "</text>\n";
    bool timed = false;
    for (double v : row.value) timed = timed || std::isfinite(v);
    for (size_t k = 0; k < c.runs.size(); ++k)
        s += runBar(c, row, k, timed, y + l.barHeight * static_cast<double>(k), l);
    return s;
}

} // namespace

std::string comparisonSvg(const Comparison& c) {
    const Layout l = layoutOf(c);
    std::string s = svgStart(l.width, l.height, l.fontSize) + legendAndAxis(c, l);
    for (size_t r = 0; r < c.rows.size(); ++r) s += comparedRow(c, r, l);
    return s + "</svg>\n";
}

} // namespace host
