// What both charts draw alike: the document's opening, the axis and its grid
// lines, and text escaped for XML.
#ifndef CIRCUIT_HOST_SVG_H
#define CIRCUIT_HOST_SVG_H

#include <string>

namespace host {

std::string xml(const std::string& s);
// Axis: 1, 2 or 5 times a power of ten per tick, four to ten ticks.
void niceAxis(double longest, double& step, double& axisMax);
// The opening of an SVG document of the given size on a white ground.
std::string svgStart(double width, double height, double fontSize);
// The vertical grid lines and their labels of a bar chart's axis, from 0 to
// axisMax in steps of `step`, over a plot at (left, top).
std::string gridLines(double longest, double step, double axisMax, double left, double plotWidth, double top,
                      double plotHeight);

} // namespace host

#endif // CIRCUIT_HOST_SVG_H
