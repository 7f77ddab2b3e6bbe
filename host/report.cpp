// What the host prints: an aligned table for people, CSV and JSON for
// programs, and an SVG bar chart of the times.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "host.h"

namespace host {

namespace {

std::string format(const char* fmt, double v) {
    char text[64];
    std::snprintf(text, sizeof text, fmt, v);
    return text;
}

std::string layoutName(EntryFlags flags) { return (flags & ENTRY_SOA) ? "SOA" : "AOS"; }

std::string flagsHex(EntryFlags flags) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%03X", static_cast<unsigned>(flags));
    return text;
}

std::string processorText(const Processor& cpu) {
    if (cpu.aarch64)
        return cpu.vendor + " " + cpu.brand + ", revision " + std::to_string(cpu.stepping) +
               " (aarch64): none of the entries' x86 extensions, so every entry runs the module's C++ code"
               " (with --all, marked substitute)";
    if (!cpu.x86) return "no x86 processor identification (CPUID): no entry is known to run";
    std::string s = cpu.vendor;
    if (!cpu.brand.empty()) s += " " + cpu.brand;
    return s + " (family " + std::to_string(cpu.family) + ", model " + std::to_string(cpu.model) +
           ", stepping " + std::to_string(cpu.stepping) + ")";
}

std::string extensionsText(const Processor& cpu) {
    std::string has, lacks;
    auto add = [](std::string& s, const char* t) { s += s.empty() ? t : std::string(" ") + t; };
    add(cpu.fpu ? has : lacks, "FPU");
    add(cpu.mmx ? has : lacks, "MMX");
    add(cpu.sse ? has : lacks, "SSE");
    add(cpu.amd3dnow ? has : lacks, "3DNow!");
    std::string s;
    for (const std::string& x : cpu.extensions) s += (s.empty() ? "" : " ") + x;
    if (!lacks.empty()) s += (s.empty() ? "" : "; ") + std::string("lacks ") + lacks;
    return s;
}

std::string problemText(const ProblemSource& p) {
    if (p.fromFile) return "from " + (p.path == "-" ? std::string("standard input") : displayPath(p.path));
    return "random, seed " + std::to_string(p.seed) + " (repeat with --seed " +
           std::to_string(p.seed) + ")";
}

std::string csvNumber(double v) { return std::isfinite(v) ? jsonNumber(v) : std::string(); }

std::string csvField(const std::string& s) {
    if (s.find_first_of(",\"\n") == std::string::npos) return s;
    std::string out = "\"";
    for (char c : s) out += c == '"' ? std::string("\"\"") : std::string(1, c);
    return out + "\"";
}

std::string xml(const std::string& s) {
    std::string out;
    for (char c : s) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        default: out += c;
        }
    }
    return out;
}

const int kMacs = OUTPUT_COUNT * INPUT_COUNT; // multiply-adds per repetition

double megaMacs(const Timing& t) { return t.medianNs > 0 ? kMacs / t.medianNs * 1e3 : 0; }

std::string clockText(const Machine& m) {
    char text[64];
    if (m.coreGHz <= 0) return "core clock not measured: " + m.clockNote;
    std::snprintf(text, sizeof text, "core clock %.2f GHz (measured during the run)", m.coreGHz);
    return text;
}

// Axis: 1, 2 or 5 times a power of ten per tick, four to ten ticks.
void niceAxis(double longest, double& step, double& axisMax) {
    step = 1;
    axisMax = 1;
    if (!(longest > 0)) return;
    const double raw = longest / 5;
    const double power = std::pow(10.0, std::floor(std::log10(raw)));
    for (double m : {1.0, 2.0, 5.0, 10.0}) {
        step = m * power;
        if (step >= raw) break;
    }
    axisMax = std::ceil(longest / step) * step;
}

const char* kSvgFonts = "sans-serif, 'Noto Sans CJK JP', 'IPAGothic', 'Meiryo', 'MS Gothic'";

