// The command line: every option checked before any work starts, and the
// usage text.
#include <cerrno>
#include <cstdlib>
#include <functional>

#include "errors.h"
#include "model.h"
#include "options.h"

namespace host {

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

// A percentage from 0 to 10000, digits with at most one point.
double parsePercent(const std::string& option, const std::string& text) {
    return text.find_first_not_of("0.") == std::string::npos && text.find('0') != std::string::npos &&
                   text.find('.') == text.rfind('.')
               ? 0
               : parsePositive(option, text, 10000, "a percentage");
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
    bool comparing = false, optionsEnded = false, csv = false, json = false, wide = false, markdown = false;
    bool stop = false; // --help, --version, --worker: nothing after them counts
    std::vector<std::string> positional;
};

// One option: its name, the name of its value (none for a flag), its help
// (none: not listed) and what it does. --help lists the rows in this order.
struct OptionRow {
    const char* name;
    const char* value;
    bool takesValue;
    const char* help;
    void (*apply)(Parsed& p, const std::string& value);
};

using V = const std::string&;

void exportTo(Parsed& p, Format format, const char* option, const std::string& path) {
    if (path.empty()) throw UsageError(std::string(option) + " needs a file name");
    p.o.exports.push_back({format, option, path});
}

const OptionRow kOptions[] = {
    {"--all", nullptr, false, "run every entry, also those the processor lacks extensions for",
     [](Parsed& p, V) { p.o.all = true; }},
    {"--entries", "LIST", true, "run only these entries, e.g. 0,2,5-7", [](Parsed& p, V v) { p.o.entries = parseEntries(v); }},
    {"--seed", "N", true, "seed of the random problem (printed when chosen at random)",
     [](Parsed& p, V v) { p.o.seed = parseUnsigned("--seed", v, UINT64_MAX), p.o.haveSeed = true; }},
    {"--problem", "FILE", true,
     "read the problem from FILE instead ('-': standard input): 648 coefficients M[0][0] .. M[17][35] row by "
     "row, then 36 inputs x[0] .. x[35], as whitespace-separated decimal numbers; '#' starts a comment. "
     "Entries 12 and 13 compute in 16-bit fixed point: they are checked only on inputs from -1 to 0.99998 and "
     "coefficients from -32 to 31.9995 (else reported unchecked)",
     [](Parsed& p, V v) { if (v.empty()) throw UsageError("--problem needs a file name");
     p.o.problem = v; }},
    {"--time-per-entry", "MS", true, "time spent timing each entry (default 100)",
     [](Parsed& p, V v) { p.o.timePerEntryMs = parsePositive("--time-per-entry", v, 600000, "milliseconds"); }},
    {"--trials", "N", true,
     "timed calls per entry at least, shared among the rounds; a call lasts MS/N milliseconds, at most 0.25, "
     "and more time per entry gives more calls (default 400)",
     [](Parsed& p, V v) { p.o.trials = static_cast<int>(parseUnsigned("--trials", v, 100000));
     if (p.o.trials < 1) throw UsageError("--trials needs at least 1"); }},
    {"--rounds", "N", true,
     "time each entry in N rounds spread over the run, each in a fresh process, and report the least of the "
     "rounds' medians that others confirm (default 5; unsettled entries get up to N more)",
     [](Parsed& p, V v) { p.o.rounds = static_cast<int>(parseUnsigned("--rounds", v, 100));
     if (p.o.rounds < 1) throw UsageError("--rounds needs at least 1"); }},
    {"--timeout", "SECONDS", true,
     "an entry still running after this long is stopped and reported as timed out (default 60)",
     [](Parsed& p, V v) { p.o.timeoutSeconds = parsePositive("--timeout", v, 86400, "seconds"); }},
    {"--check-only", nullptr, false, "check the entries, do not time them", [](Parsed& p, V) { p.o.checkOnly = true; }},
    {"--name", "TEXT", true, "say what this run is (the build and why it was chosen) in the header, the chart and "
                             "the JSON",
     [](Parsed& p, V v) { p.o.name = v; }},
    {"--wide", nullptr, false, "add the layout, CPU, minimum, median ns and calls columns to the table (wider than "
                               "120 columns)",
     [](Parsed& p, V) { p.wide = true; }},
    {"--csv", nullptr, false, "print CSV instead of the table", [](Parsed& p, V) { p.csv = true; }},
    {"--json", nullptr, false, "print JSON instead of the table (docs/results-schema.md); save it to compare runs "
                               "later",
     [](Parsed& p, V) { p.json = true; }},
    {"--markdown", nullptr, false, "print the table as Markdown (as GitHub renders it) instead",
     [](Parsed& p, V) { p.markdown = true; }},
    {"--export-json", "FILE", true, "also write the JSON to FILE; stdout keeps the table (or what --csv, --json "
                                    "or --markdown chose); any of the --export options may be given together",
     [](Parsed& p, V v) { exportTo(p, Format::Json, "--export-json", v); }},
    {"--export-csv", "FILE", true, "also write the CSV to FILE",
     [](Parsed& p, V v) { exportTo(p, Format::Csv, "--export-csv", v); }},
    {"--export-markdown", "FILE", true, "also write the Markdown table to FILE",
     [](Parsed& p, V v) { exportTo(p, Format::Markdown, "--export-markdown", v); }},
    {"--show-outputs", nullptr, false, "list each entry's outputs y[0] .. y[17] under the table",
     [](Parsed& p, V) { p.o.showOutputs = true; }},
    {"--no-notes", nullptr, false, "leave out the lines under the table that explain its columns (the reasons of "
                                   "failed, skipped and unstable entries stay)",
     [](Parsed& p, V) { p.o.notes = false; }},
    {"--svg", "FILE", true, "also write a bar chart of the times per repetition to FILE",
     [](Parsed& p, V v) { if (v.empty()) throw UsageError("--svg needs a file name");
     p.o.svg = v; }},
    {"--compare", "RUN.json...", false,
     "print saved runs (files or baselines' names) side by side (median core clocks per repetition and the ratio to the first run); each "
     "ratio is tested against the noise of both runs' calls; --csv, --json and --markdown print the comparison "
     "in those formats, the --export options write them, --svg draws it as a grouped bar chart",
     [](Parsed& p, V) { p.comparing = true; }},
    {"--save-baseline", "NAME", true,
     "also save the run's JSON as the baseline NAME (letters, digits, '.', '-', '_'), replacing one of that name, "
     "in $XDG_DATA_HOME/circuit-host/baselines, else ~/.local/share/circuit-host/baselines (Windows: "
     "%LOCALAPPDATA%\\circuit-host\\baselines); --compare NAME reads it back where no file NAME exists",
     [](Parsed& p, V v) { if (v.empty()) throw UsageError("--save-baseline needs a name");
     p.o.saveBaseline = v; }},
    {"--fail-if-slower", "PCT", true,
     "with --compare: exit with status 1 when an entry of a run after the first is a change (by the U test) "
     "slower than the first run's by more than PCT percent, and name it; entries either run marked unstable, "
     "or too few calls to test, are untestable, neither passes nor failures (a gate that could test no entry "
     "exits 1 too)",
     [](Parsed& p, V v) { p.o.failIfSlower = parsePercent("--fail-if-slower", v); }},
    {"--version", nullptr, false, "print the host's version", [](Parsed& p, V) { p.o.version = p.stop = true; }},
    {"--help", nullptr, false, "print this text", [](Parsed& p, V) { p.o.help = p.stop = true; }},
    {"-h", nullptr, false, nullptr, [](Parsed& p, V) { p.o.help = p.stop = true; }},
    {"--", nullptr, false, "what follows is the module, even if it starts with '-'",
     [](Parsed& p, V) { p.optionsEnded = true; }},
    // Internal: one entry for a parent host (its job on stdin).
    {"--worker", nullptr, false, nullptr, [](Parsed& p, V) { p.o.worker = p.stop = true; }},
};

const char kUsageHead[] =
    "Usage: circuit-host [options] MODULE\n"
    "       circuit-host --compare RUN.json|BASELINE [RUN.json ...] [--fail-if-slower PCT] [--svg FILE]\n"
    "\n"
    "Loads the circuit-2 module MODULE (a shared library or DLL), shows its circuit,\n"
    "creator and entries, checks the output of every entry it runs against the exact\n"
    "product, and times each entry. By default only the entries whose extensions\n"
    "this processor has are run. Each entry runs in a process of its own, so an\n"
    "entry that crashes or hangs marks only itself.\n"
    "\n"
    "Options:\n";

const char kUsageTail[] =
    "\n"
    "Numbers are decimal. Exit status: 0 when every entry run passed its check; 1 when\n"
    "one failed, crashed or timed out, or when no entry ran at all (none selected that\n"
    "this processor runs: --all runs the others); 2 for bad options, unreadable files\n"
    "or a module this host cannot use; 3 when the module stopped the program while it\n"
    "was loaded or asked what it serves; 129, 130 or 143 when the run was ended by\n"
    "SIGHUP, Ctrl-C (SIGINT) or SIGTERM (128 plus the signal's number).\n"
    "--compare exits with status 0 unless --fail-if-slower tripped: 1 when it did, or\n"
    "when it could test no entry; 2 for bad options or a file that is no results file.\n"
    "Every run after the first is gated against the first, the baseline.\n";

// One option: `next` takes its value, a flag refuses one.
void applyOption(const std::string& arg, const std::function<std::string()>& next, bool hasValue, Parsed& p) {
    for (const OptionRow& row : kOptions) {
        if (arg != row.name) continue;
        if (!row.takesValue && hasValue) throw UsageError(arg + " takes no value");
        row.apply(p, row.takesValue ? next() : std::string());
        return;
    }
    throw UsageError("unknown option " + arg);
}

// Words of `text` in lines of at most `width` columns.
std::vector<std::string> wrapped(const std::string& text, size_t width) {
    std::vector<std::string> lines(1);
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find(' ', at);
        if (end == std::string::npos) end = text.size();
        const std::string word = text.substr(at, end - at);
        if (!lines.back().empty() && lines.back().size() + 1 + word.size() > width) lines.emplace_back();
        lines.back() += (lines.back().empty() ? "" : " ") + word;
        at = end + 1;
    }
    return lines;
}

} // namespace

