// The outputs of a run, one file each, all made from the data in model.h:
// the table (report_table.cpp), CSV (report_csv.cpp), JSON
// (report_json.cpp), the SVG chart (report_chart.cpp), and the comparison of
// saved runs as a table and a chart (report_comparison.cpp). The application
// picks one for standard output and each exported file through reportText.
#ifndef CIRCUIT_HOST_REPORT_H
#define CIRCUIT_HOST_REPORT_H

#include <string>
#include <vector>

#include "model_saved.h"

namespace host {

// How the table is laid out: --wide, --show-outputs, --no-notes.
struct TableStyle {
    bool wide = false;     // with the layout, CPU, minimum, ns and calls
    bool outputs = false;  // each entry's outputs y under the table
    bool notes = true;     // the lines that explain the columns
};
// At most 120 columns for this module's names unless wide.
std::string tableText(const RunInfo& run, const TableStyle& style);
// The same rows as a Markdown table, for pull requests, issues and wikis.
std::string markdownText(const RunInfo& run, const TableStyle& style);
std::string csvText(const RunInfo& run);
std::string resultsJson(const RunInfo& run);
std::string svgChart(const RunInfo& run);

std::string comparisonText(const Comparison& c);
std::string comparisonMarkdown(const Comparison& c);
std::string comparisonCsv(const Comparison& c);
std::string comparisonJson(const Comparison& c);
std::string comparisonSvg(const Comparison& c);
// --fail-if-slower's decision in lines: what it decided, then each entry
// that tripped it and each it could not test (none without the gate).
std::vector<std::string> gateLines(const Comparison& c);
// Why run k's entry in `row` could not be gated.
std::string untestableWhy(const Comparison& c, const ComparedRow& row, size_t k);
// Run k's ratio in a row of --compare and its p-value in words: "change
// p<0.001", "noise p=0.420", "untested", "unstable" (verdictOf decides).
std::string testText(const ComparedRow& row, size_t k);

// The output of a format of the options (on standard output or exported).
enum class Format;
std::string reportText(Format format, const RunInfo& run, const TableStyle& style);
std::string comparisonReport(Format format, const Comparison& c);

} // namespace host

#endif // CIRCUIT_HOST_REPORT_H