// The opening of an SVG document of the given size on a white ground.
std::string svgStart(double width, double height, double fontSize) {
    char buf[512];
    std::snprintf(buf, sizeof buf,
                  "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                  "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%.0f\" height=\"%.0f\" "
                  "viewBox=\"0 0 %.0f %.0f\" font-family=\"%s\" font-size=\"%.0f\">\n"
                  "<rect width=\"100%%\" height=\"100%%\" fill=\"white\"/>\n",
                  width, height, width, height, kSvgFonts, fontSize);
    return buf;
}

// The vertical grid lines and their labels of a bar chart's axis, from 0 to
// axisMax in steps of `step`, over a plot at (left, top).
std::string gridLines(double longest, double step, double axisMax, double left, double plotWidth, double top,
                      double plotHeight) {
    std::string s;
    char buf[256];
    for (double v = 0; v <= axisMax * (1 + 1e-9) && longest > 0; v += step) {
        const double x = left + plotWidth * v / axisMax;
        std::snprintf(buf, sizeof buf,
                      "<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\" stroke=\"#ddd\"/>\n"
                      "<text x=\"%.1f\" y=\"%.1f\" text-anchor=\"middle\" fill=\"#333\">%g</text>\n",
                      x, top - 4, x, top + plotHeight, x, top + plotHeight + 18, v);
        s += buf;
    }
    return s;
}

} // namespace

std::string statusText(Status s) {
    switch (s) {
    case Status::Ok: return "ok";
    case Status::Failed: return "FAILED";
    case Status::Skipped: return "skipped";
    case Status::Unchecked: return "unchecked";
    case Status::Crashed: return "crashed";
    case Status::TimedOut: return "timed out";
    }
    return "?";
}

std::string checkText(const EntryResult& e) {
    if (e.status == Status::Crashed) return "crashed: " + e.reason;
    if (e.status == Status::TimedOut) return "timed out " + e.reason;
    if (e.substitute) return statusText(e.status) + ", substitute";
    const bool note = e.status == Status::Failed || e.status == Status::Unchecked ||
                      (e.status == Status::Skipped && e.selected);
    return statusText(e.status) + (note ? "*" : "");
}

