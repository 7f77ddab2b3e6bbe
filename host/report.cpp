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

std::string processorText(const Processor& cpu) {
    if (!cpu.x86) return "no x86 processor identification (CPUID): no entry is known to run";
    std::string has, lacks;
    auto add = [](std::string& s, const char* t) { s += s.empty() ? t : std::string(" ") + t; };
    add(cpu.fpu ? has : lacks, "FPU");
    add(cpu.mmx ? has : lacks, "MMX");
    add(cpu.sse ? has : lacks, "SSE");
    add(cpu.amd3dnow ? has : lacks, "3DNow!");
    std::string s = cpu.vendor + ": " + (has.empty() ? "none" : has);
    if (!lacks.empty()) s += "; lacks " + lacks;
    s += cpu.tsc ? "; time-stamp counter" : "; no time-stamp counter";
    return s;
}

std::string problemText(const ProblemSource& p) {
    if (p.fromFile) return "from " + p.path;
    return "random, seed " + std::to_string(p.seed) + " (repeat with --seed " +
           std::to_string(p.seed) + ")";
}

std::string jsonString(const std::string& s) {
    std::string out = "\"";
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\u%04X", c);
            out += esc;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

std::string jsonNumber(double v) {
    if (!std::isfinite(v)) return "null";
    char text[40];
    std::snprintf(text, sizeof text, "%.9g", v);
    return text;
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

} // namespace

std::string statusText(Status s) {
    switch (s) {
    case Status::Ok: return "ok";
    case Status::Failed: return "FAILED";
    case Status::Skipped: return "skipped";
    case Status::Unchecked: return "unchecked";
    }
    return "?";
}

void printTable(const RunInfo& run, std::FILE* out) {
    std::fprintf(out, "Module     %s\n", run.module.path.c_str());
    std::fprintf(out, "Circuit    %d (y = M x: 18 x 36 single-precision matrix, 36 inputs)\n",
                 run.module.circuit);
    std::fprintf(out, "Creator    %s\n", run.creator.c_str());
    std::fprintf(out, "Entries    %u\n", static_cast<unsigned>(run.entries.size()));
    std::fprintf(out, "Processor  %s\n", processorText(run.cpu).c_str());
    std::fprintf(out, "Problem    %s\n", problemText(run.problem).c_str());
    if (run.trials > 0)
        std::fprintf(out, "Timing     %g ms per entry, %d trials; times per repetition (%d multiply-adds)\n",
                     run.timePerEntryMs, run.trials, kMacs);
    else
        std::fprintf(out, "Timing     none (--check-only)\n");
    std::fprintf(out, "\n");

    const char* heads[] = {"#",     "Name",      "Flags",     "Layout",     "CPU",      "Check",
                           "Error/bound", "Min ns", "Median ns", "Cycles", "M MAC/s", "Speed"};
    const int columns = 12;
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
        r.push_back(statusText(e.status) + ((e.status == Status::Failed || e.status == Status::Unchecked ||
                                             (e.status == Status::Skipped && e.selected)) ? "*" : ""));
        r.push_back(e.ran && !e.check.unchecked && std::isfinite(e.check.worstRatio)
                        ? format("%.3f", e.check.worstRatio)
                        : "-");
        const Timing& t = e.timing;
        r.push_back(t.done ? format("%.1f", t.minNs) : "-");
        r.push_back(t.done ? format("%.1f", t.medianNs) : "-");
        r.push_back(t.done && run.cpu.tsc ? format("%.0f", t.medianCycles) : "-");
        r.push_back(t.done ? format("%.1f", megaMacs(t)) : "-");
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
        if (e.reason.empty() || !e.selected) continue;
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
    if (run.trials > 0)
        std::fprintf(out, "Times are per repetition: minimum and median of %d calls; Cycles in time-stamp\n"
                          "counter ticks; Speed relative to the fastest entry.\n", run.trials);
    if (run.failed) std::fprintf(out, "%d %s FAILED.\n", run.failed, run.failed == 1 ? "entry" : "entries");
}

void printCsv(const RunInfo& run, std::FILE* out) {
    std::fprintf(out, "index,name,flags,layout,arithmetic,runnable,ran,status,reason,error,bound,"
                      "error_per_bound,count,min_ns,median_ns,min_cycles,median_cycles,mmac_per_s,relative\n");
    for (const EntryResult& e : run.entries) {
        const Timing& t = e.timing;
        const bool checked = e.ran && !e.check.unchecked;
        std::fprintf(out, "%d,%s,0x%03X,%s,%s,%d,%d,%s,%s,%s,%s,%s,%s,%s,%s,%s,%s,%s,%s\n", e.index,
                     csvField(e.name).c_str(), static_cast<unsigned>(e.record.flags),
                     layoutName(e.record.flags).c_str(), arithmeticName(arithmeticOf(e.record.flags)),
                     e.runnable ? 1 : 0, e.ran ? 1 : 0, statusText(e.status).c_str(), csvField(e.reason).c_str(),
                     checked ? csvNumber(e.check.maxError).c_str() : "",
                     checked ? csvNumber(e.check.bound).c_str() : "",
                     checked ? csvNumber(e.check.worstRatio).c_str() : "",
                     t.done ? std::to_string(t.count).c_str() : "", t.done ? jsonNumber(t.minNs).c_str() : "",
                     t.done ? jsonNumber(t.medianNs).c_str() : "",
                     t.done && run.cpu.tsc ? jsonNumber(t.minCycles).c_str() : "",
                     t.done && run.cpu.tsc ? jsonNumber(t.medianCycles).c_str() : "",
                     t.done ? jsonNumber(megaMacs(t)).c_str() : "", t.done ? jsonNumber(t.relative).c_str() : "");
    }
}

void printJson(const RunInfo& run, std::FILE* out) {
    std::string s = "{\n";
    s += "  \"module\": " + jsonString(run.module.path) + ",\n";
    s += "  \"circuit\": " + std::to_string(run.module.circuit) + ",\n";
    s += "  \"creator\": " + jsonString(run.creator) + ",\n";
    s += "  \"creator_sjis_hex\": " + jsonString(hexBytes(run.module.creator)) + ",\n";
    s += "  \"entry_count\": " + std::to_string(run.entries.size()) + ",\n";
    const Processor& c = run.cpu;
    auto b = [](bool v) { return std::string(v ? "true" : "false"); };
    s += "  \"processor\": {\"cpuid\": " + b(c.x86) + ", \"vendor\": " + jsonString(c.vendor) +
         ", \"fpu\": " + b(c.fpu) + ", \"mmx\": " + b(c.mmx) + ", \"sse\": " + b(c.sse) +
         ", \"3dnow\": " + b(c.amd3dnow) + ", \"tsc\": " + b(c.tsc) + "},\n";
    s += "  \"problem\": {\"source\": " + jsonString(run.problem.fromFile ? "file" : "random");
    if (run.problem.fromFile)
        s += ", \"file\": " + jsonString(run.problem.path);
    else
        s += ", \"seed\": " + std::to_string(run.problem.seed);
    s += "},\n";
    s += "  \"timing\": {\"time_per_entry_ms\": " + jsonNumber(run.timePerEntryMs) +
         ", \"trials\": " + std::to_string(run.trials) + ", \"multiply_adds_per_repetition\": " +
         std::to_string(kMacs) + "},\n";
    s += "  \"all\": " + b(run.all) + ",\n";
    s += "  \"failed\": " + std::to_string(run.failed) + ",\n";
    s += "  \"entries\": [";
    for (size_t k = 0; k < run.entries.size(); ++k) {
        const EntryResult& e = run.entries[k];
        const Timing& t = e.timing;
        const bool checked = e.ran && !e.check.unchecked;
        auto num = [](bool have, double v) { return have ? jsonNumber(v) : std::string("null"); };
        s += k ? ",\n    {" : "\n    {";
        s += "\"index\": " + std::to_string(e.index);
        s += ", \"name\": " + jsonString(e.name);
        s += ", \"name_converted\": " + b(e.nameConverted);
        s += ", \"name_sjis_hex\": " +
             jsonString(hexBytes(std::string(e.record.name, e.nameTerminated ? std::strlen(e.record.name)
                                                                            : ENTRY_NAME_BYTES)));
        s += ", \"flags\": " + std::to_string(e.record.flags);
        s += ", \"flags_text\": " + jsonString(flagsText(e.record.flags));
        s += ", \"layout\": " + jsonString(layoutName(e.record.flags));
        s += ", \"arithmetic\": " + jsonString(arithmeticName(arithmeticOf(e.record.flags)));
        s += ", \"runnable\": " + b(e.runnable);
        s += ", \"missing\": " + jsonString(e.missing);
        s += ", \"ran\": " + b(e.ran);
        s += ", \"status\": " + jsonString(e.status == Status::Failed ? "failed" : statusText(e.status));
        s += ", \"reason\": " + jsonString(e.reason);
        s += ", \"error\": " + num(checked, e.check.maxError);
        s += ", \"bound\": " + num(checked, e.check.bound);
        s += ", \"error_per_bound\": " + num(checked, e.check.worstRatio);
        s += ", \"output\": ";
        if (e.ran) {
            s += "[";
            for (int i = 0; i < OUTPUT_COUNT; ++i) s += (i ? ", " : "") + jsonNumber(e.check.y[i]);
            s += "]";
        } else {
            s += "null";
        }
        s += ", \"count\": " + (t.done ? std::to_string(t.count) : std::string("null"));
        s += ", \"min_ns\": " + num(t.done, t.minNs);
        s += ", \"median_ns\": " + num(t.done, t.medianNs);
        s += ", \"min_cycles\": " + num(t.done && c.tsc, t.minCycles);
        s += ", \"median_cycles\": " + num(t.done && c.tsc, t.medianCycles);
        s += ", \"mmac_per_s\": " + num(t.done, megaMacs(t));
        s += ", \"relative\": " + num(t.done, t.relative);
        s += "}";
    }
    s += "\n  ]\n}\n";
    std::fputs(s.c_str(), out);
}

std::string svgChart(const RunInfo& run) {
    // Label widths estimated from terminal columns: a wide (CJK) character
    // takes about twice the room of a Latin one at this font size.
    const double fontSize = 13, column = 7.4;
    int labelColumns = 0;
    double longest = 0;
    for (const EntryResult& e : run.entries) {
        labelColumns = std::max(labelColumns, displayWidth(std::to_string(e.index) + "  " + e.name));
        if (e.timing.done) longest = std::max(longest, e.timing.medianNs);
    }
    const double left = 20 + labelColumns * column, plotWidth = 520, right = 150;
    const double top = 64, rowHeight = 26;
    const double plotHeight = rowHeight * static_cast<double>(run.entries.size());
    const double width = left + plotWidth + right, height = top + plotHeight + 70;

    // Axis: 1, 2 or 5 times a power of ten per tick, four to ten ticks.
    double step = 1, axisMax = 1;
    if (longest > 0) {
        const double raw = longest / 5;
        const double power = std::pow(10.0, std::floor(std::log10(raw)));
        for (double m : {1.0, 2.0, 5.0, 10.0}) {
            step = m * power;
            if (step >= raw) break;
        }
        axisMax = std::ceil(longest / step) * step;
    }
    auto x = [&](double ns) { return left + plotWidth * ns / axisMax; };

    std::string s;
    char buf[512];
    std::snprintf(buf, sizeof buf,
                  "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                  "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%.0f\" height=\"%.0f\" "
                  "viewBox=\"0 0 %.0f %.0f\" font-family=\"sans-serif, 'Noto Sans CJK JP', 'IPAGothic', 'Meiryo', 'MS Gothic'\" font-size=\"%.0f\">\n"
                  "<rect width=\"100%%\" height=\"100%%\" fill=\"white\"/>\n",
                  width, height, width, height, fontSize);
    s += buf;
    s += "<text x=\"20\" y=\"26\" font-size=\"16\" font-weight=\"bold\">Circuit " +
         std::to_string(run.module.circuit) + ": time per repetition of each entry (" +
         std::to_string(kMacs) + " multiply-adds)</text>\n";
    s += "<text x=\"20\" y=\"46\" fill=\"#555\">" + xml(run.creator) + " · " + xml(processorText(run.cpu)) +
         " · median of " + std::to_string(run.trials) + " trials, shorter is faster</text>\n";

    for (double v = 0; v <= axisMax * (1 + 1e-9) && longest > 0; v += step) {
        std::snprintf(buf, sizeof buf,
                      "<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\" stroke=\"#ddd\"/>\n"
                      "<text x=\"%.1f\" y=\"%.1f\" text-anchor=\"middle\" fill=\"#333\">%g</text>\n",
                      x(v), top - 4, x(v), top + plotHeight, x(v), top + plotHeight + 18, v);
        s += buf;
    }
    std::snprintf(buf, sizeof buf,
                  "<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\" stroke=\"#333\"/>\n"
                  "<text x=\"%.1f\" y=\"%.1f\" text-anchor=\"middle\">time per repetition (ns)</text>\n",
                  left, top + plotHeight, left + plotWidth, top + plotHeight, left + plotWidth / 2,
                  top + plotHeight + 42);
    s += buf;

    for (size_t k = 0; k < run.entries.size(); ++k) {
        const EntryResult& e = run.entries[k];
        const double y = top + rowHeight * static_cast<double>(k);
        std::snprintf(buf, sizeof buf, "<text x=\"%.1f\" y=\"%.1f\" text-anchor=\"end\">", left - 8,
                      y + rowHeight / 2 + 4.5);
        s += buf + xml(std::to_string(e.index) + "  " + e.name) + "</text>\n";
        if (e.timing.done) {
            const Timing& t = e.timing;
            const char* colour = (e.record.flags & ENTRY_SSE)     ? "#4e79a7"
                                 : (e.record.flags & ENTRY_3DNOW) ? "#59a14f"
                                 : (e.record.flags & ENTRY_MMX)   ? "#e15759"
                                                                : "#f28e2b";
            std::snprintf(buf, sizeof buf,
                          "<rect x=\"%.1f\" y=\"%.1f\" width=\"%.1f\" height=\"%.1f\" fill=\"%s\">"
                          "<title>median %.1f ns, minimum %.1f ns</title></rect>\n"
                          "<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\" stroke=\"black\"/>\n"
                          "<text x=\"%.1f\" y=\"%.1f\">%.1f ns</text>\n",
                          left, y + 4, std::max(1.0, x(t.medianNs) - left), rowHeight - 8, colour, t.medianNs,
                          t.minNs, x(t.minNs), y + 2, x(t.minNs), y + rowHeight - 2, x(t.medianNs) + 6,
                          y + rowHeight / 2 + 4.5, t.medianNs);
            s += buf;
        } else {
            std::string why = e.status == Status::Failed ? "failed: " + e.reason
                              : e.ran                    ? "not timed"
                                                         : "not run: " + e.reason;
            std::snprintf(buf, sizeof buf, "<text x=\"%.1f\" y=\"%.1f\" fill=\"#888\" font-style=\"italic\">",
                          left + 6, y + rowHeight / 2 + 4.5);
            s += buf + xml(why) + "</text>\n";
        }
    }
    std::snprintf(buf, sizeof buf,
                  "<text x=\"20\" y=\"%.1f\" fill=\"#555\">Bars: median; black tick: minimum. "
                  "Orange x87, red MMX fixed point, green 3DNow!, blue SSE.</text>\n",
                  height - 8);
    s += buf;
    s += "</svg>\n";
    return s;
}

} // namespace host
