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

// The table's lines of cells, its heads first.
std::vector<std::vector<std::string>> comparedLines(const Comparison& c) {
    std::vector<std::string> heads = {"#", "Name"};
    for (size_t k = 0; k < c.runs.size(); ++k) {
        heads.push_back(c.runs[k].label);
        if (k) {
            heads.push_back("ratio");
            heads.push_back("U test");
        }
    }
    std::vector<std::vector<std::string>> lines = {heads};
    for (const ComparedRow& row : c.rows) lines.push_back(comparedCells(c, row));
    return lines;
}

// The run's line above the table: what it ran on, and what the host said
// of its figures.
std::string runLine(const SavedRun& r) {
    std::string s = savedRunText(r);
    if (r.flagged > 0) s += "; " + std::to_string(r.flagged) + (r.flagged == 1 ? " entry" : " entries") + " unstable";
    if (r.otherCpusBusy >= 0) s += format("; other CPUs %.0f%% busy", 100 * r.otherCpusBusy);
    return s;
}

// Why each run marked its unstable entries, one line per run and entry.
std::vector<std::string> unstableLines(const Comparison& c) {
    std::vector<std::string> lines;
    for (const SavedRun& r : c.runs)
        for (const SavedEntry& e : r.entries)
            if (e.unstable)
                lines.push_back(r.label + ", entry " + std::to_string(e.index) + ": " +
                                (e.unstableReason.empty() ? "unstable (no reason saved)" : e.unstableReason));
    return lines;
}

// What the table shows, under it.
std::string footer(const Comparison& c) {
    std::string s;
    appendf(s,
            "Median core clocks per repetition (%d multiply-adds), or ns where a run that timed\n"
            "the entry has no clocks; ratio: this run over %s, below 1 is faster.\n"
            "Blank: the run has no such entry; -: not timed; !: the run marked the entry unstable.\n",
            kMultiplyAdds, c.runs[0].label.c_str());
    appendf(s,
            "U test: a Mann-Whitney U test of the two runs' calls in the row's unit, Holm-corrected\n"
            "over the entries tested: \"change\" when p < %.2f and the ratio is more than %.0f%% from 1,\n"
            "else \"noise\"; \"unstable\" (never a change) when either run marked the entry unstable;\n"
            "\"untested\" when a run saved too few calls (results schema 1 saved none).\n",
            kSignificance, 100 * kNoiseThreshold);
    if (!c.warnings.empty()) s += "The warnings above: ratios between such runs measure more than the code.\n";
    return s;
}

std::string entryWords(const ComparedRow& row) {
    return "entry " + std::to_string(row.index) + (row.name.empty() ? "" : " (" + row.name + ")");
}

} // namespace

std::string untestableWhy(const Comparison& c, const ComparedRow& row, size_t k) {
    std::string s;
    for (size_t j : {size_t(0), k}) {
        const SavedEntry* e = nullptr;
        for (const SavedEntry& saved : c.runs[j].entries)
            if (saved.index == row.index) e = &saved;
        if (!e) return c.runs[j].label + " has no such entry";
        if (!std::isfinite(row.value[j]))
            return c.runs[j].label + " did not time it" + (e->status.empty() ? "" : " (" + e->status + ")");
        if (e->unstable)
            s += (s.empty() ? "" : "; ") + c.runs[j].label + " marked it unstable (" +
                 (e->unstableReason.empty() ? "no reason saved" : e->unstableReason) + ")";
    }
    return s.empty() ? "too few calls saved to test it" : s;
}

std::vector<std::string> gateLines(const Comparison& c) {
    if (!std::isfinite(c.failIfSlower)) return {};
    const GateSummary g = gateSummary(c);
    auto entries = [](size_t n) { return std::to_string(n) + (n == 1 ? " entry" : " entries"); };
    const std::string pct = jsonNumber(c.failIfSlower);
    std::string head = "--fail-if-slower " + pct + ": ";
    if (!g.tripped.empty())
        head += "tripped by " + entries(g.tripped.size()) + ", a change slower by more than " + pct + "%";
    else if (g.passed == 0)
        head += "nothing tested: no entry could be gated, which is no pass";
    else
        head += "passed: " + entries(static_cast<size_t>(g.passed)) + " tested, none a change slower by more than " +
                pct + "%";
    if (!g.untestable.empty()) head += "; " + entries(g.untestable.size()) + " untestable (neither passed nor failed)";
    std::vector<std::string> lines = {head};
    for (const GateItem& t : g.tripped) {
        const ComparedRow& row = c.rows[t.row];
        lines.push_back("tripped: " + entryWords(row) + " in " + c.runs[t.run].label + ": " +
                        format("%.3f times ", row.value[t.run] / row.value[0]) + c.runs[0].label + "'s median (" +
                        testText(row, t.run) + ")");
    }
    for (const GateItem& u : g.untestable)
        lines.push_back("untestable: " + entryWords(c.rows[u.row]) + " in " + c.runs[u.run].label + ": " +
                        untestableWhy(c, c.rows[u.row], u.run));
    return lines;
}