void printTable(const RunInfo& run, std::FILE* out) {
    std::fprintf(out, "Module     %s (%llu bytes, SHA-256 %s)\n", displayPath(run.module.path).c_str(),
                 static_cast<unsigned long long>(run.moduleFile.size), run.moduleFile.sha256.c_str());
    std::fprintf(out, "Circuit    %d (y = M x: 18 x 36 single-precision matrix, 36 inputs)\n",
                 run.module.circuit);
    std::fprintf(out, "Creator    %s\n", run.creator.c_str());
    std::fprintf(out, "Entries    %u\n", static_cast<unsigned>(run.entries.size()));
    const Machine& m = run.machine;
    std::fprintf(out, "Processor  %s, %s\n", processorText(m.cpu).c_str(), clockText(m).c_str());
    std::fprintf(out, "Extensions %s\n", extensionsText(m.cpu).c_str());
    std::fprintf(out, "System     %s, %d-bit; circuit-host %s, %d-bit\n", m.os.c_str(), m.osBits,
                 hostVersion().c_str(), m.hostBits);
    std::fprintf(out, "Problem    %s\n", problemText(run.problem).c_str());
    if (run.trials > 0)
        std::fprintf(out, "Timing     %g ms per entry, %d trials; times per repetition (%d multiply-adds)\n",
                     run.timePerEntryMs, run.trials, kMacs);
    else
        std::fprintf(out, "Timing     none (--check-only)\n");
    std::fprintf(out, "\n");

    const char* heads[] = {"#",       "Name",       "Flags",   "Layout",    "CPU",    "Check", "Error/bound",
                           "Min clk", "Median clk", "MAC/clk", "Median ns", "Spread", "Speed"};
    const int columns = 13;
    std::vector<std::vector<std::string>> rows;
    for (const EntryResult& e : run.entries) {
        std::vector<std::string> r;
        char flags[16];
        std::snprintf(flags, sizeof flags, "0x%03X ", static_cast<unsigned>(e.record.flags));
        r.push_back(std::to_string(e.index));
        r.push_back(e.name);
        r.push_back(flags + flagsText(e.record.flags & ~ENTRY_SOA));
        r.push_back(layoutName(e.record.flags));
        r.push_back(e.runnable ? "yes" : "no");
        r.push_back(checkText(e));
        r.push_back(e.ran && !e.check.unchecked && std::isfinite(e.check.worstRatio)
                        ? format("%.3f", e.check.worstRatio)
                        : "-");
        const Timing& t = e.timing;
        const bool clocks = t.done && t.clocks;
        r.push_back(clocks ? format("%.0f", t.minClocks) : "-");
        r.push_back(clocks ? format("%.0f", t.medianClocks) : "-");
        r.push_back(clocks && t.medianClocks > 0 ? format("%.2f", kMacs / t.medianClocks) : "-");
        r.push_back(t.done ? format("%.1f", t.medianNs) : "-");
        r.push_back(t.done && t.medianNs > 0 ? format("%.0f%%", 100 * (t.maxNs - t.minNs) / t.medianNs) : "-");
        r.push_back(t.done ? format("%.2f", t.relative) : "-");
        rows.push_back(r);
    }
    std::vector<int> width(columns);
    for (int c = 0; c < columns; ++c) {
        width[c] = displayWidth(heads[c]);
        for (const auto& r : rows) width[c] = std::max(width[c], displayWidth(r[c]));
    }
    auto left = [](int c) { return c >= 1 && c <= 5; };
    auto line = [&](const std::vector<std::string>& cells) {
        std::string s;
        for (int c = 0; c < columns; ++c) {
            if (c) s += "  ";
            s += left(c) ? padRight(cells[c], width[c]) : padLeft(cells[c], width[c]);
        }
        while (!s.empty() && s.back() == ' ') s.pop_back();
        std::fprintf(out, "%s\n", s.c_str());
    };
    line(std::vector<std::string>(heads, heads + columns));
    for (const auto& r : rows) line(r);

    bool notes = false;
    bool escaped = false;
    for (const EntryResult& e : run.entries) {
        if (!e.nameConverted) escaped = true;
        if (e.reason.empty() || !e.selected || e.status == Status::Crashed || e.status == Status::TimedOut)
            continue;
        if (!notes) std::fprintf(out, "\n");
        notes = true;
        std::fprintf(out, "* entry %d %s: %s\n", e.index,
                     e.status == Status::Failed ? "failed" : statusText(e.status).c_str(), e.reason.c_str());
    }
    std::fprintf(out, "\n");
    if (escaped)
        std::fprintf(out, "Names shown with \\xHH could not be converted from Shift_JIS; those are its bytes.\n");
    for (const EntryResult& e : run.entries)
        if (!e.nameTerminated) std::fprintf(out, "Entry %d: its name has no NUL within 64 bytes.\n", e.index);
    if (!run.module.creatorReturnedBuffer)
        std::fprintf(out, "getCreatorSignature did not return the buffer it was given.\n");
    std::fprintf(out,
                 "Error/bound: the largest distance of an output from the exact product, as a share\n"
                 "of what the entry's arithmetic may lose (x87, single precision or 16-bit fixed point).\n");
    std::fprintf(out, "CPU: whether this processor has every extension the entry's flags name (--all\n"
                      "runs the others too).\n");
    for (const EntryResult& e : run.entries)
        if (e.substitute) {
            std::fprintf(out, "substitute: the processor lacks the entry's extensions, so what ran was the module's\n"
                              "substitute code; its check and times are not those of the entry's own code.\n");
            break;
        }
    if (run.trials > 0) {
        std::fprintf(out,
                     "Times are per repetition (%d multiply-adds), over %d calls: clk in core clocks,\n"
                     "calibrated around each call against a chain of one-cycle additions (calls whose\n"
                     "calibration moved are left out); Spread (max - min) / median of the ns;\n"
                     "Speed relative to the fastest entry. CSV and JSON add ns and time-stamp ticks.\n",
                     kMacs, run.trials);
        if (m.coreGHz <= 0) std::fprintf(out, "No core clocks: %s; times in ns only.\n", m.clockNote.c_str());
        for (const EntryResult& e : run.entries)
            if (e.timing.done && !e.timing.clocks && m.coreGHz > 0)
                std::fprintf(out, "Entry %d has no core clocks: %s.\n", e.index, e.timing.clockNote.c_str());
    }
    if (run.children > 0)
        std::fprintf(out, "Each entry ran in a process of its own; starting and ending them took %.0f ms in all.\n",
                     run.isolationSeconds * 1000);
    if (run.failed)
        std::fprintf(out, "%d %s FAILED (failed, crashed or timed out).\n", run.failed,
                     run.failed == 1 ? "entry" : "entries");
}

