// circuit-host: the benchmark host. Loads a circuit-2 module, shows its
// entries, and checks and times each one it runs in a process of its own.
// main turns the command line into one call of the application (app.h) and
// its errors into a message and exit status 2.
#include <cstdio>
#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#endif

#include "app.h"
#include "errors.h"
#include "files.h"
#include "signals.h"

namespace {

std::vector<std::string> arguments(int argc, char** argv) {
    std::vector<std::string> args;
#ifdef _WIN32
    // The wide command line: every path, not only those of the ANSI code page.
    (void)argc;
    (void)argv;
    int wideCount = 0;
    wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &wideCount);
    for (int i = 1; wide != nullptr && i < wideCount; ++i) args.push_back(host::utf8Text(wide[i]));
    if (wide != nullptr) LocalFree(wide);
#else
    args.assign(argv + 1, argv + argc);
#endif
    return args;
}

} // namespace

int main(int argc, char** argv) {
#ifdef _WIN32
    SetConsoleOutputCP(CP_UTF8); // the names are printed as UTF-8
#endif
    host::openMissingStandardFiles();
    try {
        return host::run(arguments(argc, argv));
    } catch (const host::UsageError& e) {
        host::leaveModule(); // the host's own failure, not the module ending it
        std::fprintf(stderr, "circuit-host: %s\nTry 'circuit-host --help'.\n", e.what());
        return 2;
    } catch (const std::exception& e) {
        host::leaveModule();
        std::fprintf(stderr, "circuit-host: %s\n", e.what());
        return 2;
    }
}
