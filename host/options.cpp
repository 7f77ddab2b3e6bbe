// The command line: every option checked before any work starts, and the
// usage text.
#include <cerrno>
#include <cstdlib>

#include "host.h"

namespace host {

const char kUsage[] =
    "Usage: circuit-host [options] MODULE\n"
    "       circuit-host --compare RUN.json [RUN.json ...] [--svg FILE]\n"
    "\n"
    "Loads the circuit-2 module MODULE (a shared library or DLL), shows its circuit,\n"
    "creator and entries, checks the output of every entry it runs against the exact\n"
    "product, and times each entry. By default only the entries whose extensions\n"
    "this processor has are run. Each entry runs in a process of its own, so an\n"
    "entry that crashes or hangs marks only itself.\n"
    "\n"
    "Options:\n"
    "  --all                 run every entry, also those the processor lacks extensions for\n"
    "  --entries LIST        run only these entries, e.g. 0,2,5-7\n"
    "  --seed N              seed of the random problem (printed when chosen at random)\n"
    "  --problem FILE        read the problem from FILE instead: 648 coefficients M[0][0]\n"
    "                        .. M[17][35] row by row, then 36 inputs x[0] .. x[35], as\n"
    "                        whitespace-separated decimal numbers; '#' starts a comment\n"
    "  --time-per-entry MS   time spent timing each entry (default 100)\n"
    "  --trials N            timed calls per entry; the count of one call is chosen so\n"
    "                        that it lasts MS/N milliseconds (default 400)\n"
    "  --timeout SECONDS     an entry still running after this long is stopped and\n"
    "                        reported as timed out (default 60)\n"
    "  --check-only          check the entries, do not time them\n"
    "  --csv                 print CSV instead of the table\n"
    "  --json                print JSON instead of the table (docs/results-schema.md);\n"
    "                        save it to compare runs later\n"
    "  --svg FILE            also write a bar chart of the times per repetition to FILE\n"
    "  --compare RUN.json... print saved runs side by side (median core clocks per\n"
    "                        repetition and the ratio to the first run); with --svg,\n"
    "                        also draw them as a grouped bar chart\n"
    "  --version             print the host's version\n"
    "  --help                print this text\n"
    "  --                    what follows is the module, even if it starts with '-'\n"
    "\n"
    "Numbers are decimal. Exit status: 0 when every entry run passed its check, 1 when\n"
    "one failed, crashed or timed out, 2 for bad options, unreadable files or a module\n"
    "this host cannot use, 3 when the module stopped the program while it was loaded\n"
    "or asked what it serves.\n";

namespace {

uint64_t parseUnsigned(const std::string& option, const std::string& text, uint64_t max) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos)
        throw Fatal(option + " needs a whole number, not '" + text + "'");
    errno = 0;
    unsigned long long v = std::strtoull(text.c_str(), nullptr, 10);
    if (errno == ERANGE || v > max)
        throw Fatal(option + " " + text + " is too large (at most " + std::to_string(max) + ")");
    return v;
}

// A decimal number above 0 and at most `max`: digits with at most one point,
// nothing else (no sign, exponent, hex or "inf"), as for every other option.
double parsePositive(const std::string& option, const std::string& text, double max, const char* unit) {
    const bool digits = !text.empty() && text.find_first_not_of("0123456789.") == std::string::npos &&
                        text.find('.') == text.rfind('.') && text != ".";
    const double v = digits ? std::strtod(text.c_str(), nullptr) : 0;
    if (!(v > 0) || v > max) {
        char limit[32];
        std::snprintf(limit, sizeof limit, "%g", max);
        throw Fatal(option + " needs " + unit + " above 0 (at most " + limit + "), not '" + text + "'");
    }
    return v;
}