void printCsv(const RunInfo& run, std::FILE* out) {
    std::fprintf(out, "index,name,flags,layout,arithmetic,runnable,ran,status,reason,error,bound,"
                      "error_per_bound,count,min_ns,median_ns,max_ns,min_ticks,median_ticks,min_clocks,"
                      "median_clocks,multiply_adds_per_clock,mmac_per_s,relative,substitute\n");
    for (const EntryResult& e : run.entries) {
        const Timing& t = e.timing;
        const bool checked = e.ran && !e.check.unchecked;
        const bool ticks = t.done && run.machine.cpu.tsc, clocks = t.done && t.clocks;
        std::string row = std::to_string(e.index) + "," + csvField(e.name) + "," + flagsHex(e.record.flags) + "," + layoutName(e.record.flags) + "," + arithmeticName(arithmeticOf(e.record.flags)) +
                          "," + (e.runnable ? "1" : "0") + "," + (e.ran ? "1" : "0") + "," +
                          statusText(e.status) + "," + csvField(e.reason);
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
        add(clocks && t.medianClocks > 0, kMacs / t.medianClocks);
        add(t.done, megaMacs(t));
        add(t.done, t.relative);
        row += e.substitute ? ",1" : ",0";
        std::fprintf(out, "%s\n", row.c_str());
    }
}

