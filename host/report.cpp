// The outputs a run can print on standard output, one per format.
#include "options.h"
#include "report.h"

namespace host {

RunReport reportFor(Format format) {
    static const struct {
        Format format;
        RunReport report;
    } kReports[] = {{Format::Table, tableText}, {Format::WideTable, wideTableText}, {Format::Csv, csvText}, {Format::Json, resultsJson}};
    for (const auto& r : kReports)
        if (r.format == format) return r.report;
    return tableText;
}

} // namespace host