std::string comparisonText(const Comparison& c) {
    const std::vector<SavedRun>& runs = c.runs;
    std::string s;
    for (size_t k = 0; k < runs.size(); ++k)
        s += padRight(k == 0 ? runs[k].label + " (base)" : runs[k].label, 10) + " " + runLine(runs[k]) + "\n";
    for (const std::string& w : c.warnings) s += "WARNING: " + w + "\n";
    s += "\n" + alignedColumns(comparedLines(c), nameColumn);
    if (runs.empty()) return s;
    s += "\n";
    for (const std::string& line : unstableLines(c)) s += "! " + line + "\n";
    s += "\n" + footer(c);
    const std::vector<std::string> gate = gateLines(c);
    for (size_t k = 0; k < gate.size(); ++k) s += (k ? "  " : "\n") + gate[k] + "\n";
    return s;
}

std::string comparisonMarkdown(const Comparison& c) {
    std::string s;
    for (size_t k = 0; k < c.runs.size(); ++k)
        s += "- **" + c.runs[k].label + "**" + (k == 0 ? " (base) " : " ") + runLine(c.runs[k]) + "\n";
    for (const std::string& w : c.warnings) s += "\n**Warning:** " + w + "\n";
    s += "\n" + markdownTable(comparedLines(c), nameColumn);
    if (c.runs.empty()) return s;
    const std::vector<std::string> unstable = unstableLines(c);
    if (!unstable.empty()) s += "\n";
    for (const std::string& line : unstable) s += "- ! " + line + "\n";
    s += "\n" + footer(c);
    const std::vector<std::string> gate = gateLines(c);
    for (size_t k = 0; k < gate.size(); ++k) s += (k ? "- " : "\n**") + gate[k] + (k ? "\n" : "**\n\n");
    return s;
}

// ---- The chart ----------------------------------------------------------------

