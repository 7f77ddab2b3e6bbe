// The outputs a run or a comparison can print on standard output or export,
// one per format.
#include "options.h"
#include "report.h"

namespace host {

std::string reportText(Format format, const RunInfo& run, const TableStyle& style) {
    TableStyle wide = style;
    wide.wide = true;
    switch (format) {
    case Format::WideTable: return tableText(run, wide);
    case Format::Csv: return csvText(run);
    case Format::Json: return resultsJson(run);
    case Format::Markdown: return markdownText(run, style);
    default: return tableText(run, style);
    }
}

std::string comparisonReport(Format format, const Comparison& c) {
    switch (format) {
    case Format::Csv: return comparisonCsv(c);
    case Format::Json: return comparisonJson(c);
    case Format::Markdown: return comparisonMarkdown(c);
    default: return comparisonText(c);
    }
}

} // namespace host
