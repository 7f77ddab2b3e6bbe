// The host on a terminal: the command line as given, and the progress line
// redrawn with a carriage return and "erase to the end of the line".
#include <cstdio>

#include "console.h"

namespace host {

std::vector<std::string> startArguments(const std::vector<std::string>& args) { return args; }

std::string moduleBesideProgram(const std::string& name) { return name; }

void drawProgressLine(const std::string& text) {
    std::fprintf(stderr, "\r\033[K%s", text.c_str());
    std::fflush(stderr);
}

} // namespace host
