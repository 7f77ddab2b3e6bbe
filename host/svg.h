// What both charts draw alike: the document's opening, the axis and its grid
// lines, and text escaped for XML.
#ifndef CIRCUIT_HOST_SVG_H
#define CIRCUIT_HOST_SVG_H

#include <string>

namespace host {

std::string xml(const std::string& s);
// The width in pixels that a line of text takes at a font size, estimated
// from its terminal columns (a wide CJK character counts two) at a little
// more than the average advance of the sans-serif faces charts are read in,
// so that a line is never cut at the chart's edge.
double textWidth(const std::string& utf8, double fontSize);
// Axis: 1, 2 or 5 times a power of ten per tick, four to ten ticks.
void niceAxis(double longest, double& step, double& axisMax);
// The opening of an SVG document of the given size on a white ground.
std::string svgStart(double width, double height, double fontSize);
// The vertical grid lines and their labels of a bar chart's axis, from 0 to
// axisMax in steps of `step`, over a plot at (left, top).
std::string gridLines(double longest, double step, double axisMax, double left, double plotWidth, double top,
                      double plotHeight);
// A logarithmic axis over whole decades from `lo` to `hi` (powers of ten),
// for values that span more than ten times: a bar many times shorter than
// the longest still shows. Where a value sits, as a share of the plot width.
struct LogAxis {
    double lo = 1, hi = 10;
    double fraction(double v) const;
};
LogAxis logAxisFor(double least, double longest);
// Its grid lines: one per decade, with 2x and 5x between where few decades.
std::string logGridLines(const LogAxis& axis, double left, double plotWidth, double top, double plotHeight);

} // namespace host

#endif // CIRCUIT_HOST_SVG_H
