// The host on a console: started without a command line (a double-click on
// Windows), a module named without a folder, and the progress line. On
// Windows these use the console's own interface; elsewhere a terminal's.
#ifndef CIRCUIT_HOST_CONSOLE_H
#define CIRCUIT_HOST_CONSOLE_H

#include <string>
#include <vector>

namespace host {

// The command line to run. On Windows an empty one (a double-click) becomes
// circuit2.dll beside the program, and where the program then has its console
// window to itself, it waits for a key before the window closes. Elsewhere
// (and for any other command line): ARGS.
std::vector<std::string> startArguments(const std::vector<std::string>& args);
// A module named without a folder that is not in the current folder but is
// beside the program (Windows, as LoadLibrary would look): that file.
// Otherwise NAME.
std::string moduleBesideProgram(const std::string& name);
// Draws TEXT (UTF-8, one line that fits) as the progress line on stderr in
// place of the one drawn before; "" clears it.
void drawProgressLine(const std::string& text);

} // namespace host

#endif // CIRCUIT_HOST_CONSOLE_H
