// What both charts draw alike.
#include <cmath>
#include <cstdio>

#include "svg.h"

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

static const char* const kSvgFonts = "sans-serif, 'Noto Sans CJK JP', 'IPAGothic', 'Meiryo', 'MS Gothic'";

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

} // namespace host
