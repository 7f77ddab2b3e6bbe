// Stand-in for the option table that host/options.h is about to export: the
// rows of --help's option list, in its order. Removed once the host has it.
#ifndef CIRCUIT_PACKAGING_OPTION_HELP_STANDIN_H
#define CIRCUIT_PACKAGING_OPTION_HELP_STANDIN_H

#include <string>
#include <vector>

namespace host {

struct OptionHelp {
    std::string name, value, help;
};
std::vector<OptionHelp> optionHelp();

} // namespace host

#endif