std::vector<bool> parseEntries(const std::string& text) {
    std::vector<bool> chosen(kMaxEntries, false);
    size_t i = 0;
    while (i <= text.size()) {
        size_t comma = text.find(',', i);
        if (comma == std::string::npos) comma = text.size();
        const std::string item = text.substr(i, comma - i);
        const size_t dash = item.find('-');
        const bool number = !item.empty() && item.find_first_not_of("0123456789-") == std::string::npos &&
                            dash != 0 && dash != item.size() - 1 && item.find('-', dash + 1) == std::string::npos;
        if (!number)
            throw Fatal("--entries: '" + (item.empty() ? text : item) +
                        "' is not an entry number or a range such as 5-7");
        uint64_t lo, hi;
        if (dash == std::string::npos) {
            lo = hi = parseUnsigned("--entries", item, kMaxEntries - 1);
        } else {
            lo = parseUnsigned("--entries", item.substr(0, dash), kMaxEntries - 1);
            hi = parseUnsigned("--entries", item.substr(dash + 1), kMaxEntries - 1);
            if (hi < lo) throw Fatal("--entries: empty range '" + item + "'");
        }
        for (uint64_t k = lo; k <= hi; ++k) chosen[k] = true;
        i = comma + 1;
    }
    return chosen;
}

} // namespace

Options parseOptions(const std::vector<std::string>& args) {
    Options o;
    bool comparing = false, optionsEnded = false;
    std::vector<std::string> positional;
    for (size_t i = 0; i < args.size(); ++i) {
        std::string arg = args[i];
        if (optionsEnded || arg.size() < 2 || arg[0] != '-') {
            positional.push_back(arg);
            continue;
        }
        std::string value;
        bool hasValue = false;
        if (arg.rfind("--", 0) == 0 && arg.find('=') != std::string::npos) {
            value = arg.substr(arg.find('=') + 1);
            arg = arg.substr(0, arg.find('='));
            hasValue = true;
        }
        auto next = [&]() -> std::string {
            if (hasValue) return value;
            if (i + 1 >= args.size()) throw Fatal(arg + " needs a value");
            return args[++i];
        };
        auto flag = [&] {
            if (hasValue) throw Fatal(arg + " takes no value");
        };
        if (arg == "--") {
            optionsEnded = true;
        } else if (arg == "--help" || arg == "-h") {
            o.help = true;
            return o;
        } else if (arg == "--version") {
            o.version = true;
            return o;
        } else if (arg == "--worker") { // internal: one entry for a parent host
            flag();
            o.worker = true;
            return o;
        } else if (arg == "--all") {
            flag();
            o.all = true;
        } else if (arg == "--entries") {
            o.entries = parseEntries(next());
        } else if (arg == "--seed") {
            o.seed = parseUnsigned(arg, next(), UINT64_MAX);
            o.haveSeed = true;
        } else if (arg == "--problem") {
            o.problem = next();
            if (o.problem.empty()) throw Fatal("--problem needs a file name");
        } else if (arg == "--time-per-entry") {
            o.timePerEntryMs = parsePositive(arg, next(), 600000, "milliseconds");
        } else if (arg == "--trials") {
            o.trials = static_cast<int>(parseUnsigned(arg, next(), 100000));
            if (o.trials < 1) throw Fatal("--trials needs at least 1");
        } else if (arg == "--timeout") {
            o.timeoutSeconds = parsePositive(arg, next(), 86400, "seconds");
        } else if (arg == "--check-only") {
            flag();
            o.checkOnly = true;
        } else if (arg == "--csv") {
            flag();
            o.csv = true;
        } else if (arg == "--json") {
            flag();
            o.json = true;
        } else if (arg == "--svg") {
            o.svg = next();
            if (o.svg.empty()) throw Fatal("--svg needs a file name");
        } else if (arg == "--compare") {
            flag();
            comparing = true;
        } else {
            throw Fatal("unknown option " + arg);
        }
    }
    if (comparing) {
        if (positional.empty()) throw Fatal("--compare needs at least one results file (from --json)");
        o.compare = positional;
        return o;
    }
    if (positional.empty()) throw Fatal("no module given");
    if (positional.size() > 1) throw Fatal("more than one module given: " + positional[0] + ", " + positional[1]);
    o.module = positional[0];
    if (o.csv && o.json) throw Fatal("--csv and --json cannot be combined");
    if (o.haveSeed && !o.problem.empty()) throw Fatal("--seed and --problem cannot be combined");
    if (o.checkOnly && !o.svg.empty()) throw Fatal("--svg charts times, which --check-only does not take");
    return o;
}

} // namespace host