std::vector<OptionHelp> optionHelp() {
    std::vector<OptionHelp> rows;
    for (const OptionRow& row : kOptions)
        if (row.help) rows.push_back({row.name, row.value ? row.value : "", row.help});
    return rows;
}

std::string usageText() {
    std::string s = kUsageHead;
    constexpr size_t kIndent = 24, kWidth = 80;
    for (const OptionHelp& row : optionHelp()) {
        std::string head = "  " + row.name + (row.value.empty() ? "" : " " + row.value);
        const std::vector<std::string> lines = wrapped(row.help, kWidth - kIndent);
        head += head.size() + 1 > kIndent ? "\n" + std::string(kIndent, ' ') : std::string(kIndent - head.size(), ' ');
        s += head + lines[0] + "\n";
        for (size_t k = 1; k < lines.size(); ++k) s += std::string(kIndent, ' ') + lines[k] + "\n";
    }
    return s + kUsageTail;
}

namespace {

// The options of a run that exclude one another.
Options finishRun(Parsed& p) {
    Options& o = p.o;
    if (p.markdown && p.wide) throw UsageError("--wide widens the text table; --markdown writes its default columns");
    if ((p.csv || p.json) && (p.wide || o.showOutputs || !o.notes))
        throw UsageError("--wide, --show-outputs and --no-notes shape the table, which --csv and --json replace");
    if (o.haveSeed && !o.problem.empty()) throw UsageError("--seed and --problem cannot be combined");
    if (o.checkOnly && !o.svg.empty()) throw UsageError("--svg charts times, which --check-only does not take");
    if (o.checkOnly && !o.saveBaseline.empty())
        throw UsageError("--save-baseline keeps times to compare, which --check-only does not take");
    // Finding the count and the calibrations take about as long again as the timed calls.
    if (!o.checkOnly && 2 * o.timePerEntryMs / 1000 > o.timeoutSeconds)
        throw UsageError("--time-per-entry " + std::to_string(static_cast<long long>(o.timePerEntryMs)) +
                         " does not fit in --timeout; an entry needs about twice its time per entry");
    return o;
}

// The positional arguments and the options that exclude one another.
Options finish(Parsed& p) {
    Options& o = p.o;
    if (p.comparing) {
        if (p.positional.empty()) throw UsageError("--compare needs at least one results file (from --json)");
        if (p.wide || o.haveSeed || !o.problem.empty() || !o.entries.empty() || o.all || o.checkOnly ||
            !o.name.empty() || o.showOutputs || !o.notes || !o.saveBaseline.empty())
            throw UsageError("--compare takes only results files, an output format, --export options, --svg and "
                             "--fail-if-slower");
        if (std::isfinite(o.failIfSlower) && p.positional.size() < 2)
            throw UsageError("--fail-if-slower gates runs against the first: it needs at least two results files");
        o.compare = p.positional;
    } else {
        if (std::isfinite(o.failIfSlower)) throw UsageError("--fail-if-slower gates a --compare of saved runs");
        if (p.positional.empty()) throw UsageError("no module given");
        if (p.positional.size() > 1)
            throw UsageError("more than one module given: " + p.positional[0] + ", " + p.positional[1]);
        o.module = p.positional[0];
    }
    if (p.csv + p.json + p.markdown > 1) throw UsageError("--csv, --json and --markdown cannot be combined");
    o.format = p.csv ? Format::Csv : p.json ? Format::Json : p.markdown ? Format::Markdown
             : p.wide ? Format::WideTable : Format::Table;
    return p.comparing ? o : finishRun(p);
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
        applyOption(arg, next, hasValue, p);
        if (p.stop) return p.o;
    }
    return finish(p);
}

} // namespace host
