// The command line: every option checked before any work starts.
#ifndef CIRCUIT_HOST_OPTIONS_H
#define CIRCUIT_HOST_OPTIONS_H

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

namespace host {

// The output on standard output, or in a file (--export-*).
enum class Format { Table, WideTable, Csv, Json, Markdown };

// A file the results are also written to.
struct Export {
    Format format;
    std::string option, path;   // "--export-json", the file
};

struct Options {
    std::string module;
    bool all = false;
    std::vector<bool> entries;   // empty: all
    bool haveSeed = false;
    uint64_t seed = 0;
    std::string problem;
    double timePerEntryMs = 100;
    int trials = 400; // calls of 250 us by default: short enough that the core clock rarely moves during one
    double timeoutSeconds = 60;
    int rounds = 5;              // --rounds: rounds each entry is timed in (rounds.cpp)
    bool checkOnly = false;
    Format format = Format::Table;
    std::string svg;
    std::vector<Export> exports;
    bool showOutputs = false;    // the table lists each entry's outputs y
    bool notes = true;           // the table explains its columns (--no-notes: not)
    std::string name;            // --name: what the run is, for its header and JSON
    std::vector<std::string> compare;  // --compare: saved runs instead of a module
    std::string saveBaseline;    // --save-baseline NAME: the run's JSON kept as that baseline (baselines.h)
    double failIfSlower = NAN;   // --fail-if-slower PCT: the gate of --compare; NaN: none
    bool help = false, version = false;
    bool worker = false;         // run one entry for a parent host (its job on stdin)
};

// One option as --help and the manual page list it: its name, the name of
// its value ("" for a flag) and what it does, in one paragraph.
struct OptionHelp {
    std::string name, value, help;
};
// Every option a user may give, in --help's order (one table feeds both the
// parser and these rows).
std::vector<OptionHelp> optionHelp();
// The text --help prints.
std::string usageText();
// UsageError on anything it cannot use; stops at --help, --version and --worker.
Options parseOptions(const std::vector<std::string>& args);

} // namespace host

#endif // CIRCUIT_HOST_OPTIONS_H