std::string svgChart(const RunInfo& run) {
    // Label widths estimated from terminal columns: a wide (CJK) character
    // takes about twice the room of a Latin one at this font size.
    const double fontSize = 13, column = 7.4;
    // Core clocks where every timed entry has them, else nanoseconds.
    bool clocks = false;
    for (const EntryResult& e : run.entries)
        if (e.timing.done) clocks = e.timing.clocks;
    for (const EntryResult& e : run.entries)
        if (e.timing.done && !e.timing.clocks) clocks = false;
    auto median = [&](const Timing& t) { return clocks ? t.medianClocks : t.medianNs; };
    auto least = [&](const Timing& t) { return clocks ? t.minClocks : t.minNs; };
    const char* unit = clocks ? "clocks" : "ns";
    int labelColumns = 0;
    double longest = 0;
    for (const EntryResult& e : run.entries) {
        labelColumns = std::max(labelColumns, displayWidth(std::to_string(e.index) + "  " + e.name));
        if (e.timing.done) longest = std::max(longest, median(e.timing));
    }
    const double left = 20 + labelColumns * column, plotWidth = 520, right = 150;
    const double top = 84, rowHeight = 26;
    const double plotHeight = rowHeight * static_cast<double>(run.entries.size());
    const double width = left + plotWidth + right, height = top + plotHeight + 70;

    double step = 1, axisMax = 1;
    niceAxis(longest, step, axisMax);
    auto x = [&](double ns) { return left + plotWidth * ns / axisMax; };

    std::string s;
    char buf[512];
    s += svgStart(width, height, fontSize);
    s += "<text x=\"20\" y=\"26\" font-size=\"16\" font-weight=\"bold\">Circuit " +
         std::to_string(run.module.circuit) + ": time per repetition of each entry (" +
         std::to_string(kMacs) + " multiply-adds)</text>\n";
    s += "<text x=\"20\" y=\"46\" fill=\"#555\">" + xml(run.creator) + " · " +
         xml(processorText(run.machine.cpu)) +
         " · median of " + std::to_string(run.trials) + " trials, shorter is faster</text>\n";
    // Which module, which build of it, which problem: a chart travels alone.
    s += "<text x=\"20\" y=\"64\" fill=\"#555\">" +
         xml(displayPath(run.module.path) + " (" + std::to_string(run.machine.hostBits) + "-bit build, SHA-256 " +
             run.moduleFile.sha256.substr(0, 12) + ") · " + problemText(run.problem) + " · " + run.machine.os) +
         "</text>\n";

    s += gridLines(longest, step, axisMax, left, plotWidth, top, plotHeight);
    std::snprintf(buf, sizeof buf,
                  "<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\" stroke=\"#333\"/>\n"
                  "<text x=\"%.1f\" y=\"%.1f\" text-anchor=\"middle\">time per repetition (%s)</text>\n",
                  left, top + plotHeight, left + plotWidth, top + plotHeight, left + plotWidth / 2,
                  top + plotHeight + 42, clocks ? "core clocks" : "ns");
    s += buf;

    for (size_t k = 0; k < run.entries.size(); ++k) {
        const EntryResult& e = run.entries[k];
        const double y = top + rowHeight * static_cast<double>(k);
        std::snprintf(buf, sizeof buf, "<text x=\"%.1f\" y=\"%.1f\" text-anchor=\"end\">", left - 8,
                      y + rowHeight / 2 + 4.5);
        s += buf + xml(std::to_string(e.index) + "  " + e.name) + "</text>\n";
        if (e.timing.done) {
            const Timing& t = e.timing;
            const char* colour = e.substitute                     ? "#bbbbbb"
                                 : (e.record.flags & ENTRY_SSE)     ? "#4e79a7"
                                 : (e.record.flags & ENTRY_3DNOW) ? "#59a14f"
                                 : (e.record.flags & ENTRY_MMX)   ? "#e15759"
                                                                : "#f28e2b";
            std::snprintf(buf, sizeof buf,
                          "<rect x=\"%.1f\" y=\"%.1f\" width=\"%.1f\" height=\"%.1f\" fill=\"%s\">"
                          "<title>median %.1f %s, minimum %.1f %s</title></rect>\n"
                          "<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\" stroke=\"black\"/>\n"
                          "<text x=\"%.1f\" y=\"%.1f\">%.1f %s</text>\n",
                          left, y + 4, std::max(1.0, x(median(t)) - left), rowHeight - 8, colour, median(t), unit,
                          least(t), unit, x(least(t)), y + 2, x(least(t)), y + rowHeight - 2, x(median(t)) + 6,
                          y + rowHeight / 2 + 4.5, median(t), unit);
            s += buf;
            if (e.substitute) {
                s.resize(s.size() - std::strlen("</text>\n"));
                s += " <tspan fill=\"#888\" font-style=\"italic\">substitute code, not the entry's</tspan></text>\n";
            }
        } else {
            std::string why = isFailure(e.status) ? (e.status == Status::Failed ? "failed: " + e.reason
                                                                                 : checkText(e))
                              : e.ran               ? "not timed"
                                                    : "not run: " + e.reason;
            std::snprintf(buf, sizeof buf, "<text x=\"%.1f\" y=\"%.1f\" fill=\"#888\" font-style=\"italic\">",
                          left + 6, y + rowHeight / 2 + 4.5);
            s += buf + xml(why) + "</text>\n";
        }
    }
    std::snprintf(buf, sizeof buf,
                  "<text x=\"20\" y=\"%.1f\" fill=\"#555\">Bars: median; tick: minimum. "
                  "Orange x87, red MMX fixed point, green 3DNow!, blue SSE, grey substitute code "
                  "(the processor lacks the extensions).</text>\n",
                  height - 8);
    s += buf;
    s += "</svg>\n";
    return s;
}

// ---- Saved runs side by side ------------------------------------------------

