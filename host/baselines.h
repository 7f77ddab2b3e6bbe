// Named baselines: runs that --save-baseline NAME keeps in one folder, for
// --compare NAME to read back beside files.
#ifndef CIRCUIT_HOST_BASELINES_H
#define CIRCUIT_HOST_BASELINES_H

#include <string>

namespace host {

// $XDG_DATA_HOME/circuit-host/baselines (an absolute XDG_DATA_HOME), else
// $HOME/.local/share/circuit-host/baselines; on Windows
// %LOCALAPPDATA%\circuit-host\baselines. Fatal when none of them is set.
std::string baselineFolder();
// The file of baseline `name` (NAME.json in the folder), the folder created
// when `create`; UsageError for a name that is not one: 1 to 64 letters,
// digits, '.', '-' and '_', not starting with '.' or '-'.
std::string baselinePath(const std::string& name, bool create);
// A results file of --compare: `arg` as it is when such a file exists (or it
// cannot be a baseline's name), else the baseline of that name; Fatal when
// there is none.
std::string savedRunPath(const std::string& arg);

} // namespace host

#endif // CIRCUIT_HOST_BASELINES_H
