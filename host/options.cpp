// The command line: every option checked before any work starts, and the
// usage text.
#include <cerrno>
#include <cstdlib>
#include <functional>

#include "errors.h"
#include "model.h"
#include "options.h"

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
    "  --trials N            timed calls per entry at least, shared among the rounds;\n"
    "                        a call lasts MS/N milliseconds, at most 0.25, and more\n"
    "                        time per entry gives more calls (default 400)\n"
    "  --rounds N            time each entry in N rounds spread over the run, each in a\n"
    "                        fresh process, and report the least of the rounds' medians\n"
    "                        that others confirm (default 5; unsettled entries get up to\n"
    "                        N more)\n"
    "  --timeout SECONDS     an entry still running after this long is stopped and\n"
    "                        reported as timed out (default 60)\n"
    "  --check-only          check the entries, do not time them\n"
    "  --name TEXT           say what this run is (the build and why it was chosen) in\n"
    "                        the header, the chart and the JSON\n"
    "  --wide                add the layout, CPU, minimum, median ns and calls columns\n"
    "                        to the table (wider than 120 columns)\n"
    "  --csv                 print CSV instead of the table\n"
    "  --json                print JSON instead of the table (docs/results-schema.md);\n"
    "                        save it to compare runs later\n"
    "  --svg FILE            also write a bar chart of the times per repetition to FILE\n"
    "  --compare RUN.json... print saved runs side by side (median core clocks per\n"
    "                        repetition and the ratio to the first run); with --svg,\n"
    "                        also draw them as a grouped bar chart; each ratio is\n"
    "                        tested against the noise of both runs' calls\n"
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
        throw UsageError(option + " needs a whole number, not '" + text + "'");
    errno = 0;
    unsigned long long v = std::strtoull(text.c_str(), nullptr, 10);
    if (errno == ERANGE || v > max)
        throw UsageError(option + " " + text + " is too large (at most " + std::to_string(max) + ")");
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
        throw UsageError(option + " needs " + unit + " above 0 (at most " + limit + "), not '" + text + "'");
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
            throw UsageError("--entries: '" + (item.empty() ? text : item) +
                        "' is not an entry number or a range such as 5-7");
        uint64_t lo, hi;
        if (dash == std::string::npos) {
            lo = hi = parseUnsigned("--entries", item, kMaxEntries - 1);
        } else {
            lo = parseUnsigned("--entries", item.substr(0, dash), kMaxEntries - 1);
            hi = parseUnsigned("--entries", item.substr(dash + 1), kMaxEntries - 1);
            if (hi < lo) throw UsageError("--entries: empty range '" + item + "'");
        }
        for (uint64_t k = lo; k <= hi; ++k) chosen[k] = true;
        i = comma + 1;
    }
    return chosen;
}

} // namespace

namespace {

// What the command line said so far.
struct Parsed {
    Options o;
    bool comparing = false, optionsEnded = false, csv = false, json = false, wide = false;
    bool stop = false; // --help, --version, --worker: nothing after them counts
    std::vector<std::string> positional;
};

// One option; `next` takes its value, `flag` refuses one.
void applyOption(const std::string& arg, const std::function<std::string()>& next,
                 const std::function<void()>& flag, Parsed& p) {
    if (arg == "--") {
        p.optionsEnded = true;
    } else if (arg == "--help" || arg == "-h") {
        p.o.help = true;
        p.stop = true;
    } else if (arg == "--version") {
        p.o.version = true;
        p.stop = true;
    } else if (arg == "--worker") { // internal: one entry for a parent host
        flag();
        p.o.worker = true;
        p.stop = true;
    } else if (arg == "--all") {
        flag();
        p.o.all = true;
    } else if (arg == "--entries") {
        p.o.entries = parseEntries(next());
    } else if (arg == "--seed") {
        p.o.seed = parseUnsigned(arg, next(), UINT64_MAX);
        p.o.haveSeed = true;
    } else if (arg == "--problem") {
        p.o.problem = next();
        if (p.o.problem.empty()) throw UsageError("--problem needs a file name");
    } else if (arg == "--time-per-entry") {
        p.o.timePerEntryMs = parsePositive(arg, next(), 600000, "milliseconds");
    } else if (arg == "--trials") {
        p.o.trials = static_cast<int>(parseUnsigned(arg, next(), 100000));
        if (p.o.trials < 1) throw UsageError("--trials needs at least 1");
    } else if (arg == "--rounds") {
        p.o.rounds = static_cast<int>(parseUnsigned(arg, next(), 100));
        if (p.o.rounds < 1) throw UsageError("--rounds needs at least 1");
    } else if (arg == "--timeout") {
        p.o.timeoutSeconds = parsePositive(arg, next(), 86400, "seconds");
    } else if (arg == "--check-only") {
        flag();
        p.o.checkOnly = true;
    } else if (arg == "--name") {
        p.o.name = next();
    } else if (arg == "--wide") {
        flag();
        p.wide = true;
    } else if (arg == "--csv") {
        flag();
        p.csv = true;
    } else if (arg == "--json") {
        flag();
        p.json = true;
    } else if (arg == "--svg") {
        p.o.svg = next();
        if (p.o.svg.empty()) throw UsageError("--svg needs a file name");
    } else if (arg == "--compare") {
        flag();
        p.comparing = true;
    } else {
        throw UsageError("unknown option " + arg);
    }
}

// The positional arguments and the options that exclude one another.
Options finish(Parsed& p) {
    Options& o = p.o;
    if (p.comparing) {
        if (p.positional.empty()) throw UsageError("--compare needs at least one results file (from --json)");
        if (p.csv || p.json || p.wide || o.haveSeed || !o.problem.empty() || !o.entries.empty() || o.all ||
            o.checkOnly || !o.name.empty())
            throw UsageError("--compare takes only results files and --svg");
        o.compare = p.positional;
        return o;
    }
    if (p.positional.empty()) throw UsageError("no module given");
    if (p.positional.size() > 1)
        throw UsageError("more than one module given: " + p.positional[0] + ", " + p.positional[1]);
    o.module = p.positional[0];
    if (p.csv && p.json) throw UsageError("--csv and --json cannot be combined");
    if ((p.csv || p.json) && p.wide) throw UsageError("--wide widens the table, which --csv and --json replace");
    o.format = p.csv ? Format::Csv : p.json ? Format::Json : p.wide ? Format::WideTable : Format::Table;
    if (o.haveSeed && !o.problem.empty()) throw UsageError("--seed and --problem cannot be combined");
    if (o.checkOnly && !o.svg.empty()) throw UsageError("--svg charts times, which --check-only does not take");
    // Finding the count and the calibrations take about as long again as the timed calls.
    if (!o.checkOnly && 2 * o.timePerEntryMs / 1000 > o.timeoutSeconds)
        throw UsageError("--time-per-entry " + std::to_string(static_cast<long long>(o.timePerEntryMs)) +
                         " does not fit in --timeout; an entry needs about twice its time per entry");
    return o;
}

} // namespace

Options parseOptions(const std::vector<std::string>& args) {
    Parsed p;
    for (size_t i = 0; i < args.size(); ++i) {
        std::string arg = args[i];
        if (p.optionsEnded || arg.size() < 2 || arg[0] != '-') {
            p.positional.push_back(arg);
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
            if (i + 1 >= args.size()) throw UsageError(arg + " needs a value");
            return args[++i];
        };
        auto flag = [&] {
            if (hasValue) throw UsageError(arg + " takes no value");
        };
        applyOption(arg, next, flag, p);
        if (p.stop) return p.o;
    }
    return finish(p);
}

} // namespace host