namespace {

// One row per entry index that any run has; the value of each run or NaN.
struct ComparedRow {
    int index = 0;
    std::string name;
    std::vector<double> value;     // median per repetition, NaN: not timed
    std::vector<bool> present;
};

struct Comparison {
    bool clocks = true;            // every run has core clocks
    std::vector<ComparedRow> rows;
};

Comparison compare(const std::vector<SavedRun>& runs) {
    Comparison c;
    for (const SavedRun& r : runs) {
        bool any = false;
        for (const SavedEntry& e : r.entries) any = any || std::isfinite(e.medianClocks);
        if (!any) c.clocks = false;
    }
    int last = -1;
    for (const SavedRun& r : runs)
        for (const SavedEntry& e : r.entries) last = std::max(last, e.index);
    for (int index = 0; index <= last; ++index) {
        ComparedRow row;
        row.index = index;
        bool any = false;
        for (const SavedRun& r : runs) {
            const SavedEntry* found = nullptr;
            for (const SavedEntry& e : r.entries)
                if (e.index == index) found = &e;
            row.present.push_back(found != nullptr);
            row.value.push_back(found ? (c.clocks ? found->medianClocks : found->medianNs) : NAN);
            if (found && row.name.empty()) row.name = found->name;
            any = any || found;
        }
        if (any) c.rows.push_back(row);
    }
    return c;
}

std::string runText(const SavedRun& r) {
    std::string s = r.cpu.empty() ? "unknown processor" : r.cpu;
    if (r.coreGHz > 0) s += format(" at %.2f GHz", r.coreGHz);
    s += "; " + r.os + "; host " + std::to_string(r.hostBits) + "-bit; " + r.module;
    if (r.sha256.size() >= 12) s += " (SHA-256 " + r.sha256.substr(0, 12) + "...)";
    return s;
}

} // namespace

void printComparison(const std::vector<SavedRun>& runs, std::FILE* out) {
    const Comparison c = compare(runs);
    for (size_t k = 0; k < runs.size(); ++k)
        std::fprintf(out, "%-10s %s\n", (k ? runs[k].label : runs[k].label + " (base)").c_str(),
                     runText(runs[k]).c_str());
    std::fprintf(out, "\n");
    std::vector<std::string> heads = {"#", "Name"};
    for (size_t k = 0; k < runs.size(); ++k) {
        heads.push_back(runs[k].label);
        if (k) heads.push_back("ratio");
    }
    std::vector<std::vector<std::string>> rows;
    for (const ComparedRow& row : c.rows) {
        std::vector<std::string> r = {std::to_string(row.index), row.name};
        for (size_t k = 0; k < runs.size(); ++k) {
            const double v = row.value[k];
            r.push_back(!row.present[k] ? "" : std::isfinite(v) ? format(c.clocks ? "%.0f" : "%.1f", v) : "-");
            if (k) {
                const double base = row.value[0];
                r.push_back(std::isfinite(v) && std::isfinite(base) && base > 0 ? format("%.2f", v / base) : "");
            }
        }
        rows.push_back(r);
    }
    std::vector<int> width(heads.size());
    for (size_t i = 0; i < heads.size(); ++i) {
        width[i] = displayWidth(heads[i]);
        for (const auto& r : rows) width[i] = std::max(width[i], displayWidth(r[i]));
    }
    auto line = [&](const std::vector<std::string>& cells) {
        std::string s;
        for (size_t i = 0; i < cells.size(); ++i) {
            if (i) s += "  ";
            s += i == 1 ? padRight(cells[i], width[i]) : padLeft(cells[i], width[i]);
        }
        while (!s.empty() && s.back() == ' ') s.pop_back();
        std::fprintf(out, "%s\n", s.c_str());
    };
    line(heads);
    for (const auto& r : rows) line(r);
    std::fprintf(out, "\nMedian %s per repetition (%d multiply-adds); ratio: this run over %s, below 1 is "
                      "faster.\nBlank: the run has no such entry; -: not timed.\n",
                 c.clocks ? "core clocks" : "ns", kMacs, runs[0].label.c_str());
    if (!c.clocks) std::fprintf(out, "A run without core clocks: every run compared in ns.\n");
}

