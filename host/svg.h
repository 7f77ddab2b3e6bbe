// What both charts draw alike: one frame (a plot of rows with their labels
// to its left and a value axis below, linear from 0 or logarithmic over whole
// decades), its palette, the one estimate of a line's width, and text
// escaped for XML. The chart is as wide as the longest line drawn in it.
#ifndef CIRCUIT_HOST_SVG_H
#define CIRCUIT_HOST_SVG_H

#include <string>

namespace host {

std::string xml(const std::string& s);
// The width in pixels that a line of text takes at a font size, estimated
// from its characters (a wide CJK one takes the room of two) at a little
// more than the average advance of the sans-serif faces charts are read in,
// so that a line is never cut at the chart's edge.
double textWidth(const std::string& utf8, double fontSize);
// A logarithmic axis over whole decades from `lo` to `hi` (powers of ten),
// for values that span more than ten times: a bar many times shorter than
// the longest still shows. Where a value sits, as a share of the plot width.
struct LogAxis {
    double lo = 1, hi = 10;
    double fraction(double v) const;
};
LogAxis logAxisFor(double least, double longest);

// The charts' colours: blue, orange, green, red, then four more; grey for
// what is not the entry's own.
const char* paletteColour(size_t k);
constexpr const char* kGrey = "#bbbbbb";

class ChartFrame {
  public:
    static constexpr double kFontSize = 13, kMargin = 20;
    double left = 0, top = 0, plotWidth = 520, plotHeight = 0;

    // The axis for values up to `longest`: logarithmic from `least`'s decade
    // when `log`, else linear from 0.
    void scale(double least, double longest, bool log);
    bool logarithmic() const { return log_; }
    double x(double v) const;
    // The grid lines with their labels, and the axis title under them.
    void grid(const std::string& title);

    // A line of text; `plain` is escaped here. `anchor` is "start", "middle"
    // or "end"; `size` 0 is the chart's font size.
    void text(double x, double y, const std::string& plain, const std::string& attributes = "",
              const char* anchor = "start", double size = 0);
    // Text holding markup (tspans) whose visible characters are `plain`.
    void markup(double x, double y, const std::string& svg, const std::string& plain,
                const std::string& attributes = "", double size = 0);
    // A shape (rect, line, circle) that reaches `right` pixels across.
    void shape(const std::string& svg, double right);

    // The document: as wide as the furthest line drawn, plus the margin.
    std::string document(double height) const;

  private:
    void reach(double right);
    std::string body_;
    double right_ = 0, longest_ = 0, step_ = 1, axisMax_ = 1;
    bool log_ = false;
    LogAxis logAxis_;
};

} // namespace host

#endif // CIRCUIT_HOST_SVG_H
