// The application: a run reads as its steps. Options; for saved runs the
// comparison; else the problem, the module, the plan, every entry in a
// process of its own, the verdicts across entries, and the report.
#include <cmath>
#include <cstdio>
#include <memory>

#include "app.h"
#include "baselines.h"
#include "console.h"
#include "files.h"
#include "finish.h"
#include "machine.h"
#include "options.h"
#include "plan.h"
#include "report.h"
#include "rounds.h"
#include "runner.h"
#include "saved.h"
#include "signals.h"
#include "text.h"
#include "worker.h"

namespace host {

namespace {

// The files a run writes besides stdout: the chart and the exports, each
// tried before any work and refused when it names an input of the run or
// the same file as another output.
struct Outputs {
    std::unique_ptr<OutputFile> svg;
    std::vector<std::pair<Format, std::unique_ptr<OutputFile>>> exports;
};

Outputs outputFiles(const Options& o) {
    std::vector<std::pair<std::string, std::string>> inputs = {{"module", o.module}, {"problem file", o.problem}};
    for (const std::string& saved : o.compare) inputs.push_back({"saved run", saved});
    Outputs out;
    auto open = [&](const std::string& option, const std::string& path) {
        refuseOverwriting(option, path, inputs);
        std::unique_ptr<OutputFile> file(new OutputFile(path));
        inputs.push_back({"output of " + option, path}); // it exists now: a later output may not name it
        return file;
    };
    if (!o.svg.empty()) out.svg = open("--svg", o.svg);
    for (const Export& e : o.exports) out.exports.emplace_back(e.format, open(e.option, e.path));
    if (!o.saveBaseline.empty())
        out.exports.emplace_back(Format::Json, open("--save-baseline", baselinePath(o.saveBaseline, true)));
    return out;
}

// Two saved runs of the same file name get labels that tell them apart:
// their paths, or their places on the command line.
void distinctLabels(std::vector<SavedRun>& runs) {
    auto clashes = [&] {
        std::vector<bool> clash(runs.size(), false);
        for (size_t k = 0; k < runs.size(); ++k)
            for (size_t j = 0; j < runs.size(); ++j) clash[k] = clash[k] || (j != k && runs[j].label == runs[k].label);
        return clash;
    };
    std::vector<bool> clash = clashes();
    for (size_t k = 0; k < runs.size(); ++k)
        if (clash[k]) runs[k].label = printable(runs[k].file);
    clash = clashes();
    for (size_t k = 0; k < runs.size(); ++k)
        if (clash[k]) runs[k].label += " #" + std::to_string(k + 1);
}

// --fail-if-slower's decision on stderr and as the exit status: 1 when an
// entry tripped it, or when it could test none (no pass either).
int gateStatus(const Comparison& c) {
    if (!std::isfinite(c.failIfSlower)) return 0;
    for (const std::string& line : gateLines(c)) std::fprintf(stderr, "circuit-host: %s\n", line.c_str());
    return gateSummary(c).failed() ? 1 : 0;
}

int compareRuns(Options o) {
    for (std::string& file : o.compare) file = savedRunPath(file);
    Outputs out = outputFiles(o);
    std::vector<SavedRun> runs;
    for (const std::string& file : o.compare) runs.push_back(readSavedRun(file));
    distinctLabels(runs);
    Comparison c = compareSaved(runs);
    c.failIfSlower = o.failIfSlower;
    std::fputs(comparisonReport(o.format, c).c_str(), stdout);
    finishStdout();
    if (out.svg) out.svg->write(comparisonSvg(c));
    for (auto& e : out.exports) e.second->write(comparisonReport(e.first, c));
    return gateStatus(c);
}

// A word of the command line as a shell reads it back.
std::string quoted(const std::string& arg) {
    if (!arg.empty() && arg.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789"
                                              "-_./=,:+@%") == std::string::npos)
        return arg;
    std::string s = "'";
    for (char c : arg) s += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return s + "'";
}

// The run's settings as the report shows them, and which run it is.
RunInfo startRun(const Options& o, const std::vector<std::string>& args) {
    RunInfo run;
    run.name = o.name;
    run.timeUtc = utcNow();
    run.hostName = hostName();
    run.commandLine = "circuit-host";
    for (const std::string& arg : args) run.commandLine += " " + quoted(arg);
    run.timePerEntryMs = o.checkOnly ? 0 : o.timePerEntryMs;
    run.trials = o.checkOnly ? 0 : o.trials;
    run.timeoutSeconds = o.timeoutSeconds;
    run.all = o.all;
    return run;
}

// What the loaded module says of itself, the machine it runs on, and its entries.
void describeModule(const Module& module, const Options& o, RunInfo& run) {
    run.moduleFile = describeModuleFile(o.module);
    setInsideModule("asking the module for its circuit, creator and entries");
    run.module = module.query();
    bool creatorConverted = true;
    run.creator = sjisToUtf8(run.module.creator, &creatorConverted);
    run.machine = describeMachine();
    run.entries = describeEntries(run.module, run.machine.cpu, o);
}

RunSettings settingsFor(const Options& o, const Processor& cpu) {
    RunSettings s;
    s.modulePath = o.module;
    s.timeoutSeconds = o.timeoutSeconds;
    s.work.checkOnly = o.checkOnly;
    s.work.callSeconds = o.timePerEntryMs / 1000.0 / o.trials;
    s.work.trials = o.trials;
    s.work.cpu = cpu;
    return s;
}

int report(const RunInfo& run, const Options& o, Outputs& out) {
    TableStyle style;
    style.outputs = o.showOutputs;
    style.notes = o.notes;
    std::fputs(reportText(o.format, run, style).c_str(), results());
    finishStdout();
    if (out.svg) out.svg->write(svgChart(run));
    for (auto& e : out.exports) e.second->write(reportText(e.first, run, style));
    if (interrupted()) return interruptedStatus();
    if (noEntryRan(run)) {
        std::fprintf(stderr, "circuit-host: %s.\n", kNothingRan);
        return 1;
    }
    return run.failed ? 1 : 0;
}

int runModule(const Options& o, const std::vector<std::string>& args) {
    Outputs out = outputFiles(o);
    holdResults();
    RunInfo run = startRun(o, args);
    const circuit::Problem problem = chooseProblem(o, run.problem);
    // Before the module is loaded: nothing of it can affect the reference.
    const Reference reference = referenceFor(problem);
    reportModuleFaults("loading the module");
    Module module(o.module, o.timeoutSeconds);
    restoreHostSignals();
    describeModule(module, o, run);
    leaveModule();
    restoreHostSignals();
    const std::vector<size_t> toRun = planEntries(run.entries, o.all);
    runRounds(module, problem, reference, settingsFor(o, run.machine.cpu), o.rounds, toRun, run);
    finishRun(run, reference, !o.checkOnly);
    countFlagged(run);
    return report(run, o, out);
}

} // namespace

int run(const std::vector<std::string>& args) {
    Options o = parseOptions(startArguments(args));
    o.module = moduleBesideProgram(o.module);
    if (o.help) {
        std::fputs(usageText().c_str(), stdout);
        return 0;
    }
    if (o.version) {
        std::printf("circuit-host %s (%d-bit)\n", hostVersion().c_str(), static_cast<int>(sizeof(void*) * 8));
        return 0;
    }
    if (o.worker) return workerMain();
    if (!o.compare.empty()) return compareRuns(o);
    return runModule(o, args);
}

} // namespace host