std::string comparisonSvg(const std::vector<SavedRun>& runs) {
    const Comparison c = compare(runs);
    const char* colours[] = {"#4e79a7", "#f28e2b", "#59a14f", "#e15759", "#76b7b2", "#edc948", "#b07aa1", "#9c755f"};
    const double fontSize = 13, column = 7.4, barHeight = 14, gap = 10;
    int labelColumns = 0;
    double longest = 0;
    for (const ComparedRow& row : c.rows) {
        labelColumns = std::max(labelColumns, displayWidth(std::to_string(row.index) + "  " + row.name));
        for (double v : row.value)
            if (std::isfinite(v)) longest = std::max(longest, v);
    }
    const double left = 20 + labelColumns * column, plotWidth = 520, right = 110;
    const double top = 50 + 18 * static_cast<double>(runs.size());
    const double rowHeight = barHeight * static_cast<double>(runs.size()) + gap;
    const double plotHeight = rowHeight * static_cast<double>(c.rows.size());
    int legendColumns = 0;
    for (const SavedRun& r : runs) legendColumns = std::max(legendColumns, displayWidth(r.label + ": " + runText(r)));
    const double width = std::max(left + plotWidth + right, 50 + legendColumns * column * 0.95);
    const double height = top + plotHeight + 60;
    double step, axisMax;
    niceAxis(longest, step, axisMax);
    auto x = [&](double v) { return left + plotWidth * v / axisMax; };
    const char* unit = c.clocks ? "clocks" : "ns";
    std::string s;
    char buf[512];
    s += svgStart(width, height, fontSize);
    std::snprintf(buf, sizeof buf,
                  "<text x=\"20\" y=\"26\" font-size=\"16\" font-weight=\"bold\">Circuit 2: median %s per "
                  "repetition (%d multiply-adds), shorter is faster</text>\n",
                  c.clocks ? "core clocks" : "ns", kMacs);
    s += buf;
    for (size_t k = 0; k < runs.size(); ++k) {
        const double y = 40 + 18 * static_cast<double>(k);
        std::snprintf(buf, sizeof buf, "<rect x=\"20\" y=\"%.1f\" width=\"12\" height=\"12\" fill=\"%s\"/>\n"
                                       "<text x=\"38\" y=\"%.1f\">",
                      y, colours[k % 8], y + 10.5);
        s += buf + xml(runs[k].label + ": " + runText(runs[k])) + "</text>\n";
    }
    s += gridLines(longest, step, axisMax, left, plotWidth, top, plotHeight);
    std::snprintf(buf, sizeof buf,
                  "<text x=\"%.1f\" y=\"%.1f\" text-anchor=\"middle\">median per repetition (%s)</text>\n",
                  left + plotWidth / 2, top + plotHeight + 42, c.clocks ? "core clocks" : "ns");
    s += buf;
    for (size_t r = 0; r < c.rows.size(); ++r) {
        const ComparedRow& row = c.rows[r];
        const double y = top + rowHeight * static_cast<double>(r);
        std::snprintf(buf, sizeof buf, "<text x=\"%.1f\" y=\"%.1f\" text-anchor=\"end\">", left - 8,
                      y + (rowHeight - gap) / 2 + 4.5);
        s += buf + xml(std::to_string(row.index) + "  " + row.name) + "</text>\n";
        bool timed = false;
        for (double v : row.value) timed = timed || std::isfinite(v);
        for (size_t k = 0; k < runs.size(); ++k) {
            const double v = row.value[k], by = y + barHeight * static_cast<double>(k);
            if (!std::isfinite(v)) {
                if (!row.present[k] || (!timed && k > 0)) continue;
                std::snprintf(buf, sizeof buf, "<text x=\"%.1f\" y=\"%.1f\" fill=\"#888\" font-size=\"11\" "
                                               "font-style=\"italic\">%s</text>\n",
                              left + 4, by + barHeight - 3, timed ? "not timed" : "not timed in any run");
                s += buf;
                continue;
            }
            std::string label = format(c.clocks ? "%.0f" : "%.1f", v);
            if (k > 0 && std::isfinite(row.value[0]) && row.value[0] > 0)
                label += format(" (%.2f\u00d7)", v / row.value[0]);
            std::snprintf(buf, sizeof buf,
                          "<rect x=\"%.1f\" y=\"%.1f\" width=\"%.1f\" height=\"%.1f\" fill=\"%s\">"
                          "<title>%s: %.1f %s</title></rect>\n"
                          "<text x=\"%.1f\" y=\"%.1f\" font-size=\"11\">%s</text>\n",
                          left, by + 1, std::max(1.0, x(v) - left), barHeight - 2, colours[k % 8],
                          xml(runs[k].label).c_str(), v, unit, x(v) + 4, by + barHeight - 3, label.c_str());
            s += buf;
        }
    }
    s += "</svg>\n";
    return s;
}

} // namespace host
