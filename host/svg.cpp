// What both charts draw alike.
#include <algorithm>
#include <cmath>
#include <cstdio>

#include "svg.h"
#include "text.h"

namespace host {

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

double textWidth(const std::string& utf8, double fontSize) { return displayWidth(utf8) * fontSize * 0.62; }

// Faces that hold the Japanese entry names come first: a renderer that takes
// the first face it has for the whole text (rsvg, many converters) would
// otherwise draw those names as empty boxes with a Latin-only sans-serif.
// Debian's fonts-noto-cjk gives the first, fonts-ipafont-gothic the second.
static const char* const kSvgFonts =
    "'Noto Sans CJK JP', 'IPAGothic', 'IPAexGothic', 'Meiryo', 'MS Gothic', 'DejaVu Sans', sans-serif";

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

// One vertical grid line at x and its label, the value v.
static std::string gridLine(double x, double top, double plotHeight, double v) {
    char buf[256];
    std::snprintf(buf, sizeof buf,
                  "<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\" stroke=\"#ddd\"/>\n"
                  "<text x=\"%.1f\" y=\"%.1f\" text-anchor=\"middle\" fill=\"#333\">%g</text>\n",
                  x, top - 4, x, top + plotHeight, x, top + plotHeight + 18, v);
    return buf;
}

std::string gridLines(double longest, double step, double axisMax, double left, double plotWidth, double top,
                      double plotHeight) {
    std::string s;
    for (double v = 0; v <= axisMax * (1 + 1e-9) && longest > 0; v += step)
        s += gridLine(left + plotWidth * v / axisMax, top, plotHeight, v);
    return s;
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

std::string logGridLines(const LogAxis& axis, double left, double plotWidth, double top, double plotHeight) {
    std::string s;
    const int decades = static_cast<int>(std::lround(std::log10(axis.hi / axis.lo)));
    const int every = decades > 12 ? (decades + 11) / 12 : 1; // at most a dozen labelled lines
    for (int d = 0; d <= decades; d += every) {
        for (double m : {1.0, 2.0, 5.0}) {
            if (m > 1 && (decades > 3 || d == decades)) continue;
            const double v = axis.lo * std::pow(10.0, d) * m;
            s += gridLine(left + plotWidth * axis.fraction(v), top, plotHeight, v);
        }
    }
    return s;
}

} // namespace host
