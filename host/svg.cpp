// What both charts draw alike.
#include <algorithm>
#include <cmath>
#include <cstdio>

#include "svg.h"
#include "text.h"

namespace host {

// Text from a module or a saved file may hold bytes that are not UTF-8 and
// control characters, which XML cannot hold at all: both become \xHH, as
// they do in the table (printable).
std::string xml(const std::string& s) {
    std::string out;
    for (char c : printable(s)) {
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

namespace {

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

} // namespace

// Advances in em of the Latin sans-serif faces (DejaVu Sans, the widest of
// them, by classes of characters), 3 % more to be safe; a wide (CJK)
// character is a full em, other characters a little more than a digit.
double textWidth(const std::string& utf8, double fontSize) {
    double em = 0;
    for (size_t i = 0; i < utf8.size();) {
        const unsigned char c = static_cast<unsigned char>(utf8[i]);
        const size_t n = std::max<size_t>(1, std::min(utf8Length(c), utf8.size() - i));
        if (c >= 0x80) em += displayWidth(utf8.substr(i, n)) > 1 ? 1.0 : 0.7;
        else if (c == ' ') em += 0.32;
        else if (std::string("il.,:;'|!`").find(static_cast<char>(c)) != std::string::npos) em += 0.3;
        else if (std::string("fjrt()[]{}/\\-\"").find(static_cast<char>(c)) != std::string::npos) em += 0.45;
        else if (std::string("mwMW%@").find(static_cast<char>(c)) != std::string::npos) em += 1.0;
        else if (c >= 'A' && c <= 'Z') em += 0.75;
        else if (c >= 'a' && c <= 'z') em += 0.6;
        else em += 0.64;
        i += n;
    }
    return em * fontSize * 1.03;
}

double LogAxis::fraction(double v) const {
    if (!(v > lo)) return 0;
    return std::min(1.0, std::log10(v / lo) / std::log10(hi / lo));
}

LogAxis logAxisFor(double least, double longest) {
    LogAxis a;
    if (!(least > 0) || !(longest >= least)) return a;
    a.lo = std::pow(10.0, std::floor(std::log10(least)));
    a.hi = std::pow(10.0, std::ceil(std::log10(longest)));
    if (a.hi <= a.lo) a.hi = a.lo * 10;
    return a;
}

const char* paletteColour(size_t k) {
    static const char* const kPalette[] = {"#4e79a7", "#f28e2b", "#59a14f", "#e15759",
                                           "#76b7b2", "#edc948", "#b07aa1", "#9c755f"};
    return kPalette[k % 8];
}

void ChartFrame::scale(double least, double longest, bool log) {
    longest_ = longest;
    log_ = log && least > 0;
    if (log_) logAxis_ = logAxisFor(least, longest);
    niceAxis(longest, step_, axisMax_);
}

double ChartFrame::x(double v) const {
    return left + plotWidth * (log_ ? logAxis_.fraction(v) : v / axisMax_);
}

void ChartFrame::grid(const std::string& title) {
    auto line = [&](double v) {
        const double at = x(v);
        std::string s;
        appendf(s, "<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\" stroke=\"#ddd\"/>", at, top - 4, at,
                top + plotHeight);
        shape(s, at);
        text(at, top + plotHeight + 18, format("%g", v), "fill=\"#333\"", "middle");
    };
    if (log_) {
        const int decades = static_cast<int>(std::lround(std::log10(logAxis_.hi / logAxis_.lo)));
        const int every = decades > 12 ? (decades + 11) / 12 : 1; // at most a dozen labelled lines
        for (int d = 0; d <= decades; d += every)
            for (double m : {1.0, 2.0, 5.0})
                if (m == 1 || (decades <= 3 && d < decades)) line(logAxis_.lo * std::pow(10.0, d) * m);
    } else {
        for (double v = 0; v <= axisMax_ * (1 + 1e-9) && longest_ > 0; v += step_) line(v);
    }
    std::string base;
    appendf(base, "<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\" stroke=\"#333\"/>", left, top + plotHeight,
            left + plotWidth, top + plotHeight);
    shape(base, left + plotWidth);
    text(left + plotWidth / 2, top + plotHeight + 42, title, "", "middle");
}

void ChartFrame::reach(double right) { right_ = std::max(right_, right); }

void ChartFrame::text(double x, double y, const std::string& plain, const std::string& attributes,
                      const char* anchor, double size) {
    markup(x, y, xml(plain), plain,
           (std::string(anchor) == "start" ? "" : std::string("text-anchor=\"") + anchor + "\" ") + attributes, size);
}

void ChartFrame::markup(double x, double y, const std::string& svg, const std::string& plain,
                        const std::string& attributes, double size) {
    const double fontSize = size > 0 ? size : kFontSize;
    const bool bold = attributes.find("bold") != std::string::npos;
    const double width = textWidth(plain, fontSize) * (bold ? 1.08 : 1);
    const bool end = attributes.find("text-anchor=\"end\"") != std::string::npos;
    const bool middle = attributes.find("text-anchor=\"middle\"") != std::string::npos;
    reach(end ? x : middle ? x + width / 2 : x + width);
    appendf(body_, "<text x=\"%.1f\" y=\"%.1f\"", x, y);
    if (size > 0) appendf(body_, " font-size=\"%g\"", size);
    body_ += (attributes.empty() ? "" : " " + attributes) + ">" + svg + "</text>\n";
}

void ChartFrame::shape(const std::string& svg, double right) {
    reach(right);
    body_ += svg + "\n";
}

// Latin faces first, so that Latin text is drawn in one of them; the faces
// after them hold the Japanese entry names, which a renderer takes from the
// first face that has the glyphs (Debian: fonts-noto-cjk, fonts-ipafont-gothic).
static const char* const kSvgFonts = "'DejaVu Sans', 'Noto Sans', 'Liberation Sans', Arial, 'Noto Sans CJK JP', "
                                     "'IPAGothic', 'IPAexGothic', 'Meiryo', 'MS Gothic', sans-serif";

std::string ChartFrame::document(double height) const {
    const double width = std::ceil(right_ + kMargin);
    char buf[512];
    std::snprintf(buf, sizeof buf,
                  "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                  "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%.0f\" height=\"%.0f\" "
                  "viewBox=\"0 0 %.0f %.0f\" font-family=\"%s\" font-size=\"%.0f\">\n"
                  "<rect width=\"100%%\" height=\"100%%\" fill=\"white\"/>\n",
                  width, height, width, height, kSvgFonts, kFontSize);
    return buf + body_ + "</svg>\n";
}

} // namespace host
