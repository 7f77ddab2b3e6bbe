// Saved runs: reading back the JSON a run wrote (report_json.cpp), for
// --compare; and lining several of them up by entry index.
#ifndef CIRCUIT_HOST_SAVED_H
#define CIRCUIT_HOST_SAVED_H

#include <string>
#include <vector>

#include "model_saved.h"

namespace host {

// Reads a results file; Fatal with a clear message for anything else.
SavedRun readSavedRun(const std::string& path);
SavedRun parseSavedRun(const std::string& text, const std::string& path);

// The runs side by side: one row per entry index that any run has.
Comparison compareSaved(const std::vector<SavedRun>& runs);

} // namespace host

#endif // CIRCUIT_HOST_SAVED_H
