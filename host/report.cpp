// The outputs a run can print on standard output or export, one per format.
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

} // namespace host
