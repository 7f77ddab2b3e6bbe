// The application: the steps of a run, from the command line to the report.
#ifndef CIRCUIT_HOST_APP_H
#define CIRCUIT_HOST_APP_H

#include <string>
#include <vector>

namespace host {

// Everything the host does for one command line; returns the exit status.
// Throws UsageError for a command line it cannot use, Fatal for the rest.
int run(const std::vector<std::string>& args);

} // namespace host

#endif // CIRCUIT_HOST_APP_H
