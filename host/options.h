// The command line: every option checked before any work starts.
#ifndef CIRCUIT_HOST_OPTIONS_H
#define CIRCUIT_HOST_OPTIONS_H

#include <cstdint>
#include <string>
#include <vector>

namespace host {

// The output on standard output.
enum class Format { Table, WideTable, Csv, Json };

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
    std::string name;            // --name: what the run is, for its header and JSON
    std::vector<std::string> compare;  // --compare: saved runs instead of a module
    bool help = false, version = false;
    bool worker = false;         // run one entry for a parent host (its job on stdin)
};

extern const char kUsage[];
// UsageError on anything it cannot use; stops at --help, --version and --worker.
Options parseOptions(const std::vector<std::string>& args);

} // namespace host

#endif // CIRCUIT_HOST_OPTIONS_H
