// Named baselines in the user's data folder (baselines.h).
#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "baselines.h"
#include "errors.h"
#include "files.h"
#include "text.h"

namespace host {

namespace {

namespace fs = std::filesystem;

bool isBaselineName(const std::string& name) {
    const bool chars = name.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789._-") ==
                       std::string::npos;
    return chars && !name.empty() && name.size() <= 64 && name[0] != '.' && name[0] != '-';
}

std::string environment(const char* name) {
#ifdef _WIN32
    const std::wstring wide(name, name + std::char_traits<char>::length(name));
    const wchar_t* v = _wgetenv(wide.c_str());
    return v ? utf8Text(v) : "";
#else
    const char* v = std::getenv(name);
    return v ? v : "";
#endif
}

} // namespace

std::string baselineFolder() {
#ifdef _WIN32
    const std::string local = environment("LOCALAPPDATA");
    if (local.empty()) throw Fatal("no folder for baselines: LOCALAPPDATA is not set");
    return local + "\\circuit-host\\baselines";
#else
    const std::string xdg = environment("XDG_DATA_HOME"), home = environment("HOME");
    if (!xdg.empty() && xdg[0] == '/') return xdg + "/circuit-host/baselines";
    if (home.empty()) throw Fatal("no folder for baselines: neither XDG_DATA_HOME nor HOME is set");
    return home + "/.local/share/circuit-host/baselines";
#endif
}

std::string baselinePath(const std::string& name, bool create) {
    if (!isBaselineName(name))
        throw UsageError("'" + printable(name) +
                         "' is no baseline name: 1 to 64 letters, digits, '.', '-' and '_', not starting with '.' or '-'");
    const std::string folder = baselineFolder();
    std::error_code error;
    if (create) fs::create_directories(fs::u8path(folder), error);
    if (error) throw Fatal("cannot create the baselines folder " + printable(folder) + ": " + error.message());
#ifdef _WIN32
    return folder + "\\" + name + ".json";
#else
    return folder + "/" + name + ".json";
#endif
}

std::string savedRunPath(const std::string& arg) {
    std::error_code error;
    if (arg == "-" || !isBaselineName(arg) || fs::exists(fs::u8path(arg), error)) return arg;
    const std::string path = baselinePath(arg, false);
    if (!fs::exists(fs::u8path(path), error))
        throw Fatal("no results file or baseline " + arg + " (--save-baseline " + arg + " saves one in " +
                    printable(baselineFolder()) + ")");
    return path;
}

} // namespace host
