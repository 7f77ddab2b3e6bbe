// The application: a run reads as its steps. Options; for saved runs the
// comparison; else the problem, the module, the plan, every entry in a
// process of its own, the verdicts across entries, and the report.
#include <cstdio>
#include <memory>

#include "app.h"
#include "console.h"
#include "files.h"
#include "finish.h"
#include "machine.h"
#include "options.h"
#include "plan.h"
#include "report.h"
#include "runner.h"
#include "saved.h"
#include "signals.h"
#include "text.h"

namespace host {

namespace {

// An output file named by --svg, tried before any work.
std::unique_ptr<OutputFile> chartFile(const Options& o) {
    if (o.svg.empty()) return nullptr;
    std::vector<std::pair<std::string, std::string>> inputs = {{"module", o.module}, {"problem file", o.problem}};
    for (const std::string& saved : o.compare) inputs.push_back({"saved run", saved});
    refuseOverwriting("--svg", o.svg, inputs);
    return std::unique_ptr<OutputFile>(o.svg.empty() ? nullptr : new OutputFile(o.svg));
}

int compareRuns(const Options& o) {
    std::unique_ptr<OutputFile> svg = chartFile(o);
    std::vector<SavedRun> runs;
    for (const std::string& file : o.compare) runs.push_back(readSavedRun(file));
    const Comparison c = compareSaved(runs);
    std::fputs(comparisonText(c).c_str(), stdout);
    finishStdout();
    if (svg) svg->write(comparisonSvg(c));
    return 0;
}

// The run's settings as the report shows them.
RunInfo startRun(const Options& o) {
    RunInfo run;
    run.name = o.name;
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

int report(const RunInfo& run, const Options& o, OutputFile* svg) {
    std::fputs(reportFor(o.format)(run).c_str(), results());
    finishStdout();
    if (svg) svg->write(svgChart(run));
    if (interrupted()) return interruptedStatus();
    return run.failed ? 1 : 0;
}

int runModule(const Options& o) {
    std::unique_ptr<OutputFile> svg = chartFile(o);
    holdResults();
    RunInfo run = startRun(o);
    const circuit::Problem problem = chooseProblem(o, run.problem);
    // Before the module is loaded: nothing of it can affect the reference.
    const Reference reference = referenceFor(problem);
    reportModuleFaults("loading the module");
    Module module(o.module);
    restoreHostSignals();
    describeModule(module, o, run);
    leaveModule();
    restoreHostSignals();
    const std::vector<size_t> toRun = planEntries(run.entries, o.all);
    runEntries(module, problem, reference, settingsFor(o, run.machine.cpu), toRun, run);
    finishRun(run, reference, !o.checkOnly);
    return report(run, o, svg.get());
}

} // namespace

int run(const std::vector<std::string>& args) {
    Options o = parseOptions(startArguments(args));
    o.module = moduleBesideProgram(o.module);
    if (o.help) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (o.version) {
        std::printf("circuit-host %s (%d-bit)\n", hostVersion().c_str(), static_cast<int>(sizeof(void*) * 8));
        return 0;
    }
    if (o.worker) return workerMain();
    if (!o.compare.empty()) return compareRuns(o);
    return runModule(o);
}

} // namespace host
