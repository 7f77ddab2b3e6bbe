// The outputs of a run, one file each, all made from the data in model.h:
// the table (report_table.cpp), CSV (report_csv.cpp), JSON
// (report_json.cpp), the SVG chart (report_chart.cpp), and the comparison of
// saved runs as a table and a chart (report_comparison.cpp). The application
// picks one for standard output through reportFor.
#ifndef CIRCUIT_HOST_REPORT_H
#define CIRCUIT_HOST_REPORT_H

#include <string>

#include "model_saved.h"

namespace host {

std::string tableText(const RunInfo& run);     // at most 120 columns for this module's names
std::string wideTableText(const RunInfo& run); // with the layout, CPU, minimum, ns and calls
std::string csvText(const RunInfo& run);
std::string resultsJson(const RunInfo& run);
std::string svgChart(const RunInfo& run);

std::string comparisonText(const Comparison& c);
std::string comparisonSvg(const Comparison& c);
// Run k's ratio in a row of --compare and its p-value in words: "change
// p<0.001", "noise p=0.420", "untested", "unstable" (verdictOf decides).
std::string testText(const ComparedRow& row, size_t k);

// The output printed on standard output for a format of the options.
enum class Format;
using RunReport = std::string (*)(const RunInfo& run);
RunReport reportFor(Format format);

} // namespace host

#endif // CIRCUIT_HOST_REPORT_H