namespace {

constexpr double kBarHeight = 14, kGap = 10;

// A logarithmic axis where the runs differ by more than ten times (their
// ratios, not their figures): a linear one would leave the faster run's
// bars too short to read. On it each value is a dot with a line to it.
void scaleOf(const Comparison& c, ChartFrame& f) {
    double least = 0, longest = 0, lowRatio = 1, highRatio = 1; // runs over the first, per entry
    for (const ComparedRow& row : c.rows)
        for (size_t k = 0; k < row.value.size(); ++k) {
            const double v = row.value[k];
            if (!(std::isfinite(v) && v > 0)) continue;
            longest = std::max(longest, v);
            least = least > 0 ? std::min(least, v) : v;
            if (k > 0 && std::isfinite(row.value[0]) && row.value[0] > 0) {
                lowRatio = std::min(lowRatio, v / row.value[0]);
                highRatio = std::max(highRatio, v / row.value[0]);
            }
        }
    f.scale(least, longest, least > 0 && highRatio > 10 * lowRatio);
}

void runsAndWarnings(const Comparison& c, ChartFrame& f) {
    f.text(f.kMargin, 26,
           std::string("Circuit 2: median ") + (c.clocks ? "core clocks" : "ns") + " per repetition (" +
               std::to_string(kMultiplyAdds) + " multiply-adds), shorter is faster",
           "font-weight=\"bold\"", "start", 16);
    for (size_t k = 0; k < c.runs.size(); ++k) {
        const double y = 40 + 18 * static_cast<double>(k);
        f.shape(format("<rect x=\"20\" y=\"%.1f\" width=\"12\" height=\"12\" ", y) + "fill=\"" +
                    paletteColour(k) + "\"/>",
                32);
        f.text(38, y + 10.5, c.runs[k].label + ": " + savedRunText(c.runs[k]));
    }
    for (size_t k = 0; k < c.warnings.size(); ++k)
        f.text(f.kMargin, 50.5 + 18 * static_cast<double>(c.runs.size() + k), "Warning: " + c.warnings[k],
               "fill=\"#c00\" font-weight=\"bold\"");
}

// What the text output's footer says, in the chart's words.
std::vector<std::string> legendLines(const Comparison& c) {
    std::vector<std::string> lines = {
        "Each run's median per repetition; in brackets its ratio to " + c.runs[0].label + "'s (below 1 is faster).",
        "change: p < " + format("%.2f", kSignificance) +
            " in a Mann-Whitney U test of the two runs' calls (ns per repetition) and the ratio more than " +
            format("%.0f%%", 100 * kNoiseThreshold) + " from 1;",
        "noise: within the noise of the calls or below that threshold; untested: a run saved no calls.",
        "not timed: the run has the entry but no time for it; nothing drawn: the run has no such entry."};
    if (!c.clocks) lines.push_back("A run without core clocks: every run compared in ns.");
    return lines;
}

// Run k's bar (a dot on a logarithmic axis) in one row, or why it has none.
void runBar(const Comparison& c, const ComparedRow& row, size_t k, bool timed, double by, ChartFrame& f) {
    const double v = row.value[k];
    if (!std::isfinite(v)) {
        if (!row.present[k] || (!timed && k > 0)) return;
        f.text(f.left + 4, by + kBarHeight - 3, timed ? "not timed" : "not timed in any run",
               "fill=\"#888\" font-style=\"italic\"", "start", 11);
        return;
    }
    std::string label = format(!row.clocks ? "%.1f" : c.clocks ? "%.0f" : "%.0f clk", v);
    if (k > 0 && std::isfinite(row.value[0]) && row.value[0] > 0)
        label += format(" (%.2f\u00d7, ", v / row.value[0]) + testText(row, k) + ")";
    const std::string title = "<title>" + xml(c.runs[k].label) + format(": %.1f ", v) + (c.clocks ? "clocks" : "ns") +
                              "</title>";
    std::string shape;
    const double mid = by + kBarHeight / 2;
    if (f.logarithmic())
        appendf(shape,
                "<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\" stroke=\"%s\" stroke-width=\"2\"/>\n"
                "<circle cx=\"%.1f\" cy=\"%.1f\" r=\"4.5\" fill=\"%s\">",
                f.left, mid, f.x(v), mid, paletteColour(k), f.x(v), mid, paletteColour(k));
    else
        appendf(shape, "<rect x=\"%.1f\" y=\"%.1f\" width=\"%.1f\" height=\"%.1f\" fill=\"%s\">", f.left, by + 1,
                std::max(1.0, f.x(v) - f.left), kBarHeight - 2, paletteColour(k));
    f.shape(shape + title + (f.logarithmic() ? "</circle>" : "</rect>"), f.x(v) + 4.5);
    f.text(f.x(v) + (f.logarithmic() ? 8 : 4), by + kBarHeight - 3, label, "", "start", 11);
}

void comparedRow(const Comparison& c, size_t r, double rowHeight, ChartFrame& f) {
    const ComparedRow& row = c.rows[r];
    const double y = f.top + rowHeight * static_cast<double>(r);
    f.text(f.left - 8, y + (rowHeight - kGap) / 2 + 4.5, std::to_string(row.index) + "  " + row.name, "", "end");
    bool timed = false;
    for (double v : row.value) timed = timed || std::isfinite(v);
    for (size_t k = 0; k < c.runs.size(); ++k) runBar(c, row, k, timed, y + kBarHeight * static_cast<double>(k), f);
}

} // namespace

std::string comparisonSvg(const Comparison& c) {
    ChartFrame f;
    double labels = 0;
    for (const ComparedRow& row : c.rows)
        labels = std::max(labels, textWidth(std::to_string(row.index) + "  " + row.name, f.kFontSize));
    const double runs = static_cast<double>(c.runs.size()), rowHeight = kBarHeight * runs + kGap;
    f.left = f.kMargin + labels + 8;
    f.top = 50 + 18 * (runs + static_cast<double>(c.warnings.size()));
    f.plotHeight = rowHeight * static_cast<double>(c.rows.size());
    scaleOf(c, f);
    runsAndWarnings(c, f);
    f.grid(std::string("median per repetition (") + (c.clocks ? "core clocks" : "ns") +
           (f.logarithmic() ? ", logarithmic scale: equal steps are equal ratios" : "") + ")");
    for (size_t r = 0; r < c.rows.size(); ++r) comparedRow(c, r, rowHeight, f);
    double y = f.top + f.plotHeight + 66;
    for (const std::string& line : legendLines(c)) {
        f.text(f.kMargin, y, line, "fill=\"#555\"");
        y += 18;
    }
    return f.document(y);
}

} // namespace host
